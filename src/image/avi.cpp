#include "avi.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <mutex>

#include "avi_container.h"
#include "avi_decode.h"
#include "bitmap.h"
#include "byte_io.h"

namespace stelp {
namespace {

// What tells one file from another, taken from the descriptor a read goes
// through rather than from the path, which may name another file by then.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  uint64_t size = 0;
  int64_t modifiedSeconds = 0;
  int64_t modifiedNanoseconds = 0;
  bool operator==(const FileIdentity&) const = default;
};

// A video file opened for one read. Reads use pread, so they do not depend
// on a file position.
class VideoFile final : public ByteInput {
 public:
  VideoFile() = default;
  VideoFile(const VideoFile&) = delete;
  VideoFile& operator=(const VideoFile&) = delete;
  ~VideoFile() override {
    if (fd_ >= 0) ::close(fd_);
  }

  bool open(const std::string& path, std::string* why) {
    // O_NONBLOCK keeps a FIFO from blocking the open until a writer appears;
    // only regular files and block devices are read, and for those the flag
    // changes nothing.
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
      const int err = errno;
      return refuse(why, err == ENOENT ? "not found" : std::strerror(err));
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)))
      return refuse(why, "not a regular file");
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (S_ISBLK(st.st_mode)) {
      const off_t end = ::lseek(fd_, 0, SEEK_END);
      size = end > 0 ? static_cast<uint64_t>(end) : 0;
    }
    identity_ = {st.st_dev, st.st_ino, size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
    return true;
  }

  const FileIdentity& identity() const { return identity_; }
  uint64_t size() const override { return identity_.size; }

  size_t readAt(uint64_t offset, void* out, size_t count) override {
    if (offset >= identity_.size) return 0;
    count = static_cast<size_t>(std::min<uint64_t>(count, identity_.size - offset));
    size_t done = 0;
    while (done < count) {
      const ssize_t n =
          ::pread(fd_, static_cast<uint8_t*>(out) + done, count - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    return done;
  }

 private:
  int fd_ = -1;
  FileIdentity identity_;
};

// What a video's frame reads need of its headers. Built once per file and
// never changed afterwards, so any number of reads share it without a lock.
struct ParsedVideo {
  AviStreamIndex index;
  VideoFormat format;
  bool uncompressed = false;
  bool rawGrey = false;  // read by Stelp's own code too (see isRawGrey)
};

// The decoder of a compressed stream, kept between reads with the position
// it reached and the last picture it gave. One read of the file uses it at a
// time.
struct KeptDecoder {
  std::mutex mutex;
  std::unique_ptr<VideoDecoder> decoder;
  int32_t nextPacket = -1;  // the frame the decoder can continue with; -1: reset first
  int32_t lastFrame = -1;   // the frame whose picture is in `last`
  DibFrame last;
};

// What is kept of a video between two frame reads. Files are still opened
// for every read; an entry serves only the file it was parsed from.
struct CachedVideo {
  std::string path;
  FileIdentity identity;
  ParsedVideo parsed;
  KeptDecoder decoding;
};

constexpr size_t kCachedVideos = 4;

// The cache of the process. Its mutex guards the list only: it is held to
// find, add or drop an entry, never while a file is read or decoded, so a
// slow file does not hold up reads of the others. A reader keeps its entry
// alive through its shared_ptr after the list has dropped it.
std::mutex cacheMutex;
std::list<std::shared_ptr<CachedVideo>> cache;  // most recently used first

// Pixels of a compressed frame per byte of the whole file, at most. A few
// bytes can decode to the largest picture we accept, which costs seconds and
// gigabytes; a real video of any frame size is far larger than this allows
// (a 1920 x 1080 video needs 507 bytes, its headers alone take more).
constexpr uint64_t kMaxPixelsPerFileByte = 4096;

bool parseVideo(ByteInput& input, ParsedVideo& video, std::string* why) {
  if (!parseAvi(input, video.index, why) || !parseVideoFormat(video.index.format, video.format, why)) return false;
  video.uncompressed = isUncompressedDib(video.format);
  video.rawGrey = isRawGrey(video.format);
  const VideoFormat& f = video.format;
  const uint64_t pixels = static_cast<uint64_t>(f.width) * static_cast<uint64_t>(f.height < 0 ? -int64_t{f.height} : f.height);
  if (!video.uncompressed && pixels / kMaxPixelsPerFileByte > input.size())
    return refuse(why, "video frame size " + std::to_string(f.width) + " x " + std::to_string(f.height) +
                           " is more than a file of " + std::to_string(input.size()) + " bytes can hold");
  return true;
}

// The cached entry for the file `file` opened at `path`, parsed anew when
// the cache holds none for it. Null, with a reason, when the file is not a
// readable video. Two reads that both miss parse the file twice; the last
// to finish stays in the cache.
std::shared_ptr<CachedVideo> lookUp(const std::string& path, VideoFile& file, std::string* why) {
  {
    std::lock_guard<std::mutex> lock(cacheMutex);
    for (auto it = cache.begin(); it != cache.end(); ++it) {
      if ((*it)->path != path) continue;
      if ((*it)->identity == file.identity()) {
        cache.splice(cache.begin(), cache, it);
        return cache.front();
      }
      cache.erase(it);  // the path names another file now
      break;
    }
  }
  auto entry = std::make_shared<CachedVideo>();
  entry->path = path;
  entry->identity = file.identity();
  if (!parseVideo(file, entry->parsed, why)) return nullptr;
  std::lock_guard<std::mutex> lock(cacheMutex);
  std::erase_if(cache, [&](const std::shared_ptr<CachedVideo>& other) { return other->path == path; });
  cache.push_front(entry);
  if (cache.size() > kCachedVideos) cache.pop_back();
  return entry;
}

// The bytes of a frame the file holds: an index entry that runs past the end
// of the file gets what is there.
uint64_t storedBytes(const ByteInput& input, const AviFrameEntry& frame) {
  const uint64_t size = input.size();
  return frame.offset < size ? std::min<uint64_t>(frame.size, size - frame.offset) : 0;
}

std::vector<uint8_t> readFrameBytes(ByteInput& input, const AviFrameEntry& frame) {
  std::vector<uint8_t> bytes(storedBytes(input, frame));
  bytes.resize(input.readAt(frame.offset, bytes.data(), bytes.size()));
  return bytes;
}

// Decodes frame `target` of a compressed stream into `kept.last`: from the
// nearest key frame before it, or on from where the decoder stopped when
// that is nearer. Call with kept.mutex held.
bool decodeFrame(const ParsedVideo& video, KeptDecoder& kept, ByteInput& input, int32_t target, std::string* why) {
  if (kept.lastFrame == target) return true;
  if (!kept.decoder) {
    kept.decoder = VideoDecoder::create(video.format, video.index.handler, why);
    if (!kept.decoder) return false;
    kept.nextPacket = -1;
  }
  const std::vector<AviFrameEntry>& frames = video.index.frames;
  int32_t key = target;
  if (!kept.decoder->intraOnly()) {
    if (video.index.keyFlagsKnown) {
      while (key > 0 && !(frames[key].key && frames[key].size > 0)) --key;
    } else {
      key = 0;  // without key frame marks only the start is safe
    }
  }
  int32_t start = key;
  if (kept.nextPacket >= key && kept.nextPacket <= target) {
    start = kept.nextPacket;
  } else {
    kept.decoder->reset();
  }
  kept.lastFrame = -1;
  kept.nextPacket = -1;
  bool gotPicture = false;
  for (int32_t p = start; p <= target; ++p) {
    if (frames[p].size == 0) continue;
    const std::vector<uint8_t> bytes = readFrameBytes(input, frames[p]);
    if (!kept.decoder->decode(bytes.data(), bytes.size(), gotPicture, kept.last, why)) return false;
  }
  if (!gotPicture) {
    // A decoder that holds pictures back gives the last one when drained;
    // it must then start again from a key frame.
    if (!kept.decoder->drain(gotPicture, kept.last, why)) return false;
    if (!gotPicture) return refuse(why, "frame " + std::to_string(target) + " does not decode");
    kept.decoder->reset();
  } else {
    kept.nextPacket = target + 1;
  }
  kept.lastFrame = target;
  return true;
}

// Where a frame read goes: a new buffer of `format` in `slot`, or, with
// `sum` (a float format), added value by value to `sum`.
struct FrameTarget {
  PixelFormat format;
  ImageSlot* slot = nullptr;
  ImageBuffer* sum = nullptr;
};

// Builds the buffer from a bitmap frame, or adds the frame to the sum;
// rows the frame lacks are black.
bool storeFrame(const DibFrame& frame, const FrameTarget& target, std::string* why) {
  if (frame.bitCount != 8 && frame.bitCount != 24 && frame.bitCount != 32)
    return refuse(why, std::to_string(frame.bitCount) + "-bit frames are not supported");
  ImageBuffer* sum = target.sum;
  if (sum && (sum->width != frame.width || sum->height != frame.height || sum->bayer != BayerPattern::None))
    return refuse(why, "the frame differs from the sum in size or mosaic");
  std::unique_ptr<ImageBuffer> image;
  if (!sum) {
    image = std::make_unique<ImageBuffer>();
    image->setFormat(target.format);
    image->width = frame.width;
    image->height = frame.height;
    if (!image->allocate()) return refuse(why, "not enough memory for the frame");
  }
  const ImageBuffer& shape = sum ? *sum : *image;
  // A sum's rows are decoded into `decoded`, then added.
  std::vector<float> decoded(sum ? static_cast<size_t>(sum->rowBytes) / sizeof(float) : 0);
  const size_t available = frame.storage.size() - frame.rowsOffset;
  const size_t filePixelBytes = static_cast<size_t>(frame.bitCount / 8);
  static const uint8_t kNoPalette[kBitmapPaletteBytes] = {};
  const uint8_t* palette = frame.palette.size() >= kBitmapPaletteBytes ? frame.palette.data() : kNoPalette;
  const DibRowDecoder decoder(frame.bitCount, palette, shape.format);
  for (int32_t r = 0; r < frame.height; ++r) {
    const int32_t y = frame.topDown ? r : frame.height - 1 - r;
    const size_t start = frame.rowBytes * static_cast<size_t>(r);
    const size_t inRow = available > start ? std::min(available - start, frame.rowBytes) : 0;
    const int32_t complete = static_cast<int32_t>(std::min<size_t>(frame.width, inRow / filePixelBytes));
    if (sum && complete == frame.width) {
      decoder.add(frame.rows() + start, complete, reinterpret_cast<float*>(sum->row(y)), decoded.data());
      continue;
    }
    uint8_t* out = sum ? reinterpret_cast<uint8_t*>(decoded.data()) : image->row(y);
    if (complete < frame.width) std::memset(out, 0, static_cast<size_t>(shape.rowBytes));
    if (complete > 0) decoder.decode(frame.rows() + start, complete, out);
    if (sum) {
      float* row = reinterpret_cast<float*>(sum->row(y));
      for (size_t i = 0; i < decoded.size(); ++i) row[i] = row[i] + decoded[i];
    }
  }
  if (target.slot) *target.slot = std::move(image);
  return true;
}

// The frame whose picture frame `frameIndex` shows: a dropped frame (no
// data) shows the frame before it. -1, with the reason, when there is none.
int32_t pictureFrame(const ParsedVideo& video, int32_t frameIndex, std::string* why) {
  const std::vector<AviFrameEntry>& frames = video.index.frames;
  if (static_cast<size_t>(frameIndex) >= frames.size()) {
    refuse(why, "frame " + std::to_string(frameIndex) + " does not exist (the video has " +
                    std::to_string(frames.size()) + " frames)");
    return -1;
  }
  int32_t source = frameIndex;
  while (source >= 0 && frames[source].size == 0) --source;
  if (source < 0) refuse(why, "frame " + std::to_string(frameIndex) + " has no picture");
  return source;
}

// Whether an uncompressed frame's size is one its bytes could justify; a
// short frame still reads, with its missing rows black.
bool plausibleDibFrame(const VideoFormat& f, const AviFrameEntry& frame, std::string* why) {
  const uint64_t declared = dibRowBytes(f.bitCount, f.width) * static_cast<uint64_t>(f.height < 0 ? -int64_t{f.height} : f.height);
  if (!declaredSizeIsPlausible(declared, frame.size))
    return refuse(why, "frame of " + std::to_string(declared) + " bytes is stored in " + std::to_string(frame.size));
  return true;
}

// Reads frame `frameIndex` of `video`, decoding compressed frames with `kept`.
bool readFrame(const ParsedVideo& video, KeptDecoder& kept, ByteInput& input, int32_t frameIndex,
               const FrameTarget& target, std::string* why) {
  const int32_t source = pictureFrame(video, frameIndex, why);
  if (source < 0) return false;
  const AviFrameEntry& stored = video.index.frames[source];
  if (video.uncompressed) {
    if (!plausibleDibFrame(video.format, stored, why)) return false;
    DibFrame frame;
    uncompressedFrame(video.format, readFrameBytes(input, stored), frame);
    return storeFrame(frame, target, why);
  }
  if (video.rawGrey) {
    DibFrame frame;
    return greyFrame(video.format, readFrameBytes(input, stored), frame, why) && storeFrame(frame, target, why);
  }
  std::lock_guard<std::mutex> lock(kept.mutex);
  if (!decodeFrame(video, kept, input, source, why)) {
    kept.decoder.reset();
    kept.lastFrame = -1;
    return false;
  }
  return storeFrame(kept.last, target, why);
}

bool checkRequest(int32_t frameIndex, PixelFormat format, std::string* why) {
  if (frameIndex < 0) return refuse(why, "frame " + std::to_string(frameIndex) + " does not exist");
  if (!isValidFormat(format))
    return refuse(why, "pixel format " + std::to_string(static_cast<int>(format)) + " is not supported");
  return true;
}

}  // namespace

