// Writes SER videos: the 178-byte header, the frames one after another, top
// row first, and optionally a trailer of one 8-byte time stamp per frame.
// Reads back what an export keeps of a SER source: the header's details and
// that trailer.

#include "ser_writer.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <utility>

#include "numeric.h"
#include "ser.h"

namespace stelp {
namespace {

constexpr size_t kObserverAt = 42;
constexpr size_t kInstrumentAt = 82;
constexpr size_t kTelescopeAt = 122;
constexpr size_t kDateTimeAt = 162;
constexpr size_t kDateTimeUtcAt = 170;
constexpr size_t kTextFieldSize = 40;
constexpr size_t kTimeStampSize = 8;
static_assert(kDateTimeUtcAt + 8 == kSerHeaderSize);

// Capture programs write 0 for the little-endian data they store, whatever
// the format's description says the field means; readSerFrame reads it so.
constexpr int32_t kLittleEndianField = 0;
constexpr size_t kPieceBytes = size_t{1} << 20;  // frames are written about 1 MiB at a time

uint64_t loadLe64(const uint8_t* p) { return loadLe32(p) | (uint64_t{loadLe32(p + 4)} << 32); }
void storeLe64(uint8_t* p, uint64_t v) {
  storeLe32(p, static_cast<uint32_t>(v));
  storeLe32(p + 4, static_cast<uint32_t>(v >> 32));
}

bool validColourId(int32_t id) {
  return id == kSerMono || id == kSerRgb || (id >= kSerFirstBayer && id <= kSerLastBayer);
}

// An engine value as the integer a camera writes: value x `factor`, rounded
// to the nearest integer and held within 0..`top`; NaN gives 0. The same
// rule as the 16-bit FITS writer's, so the two outputs of a frame agree.
uint32_t cameraInteger(double value, double factor, double top) {
  const double scaled = value * factor;
  return static_cast<uint32_t>(std::round(scaled > 0 ? std::min(scaled, top) : 0.0));
}

// The engine value (0..255) of a stored sample of each pixel format: the
// integer grey formats on the scale the FITS writer reads them on.
double engineValue(uint8_t v) { return v; }
double engineValue(uint16_t v) { return v / 256.0; }
double engineValue(uint32_t v) { return v / 16777216.0; }
double engineValue(float v) { return v; }

// Encodes one row of `width` pixels of `channels` samples of type T into
// `out`: `planes` values per pixel (red, green, blue from blue, green, red),
// one byte or two little-endian bytes each.
template <typename T>
uint8_t* encodeRow(const uint8_t* row, int32_t width, int channels, int planes, SerDepth depth, uint8_t* out) {
  for (int32_t x = 0; x < width; ++x) {
    for (int p = 0; p < planes; ++p) {
      const int channel = planes == 3 ? 2 - p : 0;
      T sample;
      std::memcpy(&sample, row + (static_cast<size_t>(x) * channels + channel) * sizeof(T), sizeof sample);
      if (depth == SerDepth::Sixteen) {
        storeLe16(out, static_cast<uint16_t>(cameraInteger(engineValue(sample), 257.0, 65535.0)));
        out += 2;
      } else if constexpr (std::is_same_v<T, uint8_t>) {
        *out++ = sample;
      } else {
        *out++ = static_cast<uint8_t>(cameraInteger(engineValue(sample), 1.0, 255.0));
      }
    }
  }
  return out;
}

uint8_t* encodeRow(const ImageBuffer& frame, int32_t y, int planes, SerDepth depth, uint8_t* out) {
  const uint8_t* row = frame.row(y);
  switch (frame.format) {
    case PixelFormat::Gray8: return encodeRow<uint8_t>(row, frame.width, 1, planes, depth, out);
    case PixelFormat::Gray16: return encodeRow<uint16_t>(row, frame.width, 1, planes, depth, out);
    case PixelFormat::Gray32: return encodeRow<uint32_t>(row, frame.width, 1, planes, depth, out);
    case PixelFormat::GrayFloat: return encodeRow<float>(row, frame.width, 1, planes, depth, out);
    case PixelFormat::Bgr24: return encodeRow<uint8_t>(row, frame.width, 3, planes, depth, out);
    case PixelFormat::BgrFloat: return encodeRow<float>(row, frame.width, 3, planes, depth, out);
    case PixelFormat::None: break;
  }
  return out;
}

}  // namespace

bool readSerCapture(ByteInput& input, SerCapture& capture, std::string* why) {
  SerHeader header;
  if (!readSerHeader(input, header, why)) return false;
  uint8_t bytes[kSerHeaderSize];
  if (input.readAt(0, bytes, sizeof bytes) != sizeof bytes) return refuse(why, "SER header is cut short");
  SerCapture read;
  std::memcpy(read.details.observer.data(), bytes + kObserverAt, kTextFieldSize);
  std::memcpy(read.details.instrument.data(), bytes + kInstrumentAt, kTextFieldSize);
  std::memcpy(read.details.telescope.data(), bytes + kTelescopeAt, kTextFieldSize);
  read.details.dateTime = loadLe64(bytes + kDateTimeAt);
  read.details.dateTimeUtc = loadLe64(bytes + kDateTimeUtcAt);

  // Every declared frame is in the file, so their bytes are below the
  // file's size and the trailer's end cannot overflow.
  if (header.frames == header.declaredFrames) {
    const uint64_t frames = static_cast<uint64_t>(header.frames);
    const uint64_t trailerAt = kSerHeaderSize + frames * header.frameBytes;
    const uint64_t trailerBytes = frames * kTimeStampSize;
    if (input.size() >= trailerAt + trailerBytes) {
      std::vector<uint8_t> trailer(static_cast<size_t>(trailerBytes));
      if (input.readAt(trailerAt, trailer.data(), trailer.size()) != trailer.size())
        return refuse(why, "the time stamps are cut short");
      read.timeStamps.resize(static_cast<size_t>(frames));
      for (size_t k = 0; k < read.timeStamps.size(); ++k)
        read.timeStamps[k] = loadLe64(trailer.data() + k * kTimeStampSize);
    }
  }
  capture = std::move(read);
  return true;
}

bool readSerCapture(const std::string& path, SerCapture& capture, std::string* why) {
  FileInput input;
  return input.open(path, why) && readSerCapture(input, capture, why);
}

SerLayout serLayoutOf(const ImageBuffer& frame, SerDepth depth) {
  // The Bayer ids follow the order of BayerPattern: RGGB, GRBG, GBRG, BGGR.
  // SER rows run top first as Stelp holds them, so the pattern at Stelp's
  // top-left pixel is the file's.
  int32_t colourId = kSerMono;
  if (isColourFormat(frame.format)) colourId = kSerRgb;
  else if (frame.bayer != BayerPattern::None) colourId = kSerFirstBayer + static_cast<int32_t>(frame.bayer) - 1;
  return {frame.width, frame.height, colourId, depth};
}

// The open file, the layout and the frames written so far.
class SerOutput {
 public:
  explicit SerOutput(const SerLayout& layout) : layout_(layout) {}
  SerOutput(const SerOutput&) = delete;
  SerOutput& operator=(const SerOutput&) = delete;
  // A file that was not finished is removed (FileOutput's destructor) and
  // the file it was to replace stays as it was.
  ~SerOutput() = default;

