#include "fits.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "numeric.h"

namespace stelp {
namespace {

constexpr char kSimpleText[] = "SIMPLE  =";
constexpr char kEndText[] = "END     ";
constexpr size_t kKeywordLength = 9;      // keyword, blanks, "=" in column 9
constexpr size_t kValueFirstColumn = 10;  // the value field runs from column 10 ...
constexpr size_t kValueLastColumn = 30;   // ... to column 30; later text is a comment
constexpr double kNotGiven = 1e36;
constexpr double kLargestAxis = 2147483647.0;
constexpr double kMostAxes = 999;  // NAXIS runs from 0 to 999
// No real header reaches this many blocks (360,000 cards); a file without an
// END card is not scanned past it.
constexpr uint64_t kMaxHeaderBlocks = 10000;

struct Keyword {
  const char* text;
  double FitsHeader::*field;
};

constexpr std::array<Keyword, 9> kKeywords = {{
    {"BITPIX  =", &FitsHeader::bitpix},
    {"NAXIS   =", &FitsHeader::naxis},
    {"NAXIS1  =", &FitsHeader::naxis1},
    {"NAXIS2  =", &FitsHeader::naxis2},
    {"BZERO   =", &FitsHeader::bzero},
    {"BSCALE  =", &FitsHeader::bscale},
    {"BLANK   =", &FitsHeader::blank},
    {"DATAMIN =", &FitsHeader::dataMin},
    {"DATAMAX =", &FitsHeader::dataMax},
}};

std::string numberText(double value) {
  char text[32];
  auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

// Parses the value field the way " %lf" would: leading white space, an
// optional sign, a number; anything after it is ignored. Done without the C
// locale functions so that a decimal comma locale cannot change the result.
bool parseValueField(const char* field, size_t length, double& value) {
  size_t i = 0;
  while (i < length && (field[i] == ' ' || (field[i] >= '\t' && field[i] <= '\r'))) ++i;
  if (i < length && field[i] == '+' && i + 1 < length && field[i + 1] != '-') ++i;
  double parsed = 0;
  auto result = std::from_chars(field + i, field + length, parsed);
  if (result.ec != std::errc()) return false;
  value = parsed;
  return true;
}

void parseCard(const char* card, FitsHeader& header) {
  for (const Keyword& keyword : kKeywords) {
    if (std::memcmp(card, keyword.text, kKeywordLength) != 0) continue;
    parseValueField(card + kValueFirstColumn - 1, kValueLastColumn - kValueFirstColumn + 1,
                    header.*keyword.field);
    return;
  }
}

bool acceptHeader(const FitsHeader& h, std::string* why) {
  if (!(h.naxis >= 2)) {
    if (h.naxis == -1) return refuse(why, "NAXIS is missing");
    return refuse(why, "NAXIS " + numberText(h.naxis) + " is not supported (an image needs 2 axes)");
  }
  if (!(h.naxis <= kMostAxes)) return refuse(why, "NAXIS " + numberText(h.naxis) + " is not valid (at most 999 axes)");
  if (!(h.naxis1 > 0)) return refuse(why, "NAXIS1 " + numberText(h.naxis1) + " is not a width");
  if (!(h.naxis2 > 0)) return refuse(why, "NAXIS2 " + numberText(h.naxis2) + " is not a height");
  if (h.bitpix != 8 && h.bitpix != 16 && h.bitpix != 32) {
    if (h.bitpix == -1) return refuse(why, "BITPIX is missing");
    return refuse(why, "BITPIX " + numberText(h.bitpix) + " is not supported");
  }
  if (!(h.bscale > 0)) return refuse(why, "BSCALE " + numberText(h.bscale) + " is not supported");
  // Beyond the acceptance test: the axes must give a buffer that can exist.
  if (!(h.naxis1 < kLargestAxis + 1) || !(h.naxis2 < kLargestAxis + 1))
    return refuse(why, "image of " + numberText(h.naxis1) + " x " + numberText(h.naxis2) +
                           " pixels is too large");
  if (h.naxis1 < 1 || h.naxis2 < 1)
    return refuse(why, "image of " + numberText(h.naxis1) + " x " + numberText(h.naxis2) +
                           " pixels is empty");
  return true;
}

// How data values become output pixels once the brightest value is known:
// each conversion is computed in double precision, integers truncated.
struct Scale {
  double max;
  uint8_t toByte(int64_t v) const { return static_cast<uint8_t>(static_cast<double>(v) * 255.0 / max); }
  uint16_t toWord(int64_t v) const { return static_cast<uint16_t>(static_cast<double>(v) * 65535.0 / max); }
  uint32_t toLong(int64_t v) const {
    return static_cast<uint32_t>(static_cast<double>(v) * 4294901760.0 / max);
  }
  float toFloat(int64_t v) const { return static_cast<float>(static_cast<double>(v) * 255.0 / max); }
};

// Writes the value of every pixel into `image`, `Channels` copies each; the
// first file row is the bottom row of the picture. `valueAt(i)` gives the
// output value of the i-th value in file order, for i below `present`; the
// pixels the file does not hold are black.
template <typename T, int Channels, typename ValueAt>
void fillImage(ImageBuffer& image, uint64_t present, ValueAt valueAt) {
  const int32_t width = image.width;
  for (int32_t fileRow = 0; fileRow < image.height; ++fileRow) {
    uint8_t* out = image.row(image.height - 1 - fileRow);
    const uint64_t first = static_cast<uint64_t>(fileRow) * static_cast<uint64_t>(width);
    const int32_t inRow = static_cast<int32_t>(std::min<uint64_t>(width, present > first ? present - first : 0));
    for (int32_t x = 0; x < inRow; ++x) {
      const T value = valueAt(first + static_cast<uint64_t>(x));
      for (int c = 0; c < Channels; ++c) std::memcpy(out + (x * Channels + c) * sizeof(T), &value, sizeof(T));
    }
    std::memset(out + static_cast<size_t>(inRow) * Channels * sizeof(T), 0,
                static_cast<size_t>(width - inRow) * Channels * sizeof(T));
  }
}

// Dispatches on the requested format: `convert(scale)` returns a functor
// mapping a data value to T for the format's element type T.
template <typename ValueOf>
void storeImage(ImageBuffer& image, uint64_t present, const Scale& scale, ValueOf valueOf) {
  switch (image.pixelFormat()) {
    case PixelFormat::Gray8:
      fillImage<uint8_t, 1>(image, present, [&](uint64_t i) { return scale.toByte(valueOf(i)); });
      break;
    case PixelFormat::Gray16:
      fillImage<uint16_t, 1>(image, present, [&](uint64_t i) { return scale.toWord(valueOf(i)); });
      break;
    case PixelFormat::Gray32:
      fillImage<uint32_t, 1>(image, present, [&](uint64_t i) { return scale.toLong(valueOf(i)); });
      break;
    case PixelFormat::GrayFloat:
      fillImage<float, 1>(image, present, [&](uint64_t i) { return scale.toFloat(valueOf(i)); });
      break;
    case PixelFormat::Bgr24:
      fillImage<uint8_t, 3>(image, present, [&](uint64_t i) { return scale.toByte(valueOf(i)); });
      break;
    case PixelFormat::BgrFloat:
      fillImage<float, 3>(image, present, [&](uint64_t i) { return scale.toFloat(valueOf(i)); });
      break;
    case PixelFormat::None:
      break;
  }
}

// The table variant for 8-bit and 16-bit data: every raw code's output value
// is computed once, then each pixel is a lookup.
template <typename T, int Channels, typename CodeAt>
void fillFromTable(ImageBuffer& image, uint64_t present, const std::vector<int64_t>& valueOfCode,
                   T (Scale::*convert)(int64_t) const, const Scale& scale, CodeAt codeAt) {
  std::vector<T> table(valueOfCode.size());
  for (size_t code = 0; code < table.size(); ++code) table[code] = (scale.*convert)(valueOfCode[code]);
  fillImage<T, Channels>(image, present, [&](uint64_t i) { return table[codeAt(i)]; });
}

template <typename CodeAt>
void storeFromTable(ImageBuffer& image, uint64_t present, const Scale& scale,
                    const std::vector<int64_t>& valueOfCode, CodeAt codeAt) {
  switch (image.pixelFormat()) {
    case PixelFormat::Gray8:
      fillFromTable<uint8_t, 1>(image, present, valueOfCode, &Scale::toByte, scale, codeAt);
      break;
    case PixelFormat::Gray16:
      fillFromTable<uint16_t, 1>(image, present, valueOfCode, &Scale::toWord, scale, codeAt);
      break;
    case PixelFormat::Gray32:
      fillFromTable<uint32_t, 1>(image, present, valueOfCode, &Scale::toLong, scale, codeAt);
      break;
    case PixelFormat::GrayFloat:
      fillFromTable<float, 1>(image, present, valueOfCode, &Scale::toFloat, scale, codeAt);
      break;
    case PixelFormat::Bgr24:
      fillFromTable<uint8_t, 3>(image, present, valueOfCode, &Scale::toByte, scale, codeAt);
      break;
    case PixelFormat::BgrFloat:
      fillFromTable<float, 3>(image, present, valueOfCode, &Scale::toFloat, scale, codeAt);
      break;
    case PixelFormat::None:
      break;
  }
}

// The value of a raw datum: offset added, the null value and negatives black.
// Sums are kept in 64 bits so that unsigned 32-bit data (BZERO 2147483648)
// cannot wrap.
struct ValueRule {
  int64_t offset;
  int64_t nullValue;
  int64_t operator()(int64_t raw) const {
    const int64_t v = raw + offset;
    return (v == nullValue || v < 0) ? 0 : v;
  }
};

// The i-th big-endian datum: 8-bit unsigned, 16- and 32-bit signed.
template <int BytesPerValue>
inline int64_t rawAt(const uint8_t* bytes, uint64_t i) {
  const uint8_t* p = bytes + BytesPerValue * i;
  if constexpr (BytesPerValue == 1) return p[0];
  if constexpr (BytesPerValue == 2) return static_cast<int16_t>((p[0] << 8) | p[1]);
  return static_cast<int32_t>((uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3]);
}

// Finds the brightest value, then converts every datum. Large 8- and 16-bit
// images go through a table of every raw code instead: the occurring codes are
// noted in one pass, and each pixel becomes a lookup; both routes give the
// same values.
template <int BytesPerValue>
void convertData(ImageBuffer& image, const uint8_t* bytes, uint64_t present, uint64_t valueCount,
                 const ValueRule& rule) {
  // Missing pixels are black, so they count as 0 towards the maximum.
  int64_t max = present < valueCount ? 0 : -2147483647;
  constexpr size_t kCodes = BytesPerValue < 4 ? size_t{1} << (8 * BytesPerValue) : 0;
  if (kCodes == 0 || present < 4 * kCodes) {
    auto valueAt = [&](uint64_t i) { return rule(rawAt<BytesPerValue>(bytes, i)); };
    for (uint64_t i = 0; i < present; ++i) max = std::max(max, valueAt(i));
    storeImage(image, present, Scale{static_cast<double>(max == 0 ? 1 : max)}, valueAt);
    return;
  }
  auto codeAt = [bytes](uint64_t i) -> size_t {
    if constexpr (BytesPerValue == 1) return bytes[i];
    return (size_t{bytes[2 * i]} << 8) | bytes[2 * i + 1];
  };
  std::vector<uint8_t> seen(kCodes, 0);
  for (uint64_t i = 0; i < present; ++i) seen[codeAt(i)] = 1;
  std::vector<int64_t> valueOfCode(kCodes, 0);
  for (size_t code = 0; code < kCodes; ++code) {
    if (!seen[code]) continue;  // unused codes stay 0: never above the maximum
    valueOfCode[code] = rule(BytesPerValue == 1 ? static_cast<int64_t>(code)
                                                : static_cast<int64_t>(static_cast<int16_t>(code)));
    max = std::max(max, valueOfCode[code]);
  }
  storeFromTable(image, present, Scale{static_cast<double>(max == 0 ? 1 : max)}, valueOfCode, codeAt);
}

}  // namespace

bool readFitsHeader(ByteInput& input, FitsHeader& header, uint64_t& dataOffset, std::string* why) {
  const uint64_t size = input.size();
  uint64_t offset = 0;
  bool endSeen = false;
  char card[kFitsCardSize];
  // Whole blocks are read, also past the END card, so the data start at a
  // block boundary. A card cut short by the end of the file reads as blanks.
  while (!endSeen && offset < size) {
    if (offset == kMaxHeaderBlocks * kFitsBlockSize)
      return refuse(why, "no END card in the first " + std::to_string(kMaxHeaderBlocks) + " header blocks");
    for (size_t i = 0; i < kFitsCardsPerBlock; ++i, offset += kFitsCardSize) {
      const size_t got = input.readAt(offset, card, kFitsCardSize);
      std::memset(card + got, ' ', kFitsCardSize - got);
      if (offset == 0 && std::memcmp(card, kSimpleText, kKeywordLength) != 0)
        return refuse(why, "not a FITS file (no SIMPLE card)");
      if (endSeen) continue;
      if (std::memcmp(card, kEndText, 8) == 0) {
        endSeen = true;
        continue;
      }
      parseCard(card, header);
    }
  }
  if (offset == 0) return refuse(why, "not a FITS file (empty)");
  if (!acceptHeader(header, why)) return false;
  dataOffset = offset;
  return true;
}

void writeFitsHeader(const FitsHeader& header, std::vector<uint8_t>& out) {
  const size_t start = out.size();
  out.resize(start + kFitsBlockSize, ' ');
  uint8_t* cards = out.data() + start;
  size_t cardIndex = 0;

  // Each value stands right-justified so that its last character is in
  // column 30, the fixed format every FITS reader understands.
  auto putCard = [&](const char* keyword, const std::string& value) {
    uint8_t* card = cards + kFitsCardSize * cardIndex++;
    std::memcpy(card, keyword, std::strlen(keyword));
    const size_t length = std::min(value.size(), kValueLastColumn - kValueFirstColumn);
    std::memcpy(card + kValueLastColumn - length, value.data() + value.size() - length, length);
  };
  // Whole-number keywords are written as integers: CFITSIO and astropy refuse
  // "16.000000" for BITPIX.
  auto integer = [](double v) { return std::to_string(static_cast<long long>(v)); };
  // Real values as C's "%10f": six decimals, at least ten characters.
  auto fixed = [](double v) {
    char text[400];
    auto result = std::to_chars(text, text + sizeof text, v, std::chars_format::fixed, 6);
    std::string s(text, result.ptr);
    if (s.size() < 10) s.insert(0, 10 - s.size(), ' ');
    return s;
  };

  putCard("SIMPLE  =", "T");
  putCard("BITPIX  =", integer(header.bitpix));
  putCard("NAXIS   =", integer(header.naxis));
  putCard("NAXIS1  =", integer(header.naxis1));
  putCard("NAXIS2  =", integer(header.naxis2));
  putCard("BZERO   =", fixed(header.bzero));
  putCard("BSCALE  =", fixed(header.bscale));
  // BLANK, DATAMIN and DATAMAX are left out: the values we write have no null
  // value, and a BLANK card would have to hold an integer.
  std::memcpy(cards + kFitsCardSize * cardIndex, "END", 3);
}

bool readFits(ByteInput& input, PixelFormat format, ImageSlot& slot, std::string* why) {
  if (!isValidFormat(format))
    return refuse(why, "pixel format " + std::to_string(static_cast<int>(format)) + " is not supported");
  FitsHeader header;
  uint64_t dataOffset = 0;
  if (!readFitsHeader(input, header, dataOffset, why)) return false;

  const int32_t width = static_cast<int32_t>(header.naxis1);
  const int32_t height = static_cast<int32_t>(header.naxis2);
  const int bytesPerValue = static_cast<int>(header.bitpix) / 8;
  const uint64_t valueCount = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
  const uint64_t declared = valueCount * static_cast<uint64_t>(bytesPerValue);
  const uint64_t available = input.size() > dataOffset ? input.size() - dataOffset : 0;
  if (!declaredSizeIsPlausible(declared, available))
    return refuse(why, "header declares " + std::to_string(declared) + " data bytes but the file holds " +
                           std::to_string(available));

  auto image = std::make_unique<ImageBuffer>();
  image->setFormat(format);
  image->width = width;
  image->height = height;
  if (!image->allocate()) return refuse(why, "not enough memory for the image");

  // Read without clearing first: every byte used is one the file gave.
  const size_t wanted = static_cast<size_t>(std::min(declared, available));
  std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[std::max<size_t>(wanted, 1)]);
  if (!data) return refuse(why, "not enough memory for the data");
  const size_t got = input.readAt(dataOffset, data.get(), wanted);
  const uint64_t present = got / static_cast<size_t>(bytesPerValue);

