#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace stelp {

// Pixel formats by their codes. Code 0 means "no format yet"; every other
// code outside 1..6 is invalid and gives a buffer that cannot be allocated.
enum class PixelFormat : int32_t {
  None = 0,
  Gray8 = 1,      // unsigned byte, 0..255
  Gray16 = 2,     // unsigned 16-bit, machine byte order
  Gray32 = 3,     // unsigned 32-bit, machine byte order
  GrayFloat = 4,  // float, 0.0..255.0
  Bgr24 = 5,      // bytes blue, green, red
  BgrFloat = 6,   // floats blue, green, red
};

// Bytes one pixel takes in `format`, 0 for an invalid code.
int32_t bytesPerPixelOf(PixelFormat format);
inline bool isValidFormat(PixelFormat format) { return bytesPerPixelOf(format) != 0; }
inline bool isColourFormat(PixelFormat format) {
  return format == PixelFormat::Bgr24 || format == PixelFormat::BgrFloat;
}
inline bool isFloatFormat(PixelFormat format) {
  return format == PixelFormat::GrayFloat || format == PixelFormat::BgrFloat;
}

// The colour filters of a one-shot-colour sensor, named by the 2 x 2 cell at
// the top-left pixel as Stelp holds the frame (top row first): RGGB has red
// at (0, 0), green at (1, 0) and (0, 1), blue at (1, 1). The values after
// None follow the SER colour ids 8 to 11, and bit 0 / bit 1 of (value - 1)
// tell a shift of one column / one row from RGGB.
enum class BayerPattern : int32_t { None = 0, Rggb = 1, Grbg = 2, Gbrg = 3, Bggr = 4 };

// The pattern as seen from the pixel `dx` columns right and `dy` rows down of
// the top-left one (negative shifts count from the other side).
constexpr BayerPattern shiftedPattern(BayerPattern pattern, int64_t dx, int64_t dy) {
  if (pattern == BayerPattern::None) return pattern;
  const int32_t shift = static_cast<int32_t>((dx & 1) | ((dy & 1) << 1));
  return static_cast<BayerPattern>(((static_cast<int32_t>(pattern) - 1) ^ shift) + 1);
}

// The channel of the filter over pixel (x, y) of a frame of `pattern`: 0
// blue, 1 green, 2 red (the order of the colour formats).
constexpr int bayerChannelAt(BayerPattern pattern, int64_t x, int64_t y) {
  const int32_t cell = (static_cast<int32_t>(shiftedPattern(pattern, x, y)) - 1) & 3;
  // At the top-left of RGGB, GRBG, GBRG and BGGR: red, green, green, blue.
  return cell == 0 ? 2 : cell == 3 ? 0 : 1;
}

// "RGGB", "GRBG", "GBRG", "BGGR"; "none" for None.
const char* bayerName(BayerPattern pattern);
// The pattern a four-letter name gives, compared without regard to case;
// None for any other text.
BayerPattern bayerFromName(std::string_view name);

// A rectangle of pixels, top row first, rows without padding. Creators call
// setFormat, set width and height, allocate once, then write every pixel.
struct ImageBuffer {
  ImageBuffer() = default;
  // Gives a large pixel array back for reuse (see ArrayReuse).
  ~ImageBuffer();
  ImageBuffer(ImageBuffer&&) noexcept = default;
  ImageBuffer& operator=(ImageBuffer&&) noexcept = default;

  PixelFormat format = PixelFormat::None;
  int32_t width = 0;
  int32_t height = 0;
  int32_t rowBytes = 0;
  int32_t bytesPerPixel = 0;
  std::unique_ptr<uint8_t[]> pixels;
  size_t allocated = 0;  // bytes of `pixels`, as allocate made it
  // A grey frame of a colour sensor: the filter over each pixel. None for
  // every other frame, and always for the colour formats.
  BayerPattern bayer = BayerPattern::None;

  void setFormat(PixelFormat f);

  // Allocates rowBytes x height bytes rounded up to a multiple of 4, left
  // uninitialised. False, changing nothing, when the format, width or height is
  // unset or invalid, when the sizes overflow, or when memory runs out.
  bool allocate();

  uint8_t* row(int32_t y) { return pixels.get() + static_cast<size_t>(y) * static_cast<size_t>(rowBytes); }
  const uint8_t* row(int32_t y) const {
    return pixels.get() + static_cast<size_t>(y) * static_cast<size_t>(rowBytes);
  }
  size_t pixelBytes() const { return static_cast<size_t>(rowBytes) * static_cast<size_t>(height); }
};

// Arrays of at least 256 KiB that are freed while an ArrayReuse lives are
// kept (up to a bound) and handed out again for the next array of the same
// size: work that reads frame after frame then fills memory it already has,
// instead of new pages the system must clear first. Any thread may take and
// give back; the last ArrayReuse to end frees what is kept.
class ArrayReuse {
 public:
  ArrayReuse();
  ~ArrayReuse();
  ArrayReuse(const ArrayReuse&) = delete;
  ArrayReuse& operator=(const ArrayReuse&) = delete;
};

// An array of `bytes`, uninitialised: a kept one of that size, or a new one;
// null when memory runs out.
std::unique_ptr<uint8_t[]> takeArray(size_t bytes);
// Keeps `array`, of `bytes`, for takeArray while an ArrayReuse lives and
// there is room, or frees it.
void giveBackArray(std::unique_ptr<uint8_t[]> array, size_t bytes);

// The slot a reader fills: the caller owns the pointer, the reader replaces
// the buffer only when it accepts the file.
using ImageSlot = std::unique_ptr<ImageBuffer>;

// The grey value of a colour pixel; the same weighting is used everywhere.
inline float luminance(float blue, float green, float red) {
  return (blue + 2.0f * green + red) * 0.25f;
}

}  // namespace stelp
