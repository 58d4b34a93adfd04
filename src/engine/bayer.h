#pragma once

#include <array>
#include <cstdint>

#include "engine/processing_settings.h"
#include "image/image_buffer.h"

namespace stelp {

// The steps that differ for the grey mosaic of a colour sensor (a GrayFloat
// frame whose `bayer` names its pattern). A mosaic is calibrated as it is and
// made colour last; its four sub-images (the pixels of one place in the 2 x 2
// cell) each hold one colour.

// Bilinear colour: `colour` (BgrFloat, the mosaic's size, no pattern)
// receives at each pixel its own value in its filter's channel and, in each
// of the other two, the mean of the nearest pixels of that colour (the two
// or four beside or diagonal to it), summed in double and rounded once, so
// that equal values give that value exactly. Past an edge the mosaic is
// mirrored about the edge pixel, which keeps the pattern, so edge pixels
// take the same means as inner ones. A mosaic narrower or lower than 2
// pixels has no whole cell: every channel takes the pixel's value. False,
// with `colour` empty, when memory runs out.
bool demosaicBilinear(const ImageBuffer& mosaic, ImageBuffer& colour, int threads);

// repairHotPixels on each sub-image: a pixel marked 255 becomes the mean of
// the unmarked pixels of its own sub-image within expand + 1 of its steps
// (every second pixel, up to 2 x (expand + 1) pixels away), summed in row
// order. False, with the frame unrepaired, when memory runs out.
bool repairMosaicHotPixels(ImageBuffer& frame, const ImageBuffer& map, int32_t expand, int threads);

// Gradient detection and smoothing (gradient.h) on each sub-image of a
// mosaic master flat, interleaved back, so that the synthetic flat keeps the
// colour response of each filter. The window and the border of `flat` are
// in frame pixels: a sub-image works with half of each (the border rounded
// up, so no edge pixel of the frame's border is taken in). `mean` receives
// the mean over the four bands, each sub-image's weighted by its pixels.
// On failure `map` or `synthetic` is left empty.
void detectMosaicGradient(const ImageBuffer& masterFlat, const FlatGroup& flat, ImageBuffer& map, int threads);
void smoothMosaicGradient(const ImageBuffer& masterFlat, const ImageBuffer& map, const FlatGroup& flat,
                          ImageBuffer& synthetic, std::array<float, 3>& mean, int threads);

}  // namespace stelp
