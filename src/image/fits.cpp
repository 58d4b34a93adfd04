#include "fits.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <type_traits>
#include <unordered_set>

#include "file_kind.h"
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

constexpr std::array<Keyword, 11> kKeywords = {{
    {"BITPIX  =", &FitsHeader::bitpix},
    {"NAXIS   =", &FitsHeader::naxis},
    {"NAXIS1  =", &FitsHeader::naxis1},
    {"NAXIS2  =", &FitsHeader::naxis2},
    {"NAXIS3  =", &FitsHeader::naxis3},
    {"BZERO   =", &FitsHeader::bzero},
    {"BSCALE  =", &FitsHeader::bscale},
    {"BLANK   =", &FitsHeader::blank},
    {"DATAMIN =", &FitsHeader::dataMin},
    {"XBAYROFF=", &FitsHeader::xBayerOffset},
    {"YBAYROFF=", &FitsHeader::yBayerOffset},
}};

struct TextKeyword {
  const char* text;
  std::string FitsHeader::*field;
};

constexpr std::array<TextKeyword, 2> kTextKeywords = {{
    {"BAYERPAT=", &FitsHeader::bayerPattern},
    {"ROWORDER=", &FitsHeader::rowOrder},
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

// Parses a string value from column 11 on: a quoted text, '' standing for
// one quote, trailing blanks not part of it. False for any other value.
bool parseStringField(const char* card, std::string& value) {
  size_t i = kValueFirstColumn;
  while (i < kFitsCardSize && card[i] == ' ') ++i;
  if (i == kFitsCardSize || card[i] != '\'') return false;
  std::string text;
  for (++i; i < kFitsCardSize; ++i) {
    if (card[i] != '\'') {
      text += card[i];
      continue;
    }
    if (i + 1 < kFitsCardSize && card[i + 1] == '\'') {
      text += card[++i];
      continue;
    }
    text.erase(text.find_last_not_of(' ') + 1);
    value = std::move(text);
    return true;
  }
  return false;  // no closing quote
}

void parseCard(const char* card, FitsHeader& header) {
  for (const Keyword& keyword : kKeywords) {
    if (std::memcmp(card, keyword.text, kKeywordLength) != 0) continue;
    parseValueField(card + kValueFirstColumn - 1, kValueLastColumn - kValueFirstColumn + 1,
                    header.*keyword.field);
    return;
  }
  for (const TextKeyword& keyword : kTextKeywords) {
    if (std::memcmp(card, keyword.text, kKeywordLength) != 0) continue;
    parseStringField(card, header.*keyword.field);
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
  if (h.bitpix != 8 && h.bitpix != 16 && h.bitpix != 32 && h.bitpix != -32 && h.bitpix != -64) {
    if (h.bitpix == -1) return refuse(why, "BITPIX is missing");
    return refuse(why, "BITPIX " + numberText(h.bitpix) + " is not supported");
  }
  if (!(h.bscale > 0)) return refuse(why, "BSCALE " + numberText(h.bscale) + " is not supported");
  // The axes must also give a buffer that can exist.
  if (!(h.naxis1 < kLargestAxis + 1) || !(h.naxis2 < kLargestAxis + 1))
    return refuse(why, "image of " + numberText(h.naxis1) + " x " + numberText(h.naxis2) +
                           " pixels is too large");
  if (h.naxis1 < 1 || h.naxis2 < 1)
    return refuse(why, "image of " + numberText(h.naxis1) + " x " + numberText(h.naxis2) +
                           " pixels is empty");
  return true;
}

// Data values become output pixels on a ValueScale (numeric.h): its `max`
// is the brightest value, or the full scale of the camera's data type.
using Scale = ValueScale;

// Where the data values sit: `planes` planes of `planeSize` values each, of
// which the first `present` (over all planes) are in the file.
struct DataLayout {
  uint64_t planeSize;
  int planes;
  uint64_t present;
  uint64_t presentIn(int plane) const {
    const uint64_t first = static_cast<uint64_t>(plane) * planeSize;
    return present > first ? std::min(present - first, planeSize) : 0;
  }
};

// Writes plane `plane` into channel `channel` of every pixel of `image`
// (into every channel when `channel` is negative); the first file row is the
// bottom row of the picture. `elementAt(i)` gives the output element of the
// i-th value of the data; the pixels the file does not hold are black. With
// `Add`, each element is added to the one `image` holds instead, as adding
// the stored image would add it.
template <typename T, bool Add, typename ElementAt>
void fillChannel(ImageBuffer& image, int channels, int channel, const DataLayout& layout, int plane,
                 ElementAt elementAt) {
  const int32_t width = image.width;
  const uint64_t planeStart = static_cast<uint64_t>(plane) * layout.planeSize;
  const uint64_t present = layout.presentIn(plane);
  for (int32_t fileRow = 0; fileRow < image.height; ++fileRow) {
    T* out = reinterpret_cast<T*>(image.row(image.height - 1 - fileRow));
    const uint64_t first = static_cast<uint64_t>(fileRow) * static_cast<uint64_t>(width);
    const int32_t inRow = static_cast<int32_t>(std::min<uint64_t>(width, present > first ? present - first : 0));
    auto put = [](T& element, T value) {
      if constexpr (Add) {
        element = element + value;
      } else {
        element = value;
      }
    };
    const uint64_t rowStart = planeStart + first;
    if (channels == 1) {
      // Grey: a loop of its own, the most common case and the tightest.
      for (int32_t x = 0; x < inRow; ++x) put(out[x], elementAt(rowStart + static_cast<uint64_t>(x)));
    } else {
      for (int32_t x = 0; x < inRow; ++x) {
        const T value = elementAt(rowStart + static_cast<uint64_t>(x));
        if (channel >= 0) {
          put(out[x * channels + channel], value);
        } else {
          for (int c = 0; c < channels; ++c) put(out[x * channels + c], value);
        }
      }
    }
    for (int32_t x = inRow; x < width; ++x) {
      if (channel >= 0) {
        put(out[x * channels + channel], T{});
      } else {
        for (int c = 0; c < channels; ++c) put(out[x * channels + c], T{});
      }
    }
  }
}

// Fills `image` in its format: a colour image from three planes (red, green,
// blue) when `colourPlanes`, otherwise every channel from the first plane.
// `elements` is called as `elements.template get<T>()` for the format's
// element type T and returns a functor from a data index to T.
template <typename T, bool Add, typename Elements>
void fillImage(ImageBuffer& image, int channels, const DataLayout& layout, bool colourPlanes, Elements& elements) {
  auto elementAt = elements.template get<T>();
  if (!colourPlanes) {
    fillChannel<T, Add>(image, channels, -1, layout, 0, elementAt);
    return;
  }
  // Channels are stored blue, green, red; the planes come red, green, blue.
  for (int c = 0; c < 3; ++c) fillChannel<T, Add>(image, channels, c, layout, 2 - c, elementAt);
}

// Stores the data in `image`, or with `add` adds it to `image` (a float
// format).
template <typename Elements>
void storeImage(ImageBuffer& image, const DataLayout& layout, bool colourPlanes, Elements& elements, bool add) {
  if (add) {
    const int channels = image.format == PixelFormat::BgrFloat ? 3 : 1;
    fillImage<float, true>(image, channels, layout, colourPlanes, elements);
    return;
  }
  switch (image.format) {
    case PixelFormat::Gray8: fillImage<uint8_t, false>(image, 1, layout, false, elements); break;
    case PixelFormat::Gray16: fillImage<uint16_t, false>(image, 1, layout, false, elements); break;
    case PixelFormat::Gray32: fillImage<uint32_t, false>(image, 1, layout, false, elements); break;
    case PixelFormat::GrayFloat: fillImage<float, false>(image, 1, layout, false, elements); break;
    case PixelFormat::Bgr24: fillImage<uint8_t, false>(image, 3, layout, colourPlanes, elements); break;
    case PixelFormat::BgrFloat: fillImage<float, false>(image, 3, layout, colourPlanes, elements); break;
    case PixelFormat::None: break;
  }
}

// The raw datum i of the data, big-endian: 8-bit unsigned, 16- and 32-bit
// signed integers, 32- and 64-bit IEEE floats.
template <int Bitpix>
inline auto rawAt(const uint8_t* bytes, uint64_t i) {
  if constexpr (Bitpix == 8) {
    return int64_t{bytes[i]};
  } else if constexpr (Bitpix == 16) {
    const uint8_t* p = bytes + 2 * i;
    return int64_t{static_cast<int16_t>((p[0] << 8) | p[1])};
  } else if constexpr (Bitpix == 32) {
    const uint8_t* p = bytes + 4 * i;
    return int64_t{static_cast<int32_t>((uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3])};
  } else if constexpr (Bitpix == -32) {
    const uint8_t* p = bytes + 4 * i;
    const uint32_t bits = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
    return double{std::bit_cast<float>(bits)};
  } else {
    uint64_t bits = 0;
    for (int k = 0; k < 8; ++k) bits = (bits << 8) | bytes[8 * i + static_cast<uint64_t>(k)];
    return std::bit_cast<double>(bits);
  }
}

// The largest value an engine value can hold; a float file's larger values
// (and those BSCALE carries past it) are held there.
constexpr double kLargestValue = std::numeric_limits<float>::max();

// The value of a raw datum, 0 or more: the null value, negatives, NaN and
// infinities give 0.
//  - Brightest pixel, integers: raw + the integer part of BZERO / BSCALE, the
//    null value compared after the offset is added (as such files were
//    always read).
//  - Camera scale, integers: the physical value raw x BSCALE + BZERO, the
//    null value (BLANK) compared with the raw datum, as the FITS standard
//    defines it.
//  - Floats: the physical value raw x BSCALE + BZERO.
struct ValueRule {
  bool camera;
  int64_t offset;       // brightest pixel, integers
  int64_t nullValue;    // brightest pixel, integers
  bool hasBlank;        // camera scale, integers
  int64_t blank;
  double bscale;
  double bzero;
  bool operator==(const ValueRule&) const = default;

  double operator()(int64_t raw) const {
    if (!camera) {
      const int64_t v = raw + offset;
      return (v == nullValue || v < 0) ? 0.0 : static_cast<double>(v);
    }
    if (hasBlank && raw == blank) return 0.0;
    return physical(static_cast<double>(raw));
  }
  double operator()(double raw) const {
    if (!std::isfinite(raw)) return 0.0;
    return physical(raw);
  }
  double physical(double raw) const {
    const double p = raw * bscale + bzero;
    return p > 0 ? std::min(p, kLargestValue) : 0.0;  // false for NaN too
  }
};

// Output elements computed value by value.
template <typename ValueAt>
struct DirectElements {
  ValueAt valueAt;
  Scale scale;
  template <typename T>
  auto get() {
    return [this](uint64_t i) { return scale.template to<T>(valueAt(i)); };
  }
};

// Output elements looked up in a table of every raw code of 8- and 16-bit
// data, each code's element computed once.
template <typename CodeAt>
struct TableElements {
  CodeAt codeAt;
  const std::vector<double>& valueOfCode;
  Scale scale;
  template <typename T>
  auto get() {
    auto table = std::make_shared<std::vector<T>>(valueOfCode.size());
    for (size_t code = 0; code < table->size(); ++code) (*table)[code] = scale.template to<T>(valueOfCode[code]);
    return [table, values = table->data(), codeAt = codeAt](uint64_t i) { return values[codeAt(i)]; };
  }
};

// A grey float image of 16-bit data whose values are the raw data plus a
// constant (BSCALE 1, no null value, nothing below 0: the usual camera file
// with BZERO 32768) is converted by arithmetic rather than through the
// table: lookups in 65536 floats do not vectorise, the arithmetic does. Of
// two formulas, the single-precision one is the faster; a formula is used
// only when it gives every one of the 65536 codes the table's element, bit
// for bit.
enum class OffsetFormula { None, Single, Double };

// Raw + offset as a float is exact for offsets of up to 2^16.
bool singleFits(double offset) { return offset == std::trunc(offset) && std::abs(offset) <= 65536.0; }

template <OffsetFormula Formula>
auto offsetElement(double offset, Scale scale) {
  if constexpr (Formula == OffsetFormula::Single) {
    const int32_t whole = static_cast<int32_t>(offset);
    const float divisor = static_cast<float>(scale.max / 255.0);
    return [whole, divisor](int16_t raw) { return static_cast<float>(int32_t{raw} + whole) / divisor; };
  } else {
    const double factor = 255.0 / scale.max;
    return [offset, factor](int16_t raw) { return static_cast<float>((static_cast<double>(raw) + offset) * factor); };
  }
}

// The formula that gives every code its element of the table.
OffsetFormula offsetFormula(const std::vector<double>& valueOfCode, Scale scale) {
  auto everyCodeMatches = [&](auto element) {
    for (size_t code = 0; code < valueOfCode.size(); ++code) {
      if (std::bit_cast<uint32_t>(element(static_cast<int16_t>(code))) !=
          std::bit_cast<uint32_t>(scale.toFloat(valueOfCode[code])))
        return false;
    }
    return true;
  };
  const double offset = valueOfCode[0];
  if (singleFits(offset) && everyCodeMatches(offsetElement<OffsetFormula::Single>(offset, scale)))
    return OffsetFormula::Single;
  if (everyCodeMatches(offsetElement<OffsetFormula::Double>(offset, scale))) return OffsetFormula::Double;
  return OffsetFormula::None;
}

// Converts (with `add`, adds) a whole grey float image by `formula`, whose
// offset is the value of raw 0. False, with nothing written, for other
// images.
bool storeOffsetGrey16(ImageBuffer& image, const uint8_t* bytes, const DataLayout& layout, bool colourPlanes,
                       OffsetFormula formula, double offset, Scale scale, bool add) {
  const uint64_t pixels = static_cast<uint64_t>(image.width) * static_cast<uint64_t>(image.height);
  if (formula == OffsetFormula::None || image.format != PixelFormat::GrayFloat || colourPlanes ||
      layout.presentIn(0) < pixels)
    return false;
  auto convertRows = [&](auto element) {
    const size_t width = static_cast<size_t>(image.width);
    for (int32_t fileRow = 0; fileRow < image.height; ++fileRow) {
      float* out = reinterpret_cast<float*>(image.row(image.height - 1 - fileRow));
      const uint8_t* in = bytes + 2 * width * static_cast<size_t>(fileRow);
      auto rawAt = [in](size_t x) { return static_cast<int16_t>((in[2 * x] << 8) | in[2 * x + 1]); };
      if (add) {
        for (size_t x = 0; x < width; ++x) out[x] = out[x] + element(rawAt(x));
      } else {
        for (size_t x = 0; x < width; ++x) out[x] = element(rawAt(x));
      }
    }
  };
  if (formula == OffsetFormula::Single) {
    convertRows(offsetElement<OffsetFormula::Single>(offset, scale));
  } else {
    convertRows(offsetElement<OffsetFormula::Double>(offset, scale));
  }
  return true;
}

// How a file's values are brought to 0..255, with the words `info` shows.
struct ScaleChoice {
  double max = 1;
  std::string note;
};

std::string valueText(double v) {
  char text[32];
  auto result = std::to_chars(text, text + sizeof text, v);
  return std::string(text, result.ptr);
}

// `greatest(planes)` gives the greatest value of the first `planes` planes.
template <typename Greatest>
ScaleChoice chooseScale(FitsScale scale, int bitpix, int outputPlanes, int dataPlanes, Greatest greatest) {
  ScaleChoice choice;
  if (scale == FitsScale::BrightestPixel) {
    const double max = greatest(outputPlanes);
    choice.max = max > 0 ? max : 1;
    choice.note = "brightest pixel: the greatest value, " + valueText(max) + ", reads as 255";
    return choice;
  }
  switch (bitpix) {
    case 8:
      choice.max = 255;
      choice.note = "camera scale: 8-bit values as they are";
      break;
    case 16:
      choice.max = 65535;
      choice.note = "camera scale: 16-bit values / 257";
      break;
    case 32:
      choice.max = 4294967295.0;
      choice.note = "camera scale: 32-bit values / 16843009";
      break;
    default:
      // Stacking programs keep floats within 0..1; others write camera units.
      if (greatest(dataPlanes) <= 1) {
        choice.max = 1;
        choice.note = "camera scale: float values within 0..1, x 255";
      } else {
        choice.max = 65535;
        choice.note = "camera scale: float values in camera units, / 257";
      }
      break;
  }
  return choice;
}

// Converts the data of `Bitpix` into `image`. The greatest value is found in
// one pass when the scale needs it; large 8- and 16-bit images go through a
// table of every raw code instead: the occurring codes are noted in one
// pass, and each pixel becomes a lookup; both routes give the same values.
template <int Bitpix>
std::string convertData(ImageBuffer& image, const uint8_t* bytes, const DataLayout& layout, bool colourPlanes,
                        FitsScale scale, const ValueRule& rule, bool add) {
  const int outputPlanes = colourPlanes ? 3 : 1;
  // Missing pixels are black; they count as 0 towards the greatest value.
  auto valueAt = [&](uint64_t i) { return rule(rawAt<Bitpix>(bytes, i)); };
  constexpr size_t kCodes = Bitpix == 8 ? 256 : Bitpix == 16 ? 65536 : 0;
  const uint64_t present = std::min<uint64_t>(layout.present, layout.planeSize * static_cast<uint64_t>(layout.planes));
  if (kCodes == 0 || present < 4 * kCodes) {
    auto greatest = [&](int planes) {
      double max = 0;
      const uint64_t end = std::min<uint64_t>(present, layout.planeSize * static_cast<uint64_t>(planes));
      for (uint64_t i = 0; i < end; ++i) max = std::max(max, valueAt(i));
      return max;
    };
    const ScaleChoice choice = chooseScale(scale, Bitpix, outputPlanes, layout.planes, greatest);
    DirectElements<decltype(valueAt)> elements{valueAt, Scale{choice.max}};
    storeImage(image, layout, colourPlanes, elements, add);
    return choice.note;
  }
  auto codeAt = [bytes](uint64_t i) -> size_t {
    if constexpr (Bitpix == 8) return bytes[i];
    return (size_t{bytes[2 * i]} << 8) | bytes[2 * i + 1];
  };
  if constexpr (Bitpix == 16) {
    // On the camera's scale the formula depends on the rule alone; the files
    // of a night share it, so it is found once per rule and thread, without
    // the table.
    if (scale == FitsScale::Camera) {
      struct KnownFormula {
        ValueRule rule;
        OffsetFormula formula;
      };
      thread_local std::optional<KnownFormula> known;
      const ScaleChoice choice = chooseScale(scale, Bitpix, outputPlanes, layout.planes, [](int) { return 0.0; });
      if (!known || !(known->rule == rule)) {
        std::vector<double> valueOfCode(kCodes);
        for (size_t code = 0; code < kCodes; ++code)
          valueOfCode[code] = rule(static_cast<int64_t>(static_cast<int16_t>(code)));
        known = KnownFormula{rule, offsetFormula(valueOfCode, Scale{choice.max})};
      }
      if (storeOffsetGrey16(image, bytes, layout, colourPlanes, known->formula, rule(int64_t{0}), Scale{choice.max},
                            add))
        return choice.note;
    }
  }
  std::vector<double> valueOfCode(kCodes, 0);
  for (size_t code = 0; code < kCodes; ++code)
    valueOfCode[code] = rule(Bitpix == 8 ? static_cast<int64_t>(code) : static_cast<int64_t>(static_cast<int16_t>(code)));
  auto greatest = [&](int planes) {
    std::vector<uint8_t> seen(kCodes, 0);
    const uint64_t end = std::min<uint64_t>(present, layout.planeSize * static_cast<uint64_t>(planes));
    for (uint64_t i = 0; i < end; ++i) seen[codeAt(i)] = 1;
    double max = 0;
    for (size_t code = 0; code < kCodes; ++code)
      if (seen[code]) max = std::max(max, valueOfCode[code]);
    return max;
  };
  const ScaleChoice choice = chooseScale(scale, Bitpix, outputPlanes, layout.planes, greatest);
  if constexpr (Bitpix == 16) {
    const Scale byScale{choice.max};
    if (scale != FitsScale::Camera &&
        storeOffsetGrey16(image, bytes, layout, colourPlanes, offsetFormula(valueOfCode, byScale), valueOfCode[0],
                          byScale, add))
      return choice.note;
  }
  TableElements<decltype(codeAt)> elements{codeAt, valueOfCode, Scale{choice.max}};
  storeImage(image, layout, colourPlanes, elements, add);
  return choice.note;
}

}  // namespace

BayerPattern fitsBayerPattern(const FitsHeader& header) {
  const BayerPattern named = bayerFromName(header.bayerPattern);
  if (named == BayerPattern::None || !(header.naxis2 >= 1)) return BayerPattern::None;
  // Only the parity of an offset matters; one too large for an integer is
  // taken as even.
  auto parity = [](double offset) { return std::isfinite(offset) ? static_cast<int64_t>(std::fmod(offset, 2.0)) : 0; };
  const BayerPattern first = shiftedPattern(named, parity(header.xBayerOffset), parity(header.yBayerOffset));
  if (equalsIgnoringCase(header.rowOrder, "BOTTOM-UP")) return first;
  // Given from the first row stored, which Stelp holds as its bottom row.
  return shiftedPattern(first, 0, static_cast<int64_t>(header.naxis2) - 1);
}

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

void writeFitsHeader(const FitsHeader& header, const FitsCards& cards, std::vector<uint8_t>& out) {
  const size_t start = out.size();
  // Each value stands right-justified so that its last character is in
  // column 30, the fixed format every FITS reader understands.
  auto putCard = [&](const char* keyword, const std::string& value) {
    std::string card = keyword;
    card.resize(kValueLastColumn - std::min(value.size(), kValueLastColumn - kValueFirstColumn), ' ');
    card += value.substr(value.size() - std::min(value.size(), kValueLastColumn - kValueFirstColumn));
    card.resize(kFitsCardSize, ' ');
    out.insert(out.end(), card.begin(), card.end());
  };
  // Whole numbers are written as integers: CFITSIO and astropy refuse
  // "16.000000" for BITPIX.
  auto integer = [](double v) { return std::to_string(static_cast<long long>(v)); };

  putCard("SIMPLE  =", "T");
  putCard("BITPIX  =", integer(header.bitpix));
  putCard("NAXIS   =", integer(header.naxis));
  putCard("NAXIS1  =", integer(header.naxis1));
  putCard("NAXIS2  =", integer(header.naxis2));
  if (header.naxis >= 3) putCard("NAXIS3  =", integer(header.naxis3));
  // Float data need no scaling. BLANK, DATAMIN and DATAMAX are left out: the
  // values we write have no null value.
  if (header.bitpix > 0) {
    putCard("BZERO   =", integer(header.bzero));
    putCard("BSCALE  =", integer(header.bscale));
  }
  for (const std::string& card : cards) {
    std::string text = card;
    text.resize(kFitsCardSize, ' ');
    out.insert(out.end(), text.begin(), text.end());
  }
  putCard("END", "");
  out.resize(start + (out.size() - start + kFitsBlockSize - 1) / kFitsBlockSize * kFitsBlockSize, ' ');
}

namespace {

// A cube of three planes is a colour picture: red, green, blue.
bool isRgbCube(const FitsHeader& header) { return header.naxis >= 3 && header.naxis3 == 3; }

// Reads and checks the header and the data size it declares against the
// bytes the file holds: everything a read refuses before it reads data.
bool readFitsLayout(ByteInput& input, FitsHeader& header, uint64_t& dataOffset, uint64_t& declared,
                    uint64_t& available, std::string* why) {
  if (!readFitsHeader(input, header, dataOffset, why)) return false;
  const uint64_t values = static_cast<uint64_t>(static_cast<int32_t>(header.naxis1)) *
                          static_cast<uint64_t>(static_cast<int32_t>(header.naxis2)) * (isRgbCube(header) ? 3u : 1u);
  declared = values * static_cast<uint64_t>(std::abs(static_cast<int>(header.bitpix)) / 8);
  available = input.size() > dataOffset ? input.size() - dataOffset : 0;
  if (!declaredSizeIsPlausible(declared, available))
    return refuse(why, "header declares " + std::to_string(declared) + " data bytes but the file holds " +
                           std::to_string(available));
  return true;
}

}  // namespace

bool fitsFrameSize(const std::string& path, int32_t& width, int32_t& height, std::string* why,
                   BayerPattern* bayer) {
  FileInput input;
  FitsHeader header;
  uint64_t dataOffset = 0, declared = 0, available = 0;
  if (!input.open(path, why) || !readFitsLayout(input, header, dataOffset, declared, available, why)) return false;
  width = static_cast<int32_t>(header.naxis1);
  height = static_cast<int32_t>(header.naxis2);
  if (bayer) *bayer = isRgbCube(header) ? BayerPattern::None : fitsBayerPattern(header);
  return true;
}

namespace {

// Reads the image into a new buffer in `slot`, or, with `sum`, adds it to
// `sum` as readFits would read it in sum's format. An image of another size
// or mosaic than `sum` is refused before anything is added.
bool readFitsImage(ByteInput& input, PixelFormat format, ImageSlot* slot, ImageBuffer* sum, std::string* why,
                   FitsScale scale, std::string* scaleNote) {
  if (!isValidFormat(format))
    return refuse(why, "pixel format " + std::to_string(static_cast<int>(format)) + " is not supported");
  FitsHeader header;
  uint64_t dataOffset = 0, declared = 0, available = 0;
  if (!readFitsLayout(input, header, dataOffset, declared, available, why)) return false;

  const int32_t width = static_cast<int32_t>(header.naxis1);
  const int32_t height = static_cast<int32_t>(header.naxis2);
  const int bitpix = static_cast<int>(header.bitpix);
  const int bytesPerValue = std::abs(bitpix) / 8;
  const bool rgbCube = isRgbCube(header);
  const bool colourPlanes = rgbCube && isColourFormat(format);
  const DataLayout shape{static_cast<uint64_t>(width) * static_cast<uint64_t>(height), rgbCube ? 3 : 1, 0};

  const BayerPattern bayer = !isColourFormat(format) && !rgbCube ? fitsBayerPattern(header) : BayerPattern::None;
  std::unique_ptr<ImageBuffer> image;
  if (sum) {
    if (sum->width != width || sum->height != height || sum->bayer != bayer)
      return refuse(why, "the image differs from the sum in size or mosaic");
  } else {
    image = std::make_unique<ImageBuffer>();
    image->setFormat(format);
    image->width = width;
    image->height = height;
    if (!image->allocate()) return refuse(why, "not enough memory for the image");
    image->bayer = bayer;
  }
  ImageBuffer& target = sum ? *sum : *image;

  // Read without clearing first: every byte used is one the file gave.
  const size_t wanted = static_cast<size_t>(std::min(declared, available));
  const size_t dataBytes = std::max<size_t>(wanted, 1);
  std::unique_ptr<uint8_t[]> data = takeArray(dataBytes);
  if (!data) return refuse(why, "not enough memory for the data");
  const size_t got = input.readAt(dataOffset, data.get(), wanted);
  DataLayout layout = shape;
  layout.present = got / static_cast<size_t>(bytesPerValue);

  ValueRule rule{};
  rule.camera = scale == FitsScale::Camera;
  rule.bscale = header.bscale;
  rule.bzero = header.bzero;
  // Brightest pixel: only BZERO / BSCALE matters, in single precision.
  const float bzero = static_cast<float>(header.bzero);
  const float bscale = static_cast<float>(header.bscale);
  constexpr double kOffsetLimit = 1099511627776.0;  // 2^40: far past any raw value
  rule.offset = truncSaturate<int64_t>(std::clamp(static_cast<double>(bzero / bscale), -kOffsetLimit, kOffsetLimit));
  if (header.blank < 2147483647.0)
    rule.nullValue = truncSaturate<int64_t>(header.blank);
  else if (header.dataMin != -kNotGiven)
    rule.nullValue = truncSaturate<int64_t>(header.dataMin / static_cast<double>(bscale));
  rule.hasBlank = header.blank != kNotGiven && header.blank == std::trunc(header.blank);
  rule.blank = truncSaturate<int64_t>(header.blank);

  std::string note;
  const bool add = sum != nullptr;
  switch (bitpix) {
    case 8: note = convertData<8>(target, data.get(), layout, colourPlanes, scale, rule, add); break;
    case 16: note = convertData<16>(target, data.get(), layout, colourPlanes, scale, rule, add); break;
    case 32: note = convertData<32>(target, data.get(), layout, colourPlanes, scale, rule, add); break;
    case -32: note = convertData<-32>(target, data.get(), layout, colourPlanes, scale, rule, add); break;
    default: note = convertData<-64>(target, data.get(), layout, colourPlanes, scale, rule, add); break;
  }
  if (scaleNote)
    *scaleNote = "BITPIX " + std::to_string(bitpix) + (rgbCube ? ", 3 planes (red, green, blue)" : "") + "; " + note;
  giveBackArray(std::move(data), dataBytes);
  if (slot) *slot = std::move(image);
  return true;
}

}  // namespace

bool readFits(ByteInput& input, PixelFormat format, ImageSlot& slot, std::string* why, FitsScale scale,
              std::string* scaleNote) {
  return readFitsImage(input, format, &slot, nullptr, why, scale, scaleNote);
}

bool addFits(const std::string& path, ImageBuffer& sum, FitsScale scale) {
  if (!isFloatFormat(sum.format)) return false;
  FileInput input;
  return input.open(path, nullptr) && readFitsImage(input, sum.format, nullptr, &sum, nullptr, scale, nullptr);
}

bool readFits(const std::string& path, PixelFormat format, ImageSlot& slot, std::string* why, FitsScale scale,
              std::string* scaleNote) {
  FileInput input;
  if (!input.open(path, why)) return false;
  return readFits(input, format, slot, why, scale, scaleNote);
}

namespace {

// The keywords a written file sets from its image, and those whose meaning a
// copy would change: none of them is taken over from a source file.
bool isOwnKeyword(std::string_view keyword) {
  static constexpr std::array<std::string_view, 18> kOwn = {
      "SIMPLE", "BITPIX", "NAXIS", "EXTEND", "BZERO", "BSCALE", "BLANK", "DATAMIN", "DATAMAX",
      "END", "PCOUNT", "GCOUNT", "GROUPS", "XTENSION", "CHECKSUM", "DATASUM", "DATE", "CREATOR"};
  if (std::find(kOwn.begin(), kOwn.end(), keyword) != kOwn.end()) return true;
  if (keyword == "IMAGETYP" || keyword == "NCOMBINE") return true;
  // NAXIS1, NAXIS2, ...: the axes of the written image.
  return keyword.size() > 5 && keyword.substr(0, 5) == "NAXIS" &&
         std::all_of(keyword.begin() + 5, keyword.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool isKeywordChar(char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_'; }

// Skips blanks from `i`; then the card must end or hold a comment.
bool endsWithComment(std::string_view text, size_t i) {
  while (i < text.size() && text[i] == ' ') ++i;
  return i == text.size() || text[i] == '/';
}

// [+-] digits [. digits] [E|D [+-] digits], from `i`; true with `i` past it.
bool scanNumber(std::string_view text, size_t& i) {
  auto digits = [&] {
    const size_t from = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    return i - from;
  };
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  size_t count = digits();
  if (i < text.size() && text[i] == '.') {
    ++i;
    count += digits();
  }
  if (count == 0) return false;
  if (i < text.size() && (text[i] == 'E' || text[i] == 'D')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (digits() == 0) return false;
  }
  return true;
}

// Whether the value field (columns 11 to 80) holds what the FITS standard
// allows: a string, a logical, an integer, a real or a complex number, or
// nothing, then at most a comment.
bool isValidValue(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  if (i == text.size() || text[i] == '/') return true;  // no value given
  if (text[i] == '\'') {
    for (++i; i < text.size(); ++i) {
      if (text[i] != '\'') continue;
      if (i + 1 < text.size() && text[i + 1] == '\'') {
        ++i;
        continue;
      }
      return endsWithComment(text, i + 1);
    }
    return false;  // no closing quote
  }
  if (text[i] == 'T' || text[i] == 'F') return endsWithComment(text, i + 1);
  if (text[i] == '(') {
    ++i;
    while (i < text.size() && text[i] == ' ') ++i;
    if (!scanNumber(text, i)) return false;
    while (i < text.size() && text[i] == ' ') ++i;
    if (i == text.size() || text[i] != ',') return false;
    ++i;
    while (i < text.size() && text[i] == ' ') ++i;
    if (!scanNumber(text, i)) return false;
    while (i < text.size() && text[i] == ' ') ++i;
    if (i == text.size() || text[i] != ')') return false;
    return endsWithComment(text, i + 1);
  }
  return scanNumber(text, i) && endsWithComment(text, i);
}

bool holdsString(std::string_view card) {
  const size_t first = card.find_first_not_of(' ', 10);
  return card.substr(8, 2) == "= " && first != std::string_view::npos && card[first] == '\'';
}

}  // namespace

FitsCards readFitsObservationCards(const std::string& path) {
  FileInput input;
  if (!input.open(path, nullptr)) return {};
  return readFitsObservationCards(input);
}

FitsCards readFitsObservationCards(ByteInput& input) {
  FitsCards cards;
  const uint64_t size = input.size();
  std::unordered_set<std::string> valued;  // keywords with a value already taken
  bool afterString = false;                // the card taken last holds a string
  char buffer[kFitsCardSize];
  for (uint64_t offset = 0; offset < size && offset < kMaxHeaderBlocks * kFitsBlockSize; offset += kFitsCardSize) {
    if (input.readAt(offset, buffer, kFitsCardSize) != kFitsCardSize) return {};
    const std::string_view card(buffer, kFitsCardSize);
    if (offset == 0 && card.substr(0, kKeywordLength) != kSimpleText) return {};
    if (card.substr(0, 8) == kEndText) return cards;
    const bool taken = [&] {
      if (!std::all_of(card.begin(), card.end(), [](char c) { return c >= ' ' && c <= '~'; })) return false;
      const std::string_view field = card.substr(0, 8);
      const std::string_view keyword = field.substr(0, field.find(' '));
      // A keyword is left-justified, with blanks only after it.
      if (!std::all_of(keyword.begin(), keyword.end(), isKeywordChar) ||
          field.find_first_not_of(' ', keyword.size()) != std::string_view::npos)
        return false;
      if (isOwnKeyword(keyword)) return false;
      if (keyword == "CONTINUE") return afterString;
      const bool hasValue = card.substr(8, 2) == "= " && keyword != "COMMENT" && keyword != "HISTORY" &&
                            !keyword.empty();
      if (!hasValue) return true;  // commentary: any text
      return isValidValue(card.substr(10)) && valued.insert(std::string(keyword)).second;
    }();
    if (!taken) continue;
    const std::string text(card);
    afterString = holdsString(card) || (afterString && card.substr(0, 8) == "CONTINUE");
    cards.push_back(text);
  }
  return {};  // no END card: not a header to copy from
}

std::string fitsStringCard(const char* keyword, const std::string& value) {
  std::string quoted;
  for (char c : value) {
    if (c < ' ' || c > '~') continue;
    quoted += c;
    if (c == '\'') quoted += '\'';
  }
  // The string fits the card (68 characters between the quotes), a doubled
  // quote never cut in two; at least eight characters, as readers expect.
  while (quoted.size() > 68) quoted.erase(quoted.size() - (quoted.size() >= 2 && quoted.substr(quoted.size() - 2) == "''" ? 2 : 1));
  const size_t length = quoted.size() - static_cast<size_t>(std::count(quoted.begin(), quoted.end(), '\'')) / 2;
  if (length < 8) quoted.append(8 - length, ' ');
  std::string card = keyword;
  card.resize(8, ' ');
  card += "= '" + quoted + "'";
  card.resize(kFitsCardSize, ' ');
  return card;
}

std::string fitsIntegerCard(const char* keyword, int64_t value) {
  std::string card = keyword;
  card.resize(8, ' ');
  card += "= ";
  const std::string number = std::to_string(value);
  card.append(kValueLastColumn - kValueFirstColumn - number.size(), ' ');
  card += number;
  card.resize(kFitsCardSize, ' ');
  return card;
}

FitsCards fitsHistoryCards(const std::string& text) {
  constexpr size_t kRoom = kFitsCardSize - 8;
  FitsCards cards;
  std::string rest;
  for (char c : text) rest += (c >= ' ' && c <= '~') ? c : ' ';
  do {
    size_t cut = std::min(rest.size(), kRoom);
    // A long text breaks at the last blank that fits.
    if (cut < rest.size()) {
      const size_t blank = rest.rfind(' ', cut);
      if (blank != std::string::npos && blank > 0) cut = blank;
    }
    std::string card = "HISTORY " + rest.substr(0, cut);
    card.resize(kFitsCardSize, ' ');
    cards.push_back(card);
    rest.erase(0, std::min(rest.size(), rest.find_first_not_of(' ', cut)));
  } while (!rest.empty());
  return cards;
}

namespace {

// The grey value a pixel is written with, on the 0..255 scale.
double greyValue(const ImageBuffer& image, const uint8_t* pixel) {
  switch (image.format) {
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

// Channel `channel` (0 blue, 1 green, 2 red) of a colour pixel on 0..255.
double channelValue(const ImageBuffer& image, const uint8_t* pixel, int channel) {
  if (image.format == PixelFormat::Bgr24) return pixel[channel];
  float v;
  std::memcpy(&v, pixel + channel * sizeof(float), sizeof v);
  return v;
}

// An engine value as the integer a camera writes: value x `factor`, rounded
// to the nearest integer and held within 0..`top`; NaN gives 0.
uint32_t cameraInteger(double value, double factor, double top) {
  const double scaled = value * factor;
  return static_cast<uint32_t>(std::round(scaled > 0 ? std::min(scaled, top) : 0.0));
}

// An engine value as a float of 0..1; NaN gives 0.
float unitFloat(double value) {
  const double unit = value / 255.0;
  return static_cast<float>(unit > 0 ? std::min(unit, 1.0) : 0.0);
}

// Appends `cards` to `all`, the mosaic cards as the image calls for: a grey
// image of a colour sensor names the pattern of its bottom row, the first
// one written, with no offsets; no other image names a pattern.
void addCards(FitsCards& all, const FitsCards& cards, const ImageBuffer& image) {
  const bool mosaic = image.bayer != BayerPattern::None && !isColourFormat(image.format);
  const std::string bayerCard =
      fitsStringCard("BAYERPAT", bayerName(shiftedPattern(image.bayer, 0, int64_t{image.height} - 1)));
  const size_t firstCard = all.size();
  bool placed = false;
  for (const std::string& card : cards) {
    const std::string_view keyword = std::string_view(card).substr(0, 8);
    if (keyword == "BAYERPAT") {
      if (mosaic && !placed) all.push_back(bayerCard);
      placed = true;
      continue;
    }
    // The rows are written bottom-up whatever the source said; without a
    // pattern the row order is only a note and stays as it was.
    if (keyword == "XBAYROFF" || keyword == "YBAYROFF" || (mosaic && keyword == "ROWORDER")) continue;
    all.push_back(card);
  }
  if (mosaic && !placed) all.insert(all.begin() + static_cast<ptrdiff_t>(firstCard), bayerCard);
}

// When the file is written, in UTC, as the FITS standard dates it.
std::string utcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  return text;
}

}  // namespace

bool writeFits(const std::string& path, const ImageBuffer& image, FitsDepth depth, std::string* why,
               const FitsCards& cards) {
  if (!image.pixels || !isValidFormat(image.format) || image.width <= 0 || image.height <= 0)
    return refuse(why, "no image to write");
  const bool floats = depth == FitsDepth::Float32;
  const int planes = floats && isColourFormat(image.format) ? 3 : 1;
  FitsHeader header;
  header.bitpix = depth == FitsDepth::Int16 ? 16 : depth == FitsDepth::Int32 ? 32 : -32;
  header.naxis = planes == 3 ? 3 : 2;
  header.naxis1 = image.width;
  header.naxis2 = image.height;
  header.naxis3 = planes;
  // Unsigned integers as cameras write them: the stored value is the
  // unsigned one less BZERO.
  header.bzero = depth == FitsDepth::Int16 ? 32768.0 : depth == FitsDepth::Int32 ? 2147483648.0 : 0.0;
  header.bscale = 1;

  FitsCards all = {fitsStringCard("DATE", utcNow()), fitsStringCard("CREATOR", kCreatorText)};
  addCards(all, cards, image);
  std::vector<uint8_t> bytes;
  writeFitsHeader(header, all, bytes);

  FileOutput out;
  if (!out.create(path, why)) return false;
  out.write(bytes.data(), bytes.size());

  const size_t bytesPerValue = depth == FitsDepth::Int16 ? 2 : 4;
  std::vector<uint8_t> row(static_cast<size_t>(image.width) * bytesPerValue);
  auto put32 = [](uint8_t*& p, uint32_t u) {
    *p++ = static_cast<uint8_t>(u >> 24);
    *p++ = static_cast<uint8_t>(u >> 16);
    *p++ = static_cast<uint8_t>(u >> 8);
    *p++ = static_cast<uint8_t>(u);
  };
  // Planes red, green, blue; a grey file has the one plane of grey values.
  for (int plane = 0; plane < planes; ++plane) {
    for (int32_t y = image.height - 1; y >= 0; --y) {
      const uint8_t* pixel = image.row(y);
      uint8_t* p = row.data();
      for (int32_t x = 0; x < image.width; ++x, pixel += image.bytesPerPixel) {
        const double value = planes == 3 ? channelValue(image, pixel, 2 - plane) : greyValue(image, pixel);
        switch (depth) {
          case FitsDepth::Int16: {
            const uint32_t u = cameraInteger(value, 257.0, 65535.0) ^ 0x8000u;
            *p++ = static_cast<uint8_t>(u >> 8);
            *p++ = static_cast<uint8_t>(u);
            break;
          }
          case FitsDepth::Int32: put32(p, cameraInteger(value, 16843009.0, 4294967295.0) ^ 0x80000000u); break;
          case FitsDepth::Float32: put32(p, std::bit_cast<uint32_t>(unitFloat(value))); break;
        }
      }
      out.write(row.data(), row.size());
    }
  }
  const uint64_t dataBytes = static_cast<uint64_t>(image.width) * static_cast<uint64_t>(image.height) *
                             static_cast<uint64_t>(planes) * bytesPerValue;
  const size_t padding = static_cast<size_t>((kFitsBlockSize - dataBytes % kFitsBlockSize) % kFitsBlockSize);
  const std::vector<uint8_t> zeros(padding, 0);
  out.write(zeros.data(), zeros.size());
  return out.close(why);
}

}  // namespace stelp
