#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "engine/paint.h"
#include "image/image_buffer.h"

namespace stelp {

// Fixed scales of the view: 2^level view pixels per frame pixel, 1:8 to 8:1.
inline constexpr int32_t kMinZoomLevel = -3;
inline constexpr int32_t kMaxZoomLevel = 3;
// Places are kept in eighths of a frame pixel: at 8:1 one view pixel is one
// eighth, so every place a drag reaches is exact in integers.
inline constexpr int64_t kSubPixels = 8;

// Where the view stands over the frame: Fit (the whole frame, reduced to fit,
// never enlarged, centred), or a fixed scale with the frame point shown at
// the view's centre pixel (width / 2, height / 2), in eighths of a pixel.
struct ViewPlace {
  bool fit = true;
  int32_t level = 0;
  int64_t centreX = 0;
  int64_t centreY = 0;
  bool operator==(const ViewPlace&) const = default;
};

// Eighths of a frame pixel that one view pixel steps over at `level`.
constexpr int64_t SubStepOf(int32_t level) { return level >= 0 ? kSubPixels >> level : kSubPixels << -level; }

// Paints `image` into `bitmap` (width x height) as the view shows it at
// `place`: Fit exactly as PaintImage (reduced, never enlarged); a fixed
// scale by nearest neighbour, each view pixel showing the frame pixel under
// its top-left corner, so an enlarged pixel is a square. Only the view's
// pixels are visited, whatever the frame's size.
void PaintView(const ImageBuffer& image, int32_t width, int32_t height, const ViewPlace& place,
               uint8_t background, Bitmap24& bitmap);

// The frame pixel (top-left origin) under view pixel (x, y) of a width x
// height view; false when the view shows no frame pixel there.
bool FramePixelAt(int32_t frameWidth, int32_t frameHeight, int32_t width, int32_t height, const ViewPlace& place,
                  int32_t x, int32_t y, int32_t& frameX, int32_t& frameY);

// The place after zooming `steps` levels (positive: larger) about view pixel
// (x, y): the frame point under it stays under it. From Fit the first step
// goes to the next fixed scale larger or smaller than Fit's. Levels stop at
// 1:8 and 8:1.
ViewPlace ZoomAbout(const ViewPlace& place, int32_t steps, int32_t frameWidth, int32_t frameHeight, int32_t width,
                    int32_t height, int32_t x, int32_t y);
// The place after a drag by (dx, dy) view pixels: the picture follows the
// pointer. The centre stays on the frame.
ViewPlace PanBy(const ViewPlace& place, int32_t dx, int32_t dy, int32_t frameWidth, int32_t frameHeight);
// A fixed scale centred where Fit centres the frame.
ViewPlace CentredAt(int32_t level, int32_t frameWidth, int32_t frameHeight);
// "Fit", "1:1", "4:1", "1:2".
std::string ZoomText(const ViewPlace& place);

// Blue, green and red of pixel (x, y) on the engine's 0..255 scale; a grey
// pixel's value is the first.
std::array<float, 3> PixelValueAt(const ImageBuffer& image, int32_t x, int32_t y);

enum class DisplayStretch { Off, On };

// The picture the view paints: Gray8, or Bgr24 for colour, each byte as
// PaintImage paints the pixel; with the stretch, each channel's values are
// stretched by its automatic midtone stretch (StretchOf). False when memory
// runs out.
bool MakeDisplayPicture(const ImageBuffer& image, DisplayStretch stretch, ImageBuffer& picture);

// An automatic midtone stretch of one channel, values on 0..1 (the engine's
// 0..255 / 255): values up to `shadows` go black, the rest is spread over
// 0..1 by the midtone transfer with balance `midtone`, which brings the
// median to a quarter of full white.
struct MidtoneStretch {
  float shadows = 0;
  float midtone = 0.5f;
  float apply(float value) const;
};
// The stretch of channel `channel` (0 for grey) from its median and its
// median absolute deviation.
MidtoneStretch StretchOf(const ImageBuffer& image, int channel);

// Pixel counts of a display picture per byte value: grey pixels by value,
// colour pixels by their luminance.
std::array<uint32_t, 256> HistogramOf(const ImageBuffer& picture);

}  // namespace stelp
