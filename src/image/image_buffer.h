#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

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

// A rectangle of pixels, top row first, rows without padding. Creators call
// setFormat, set width and height, allocate once, then write every pixel.
struct ImageBuffer {
  PixelFormat format = PixelFormat::None;
  int32_t width = 0;
  int32_t height = 0;
  int32_t rowBytes = 0;
  int32_t bytesPerPixel = 0;
  std::unique_ptr<uint8_t[]> pixels;

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

// The slot a reader fills: the caller owns the pointer, the reader replaces
// the buffer only when it accepts the file.
using ImageSlot = std::unique_ptr<ImageBuffer>;

// The grey value of a colour pixel; the same weighting is used everywhere.
inline float luminance(float blue, float green, float red) {
  return (blue + 2.0f * green + red) * 0.25f;
}

}  // namespace stelp
