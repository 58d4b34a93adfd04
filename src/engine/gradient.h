#pragma once

#include <array>

#include "engine/processing_settings.h"
#include "image/image_buffer.h"

namespace stelp {

// Gradient detection: `map` (Gray8, the flat's size) receives the flat's grey
// levels (truncated, 0 stored as 1), with 0 for every pixel of the band
// inside `flat.border` that lies more than varHi above or varLo below the
// centre of the histogram of its window. `masterFlat` is GrayFloat or
// BgrFloat. Uses up to `threads` threads; the result does not depend on it.
void detectGradient(const ImageBuffer& masterFlat, const FlatGroup& flat, ImageBuffer& map, int threads);

// Masked smoothing: `synthetic` (the flat's format and size) receives, in the
// band, the mean of the accepted (non-zero in `map`) flat pixels of each
// window, and outside it the nearest band pixel; `mean` the channel means
// over the band.
void smoothGradient(const ImageBuffer& masterFlat, const ImageBuffer& map, const FlatGroup& flat,
                    ImageBuffer& synthetic, std::array<float, 3>& mean, int threads);

}  // namespace stelp