int32_t aviFrameCount(const std::string& path, std::string* why) {
  VideoFile file;
  if (!file.open(path, why)) return 0;
  const std::shared_ptr<CachedVideo> video = lookUp(path, file, why);
  if (!video) return 0;
  return static_cast<int32_t>(std::min<size_t>(video->parsed.index.frames.size(), INT32_MAX));
}

bool aviFrameSize(const std::string& path, int32_t& width, int32_t& height, std::string* why) {
  VideoFile file;
  if (!file.open(path, why)) return false;
  const std::shared_ptr<CachedVideo> video = lookUp(path, file, why);
  if (!video) return false;
  const ParsedVideo& parsed = video->parsed;
  const int32_t source = pictureFrame(parsed, 0, why);
  if (source < 0) return false;
  const AviFrameEntry& stored = parsed.index.frames[source];
  const VideoFormat& f = parsed.format;
  if (parsed.uncompressed || parsed.rawGrey) {
    if (parsed.uncompressed ? !plausibleDibFrame(f, stored, why) : !greyFrameFits(f, storedBytes(file, stored), why))
      return false;
    width = f.width;
    height = f.height < 0 ? -f.height : f.height;
    return true;
  }
  // A codec may refuse the stream or give another size: only decoding says.
  ImageSlot first;
  if (!readFrame(parsed, video->decoding, file, source, {PixelFormat::Gray8, &first}, why)) return false;
  width = first->width;
  height = first->height;
  return true;
}

