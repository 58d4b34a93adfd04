#include "engine/paint.h"

#include <cstring>

#include "image/numeric.h"

namespace stelp {

void FillBackground(int32_t width, int32_t height, uint8_t background, Bitmap24& bitmap) {
  bitmap = Bitmap24();
  if (width <= 0 || height <= 0) return;
  bitmap.width = width;
  bitmap.height = height;
  bitmap.rowBytes = (static_cast<size_t>(width) * 3 + 3) & ~size_t{3};
  bitmap.bytes.assign(bitmap.rowBytes * static_cast<size_t>(height), background);
}

void PaintImage(const ImageBuffer& image, int32_t width, int32_t height, Reduce reduce, Enlarge enlarge,
                uint8_t background, Bitmap24& bitmap) {
  FillBackground(width, height, background, bitmap);
  if (bitmap.bytes.empty() || !image.pixels || image.width <= 0 || image.height <= 0) return;
  const int32_t W = image.width, H = image.height;
  const float scaleH = static_cast<float>(H) / static_cast<float>(height);
  const float scaleW = static_cast<float>(W) / static_cast<float>(width);
  float s = scaleH > scaleW ? scaleH : scaleW;
  if (s < 1 && enlarge == Enlarge::NotAllowed) s = 1;
  if (s > 1 && reduce == Reduce::NotAllowed) s = 1;

  // Source columns are the same for every row: work them out once.
  std::vector<int32_t> columns(static_cast<size_t>(width));
  for (int32_t x = 0; x < width; ++x)
    columns[x] = truncSaturate<int32_t>(static_cast<float>(x - (width >> 1)) * s + static_cast<float>(W >> 1));
  for (int32_t y = 0; y < height; ++y) {
    const int32_t sy = truncSaturate<int32_t>(static_cast<float>(y - (height >> 1)) * s + static_cast<float>(H >> 1));
    if (sy < 0 || sy >= H) continue;
    const uint8_t* source = image.row(sy);
    uint8_t* out = bitmap.bytes.data() + bitmap.rowBytes * static_cast<size_t>(y);
    for (int32_t x = 0; x < width; ++x) {
      const int32_t sx = columns[x];
      if (sx < 0 || sx >= W) continue;
      DisplayBytes(image, source + static_cast<size_t>(sx) * image.bytesPerPixel, out + 3 * static_cast<size_t>(x));
    }
  }
}

}  // namespace stelp
