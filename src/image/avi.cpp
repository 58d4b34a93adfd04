#include "avi.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <list>
#include <mutex>

#include "avi_container.h"
#include "avi_decode.h"
#include "bitmap.h"
#include "byte_io.h"

namespace stelp {
namespace {

// What is kept of a video between two frame reads: its parsed index, and for
// compressed streams the decoder with the position it reached and the last
// picture it gave. Files are still opened for every read; an entry is used
// only while the file keeps its size and modification time.
struct CachedVideo {
  std::string path;
  uint64_t size = 0;
  struct timespec modified {};
  AviStreamIndex index;
  VideoFormat format;
  bool uncompressed = false;
  std::unique_ptr<VideoDecoder> decoder;
  int32_t nextPacket = -1;  // the frame the decoder can continue with; -1: reset first
  int32_t lastFrame = -1;   // the frame whose picture is in `last`
  DibFrame last;
};

constexpr size_t kCachedVideos = 4;

std::mutex cacheMutex;
std::list<std::unique_ptr<CachedVideo>> cache;  // most recently used first

// Pixels of a compressed frame per byte of the whole file, at most. A few
// bytes can decode to the largest picture we accept, which costs seconds and
// gigabytes; a real video of any frame size is far larger than this allows
// (a 1920 x 1080 video needs 507 bytes, its headers alone take more).
constexpr uint64_t kMaxPixelsPerFileByte = 4096;

bool parseVideo(ByteInput& input, CachedVideo& video, std::string* why) {
  if (!parseAvi(input, video.index, why) || !parseVideoFormat(video.index.format, video.format, why)) return false;
  video.uncompressed = isUncompressedDib(video.format);
  const VideoFormat& f = video.format;
  const uint64_t pixels = static_cast<uint64_t>(f.width) * static_cast<uint64_t>(f.height < 0 ? -int64_t{f.height} : f.height);
  if (!video.uncompressed && pixels / kMaxPixelsPerFileByte > input.size())
    return refuse(why, "video frame size " + std::to_string(f.width) + " x " + std::to_string(f.height) +
                           " is more than a file of " + std::to_string(input.size()) + " bytes can hold");
  return true;
}

// The cached entry for `path`, parsed anew when the file changed. Null, with
// a reason, when the file is not a readable video. Call with the mutex held.
CachedVideo* lookUp(const std::string& path, ByteInput& input, std::string* why) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    refuse(why, "not found");
    return nullptr;
  }
  for (auto it = cache.begin(); it != cache.end(); ++it) {
    CachedVideo& entry = **it;
    if (entry.path != path) continue;
    if (entry.size == static_cast<uint64_t>(st.st_size) && entry.modified.tv_sec == st.st_mtim.tv_sec &&
        entry.modified.tv_nsec == st.st_mtim.tv_nsec) {
      cache.splice(cache.begin(), cache, it);
      return cache.front().get();
    }
    cache.erase(it);
    break;
  }
  auto entry = std::make_unique<CachedVideo>();
  entry->path = path;
  entry->size = static_cast<uint64_t>(st.st_size);
  entry->modified = st.st_mtim;
  if (!parseVideo(input, *entry, why)) return nullptr;
  cache.push_front(std::move(entry));
  if (cache.size() > kCachedVideos) cache.pop_back();
  return cache.front().get();
}

// A frame's bytes; an index entry that runs past the end of the file gets
// what the file holds.
std::vector<uint8_t> readFrameBytes(ByteInput& input, const AviFrameEntry& frame) {
  const uint64_t size = input.size();
  std::vector<uint8_t> bytes(frame.offset < size ? std::min<uint64_t>(frame.size, size - frame.offset) : 0);
  bytes.resize(input.readAt(frame.offset, bytes.data(), bytes.size()));
  return bytes;
}

// Decodes frame `target` of a compressed stream: from the nearest key frame
// before it, or on from where the decoder stopped when that is nearer.
bool decodeFrame(CachedVideo& video, ByteInput& input, int32_t target, std::string* why) {
  if (video.lastFrame == target) return true;
  if (!video.decoder) {
    video.decoder = VideoDecoder::create(video.format, video.index.handler, why);
    if (!video.decoder) return false;
    video.nextPacket = -1;
  }
  const std::vector<AviFrameEntry>& frames = video.index.frames;
  int32_t key = target;
  if (!video.decoder->intraOnly()) {
    if (video.index.keyFlagsKnown) {
      while (key > 0 && !(frames[key].key && frames[key].size > 0)) --key;
    } else {
      key = 0;  // without key frame marks only the start is safe
    }
  }
  int32_t start = key;
  if (video.nextPacket >= key && video.nextPacket <= target) {
    start = video.nextPacket;
  } else {
    video.decoder->reset();
  }
  video.lastFrame = -1;
  video.nextPacket = -1;
  bool gotPicture = false;
  for (int32_t p = start; p <= target; ++p) {
    if (frames[p].size == 0) continue;
    const std::vector<uint8_t> bytes = readFrameBytes(input, frames[p]);
    if (!video.decoder->decode(bytes.data(), bytes.size(), gotPicture, video.last, why)) return false;
  }
  if (!gotPicture) {
    // A decoder that holds pictures back gives the last one when drained;
    // it must then start again from a key frame.
    if (!video.decoder->drain(gotPicture, video.last, why)) return false;
    if (!gotPicture) return refuse(why, "frame " + std::to_string(target) + " does not decode");
    video.decoder->reset();
  } else {
    video.nextPacket = target + 1;
  }
  video.lastFrame = target;
  return true;
}