  bool create(const std::string& path, const SerDetails& details, std::string* why);
  bool writeFrame(const ImageBuffer& frame, std::string* why);
  bool finish(const std::vector<uint64_t>& timeStamps, std::string* why);

  const SerLayout& layout() const { return layout_; }
  int planes() const { return layout_.colourId == kSerRgb ? 3 : 1; }
  size_t rowBytes() const {
    return static_cast<size_t>(layout_.width) * static_cast<size_t>(planes()) *
           (layout_.depth == SerDepth::Sixteen ? 2 : 1);
  }

 private:
  bool failed(std::string* why) const {
    return refuse(why, std::string("write failed: ") + std::strerror(file_.error() != 0 ? file_.error() : EIO));
  }

  const SerLayout layout_;
  FileOutput file_;
  int32_t frames_ = 0;
  std::vector<uint8_t> piece_;  // rows of the frame being written
};

bool SerOutput::create(const std::string& path, const SerDetails& details, std::string* why) {
  uint8_t header[kSerHeaderSize] = {};
  std::memcpy(header, kSerFileId, kSerFileIdSize);
  storeLe32(header + kSerColourIdAt, static_cast<uint32_t>(layout_.colourId));
  storeLe32(header + kSerLittleEndianAt, static_cast<uint32_t>(kLittleEndianField));
  storeLe32(header + kSerWidthAt, static_cast<uint32_t>(layout_.width));
  storeLe32(header + kSerHeightAt, static_cast<uint32_t>(layout_.height));
  storeLe32(header + kSerDepthAt, layout_.depth == SerDepth::Sixteen ? 16 : 8);
  storeLe32(header + kSerFrameCountAt, 0);  // until finish() knows it
  std::memcpy(header + kObserverAt, details.observer.data(), kTextFieldSize);
  std::memcpy(header + kInstrumentAt, details.instrument.data(), kTextFieldSize);
  std::memcpy(header + kTelescopeAt, details.telescope.data(), kTextFieldSize);
  storeLe64(header + kDateTimeAt, details.dateTime);
  storeLe64(header + kDateTimeUtcAt, details.dateTimeUtc);
  if (!file_.create(path, why)) return false;
  if (!file_.write(header, sizeof header)) return failed(why);
  return true;
}

bool SerOutput::writeFrame(const ImageBuffer& frame, std::string* why) {
  if (frames_ == INT32_MAX) return refuse(why, "too many frames for one SER file");
  // The frame goes out in pieces of whole rows, so a large frame needs no
  // second full-size copy in memory.
  const size_t row = rowBytes();
  const size_t rowsPerPiece = std::clamp<size_t>(kPieceBytes / row, 1, static_cast<size_t>(layout_.height));
  piece_.resize(rowsPerPiece * row);
  uint8_t* out = piece_.data();
  for (int32_t y = 0; y < layout_.height; ++y) {
    out = encodeRow(frame, y, planes(), layout_.depth, out);
    if (y + 1 < layout_.height && out + row <= piece_.data() + piece_.size()) continue;
    if (!file_.write(piece_.data(), static_cast<size_t>(out - piece_.data()))) return failed(why);
    out = piece_.data();
  }
  ++frames_;
  return true;
}

bool SerOutput::finish(const std::vector<uint64_t>& timeStamps, std::string* why) {
  if (frames_ == 0) return refuse(why, "no frame was written");
  if (!timeStamps.empty() && timeStamps.size() != static_cast<size_t>(frames_))
    return refuse(why, std::to_string(timeStamps.size()) + " time stamps for " + std::to_string(frames_) + " frames");
  std::vector<uint8_t> trailer(timeStamps.size() * kTimeStampSize);
  for (size_t k = 0; k < timeStamps.size(); ++k) storeLe64(trailer.data() + k * kTimeStampSize, timeStamps[k]);
  uint8_t count[4];
  storeLe32(count, static_cast<uint32_t>(frames_));
  if (!file_.write(trailer.data(), trailer.size()) || !file_.writeAt(kSerFrameCountAt, count, sizeof count))
    return failed(why);
  return file_.close(why);
}

SerWriter::SerWriter() = default;
SerWriter::~SerWriter() = default;

bool openSerWriter(SerWriter& writer, const std::string& path, const SerLayout& layout, const SerDetails& details,
                   std::string* why) {
  if (writer.output) return refuse(why, "a SER file is already open");
  if (!validColourId(layout.colourId))
    return refuse(why, "colour id " + std::to_string(layout.colourId) + " is not written");
  if (layout.width < 1 || layout.height < 1)
    return refuse(why, "frame of " + std::to_string(layout.width) + " x " + std::to_string(layout.height) +
                           " pixels is empty");
  auto output = std::make_unique<SerOutput>(layout);
  // Width and height are below 2^31: a row of at most 6 bytes a pixel fits
  // size_t, and a frame's bytes must fit it too.
  if (static_cast<uint64_t>(layout.height) > SIZE_MAX / output->rowBytes())
    return refuse(why, "frame is too large for this machine");
  if (!output->create(path, details, why)) return false;
  writer.output = std::move(output);
  return true;
}

bool writeSerFrame(SerWriter& writer, const ImageBuffer& frame, std::string* why) {
  if (!writer.output) return refuse(why, "no SER file is open");
  SerOutput& output = *writer.output;
  const SerLayout& layout = output.layout();
  if (!frame.pixels || !isValidFormat(frame.format)) return refuse(why, "no frame to write");
  if (frame.width != layout.width || frame.height != layout.height)
    return refuse(why, "frame of " + std::to_string(frame.width) + "x" + std::to_string(frame.height) +
                           " does not match the video's " + std::to_string(layout.width) + "x" +
                           std::to_string(layout.height));
  const bool colour = output.planes() == 3;
  if (isColourFormat(frame.format) != colour)
    return refuse(why, colour ? "grey frame in a colour video" : "colour frame in a grey video");
  return output.writeFrame(frame, why);
}

bool closeSerWriter(SerWriter& writer, const std::vector<uint64_t>& timeStamps, std::string* why) {
  std::unique_ptr<SerOutput> output = std::move(writer.output);
  if (!output) return refuse(why, "no SER file is open");
  return output->finish(timeStamps, why);
}

}  // namespace stelp
