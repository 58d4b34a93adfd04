#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "image/image_buffer.h"
#include "image/numeric.h"

namespace stelp {

// A 24-bit top-down bitmap: rows of blue, green, red bytes padded to a
// multiple of 4, as the window copies it to the screen.
struct Bitmap24 {
  int32_t width = 0;
  int32_t height = 0;
  size_t rowBytes = 0;
  std::vector<uint8_t> bytes;
};

// Blue, green and red bytes of one buffer pixel as the view shows it:
// integers as they are (16- and 32-bit grey by their top byte), floats
// truncated toward zero and cut to their low eight bits, unclamped.
inline void DisplayBytes(const ImageBuffer& image, const uint8_t* p, uint8_t* out) {
  switch (image.format) {
    case PixelFormat::Gray8:
      out[0] = out[1] = out[2] = p[0];
      return;
    case PixelFormat::Gray16: {
      uint16_t v;
      std::memcpy(&v, p, sizeof v);
      out[0] = out[1] = out[2] = static_cast<uint8_t>(v >> 8);
      return;
    }
    case PixelFormat::Gray32: {
      uint32_t v;
      std::memcpy(&v, p, sizeof v);
      out[0] = out[1] = out[2] = static_cast<uint8_t>(v >> 24);
      return;
    }
    case PixelFormat::GrayFloat: {
      float v;
      std::memcpy(&v, p, sizeof v);
      out[0] = out[1] = out[2] = static_cast<uint8_t>(truncSaturate<int32_t>(v));
      return;
    }
    case PixelFormat::Bgr24:
      out[0] = p[0];
      out[1] = p[1];
      out[2] = p[2];
      return;
    case PixelFormat::BgrFloat: {
      float bgr[3];
      std::memcpy(bgr, p, sizeof bgr);
      for (int c = 0; c < 3; ++c) out[c] = static_cast<uint8_t>(truncSaturate<int32_t>(bgr[c]));
      return;
    }
    case PixelFormat::None:
      break;
  }
}

enum class Reduce { Allowed, NotAllowed };
enum class Enlarge { Allowed, NotAllowed };

// Makes `bitmap` width x height, filled with `background`, and draws `image`
// into it by nearest neighbour around the centres, scaled to fit with its
// aspect ratio kept. Nothing is drawn (the bitmap is left empty) when width or
// height is 0 or less.
void PaintImage(const ImageBuffer& image, int32_t width, int32_t height, Reduce reduce, Enlarge enlarge,
                uint8_t background, Bitmap24& bitmap);

// Fills `bitmap` (width x height) with one grey; empty when the size is not
// positive.
void FillBackground(int32_t width, int32_t height, uint8_t background, Bitmap24& bitmap);

}  // namespace stelp
