// Writes uncompressed AVI files: one 'vids' stream of DIB frames, an 'idx1'
// index for old readers and OpenDML indexes ('indx', 'ix00', 'dmlh') so the
// file can continue in 'AVIX' segments past the size of one RIFF.

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "avi.h"
#include "avi_container.h"
#include "bitmap.h"
#include "byte_io.h"
#include "numeric.h"

namespace stelp {
namespace {

constexpr uint32_t kAvih = fourCc("avih");
constexpr uint32_t kOdml = fourCc("odml");
constexpr uint32_t kDmlh = fourCc("dmlh");
constexpr uint32_t kIx00 = fourCc("ix00");
constexpr uint32_t kDib = fourCc("DIB ");
constexpr uint32_t kFrameChunk = fourCc("00db");  // stream 0, uncompressed frame

constexpr uint32_t kMicroSecondsPerFrame = 1000000 / kAviFramesPerSecond;
constexpr uint32_t kAvifHasIndex = 0x10;
constexpr uint32_t kQualityDefault = 0xFFFFFFFF;

constexpr uint32_t kAvihBytes = 56;
constexpr uint32_t kStrhBytes = 56;
constexpr uint32_t kDmlhBytes = 248;
// 'indx' has room for this many 'ix00' chunks, one per RIFF segment: 256 GiB
// at the default segment size.
constexpr uint32_t kSuperIndexEntries = 256;
constexpr uint64_t kSuperIndexHeaderBytes = 24;
constexpr uint64_t kSuperIndexEntryBytes = 16;
constexpr uint64_t kStdIndexHeaderBytes = 24;
constexpr uint64_t kStdIndexEntryBytes = 8;
constexpr uint64_t kIdx1EntryBytes = 16;
// Every size and offset inside a segment is a 32-bit field, so no segment may
// pass this, whatever limit the caller sets; a frame must fit comfortably.
constexpr uint64_t kMaxSegmentBytes = std::numeric_limits<uint32_t>::max();
constexpr uint64_t kMaxFrameBytes = uint64_t{1} << 31;
constexpr size_t kPieceBytes = size_t{1} << 20;  // frames are written about 1 MiB at a time
static_assert(sizeof(off_t) >= 8, "offsets past 2 GiB need a 64-bit off_t");

// Little-endian bytes assembled in memory and written in one piece. Every
// chunk we make has an even size, so no chunk needs a pad byte.
class ByteBuilder {
 public:
  void put8(uint8_t v) { bytes.push_back(v); }
  void put16(uint16_t v) {
    for (int i = 0; i < 2; ++i) put8(static_cast<uint8_t>(v >> (8 * i)));
  }
  void put32(uint32_t v) {
    for (int i = 0; i < 4; ++i) put8(static_cast<uint8_t>(v >> (8 * i)));
  }
  void put64(uint64_t v) {
    put32(static_cast<uint32_t>(v));
    put32(static_cast<uint32_t>(v >> 32));
  }
  void zeros(size_t count) { bytes.insert(bytes.end(), count, 0); }

  // Starts a chunk (or a list of `type`) and returns where its size goes;
  // endChunk fills the size in once the contents are added.
  size_t beginChunk(uint32_t id) {
    put32(id);
    put32(0);
    return bytes.size() - 4;
  }
  size_t beginList(uint32_t type) {
    const size_t sizeAt = beginChunk(kListId);
    put32(type);
    return sizeAt;
  }
  void endChunk(size_t sizeAt) { storeLe32(bytes.data() + sizeAt, static_cast<uint32_t>(bytes.size() - sizeAt - 4)); }

  std::vector<uint8_t> bytes;
};

uint64_t stdIndexBytes(uint64_t frames) {
  return uint64_t{kRiffChunkHeaderSize} + kStdIndexHeaderBytes + frames * kStdIndexEntryBytes;
}
uint64_t idx1Bytes(uint64_t frames) { return uint64_t{kRiffChunkHeaderSize} + frames * kIdx1EntryBytes; }

uint16_t rectSide(int32_t pixels) { return static_cast<uint16_t>(std::min<int32_t>(pixels, INT16_MAX)); }

}  // namespace

// The open file, the frame format and where the sizes and counts that are
// only known at the end must be patched in.
class AviOutput {
 public:
  AviOutput() = default;
  AviOutput(const AviOutput&) = delete;
  AviOutput& operator=(const AviOutput&) = delete;
  // A file that was not finished is no valid AVI: its temporary is removed
  // and the file it was to replace stays as it was.
  ~AviOutput() = default;

  bool create(const std::string& path, std::string* why);
  bool writeHeaders(std::string* why);
  bool writeFrame(const ImageBuffer& frame, uint64_t riffLimit, std::string* why);
  bool finish(std::string* why);

