#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "image/image_buffer.h"

namespace stelp {

// A 24-bit top-down bitmap: rows of blue, green, red bytes padded to a
// multiple of 4, as the window copies it to the screen.
struct Bitmap24 {
  int32_t width = 0;
  int32_t height = 0;
  size_t rowBytes = 0;
  std::vector<uint8_t> bytes;
};

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
