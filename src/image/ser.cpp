#include "ser.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "numeric.h"

namespace stelp {
namespace {


constexpr int32_t kMono = 0;
constexpr int32_t kFirstBayer = 8;  // RGGB, GRBG, GBRG, BGGR
constexpr int32_t kLastBayer = 11;
constexpr int32_t kRgb = 100;
constexpr int32_t kBgr = 101;
constexpr int32_t kMostBits = 16;

const char* colourName(int32_t id) {
  switch (id) {
    case kMono: return "mono";
    case 8: return "Bayer RGGB";
    case 9: return "Bayer GRBG";
    case 10: return "Bayer GBRG";
    case 11: return "Bayer BGGR";
    case kRgb: return "RGB";
    case kBgr: return "BGR";
    default: return "";
  }
}

int32_t fieldAt(const uint8_t* header, size_t offset) { return static_cast<int32_t>(loadLe32(header + offset)); }

// The raw values of one frame, 8-bit or 16-bit in either byte order.
struct Samples {
  const uint8_t* bytes;
  bool wide;
  bool bigEndian;
  uint32_t at(uint64_t i) const {
    if (!wide) return bytes[i];
    const uint8_t* p = bytes + 2 * i;
    return bigEndian ? (uint32_t{p[0]} << 8) | p[1] : p[0] | (uint32_t{p[1]} << 8);
  }
};

// Writes every pixel of `image` as `scale` makes it of `valueAt(pixel,
// channel)`, the channels of a colour format being blue, green, red. With
// `Add`, each value is added to the one `image` holds instead, as adding the
// stored frame would add it.
template <typename T, bool Add = false, typename ValueAt>
void fill(ImageBuffer& image, int channels, const ValueScale& scale, ValueAt valueAt) {
  for (int32_t y = 0; y < image.height; ++y) {
    T* out = reinterpret_cast<T*>(image.row(y));
    const uint64_t first = static_cast<uint64_t>(y) * static_cast<uint64_t>(image.width);
    for (int32_t x = 0; x < image.width; ++x)
      for (int c = 0; c < channels; ++c) {
        const T value = scale.template to<T>(valueAt(first + x, c));
        T& element = out[x * channels + c];
        if constexpr (Add) {
          element = element + value;
        } else {
          element = value;
        }
      }
  }
}

// Stores the frame in `image`, or with `add` adds it to `image` (a float
// format).
template <typename ValueAt>
void store(ImageBuffer& image, const ValueScale& scale, ValueAt valueAt, bool add) {
  if (add) {
    fill<float, true>(image, image.format == PixelFormat::BgrFloat ? 3 : 1, scale, valueAt);
    return;
  }
  switch (image.format) {
    case PixelFormat::Gray8: fill<uint8_t>(image, 1, scale, valueAt); break;
    case PixelFormat::Gray16: fill<uint16_t>(image, 1, scale, valueAt); break;
    case PixelFormat::Gray32: fill<uint32_t>(image, 1, scale, valueAt); break;
    case PixelFormat::GrayFloat: fill<float>(image, 1, scale, valueAt); break;
    case PixelFormat::Bgr24: fill<uint8_t>(image, 3, scale, valueAt); break;
    case PixelFormat::BgrFloat: fill<float>(image, 3, scale, valueAt); break;
    case PixelFormat::None: break;
  }
}

// Converts one frame's values into `image`. `valueAt` gives the value of
// channel c (blue, green, red; 0 in the grey formats) of a pixel, before
// scaling.
template <typename ValueAt>
void convert(ImageBuffer& image, const SerHeader& header, FitsScale scale, ValueAt valueAt, bool add) {
  ValueScale valueScale{255};
  if (header.bytesPerValue() == 2) {
    if (scale == FitsScale::Camera) {
      valueScale.max = static_cast<double>((uint32_t{1} << header.depth) - 1);
    } else {
      // The frame's greatest output value reads as 255, as a FITS file's does.
      const int channels = isColourFormat(image.format) ? 3 : 1;
      const uint64_t pixels = static_cast<uint64_t>(image.width) * static_cast<uint64_t>(image.height);
      double greatest = 0;
      for (uint64_t p = 0; p < pixels; ++p)
        for (int c = 0; c < channels; ++c) greatest = std::max(greatest, valueAt(p, c));
      valueScale.max = greatest > 0 ? greatest : 1;
    }
  }
  store(image, valueScale, valueAt, add);
}

}  // namespace

bool readSerHeader(ByteInput& input, SerHeader& header, std::string* why) {
  uint8_t bytes[kSerHeaderSize];
  const size_t got = input.readAt(0, bytes, sizeof bytes);
  if (got < kSerFileIdSize || std::memcmp(bytes, kSerFileId, kSerFileIdSize) != 0)
    return refuse(why, "not a SER file (no LUCAM-RECORDER id)");
  if (got < kSerHeaderSize)
    return refuse(why, "SER header is cut short (" + std::to_string(got) + " of " +
                           std::to_string(kSerHeaderSize) + " bytes)");
  SerHeader h;
  h.colourId = fieldAt(bytes, kSerColourIdAt);
  h.littleEndian = fieldAt(bytes, kSerLittleEndianAt);
  h.width = fieldAt(bytes, kSerWidthAt);
  h.height = fieldAt(bytes, kSerHeightAt);
  h.depth = fieldAt(bytes, kSerDepthAt);
  h.declaredFrames = fieldAt(bytes, kSerFrameCountAt);

  const bool bayer = h.colourId >= kFirstBayer && h.colourId <= kLastBayer;
  if (h.colourId != kMono && !bayer && h.colourId != kRgb && h.colourId != kBgr)
    return refuse(why, "colour id " + std::to_string(h.colourId) + " is not supported");
  h.planes = h.colourId == kRgb || h.colourId == kBgr ? 3 : 1;
  if (h.depth < 1 || h.depth > kMostBits)
    return refuse(why, "pixel depth " + std::to_string(h.depth) + " is not supported (1 to 16 bits)");
  if (h.width < 1 || h.height < 1)
    return refuse(why, "image of " + std::to_string(h.width) + " x " + std::to_string(h.height) + " pixels is empty");
  if (h.declaredFrames < 1) return refuse(why, "frame count " + std::to_string(h.declaredFrames) + ": no frames");

  // Width and height are below 2^31, so their product is below 2^62; planes
  // and bytes per value multiply it by at most 6, which could overflow.
  const uint64_t values = static_cast<uint64_t>(h.width) * static_cast<uint64_t>(h.height);
  const uint64_t valueBytes = static_cast<uint64_t>(h.planes) * static_cast<uint64_t>(h.bytesPerValue());
  const uint64_t available = input.size() > kSerHeaderSize ? input.size() - kSerHeaderSize : 0;
  if (values > UINT64_MAX / valueBytes || values * valueBytes > available)
    return refuse(why, "frame of " + std::to_string(h.width) + " x " + std::to_string(h.height) + " x " +
                           std::to_string(valueBytes) + " bytes is more than the file's " +
                           std::to_string(available) + " data bytes");
  h.frameBytes = values * valueBytes;
  h.frames = static_cast<int32_t>(std::min<uint64_t>(static_cast<uint64_t>(h.declaredFrames), available / h.frameBytes));
  header = h;
  return true;
}

bool readSerHeader(const std::string& path, SerHeader& header, std::string* why) {
  FileInput input;
  return input.open(path, why) && readSerHeader(input, header, why);
}

int32_t serFrameCount(const std::string& path, std::string* why) {
  SerHeader header;
  return readSerHeader(path, header, why) ? header.frames : 0;
}

namespace {

// Reads the frame into a new buffer in `slot`, or, with `sum`, adds it to
// `sum` as readSerFrame would read it in sum's format. A frame of another
// size or mosaic than `sum` is refused before anything is added.
bool readFrameInto(ByteInput& input, int32_t frame, PixelFormat format, ImageSlot* slot, ImageBuffer* sum,
                   std::string* why, FitsScale scale) {
  if (!isValidFormat(format))
    return refuse(why, "pixel format " + std::to_string(static_cast<int>(format)) + " is not supported");
  SerHeader header;
  if (!readSerHeader(input, header, why)) return false;
  if (frame < 0 || frame >= header.frames)
    return refuse(why, "frame " + std::to_string(frame) + " does not exist (the video has " +
                           std::to_string(header.frames) + " frames)");

  // Frames are stored top row first, so the id names the pattern at the
  // top-left pixel as Stelp holds it.
  const BayerPattern bayer = isColourFormat(format) ? BayerPattern::None : serBayerPattern(header);
  std::unique_ptr<ImageBuffer> image;
  if (sum) {
    if (sum->width != header.width || sum->height != header.height || sum->bayer != bayer)
      return refuse(why, "the frame differs from the sum in size or mosaic");
  } else {
    image = std::make_unique<ImageBuffer>();
    image->setFormat(format);
    image->width = header.width;
    image->height = header.height;
    if (!image->allocate()) return refuse(why, "not enough memory for the frame");
    image->bayer = bayer;
  }
  ImageBuffer& target = sum ? *sum : *image;
  // The header check put the frame within the file, so its size fits memory
  // that can be asked for.
  const size_t bytes = static_cast<size_t>(header.frameBytes);
  std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[bytes]);
  if (!data) return refuse(why, "not enough memory for the frame");
  const uint64_t offset = kSerHeaderSize + static_cast<uint64_t>(frame) * header.frameBytes;
  if (input.readAt(offset, data.get(), bytes) != bytes)
    return refuse(why, "frame " + std::to_string(frame) + " is cut short");