  int32_t width = 0;
  int32_t height = 0;
  bool colour = false;
  uint32_t rowBytes = 0;  // of a stored row, padded
  uint32_t frameBytes = 0;
  uint32_t totalFrames = 0;

 private:
  struct SegmentIndex {
    uint64_t offset;    // of the 'ix00' chunk header
    uint32_t bytes;     // of the whole 'ix00' chunk
    uint32_t duration;  // frames it lists
  };

  uint64_t frameStride() const { return uint64_t{kRiffChunkHeaderSize} + frameBytes; }
  // Bytes of the current segment, from 'RIFF' to its end, once it holds
  // `frames` frames and its indexes.
  uint64_t segmentBytes(uint64_t frames) const {
    const uint64_t indexes = stdIndexBytes(frames) + (indexes_.empty() ? idx1Bytes(frames) : 0);
    return moviAt_ + 4 + frames * frameStride() + indexes - riffAt_;
  }
  bool finishSegment();
  bool startExtensionSegment();
  bool write(const void* data, size_t count);
  bool writeAt(uint64_t at, const void* data, size_t count);
  bool patch32(uint64_t at, uint32_t value) {
    uint8_t bytes[4];
    storeLe32(bytes, value);
    return writeAt(at, bytes, sizeof bytes);
  }
  bool failed(std::string* why) const {
    return refuse(why, std::string("write failed: ") + std::strerror(file_.error() != 0 ? file_.error() : EIO));
  }
  uint64_t end() const { return file_.size(); }

  // Written under a temporary name and put in place by finish(), so a failed
  // or abandoned export leaves the previous file of that name as it was.
  FileOutput file_;

  uint64_t avihTotalAt_ = 0;
  uint64_t strhLengthAt_ = 0;
  uint64_t indxAt_ = 0;  // the super index data, after its chunk header
  uint64_t dmlhTotalAt_ = 0;