// Builds the buffer from a bitmap frame; rows the frame lacks are black.
bool storeFrame(const DibFrame& frame, PixelFormat format, ImageSlot& slot, std::string* why) {
  if (frame.bitCount != 8 && frame.bitCount != 24 && frame.bitCount != 32)
    return refuse(why, std::to_string(frame.bitCount) + "-bit frames are not supported");
  auto image = std::make_unique<ImageBuffer>();
  image->setFormat(format);
  image->width = frame.width;
  image->height = frame.height;
  if (!image->allocate()) return refuse(why, "not enough memory for the frame");
  const size_t available = frame.storage.size() - frame.rowsOffset;
  const size_t filePixelBytes = static_cast<size_t>(frame.bitCount / 8);
  static const uint8_t kNoPalette[kBitmapPaletteBytes] = {};
  const uint8_t* palette = frame.palette.size() >= kBitmapPaletteBytes ? frame.palette.data() : kNoPalette;
  for (int32_t r = 0; r < frame.height; ++r) {
    uint8_t* out = image->row(frame.topDown ? r : frame.height - 1 - r);
    const size_t start = frame.rowBytes * static_cast<size_t>(r);
    const size_t inRow = available > start ? std::min(available - start, frame.rowBytes) : 0;
    const int32_t complete = static_cast<int32_t>(std::min<size_t>(frame.width, inRow / filePixelBytes));
    if (complete < frame.width) std::memset(out, 0, static_cast<size_t>(image->rowBytes));
    if (complete > 0) decodeDibRow(frame.rows() + start, frame.bitCount, palette, complete, format, out);
  }
  slot = std::move(image);
  return true;
}

}  // namespace

int32_t aviFrameCount(const std::string& path, std::string* why) {
  FileInput input;
  if (!input.open(path, why)) return 0;
  std::lock_guard<std::mutex> lock(cacheMutex);
  const CachedVideo* video = lookUp(path, input, why);
  if (!video) return 0;
  return static_cast<int32_t>(std::min<size_t>(video->index.frames.size(), INT32_MAX));
}

namespace {

// Reads frame `frameIndex` of the video described by `video`.
bool readFrame(CachedVideo& video, ByteInput& input, int32_t frameIndex, PixelFormat format, ImageSlot& slot,
               std::string* why) {
  const std::vector<AviFrameEntry>& frames = video.index.frames;
  if (static_cast<size_t>(frameIndex) >= frames.size())
    return refuse(why, "frame " + std::to_string(frameIndex) + " does not exist (the video has " +
                           std::to_string(frames.size()) + " frames)");
  // A dropped frame (no data) shows the frame before it.
  int32_t source = frameIndex;
  while (source >= 0 && frames[source].size == 0) --source;
  if (source < 0) return refuse(why, "frame " + std::to_string(frameIndex) + " has no picture");

  if (video.uncompressed) {
    // The frame's size must be one its bytes could justify; a short frame
    // still reads, with its missing rows black.
    const VideoFormat& f = video.format;
    const uint64_t declared = dibRowBytes(f.bitCount, f.width) * static_cast<uint64_t>(f.height < 0 ? -int64_t{f.height} : f.height);
    if (!declaredSizeIsPlausible(declared, frames[source].size))
      return refuse(why, "frame of " + std::to_string(declared) + " bytes is stored in " +
                             std::to_string(frames[source].size));
    DibFrame frame;
    uncompressedFrame(video.format, readFrameBytes(input, frames[source]), frame);
    return storeFrame(frame, format, slot, why);
  }
  if (!decodeFrame(video, input, source, why)) {
    video.decoder.reset();
    video.lastFrame = -1;
    return false;
  }
  return storeFrame(video.last, format, slot, why);
}

bool checkRequest(int32_t frameIndex, PixelFormat format, std::string* why) {
  if (frameIndex < 0) return refuse(why, "frame " + std::to_string(frameIndex) + " does not exist");
  if (!isValidFormat(format))
    return refuse(why, "pixel format " + std::to_string(static_cast<int>(format)) + " is not supported");
  return true;
}

}  // namespace

bool readAviFrame(const std::string& path, int32_t frameIndex, PixelFormat format, ImageSlot& slot, std::string* why) {
  if (!checkRequest(frameIndex, format, why)) return false;
  FileInput input;
  if (!input.open(path, why)) return false;
  std::lock_guard<std::mutex> lock(cacheMutex);
  CachedVideo* video = lookUp(path, input, why);
  return video && readFrame(*video, input, frameIndex, format, slot, why);
}

bool readAviFrame(ByteInput& input, int32_t frameIndex, PixelFormat format, ImageSlot& slot, std::string* why) {
  if (!checkRequest(frameIndex, format, why)) return false;
  CachedVideo video;
  if (!parseVideo(input, video, why)) return false;
  return readFrame(video, input, frameIndex, format, slot, why);
}

void clearAviReadCache() {
  std::lock_guard<std::mutex> lock(cacheMutex);
  cache.clear();
}

}  // namespace stelp
