#include "engine/bayer.h"

#include <algorithm>
#include <cstring>

#include "engine/gradient.h"
#include "engine/parallel.h"
#include "engine/pipeline.h"

namespace stelp {
namespace {

constexpr int64_t kRowGrain = 16;  // rows per thread at the least

// The pixels of a sub-image along one side of the frame.
int32_t planeExtent(int32_t extent, int offset) { return (extent - offset + 1) / 2; }

// Pixels (ox + 2i, oy + 2j) of `image` as an image of their own, in its
// format. False when the sub-image is empty or memory runs out.
bool takePlane(const ImageBuffer& image, int ox, int oy, ImageBuffer& plane) {
  plane = ImageBuffer();
  plane.setFormat(image.format);
  plane.width = planeExtent(image.width, ox);
  plane.height = planeExtent(image.height, oy);
  if (!plane.allocate()) return false;
  const size_t bytes = static_cast<size_t>(image.bytesPerPixel);
  for (int32_t j = 0; j < plane.height; ++j) {
    const uint8_t* in = image.row(oy + 2 * j) + static_cast<size_t>(ox) * bytes;
    uint8_t* out = plane.row(j);
    for (int32_t i = 0; i < plane.width; ++i) std::memcpy(out + i * bytes, in + 2 * i * bytes, bytes);
  }
  return true;
}

// The reverse of takePlane: writes `plane` back to its pixels of `image`.
void putPlane(const ImageBuffer& plane, int ox, int oy, ImageBuffer& image) {
  const size_t bytes = static_cast<size_t>(image.bytesPerPixel);
  for (int32_t j = 0; j < plane.height; ++j) {
    const uint8_t* in = plane.row(j);
    uint8_t* out = image.row(oy + 2 * j) + static_cast<size_t>(ox) * bytes;
    for (int32_t i = 0; i < plane.width; ++i) std::memcpy(out + 2 * i * bytes, in + i * bytes, bytes);
  }
}

// A new image of `format` and the size and pattern of `like`.
bool allocateLike(const ImageBuffer& like, PixelFormat format, ImageBuffer& image) {
  image = ImageBuffer();
  image.setFormat(format);
  image.width = like.width;
  image.height = like.height;
  image.bayer = like.bayer;
  return image.allocate();
}

// The settings of `flat`, which are in frame pixels, for a sub-image.
FlatGroup planeSettings(const FlatGroup& flat) {
  FlatGroup half = flat;
  half.filterWidth = flat.filterWidth / 2;
  half.filterHeight = flat.filterHeight / 2;
  half.border = flat.border > 0 ? flat.border - flat.border / 2 : flat.border;
  return half;
}

// The band's pixels in a sub-image of `width` x `height`, by gradient.h's
// rule: none when the border leaves no pixel.
int64_t bandPixels(int32_t width, int32_t height, int32_t border) {
  const int64_t b = std::max(border, 0);
  if (2 * b >= width || 2 * b >= height) return 0;
  return (width - 2 * b) * (height - 2 * b);
}

inline float mean2(float a, float b) { return static_cast<float>((static_cast<double>(a) + b) * 0.5); }
inline float mean4(float a, float b, float c, float d) {
  return static_cast<float>((static_cast<double>(a) + b + c + d) * 0.25);
}

}  // namespace

bool demosaicBilinear(const ImageBuffer& mosaic, ImageBuffer& colour, int threads) {
  ImageBuffer out;
  colour = ImageBuffer();
  if (!allocateLike(mosaic, PixelFormat::BgrFloat, out)) return false;
  out.bayer = BayerPattern::None;
  const int32_t W = mosaic.width, H = mosaic.height;
  const BayerPattern pattern = mosaic.bayer;
  auto in = [&](int32_t y) { return reinterpret_cast<const float*>(mosaic.row(y)); };
  if (W < 2 || H < 2 || pattern == BayerPattern::None) {
    for (int32_t y = 0; y < H; ++y) {
      float* o = reinterpret_cast<float*>(out.row(y));
      for (int32_t x = 0; x < W; ++x) std::fill(o + 3 * x, o + 3 * x + 3, in(y)[x]);
    }
    colour = std::move(out);
    return true;
  }
  parallelRanges(H, threads, kRowGrain, [&](int64_t first, int64_t end) {
    for (int32_t y = static_cast<int32_t>(first); y < end; ++y) {
      // Mirrored about the edge row: row -1 is row 1, row H is row H - 2.
      const float* up = in(y > 0 ? y - 1 : 1);
      const float* mid = in(y);
      const float* down = in(y + 1 < H ? y + 1 : H - 2);
      float* o = reinterpret_cast<float*>(out.row(y));
      // The channels of the even and the odd columns of this row.
      const int channelOf[2] = {bayerChannelAt(pattern, 0, y), bayerChannelAt(pattern, 1, y)};
      for (int32_t x = 0; x < W; ++x, o += 3) {
        const int32_t left = x > 0 ? x - 1 : 1;
        const int32_t right = x + 1 < W ? x + 1 : W - 2;
        const int c = channelOf[x & 1];
        o[c] = mid[x];
        if (c == 1) {
          // Green: the pixels beside it are of one colour, those above and
          // below of the other.
          const int beside = channelOf[(x + 1) & 1];
          o[beside] = mean2(mid[left], mid[right]);
          o[2 - beside] = mean2(up[x], down[x]);
        } else {
          // Red or blue: green beside, above and below; the other colour on
          // the diagonals.
          o[1] = mean4(up[x], mid[left], mid[right], down[x]);
          o[2 - c] = mean4(up[left], up[right], down[left], down[right]);
        }
      }
    }
  });
  colour = std::move(out);
  return true;
}

bool repairMosaicHotPixels(ImageBuffer& frame, const ImageBuffer& map, int32_t expand, int threads) {
  ImageBuffer planeFrame, planeMap;
  for (int oy = 0; oy < 2; ++oy)
    for (int ox = 0; ox < 2; ++ox) {
      if (planeExtent(frame.width, ox) == 0 || planeExtent(frame.height, oy) == 0) continue;
      if (!takePlane(frame, ox, oy, planeFrame) || !takePlane(map, ox, oy, planeMap)) return false;
      repairHotPixels(planeFrame, planeMap, expand, threads);
      putPlane(planeFrame, ox, oy, frame);
    }
  return true;
}

void detectMosaicGradient(const ImageBuffer& masterFlat, const FlatGroup& flat, ImageBuffer& map, int threads) {
  ImageBuffer result;
  map = ImageBuffer();
  if (!allocateLike(masterFlat, PixelFormat::Gray8, result)) return;
  // A map marks pixels; it is no mosaic to be made colour.
  result.bayer = BayerPattern::None;
  const FlatGroup half = planeSettings(flat);
  ImageBuffer plane, planeMap;
  for (int oy = 0; oy < 2; ++oy)
    for (int ox = 0; ox < 2; ++ox) {
      if (planeExtent(masterFlat.width, ox) == 0 || planeExtent(masterFlat.height, oy) == 0) continue;
      if (!takePlane(masterFlat, ox, oy, plane)) return;
      detectGradient(plane, half, planeMap, threads);
      if (!planeMap.pixels) return;
      putPlane(planeMap, ox, oy, result);
    }
  map = std::move(result);
}

void smoothMosaicGradient(const ImageBuffer& masterFlat, const ImageBuffer& map, const FlatGroup& flat,
                          ImageBuffer& synthetic, std::array<float, 3>& mean, int threads) {
  ImageBuffer result;
  synthetic = ImageBuffer();
  mean = {0.0f, 0.0f, 0.0f};
  if (map.format != PixelFormat::Gray8 || map.width != masterFlat.width || map.height != masterFlat.height) return;
  if (!allocateLike(masterFlat, masterFlat.format, result)) return;
  const FlatGroup half = planeSettings(flat);
  ImageBuffer plane, planeMap, planeSynthetic;
  double weighted = 0;
  int64_t pixels = 0;
  for (int oy = 0; oy < 2; ++oy)
    for (int ox = 0; ox < 2; ++ox) {
      if (planeExtent(masterFlat.width, ox) == 0 || planeExtent(masterFlat.height, oy) == 0) continue;
      if (!takePlane(masterFlat, ox, oy, plane) || !takePlane(map, ox, oy, planeMap)) return;
      std::array<float, 3> planeMean{};
      smoothGradient(plane, planeMap, half, planeSynthetic, planeMean, threads);
      if (!planeSynthetic.pixels) return;
      putPlane(planeSynthetic, ox, oy, result);
      const int64_t band = bandPixels(plane.width, plane.height, half.border);
      weighted += static_cast<double>(planeMean[0]) * static_cast<double>(band);
      pixels += band;
    }
  if (pixels > 0) mean[0] = static_cast<float>(weighted / static_cast<double>(pixels));
  synthetic = std::move(result);
}

}  // namespace stelp
