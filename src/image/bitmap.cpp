#include "bitmap.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>
#include <type_traits>
#include <vector>

#include "numeric.h"

namespace stelp {
namespace {

constexpr uint32_t kCompressionRgb = 0;
constexpr uint32_t kCompressionBitFields = 3;
constexpr uint32_t kRedMask = 0x00FF0000;
constexpr uint32_t kGreenMask = 0x0000FF00;
constexpr uint32_t kBlueMask = 0x000000FF;
constexpr size_t kBitFieldsBytes = 12;
// The sizes of info header in use: the 40-byte header and the larger ones
// that begin with it (Adobe's 52 and 56, OS/2 2.x's 64, versions 4 and 5). The
// 12-byte core header and OS/2 2.x's 16-byte short form hold 16-bit sizes and
// no fields past them, and are not read.
constexpr uint32_t kCoreHeaderSize = 12;
constexpr uint32_t kOs2ShortHeaderSize = 16;
constexpr uint32_t kInfoHeaderSizes[] = {40, 52, 56, 64, 108, 124};
constexpr size_t kChunkBytes = size_t{1} << 20;  // rows are read about 1 MiB at a time

struct Bgr {
  uint8_t blue, green, red;
};

template <int BitCount>
inline Bgr sourcePixel(const uint8_t* source, int32_t x) {
  const uint8_t* p = source + (BitCount / 8) * x;
  return {p[0], p[1], p[2]};
}

inline int greyOf(Bgr p) { return (p.blue + 2 * p.green + p.red) / 4; }

template <typename T>
inline void put(uint8_t* destination, size_t index, T value) {
  std::memcpy(destination + index * sizeof(T), &value, sizeof(T));
}

// The value a grey format stores for grey level `grey`.
template <typename T>
inline T greyValue(int grey) {
  if constexpr (std::is_same_v<T, uint16_t>) return static_cast<uint16_t>(grey * 256);
  if constexpr (std::is_same_v<T, uint32_t>) return static_cast<uint32_t>(grey) * 16777216u;
  return static_cast<T>(grey);
}

template <int BitCount>
void decodeRow(const uint8_t* source, int32_t width, PixelFormat format, uint8_t* destination) {
  auto grey = [](Bgr p) { return greyOf(p); };
  switch (format) {
    case PixelFormat::Gray8:
      for (int32_t x = 0; x < width; ++x) destination[x] = greyValue<uint8_t>(grey(sourcePixel<BitCount>(source, x)));
      break;
    case PixelFormat::Gray16:
      for (int32_t x = 0; x < width; ++x)
        put(destination, x, greyValue<uint16_t>(grey(sourcePixel<BitCount>(source, x))));
      break;
    case PixelFormat::Gray32:
      for (int32_t x = 0; x < width; ++x)
        put(destination, x, greyValue<uint32_t>(grey(sourcePixel<BitCount>(source, x))));
      break;
    case PixelFormat::GrayFloat:
      for (int32_t x = 0; x < width; ++x) put(destination, x, greyValue<float>(grey(sourcePixel<BitCount>(source, x))));
      break;
    case PixelFormat::Bgr24:
      for (int32_t x = 0; x < width; ++x) {
        const Bgr p = sourcePixel<BitCount>(source, x);
        destination[3 * x] = p.blue;
        destination[3 * x + 1] = p.green;
        destination[3 * x + 2] = p.red;
      }
      break;
    case PixelFormat::BgrFloat:
      for (int32_t x = 0; x < width; ++x) {
        const Bgr p = sourcePixel<BitCount>(source, x);
        put(destination, 3 * size_t(x), static_cast<float>(p.blue));
        put(destination, 3 * size_t(x) + 1, static_cast<float>(p.green));
        put(destination, 3 * size_t(x) + 2, static_cast<float>(p.red));
      }
      break;
    case PixelFormat::None:
      break;
  }
}

// Each index of an 8-bit row becomes the table entry of `T` values it
// indexes: one look-up and one copy per pixel.
template <typename T, int Values>
void lookUpRow(const uint8_t* source, const uint8_t* table, int32_t width, uint8_t* destination) {
  constexpr size_t kEntryBytes = sizeof(T) * Values;
  for (int32_t x = 0; x < width; ++x)
    std::memcpy(destination + kEntryBytes * static_cast<size_t>(x), table + kEntryBytes * source[x], kEntryBytes);
}

// The same for a palette that is the grey ramp (entry i is grey i): each
// index is the grey level itself, so the values are computed from it, a loop
// the compiler vectorises, rather than looked up.
template <typename T, int Values>
void rampRow(const uint8_t* source, int32_t width, uint8_t* destination) {
  T* out = reinterpret_cast<T*>(destination);
  for (int32_t x = 0; x < width; ++x) {
    const T value = greyValue<T>(source[x]);
    for (int c = 0; c < Values; ++c) out[static_cast<size_t>(x) * Values + c] = value;
  }
}

// The low 8 bits of a float truncated toward zero, held within the range of
// a 32-bit integer (NaN as 0): truncSaturate<int32_t>'s result, written with
// selects so that the loop over a row vectorises.
inline uint8_t floatByte(const uint8_t* p) {
  float v;
  std::memcpy(&v, p, sizeof v);
  constexpr float kLowest = -2147483648.0f, kPast = 2147483648.0f;
  const float held = v >= kPast ? 0.0f : (v > kLowest ? v : kLowest);  // NaN: kLowest, whose low bits are 0
  const uint8_t low = static_cast<uint8_t>(static_cast<int32_t>(held));
  return v >= kPast ? uint8_t{255} : low;
}

}  // namespace

std::vector<uint8_t> greyPalette() {
  std::vector<uint8_t> palette(kBitmapPaletteBytes, 0);
  for (size_t i = 0; i < kBitmapPaletteEntries; ++i)
    palette[4 * i] = palette[4 * i + 1] = palette[4 * i + 2] = static_cast<uint8_t>(i);
  return palette;
}

uint64_t dibRowBytes(int bitCount, int64_t width) {
  const uint64_t w = width > 0 ? static_cast<uint64_t>(width) : 0;
  return ((w * static_cast<uint64_t>(bitCount / 8)) + 3) & ~uint64_t{3};
}

DibRowDecoder::DibRowDecoder(int bitCount, const uint8_t* palette, PixelFormat format)
    : bitCount_(bitCount), format_(format) {
  if (bitCount != 8) return;
  greyRamp_ = true;
  for (size_t i = 0; i < kBitmapPaletteEntries; ++i) {
    const uint8_t* entry = palette + 4 * i;
    const uint8_t level = static_cast<uint8_t>(i);
    greyRamp_ = greyRamp_ && entry[0] == level && entry[1] == level && entry[2] == level;
    const Bgr p{entry[0], entry[1], entry[2]};
    switch (format) {
      case PixelFormat::Gray8: put(table_, i, greyValue<uint8_t>(greyOf(p))); break;
      case PixelFormat::Gray16: put(table_, i, greyValue<uint16_t>(greyOf(p))); break;
      case PixelFormat::Gray32: put(table_, i, greyValue<uint32_t>(greyOf(p))); break;
      case PixelFormat::GrayFloat: put(table_, i, greyValue<float>(greyOf(p))); break;
      case PixelFormat::Bgr24:
        for (size_t c = 0; c < 3; ++c) table_[3 * i + c] = entry[c];
        break;
      case PixelFormat::BgrFloat:
        for (size_t c = 0; c < 3; ++c) put(table_, 3 * i + c, static_cast<float>(entry[c]));
        break;
      case PixelFormat::None:
        break;
    }
  }
}

void DibRowDecoder::decode(const uint8_t* source, int32_t width, uint8_t* destination) const {
  switch (bitCount_) {
    case 8:
      if (greyRamp_) {
        switch (format_) {
          case PixelFormat::Gray8: std::memcpy(destination, source, static_cast<size_t>(width)); break;
          case PixelFormat::Gray16: rampRow<uint16_t, 1>(source, width, destination); break;
          case PixelFormat::Gray32: rampRow<uint32_t, 1>(source, width, destination); break;
          case PixelFormat::GrayFloat: rampRow<float, 1>(source, width, destination); break;
          case PixelFormat::Bgr24: rampRow<uint8_t, 3>(source, width, destination); break;
          case PixelFormat::BgrFloat: rampRow<float, 3>(source, width, destination); break;
          case PixelFormat::None: break;
        }
        break;
      }
      switch (format_) {
        case PixelFormat::Gray8: lookUpRow<uint8_t, 1>(source, table_, width, destination); break;
        case PixelFormat::Gray16: lookUpRow<uint16_t, 1>(source, table_, width, destination); break;
        case PixelFormat::Gray32: lookUpRow<uint32_t, 1>(source, table_, width, destination); break;
        case PixelFormat::GrayFloat: lookUpRow<float, 1>(source, table_, width, destination); break;
        case PixelFormat::Bgr24: lookUpRow<uint8_t, 3>(source, table_, width, destination); break;
        case PixelFormat::BgrFloat: lookUpRow<float, 3>(source, table_, width, destination); break;
        case PixelFormat::None: break;
      }
      break;
    case 24: decodeRow<24>(source, width, format_, destination); break;
    case 32: decodeRow<32>(source, width, format_, destination); break;
    default: break;
  }
}

void DibRowDecoder::add(const uint8_t* source, int32_t width, float* sum, float* scratch) const {
  if (bitCount_ == 8 && greyRamp_ && format_ == PixelFormat::GrayFloat) {
    // Grey levels: converted and added in one loop.
    for (int32_t x = 0; x < width; ++x) sum[x] = sum[x] + greyValue<float>(source[x]);
    return;
  }
  decode(source, width, reinterpret_cast<uint8_t*>(scratch));
  const size_t values = static_cast<size_t>(width) * (format_ == PixelFormat::BgrFloat ? 3 : 1);
  for (size_t i = 0; i < values; ++i) sum[i] = sum[i] + scratch[i];
}

void decodeDibRow(const uint8_t* source, int bitCount, const uint8_t* palette, int32_t width,
                  PixelFormat format, uint8_t* destination) {
  DibRowDecoder(bitCount, palette, format).decode(source, width, destination);
}

size_t encodeDibRow(const uint8_t* source, PixelFormat format, int32_t width, uint8_t* destination) {
  const bool colour = isColourFormat(format);
  const size_t rowBytes = static_cast<size_t>(dibRowBytes(colour ? 24 : 8, width));
  const size_t samples = static_cast<size_t>(width) * (colour ? 3 : 1);
  switch (format) {
    case PixelFormat::Gray8:
    case PixelFormat::Bgr24:
      std::memcpy(destination, source, samples);
      break;
    case PixelFormat::GrayFloat:
    case PixelFormat::BgrFloat:
      for (size_t i = 0; i < samples; ++i) destination[i] = floatByte(source + 4 * i);
      break;
    // 16- and 32-bit grey go back to the 8-bit scale they were read from.
    case PixelFormat::Gray16:
      for (size_t i = 0; i < samples; ++i) {
        uint16_t v;
        std::memcpy(&v, source + 2 * i, sizeof v);
        destination[i] = static_cast<uint8_t>(v >> 8);
      }
      break;
    case PixelFormat::Gray32:
      for (size_t i = 0; i < samples; ++i) {
        uint32_t v;
        std::memcpy(&v, source + 4 * i, sizeof v);
        destination[i] = static_cast<uint8_t>(v >> 24);
      }
      break;
    case PixelFormat::None:
      break;
  }
  std::memset(destination + samples, 0, rowBytes - samples);
  return rowBytes;
}

namespace {

// Where a bitmap's pixels lie, from its checked headers.
struct BitmapLayout {
  int32_t width = 0;
  int32_t height = 0;
  bool topDown = false;
  int bitCount = 0;
  uint64_t paletteOffset = 0;
  uint64_t paletteCount = 0;
  uint64_t rowsOffset = 0;
  uint64_t rowBytes = 0;
};

// Reads and checks the headers: everything a read refuses before it reads
// pixels.
bool readBitmapLayout(ByteInput& input, BitmapLayout& layout, std::string* why) {
  uint8_t header[kBitmapFileHeaderSize + kBitmapInfoHeaderSize];
  const size_t got = input.readAt(0, header, sizeof header);
  if (got < 2 || header[0] != 'B' || header[1] != 'M') return refuse(why, "not a bitmap file (no BM signature)");
  if (got < sizeof header) return refuse(why, "bitmap header is cut short");

  const uint32_t offBits = loadLe32(header + 10);
  const uint8_t* info = header + kBitmapFileHeaderSize;
  const uint32_t infoSize = loadLe32(info);
  const int32_t width = static_cast<int32_t>(loadLe32(info + 4));
  const int32_t signedHeight = static_cast<int32_t>(loadLe32(info + 8));
  const int bitCount = loadLe16(info + 14);
  const uint32_t compression = loadLe32(info + 16);
  const uint32_t colorsUsed = loadLe32(info + 32);

  if (infoSize == kCoreHeaderSize || infoSize == kOs2ShortHeaderSize)
    return refuse(why, "info header of " + std::to_string(infoSize) + " bytes is not supported");
  if (std::find(std::begin(kInfoHeaderSizes), std::end(kInfoHeaderSizes), infoSize) == std::end(kInfoHeaderSizes))
    return refuse(why, "info header size (biSize) " + std::to_string(infoSize) + " is not a bitmap header size");
  if (kBitmapFileHeaderSize + uint64_t{infoSize} > input.size())
    return refuse(why, "info header size (biSize) " + std::to_string(infoSize) + " runs past the end of the file");
  if (bitCount != 8 && bitCount != 24 && bitCount != 32)
    return refuse(why, std::to_string(bitCount) + "-bit bitmaps are not supported");
  if (compression == kCompressionBitFields && bitCount == 32) {
    // The three masks follow the 40-byte header, or stand inside a larger one:
    // at the same place in the file either way.
    uint8_t masks[kBitFieldsBytes];
    if (input.readAt(kBitmapFileHeaderSize + kBitmapInfoHeaderSize, masks, sizeof masks) != sizeof masks)
      return refuse(why, "bit field masks are cut short");
    if (loadLe32(masks) != kRedMask || loadLe32(masks + 4) != kGreenMask || loadLe32(masks + 8) != kBlueMask)
      return refuse(why, "bit field masks other than 8-8-8 are not supported");
  } else if (compression != kCompressionRgb) {
    return refuse(why, "compressed bitmaps (compression " + std::to_string(compression) + ") are not supported");
  }
  if (width <= 0) return refuse(why, "width " + std::to_string(width) + " is not supported");
  if (signedHeight == 0 || signedHeight == std::numeric_limits<int32_t>::min())
    return refuse(why, "height " + std::to_string(signedHeight) + " is not supported");
  if (bitCount == 8 && colorsUsed > kBitmapPaletteEntries)
    return refuse(why, "palette of " + std::to_string(colorsUsed) + " colours is too large");
  const bool topDown = signedHeight < 0;
  const int32_t height = topDown ? -signedHeight : signedHeight;

  // The palette follows the info header (and the masks of a 40-byte
  // BI_BITFIELDS header). The rows start at bfOffBits when it lies past the
  // palette and inside the file, as every peer reads them; a gap there is not
  // pixels. Otherwise (bfOffBits is often 0 or wrong) they follow the palette.
  uint64_t paletteOffset = kBitmapFileHeaderSize + uint64_t{infoSize};
  if (compression == kCompressionBitFields && infoSize == kBitmapInfoHeaderSize) paletteOffset += kBitFieldsBytes;
  const uint64_t paletteCount = colorsUsed != 0 ? colorsUsed : (bitCount == 8 ? kBitmapPaletteEntries : 0);
  const uint64_t paletteEnd = paletteOffset + 4 * paletteCount;
  const uint64_t rowsOffset = offBits >= paletteEnd && offBits < input.size() ? offBits : paletteEnd;

  const uint64_t rowBytes = dibRowBytes(bitCount, width);
  const uint64_t declared = rowBytes * static_cast<uint64_t>(height);
  const uint64_t available = input.size() > rowsOffset ? input.size() - rowsOffset : 0;
  if (!declaredSizeIsPlausible(declared, available))
    return refuse(why, "header declares " + std::to_string(declared) + " pixel bytes but the file holds " +
                           std::to_string(available));
  layout = {width, height, topDown, bitCount, paletteOffset, paletteCount, rowsOffset, rowBytes};
  return true;
}

}  // namespace

bool bitmapFrameSize(const std::string& path, int32_t& width, int32_t& height, std::string* why) {
  FileInput input;
  BitmapLayout layout;
  if (!input.open(path, why) || !readBitmapLayout(input, layout, why)) return false;
  width = layout.width;
  height = layout.height;
  return true;
}

bool readBitmap(ByteInput& input, PixelFormat format, ImageSlot& slot, std::string* why) {
  if (!isValidFormat(format))
    return refuse(why, "pixel format " + std::to_string(static_cast<int>(format)) + " is not supported");
  BitmapLayout layout;
  if (!readBitmapLayout(input, layout, why)) return false;
  const auto [width, height, topDown, bitCount, paletteOffset, paletteCount, rowsOffset, rowBytes] = layout;

  // Entries past the ones the file gives stay black.
  uint8_t palette[kBitmapPaletteBytes] = {};
  if (bitCount == 8) input.readAt(paletteOffset, palette, static_cast<size_t>(4 * paletteCount));

  auto image = std::make_unique<ImageBuffer>();
  image->setFormat(format);
  image->width = width;
  image->height = height;
  if (!image->allocate()) return refuse(why, "not enough memory for the image");

  const size_t filePixelBytes = static_cast<size_t>(bitCount / 8);
  const DibRowDecoder decoder(bitCount, palette, format);
  const int32_t rowsPerChunk = static_cast<int32_t>(std::clamp<uint64_t>(kChunkBytes / rowBytes, 1, height));
  std::vector<uint8_t> chunk(static_cast<size_t>(rowBytes) * static_cast<size_t>(rowsPerChunk));
  for (int32_t first = 0; first < height; first += rowsPerChunk) {
    const int32_t rows = std::min(rowsPerChunk, height - first);
    const size_t got = input.readAt(rowsOffset + rowBytes * static_cast<uint64_t>(first), chunk.data(),
                                    static_cast<size_t>(rowBytes) * static_cast<size_t>(rows));
    for (int32_t r = 0; r < rows; ++r) {
      const int32_t fileRow = first + r;
      uint8_t* out = image->row(topDown ? fileRow : height - 1 - fileRow);
      const size_t start = static_cast<size_t>(rowBytes) * static_cast<size_t>(r);
      const size_t inRow = got > start ? std::min<size_t>(got - start, rowBytes) : 0;
      const int32_t complete = static_cast<int32_t>(std::min<size_t>(width, inRow / filePixelBytes));
      // Pixels the file does not hold read as black.
      if (complete < width) std::memset(out, 0, static_cast<size_t>(image->rowBytes));
      decoder.decode(chunk.data() + start, complete, out);
    }
  }
  slot = std::move(image);
  return true;
}

bool readBitmap(const std::string& path, PixelFormat format, ImageSlot& slot, std::string* why) {
  FileInput input;
  if (!input.open(path, why)) return false;
  return readBitmap(input, format, slot, why);
}

bool writeBitmap(const std::string& path, const ImageBuffer& image, std::string* why) {
  if (!image.pixels || !isValidFormat(image.format) || image.width <= 0 || image.height <= 0)
    return refuse(why, "no image to write");
  const bool colour = isColourFormat(image.format);
  const int bitCount = colour ? 24 : 8;
  const uint64_t rowBytes = dibRowBytes(bitCount, image.width);
  const uint64_t imageBytes = rowBytes * static_cast<uint64_t>(image.height);
  const uint64_t offBits = kBitmapFileHeaderSize + kBitmapInfoHeaderSize + (colour ? 0 : kBitmapPaletteBytes);
  const uint64_t fileBytes = offBits + imageBytes;
  if (fileBytes > std::numeric_limits<uint32_t>::max())
    return refuse(why, "image is too large for a bitmap file");

  std::vector<uint8_t> file(static_cast<size_t>(fileBytes));
  uint8_t* p = file.data();
  p[0] = 'B';
  p[1] = 'M';
  storeLe32(p + 2, static_cast<uint32_t>(fileBytes));
  storeLe16(p + 6, 0);
  storeLe16(p + 8, 0);
  storeLe32(p + 10, static_cast<uint32_t>(offBits));
  uint8_t* info = p + kBitmapFileHeaderSize;
  storeLe32(info, kBitmapInfoHeaderSize);
  storeLe32(info + 4, static_cast<uint32_t>(image.width));
  storeLe32(info + 8, static_cast<uint32_t>(image.height));
  storeLe16(info + 12, 1);
  storeLe16(info + 14, static_cast<uint16_t>(bitCount));
  storeLe32(info + 16, kCompressionRgb);
  storeLe32(info + 20, static_cast<uint32_t>(imageBytes));
  std::memset(info + 24, 0, 16);  // resolution and colour counts
  if (!colour) {
    const std::vector<uint8_t> palette = greyPalette();
    std::memcpy(info + kBitmapInfoHeaderSize, palette.data(), palette.size());
  }
  uint8_t* rows = p + offBits;
  for (int32_t y = image.height - 1; y >= 0; --y)
    rows += encodeDibRow(image.row(y), image.format, image.width, rows);

  FileOutput out;
  if (!out.create(path, why)) return false;
  out.write(file.data(), file.size());
  return out.close(why);
}

}  // namespace stelp
