#pragma once

#include <array>
#include <cstdint>

#include "engine/processing_settings.h"
#include "image/image_buffer.h"

namespace stelp {

// The steps of processing one frame, each on a GrayFloat or BgrFloat frame in
// place. Products handed in have the frame's size and format.

// Average of frames: `sum` += `frame` value by value (32-bit float sums).
void addFrame(ImageBuffer& sum, const ImageBuffer& frame, int threads);
// Every value times the float nearest to 1/n.
void scaleByReciprocal(ImageBuffer& sum, int32_t n, int threads);
// Mean of each channel over the whole frame, summed value by value in 32-bit
// floats in row order; unused channels 0.
std::array<float, 3> channelMeans(const ImageBuffer& image);

// The bad-pixel map of a master dark: 255 marks a pixel whose grey level is
// above `dark.hot` or below `dark.cold`, spread to a diamond of `dark.expand`;
// every other byte holds the truncated level shifted right by two.
void locateHotPixels(const ImageBuffer& masterDark, const DarkGroup& dark, ImageBuffer& map);

// p - d, then p x (m / f) clamped at 255, then negatives (and the undefined
// 0 x infinity) to 0. Either product may be absent.
void subtractDarkDivideFlat(ImageBuffer& frame, const ImageBuffer* dark, const ImageBuffer* flat,
                            const std::array<float, 3>& means, int threads);
// Every pixel marked 255 becomes the mean of the unmarked pixels of the square
// of radius expand + 1 around it.
void repairHotPixels(ImageBuffer& frame, const ImageBuffer& map, int32_t expand, int threads);
// Vertical blur of the inner rows, light or strong.
void blurRows(ImageBuffer& frame, bool strong);
// Maps the grey levels of the darker field (even or odd rows) onto the
// distribution of the brighter one.
void EqualiseFields(ImageBuffer& frame);
// The percent and the level stretch; they leave the frame alone at their
// neutral bounds.
void stretchPercent(ImageBuffer& frame, float fromRel, float toRel, int threads);
void stretchLevels(ImageBuffer& frame, float fromAbs, float toAbs, int threads);

}  // namespace stelp