  const Samples samples{data.get(), header.bytesPerValue() == 2, header.bigEndianData()};
  const bool add = sum != nullptr;
  if (header.planes == 1) {
    convert(target, header, scale, [&](uint64_t p, int) { return static_cast<double>(samples.at(p)); }, add);
  } else {
    // Where blue, green and red sit among a pixel's three values.
    const int blueAt = header.colourId == kBgr ? 0 : 2;
    const int redAt = 2 - blueAt;
    const bool colour = isColourFormat(format);
    convert(target, header, scale, [&](uint64_t p, int c) {
      const uint64_t first = 3 * p;
      const double blue = samples.at(first + blueAt);
      const double green = samples.at(first + 1);
      const double red = samples.at(first + redAt);
      if (!colour) return (blue + 2 * green + red) / 4;
      return c == 0 ? blue : c == 1 ? green : red;
    }, add);
  }
  if (slot) *slot = std::move(image);
  return true;
}

}  // namespace

bool readSerFrame(ByteInput& input, int32_t frame, PixelFormat format, ImageSlot& slot, std::string* why,
                  FitsScale scale) {
  return readFrameInto(input, frame, format, &slot, nullptr, why, scale);
}

bool readSerFrame(const std::string& path, int32_t frame, PixelFormat format, ImageSlot& slot, std::string* why,
                  FitsScale scale) {
  FileInput input;
  return input.open(path, why) && readFrameInto(input, frame, format, &slot, nullptr, why, scale);
}

bool addSerFrame(const std::string& path, int32_t frame, ImageBuffer& sum, FitsScale scale) {
  FileInput input;
  return isFloatFormat(sum.format) && input.open(path, nullptr) &&
         readFrameInto(input, frame, sum.format, nullptr, &sum, nullptr, scale);
}

BayerPattern serBayerPattern(const SerHeader& header) {
  if (header.colourId < kFirstBayer || header.colourId > kLastBayer) return BayerPattern::None;
  return static_cast<BayerPattern>(header.colourId - kFirstBayer + static_cast<int32_t>(BayerPattern::Rggb));
}

std::string serDescription(const SerHeader& header) {
  std::string text = "depth " + std::to_string(header.depth) + " bits, colour id " +
                     std::to_string(header.colourId) + " (" + colourName(header.colourId) + ")";
  if (header.bytesPerValue() == 2) text += header.bigEndianData() ? ", big-endian" : ", little-endian";
  if (header.frames < header.declaredFrames)
    text += "; the header claims " + std::to_string(header.declaredFrames) + " frames, the file holds " +
            std::to_string(header.frames);
  return text;
}

}  // namespace stelp