bool readAviFrame(const std::string& path, int32_t frameIndex, PixelFormat format, ImageSlot& slot, std::string* why) {
  if (!checkRequest(frameIndex, format, why)) return false;
  VideoFile file;
  if (!file.open(path, why)) return false;
  const std::shared_ptr<CachedVideo> video = lookUp(path, file, why);
  return video && readFrame(video->parsed, video->decoding, file, frameIndex, {format, &slot}, why);
}

bool addAviFrame(const std::string& path, int32_t frameIndex, ImageBuffer& sum) {
  if (!checkRequest(frameIndex, sum.format, nullptr) || !isFloatFormat(sum.format)) return false;
  VideoFile file;
  if (!file.open(path, nullptr)) return false;
  const std::shared_ptr<CachedVideo> video = lookUp(path, file, nullptr);
  return video && readFrame(video->parsed, video->decoding, file, frameIndex, {sum.format, nullptr, &sum}, nullptr);
}

bool readAviFrame(ByteInput& input, int32_t frameIndex, PixelFormat format, ImageSlot& slot, std::string* why) {
  if (!checkRequest(frameIndex, format, why)) return false;
  ParsedVideo video;
  if (!parseVideo(input, video, why)) return false;
  KeptDecoder decoding;
  return readFrame(video, decoding, input, frameIndex, {format, &slot}, why);
}

void clearAviReadCache() {
  std::lock_guard<std::mutex> lock(cacheMutex);
  cache.clear();
}

}  // namespace stelp