  uint64_t riffAt_ = 0;  // the current segment's 'RIFF'
  uint64_t moviAt_ = 0;  // its 'movi' fourcc, the base of the offsets in its indexes
  uint32_t segmentFrames_ = 0;
  uint32_t firstSegmentFrames_ = 0;
  std::vector<SegmentIndex> indexes_;  // one per finished segment
  std::vector<uint8_t> piece_;         // rows of the frame being written
};

// Every write is a whole frame or header block and goes straight to the
// file, so a failure such as a full disk is reported by the call that caused
// it, not by a later flush.
bool AviOutput::create(const std::string& path, std::string* why) { return file_.create(path, why); }

bool AviOutput::write(const void* data, size_t count) { return file_.write(data, count); }

// Overwrites bytes written earlier.
bool AviOutput::writeAt(uint64_t at, const void* data, size_t count) { return file_.writeAt(at, data, count); }

// The first segment: the headers, with room for the super index and zeros in
// every count, then the start of its 'movi' list.
bool AviOutput::writeHeaders(std::string* why) {
  const uint32_t bitCount = colour ? 24 : 8;
  const uint32_t bytesPerSecond =
      static_cast<uint32_t>(std::min<uint64_t>(uint64_t{frameBytes} * kAviFramesPerSecond, UINT32_MAX));
  ByteBuilder b;
  const size_t riffSizeAt = b.beginChunk(kRiffId);
  b.put32(kAviForm);
  const size_t hdrlSizeAt = b.beginList(kHeaderList);

  const size_t avihSizeAt = b.beginChunk(kAvih);
  b.put32(kMicroSecondsPerFrame);
  b.put32(bytesPerSecond);
  b.put32(0);  // padding granularity
  b.put32(kAvifHasIndex);
  avihTotalAt_ = b.bytes.size();
  b.put32(0);  // frames in the first segment
  b.put32(0);  // initial frames
  b.put32(1);  // streams
  b.put32(frameBytes);
  b.put32(static_cast<uint32_t>(width));
  b.put32(static_cast<uint32_t>(height));
  b.zeros(16);
  b.endChunk(avihSizeAt);

  const size_t strlSizeAt = b.beginList(kStreamList);
  const size_t strhSizeAt = b.beginChunk(kStreamHeader);
  b.put32(kVideoType);
  b.put32(kDib);
  b.put32(0);  // flags
  b.put16(0);  // priority
  b.put16(0);  // language
  b.put32(0);  // initial frames
  b.put32(1);  // scale: frames come at rate / scale per second
  b.put32(kAviFramesPerSecond);
  b.put32(0);  // start
  strhLengthAt_ = b.bytes.size();
  b.put32(0);  // frames in the whole file
  b.put32(frameBytes);
  b.put32(kQualityDefault);
  b.put32(0);  // sample size: frames vary
  b.put16(0);
  b.put16(0);
  b.put16(rectSide(width));
  b.put16(rectSide(height));
  b.endChunk(strhSizeAt);

  const size_t strfSizeAt = b.beginChunk(kStreamFormat);
  b.put32(kBitmapInfoHeaderSize);
  b.put32(static_cast<uint32_t>(width));
  b.put32(static_cast<uint32_t>(height));  // positive: rows bottom up
  b.put16(1);
  b.put16(static_cast<uint16_t>(bitCount));
  b.put32(0);  // no compression
  b.put32(frameBytes);
  b.put32(0);  // pixels per metre
  b.put32(0);
  b.put32(colour ? 0 : kBitmapPaletteEntries);
  b.put32(0);  // important colours
  if (!colour)
    for (uint8_t byte : greyPalette()) b.put8(byte);
  b.endChunk(strfSizeAt);

  // Filled in at the end; the reserved entries stay zero.
  const size_t indxSizeAt = b.beginChunk(kOpenDmlIndex);
  indxAt_ = b.bytes.size();
  b.zeros(kSuperIndexHeaderBytes + kSuperIndexEntries * kSuperIndexEntryBytes);
  b.endChunk(indxSizeAt);
  b.endChunk(strlSizeAt);

  const size_t odmlSizeAt = b.beginList(kOdml);
  const size_t dmlhSizeAt = b.beginChunk(kDmlh);
  dmlhTotalAt_ = b.bytes.size();
  b.zeros(kDmlhBytes);
  b.endChunk(dmlhSizeAt);
  b.endChunk(odmlSizeAt);
  b.endChunk(hdrlSizeAt);

  b.beginList(kMovieList);
  riffAt_ = riffSizeAt - 4;
  moviAt_ = b.bytes.size() - 4;
  if (!write(b.bytes.data(), b.bytes.size())) return failed(why);
  return true;
}

bool AviOutput::writeFrame(const ImageBuffer& frame, uint64_t riffLimit, std::string* why) {
  if (totalFrames == static_cast<uint32_t>(INT32_MAX)) return refuse(why, "too many frames for one AVI file");
  const uint64_t limit = std::min(riffLimit, kMaxSegmentBytes);
  if (segmentFrames_ > 0 && segmentBytes(segmentFrames_ + 1) > limit) {
    if (indexes_.size() + 1 >= kSuperIndexEntries)
      return refuse(why, "the file would need more than " + std::to_string(kSuperIndexEntries) + " RIFF segments");
    if (!finishSegment() || !startExtensionSegment()) return failed(why);
  }

  // The chunk goes out in pieces of whole rows, so a large frame needs no
  // second full-size copy in memory.
  const size_t rowsPerPiece = std::clamp<size_t>(kPieceBytes / rowBytes, 1, static_cast<size_t>(height));
  piece_.resize(uint64_t{kRiffChunkHeaderSize} + rowsPerPiece * rowBytes);
  storeLe32(piece_.data(), kFrameChunk);
  storeLe32(piece_.data() + 4, frameBytes);
  size_t used = uint64_t{kRiffChunkHeaderSize};
  for (int32_t y = height - 1; y >= 0; --y) {
    used += encodeDibRow(frame.row(y), frame.format, width, piece_.data() + used);
    if (y > 0 && used + rowBytes <= piece_.size()) continue;
    if (!write(piece_.data(), used)) return failed(why);
    used = 0;
  }
  ++segmentFrames_;
  ++totalFrames;
  return true;
}

// Ends the current segment's 'movi' list with its 'ix00' (followed by 'idx1'
// in the first segment) and patches the list and RIFF sizes. The frames lie
// back to back after 'movi', so their offsets follow from their count.
bool AviOutput::finishSegment() {
  const bool first = indexes_.empty();
  const uint64_t ixAt = end();
  ByteBuilder b;
  const size_t ixSizeAt = b.beginChunk(kIx00);
  b.put16(2);  // longs per entry
  b.put8(0);   // sub-type
  b.put8(kIndexOfChunks);
  b.put32(segmentFrames_);
  b.put32(kFrameChunk);
  b.put64(moviAt_);
  b.put32(0);
  // Offsets of the frame data, after its chunk header; bit 31 clear marks a
  // key frame.
  for (uint32_t k = 0; k < segmentFrames_; ++k) {
    b.put32(static_cast<uint32_t>(4 + k * frameStride() + uint64_t{kRiffChunkHeaderSize}));
    b.put32(frameBytes);
  }
  b.endChunk(ixSizeAt);
  const uint64_t moviEnd = ixAt + b.bytes.size();

  if (first) {
    // Offsets of the chunk headers, counted from the 'movi' fourcc.
    const size_t idx1SizeAt = b.beginChunk(kOldIndex);
    for (uint32_t k = 0; k < segmentFrames_; ++k) {
      b.put32(kFrameChunk);
      b.put32(kOldIndexKeyFrame);
      b.put32(static_cast<uint32_t>(4 + k * frameStride()));
      b.put32(frameBytes);
    }
    b.endChunk(idx1SizeAt);
    firstSegmentFrames_ = segmentFrames_;
  }
  if (!write(b.bytes.data(), b.bytes.size())) return false;
  indexes_.push_back({ixAt, static_cast<uint32_t>(stdIndexBytes(segmentFrames_)), segmentFrames_});
  return patch32(moviAt_ - 4, static_cast<uint32_t>(moviEnd - moviAt_)) &&
         patch32(riffAt_ + 4, static_cast<uint32_t>(end() - riffAt_ - uint64_t{kRiffChunkHeaderSize}));
}

bool AviOutput::startExtensionSegment() {
  ByteBuilder b;
  b.beginChunk(kRiffId);
  b.put32(kAviExtensionForm);
  b.beginList(kMovieList);
  riffAt_ = end();
  moviAt_ = end() + uint64_t{kRiffChunkHeaderSize} + 4 + uint64_t{kRiffChunkHeaderSize};
  segmentFrames_ = 0;
  return write(b.bytes.data(), b.bytes.size());
}

bool AviOutput::finish(std::string* why) {
  if (!finishSegment()) return failed(why);

  ByteBuilder super;
  super.put16(4);  // longs per entry
  super.put8(0);   // sub-type
  super.put8(kIndexOfIndexes);
  super.put32(static_cast<uint32_t>(indexes_.size()));
  super.put32(kFrameChunk);
  super.zeros(12);
  for (const SegmentIndex& index : indexes_) {
    super.put64(index.offset);
    super.put32(index.bytes);
    super.put32(index.duration);
  }
  if (!writeAt(indxAt_, super.bytes.data(), super.bytes.size()) || !patch32(avihTotalAt_, firstSegmentFrames_) ||
      !patch32(strhLengthAt_, totalFrames) || !patch32(dmlhTotalAt_, totalFrames))
    return failed(why);

  return file_.close(why);
}

AviWriter::AviWriter() = default;
AviWriter::~AviWriter() = default;

bool openAviWriter(AviWriter& writer, const std::string& path, const ImageBuffer& first, std::string* why) {
  if (writer.output) return refuse(why, "an AVI file is already open");
  if (!first.pixels || !isValidFormat(first.format) || first.width <= 0 || first.height <= 0)
    return refuse(why, "no frame to take the video format from");
  const bool colour = isColourFormat(first.format);
  const uint64_t rowBytes = dibRowBytes(colour ? 24 : 8, first.width);
  const uint64_t frameBytes = rowBytes * static_cast<uint64_t>(first.height);
  if (frameBytes > kMaxFrameBytes)
    return refuse(why, "frame of " + std::to_string(frameBytes) + " bytes is too large for an AVI file");

  auto output = std::make_unique<AviOutput>();
  output->width = first.width;
  output->height = first.height;
  output->colour = colour;
  output->rowBytes = static_cast<uint32_t>(rowBytes);
  output->frameBytes = static_cast<uint32_t>(frameBytes);
  if (!output->create(path, why) || !output->writeHeaders(why)) return false;
  writer.output = std::move(output);
  return true;
}

bool writeAviFrame(AviWriter& writer, const ImageBuffer& frame, std::string* why) {
  if (!writer.output) return refuse(why, "no AVI file is open");
  AviOutput& output = *writer.output;
  if (!frame.pixels || !isValidFormat(frame.format)) return refuse(why, "no frame to write");
  if (frame.width != output.width || frame.height != output.height)
    return refuse(why, "frame of " + std::to_string(frame.width) + "x" + std::to_string(frame.height) +
                           " does not match the video's " + std::to_string(output.width) + "x" +
                           std::to_string(output.height));
  if (isColourFormat(frame.format) != output.colour)
    return refuse(why, output.colour ? "grey frame in a colour video" : "colour frame in a grey video");
  return output.writeFrame(frame, writer.riffLimit, why);
}

bool closeAviWriter(AviWriter& writer, std::string* why) {
  std::unique_ptr<AviOutput> output = std::move(writer.output);
  if (!output) return refuse(why, "no AVI file is open");
  return output->finish(why);
}

}  // namespace stelp