  // Only BZERO / BSCALE matters, in single precision.
  const float bzero = static_cast<float>(header.bzero);
  const float bscale = static_cast<float>(header.bscale);
  constexpr double kOffsetLimit = 1099511627776.0;  // 2^40: far past any raw value
  const int64_t offset = truncSaturate<int64_t>(std::clamp(static_cast<double>(bzero / bscale), -kOffsetLimit, kOffsetLimit));
  int64_t nullValue = 0;
  if (header.blank < 2147483647.0)
    nullValue = truncSaturate<int64_t>(header.blank);
  else if (header.dataMin != -kNotGiven)
    nullValue = truncSaturate<int64_t>(header.dataMin / static_cast<double>(bscale));
  const ValueRule rule{offset, nullValue};
  switch (bytesPerValue) {
    case 1: convertData<1>(*image, data.get(), present, valueCount, rule); break;
    case 2: convertData<2>(*image, data.get(), present, valueCount, rule); break;
    default: convertData<4>(*image, data.get(), present, valueCount, rule); break;
  }
  slot = std::move(image);
  return true;
}

bool readFits(const std::string& path, PixelFormat format, ImageSlot& slot, std::string* why) {
  FileInput input;
  if (!input.open(path, why)) return false;
  return readFits(input, format, slot, why);
}

namespace {

// The grey value a pixel is written with, on the 0..255 scale.
double greyValue(const ImageBuffer& image, const uint8_t* pixel) {
  switch (image.pixelFormat()) {
    case PixelFormat::Gray8:
      return pixel[0];
    case PixelFormat::Gray16: {
      uint16_t v;
      std::memcpy(&v, pixel, sizeof v);
      return v / 256.0;
    }
    case PixelFormat::Gray32: {
      uint32_t v;
      std::memcpy(&v, pixel, sizeof v);
      return v / 16777216.0;
    }
    case PixelFormat::GrayFloat: {
      float v;
      std::memcpy(&v, pixel, sizeof v);
      return v;
    }
    case PixelFormat::Bgr24:
      return luminance(pixel[0], pixel[1], pixel[2]);
    case PixelFormat::BgrFloat: {
      float bgr[3];
      std::memcpy(bgr, pixel, sizeof bgr);
      return luminance(bgr[0], bgr[1], bgr[2]);
    }
    case PixelFormat::None:
      break;
  }
  return 0;
}

}  // namespace

bool writeFits(const std::string& path, const ImageBuffer& image, bool sixteenBit, std::string* why) {
  if (!image.pixels || !isValidFormat(image.pixelFormat()) || image.width <= 0 || image.height <= 0)
    return refuse(why, "no image to write");
  FitsHeader header;
  header.bitpix = sixteenBit ? 16 : 32;
  header.naxis = 2;
  header.naxis1 = image.width;
  header.naxis2 = image.height;
  header.bzero = 0;
  header.bscale = sixteenBit ? 128 : 32768;

  FileOutput out;
  if (!out.create(path, why)) return false;
  std::vector<uint8_t> bytes;
  writeFitsHeader(header, bytes);
  out.write(bytes.data(), bytes.size());

  const size_t bytesPerValue = sixteenBit ? 2 : 4;
  std::vector<uint8_t> row(static_cast<size_t>(image.width) * bytesPerValue);
  for (int32_t y = image.height - 1; y >= 0; --y) {
    const uint8_t* pixel = image.row(y);
    uint8_t* p = row.data();
    for (int32_t x = 0; x < image.width; ++x, pixel += image.bytesPerPixel) {
      const int32_t v = truncSaturate<int32_t>(greyValue(image, pixel) * header.bscale);
      const uint32_t u = static_cast<uint32_t>(v);
      if (!sixteenBit) {
        *p++ = static_cast<uint8_t>(u >> 24);
        *p++ = static_cast<uint8_t>(u >> 16);
      }
      *p++ = static_cast<uint8_t>(u >> 8);
      *p++ = static_cast<uint8_t>(u);
    }
    out.write(row.data(), row.size());
  }
  const uint64_t dataBytes = static_cast<uint64_t>(image.width) * static_cast<uint64_t>(image.height) * bytesPerValue;
  const size_t padding = static_cast<size_t>((kFitsBlockSize - dataBytes % kFitsBlockSize) % kFitsBlockSize);
  const std::vector<uint8_t> zeros(padding, 0);
  out.write(zeros.data(), zeros.size());
  return out.close(why);
}

}  // namespace stelp
