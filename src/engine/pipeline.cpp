#include "engine/pipeline.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "engine/parallel.h"
#include "image/numeric.h"

namespace stelp {
namespace {

constexpr int64_t kRowGrain = 16;  // rows per thread at the least

int channelsOf(const ImageBuffer& image) { return image.format == PixelFormat::BgrFloat ? 3 : 1; }

float* floatRow(ImageBuffer& image, int32_t y) { return reinterpret_cast<float*>(image.row(y)); }
const float* floatRow(const ImageBuffer& image, int32_t y) { return reinterpret_cast<const float*>(image.row(y)); }

// The grey level of pixel x of a float row: the value, or the luminance.
inline float greyAt(const float* row, int channels, int32_t x) {
  if (channels == 1) return row[x];
  const float* p = row + 3 * static_cast<size_t>(x);
  return luminance(p[0], p[1], p[2]);
}

// The histogram bin of a level: truncated toward zero, clamped to 0..255.
inline int levelBin(float level) { return std::clamp(truncSaturate<int32_t>(level), 0, 255); }

inline float clampLevel(float p) {
  if (p < 0) return 0;
  if (p > 255) return 255;
  return p;
}

// Runs `work(row)` for every row, spread over threads.
template <typename Work>
void forEachRow(int32_t height, int threads, Work work) {
  parallelRanges(height, threads, kRowGrain, [&](int64_t first, int64_t end) {
    for (int64_t y = first; y < end; ++y) work(static_cast<int32_t>(y));
  });
}

// (p - offset) x scale, clamped, for every value.
void applyStretch(ImageBuffer& frame, float offset, float scale, int threads) {
  const size_t values = static_cast<size_t>(frame.width) * channelsOf(frame);
  forEachRow(frame.height, threads, [&](int32_t y) {
    float* row = floatRow(frame, y);
    for (size_t i = 0; i < values; ++i) row[i] = clampLevel((row[i] - offset) * scale);
  });
}

}  // namespace

void addFrame(ImageBuffer& sum, const ImageBuffer& frame, int threads) {
  const size_t values = static_cast<size_t>(sum.width) * channelsOf(sum);
  forEachRow(sum.height, threads, [&](int32_t y) {
    float* out = floatRow(sum, y);
    const float* in = floatRow(frame, y);
    for (size_t i = 0; i < values; ++i) out[i] = out[i] + in[i];
  });
}

void scaleByReciprocal(ImageBuffer& sum, int32_t n, int threads) {
  const float factor = 1.0f / static_cast<float>(n);
  const size_t values = static_cast<size_t>(sum.width) * channelsOf(sum);
  forEachRow(sum.height, threads, [&](int32_t y) {
    float* row = floatRow(sum, y);
    for (size_t i = 0; i < values; ++i) row[i] = row[i] * factor;
  });
}

std::array<float, 3> channelMeans(const ImageBuffer& image) {
  const int channels = channelsOf(image);
  std::array<float, 3> mean{0.0f, 0.0f, 0.0f};
  for (int32_t y = 0; y < image.height; ++y) {
    const float* row = floatRow(image, y);
    for (int32_t x = 0; x < image.width; ++x)
      for (int c = 0; c < channels; ++c) mean[c] = mean[c] + row[channels * static_cast<size_t>(x) + c];
  }
  const float pixels = static_cast<float>(static_cast<int64_t>(image.width) * image.height);
  for (int c = 0; c < channels; ++c) mean[c] = mean[c] / pixels;
  return mean;
}

void locateHotPixels(const ImageBuffer& masterDark, const DarkGroup& dark, ImageBuffer& map) {
  const int32_t W = masterDark.width, H = masterDark.height;
  const int channels = channelsOf(masterDark);
  map = ImageBuffer();
  map.setFormat(PixelFormat::Gray8);
  map.width = W;
  map.height = H;
  if (!map.allocate()) return;
  for (int32_t y = 0; y < H; ++y) {
    const float* row = floatRow(masterDark, y);
    uint8_t* out = map.row(y);
    for (int32_t x = 0; x < W; ++x)
      out[x] = static_cast<uint8_t>(truncSaturate<int32_t>(greyAt(row, channels, x)) >> 2);
  }
  // The levels compare as unsigned numbers, converted to float like the
  // grey level they meet.
  const float hot = static_cast<float>(dark.hot), cold = static_cast<float>(dark.cold);
  const int64_t e = dark.expand;
  if (e < 0) return;
  // A pixel is marked when its L1 distance to the nearest bad pixel is at
  // most e: the union of the diamonds |dx| + |dy| <= e, clipped to the
  // frame. Two passes of a distance transform find every distance in time
  // proportional to the pixels, whatever e is; the frame is a rectangle, so
  // paths through neighbours inside it give the L1 distance exactly.
  constexpr uint32_t kFar = UINT32_MAX;  // no bad pixel; real distances stay below W + H
  const size_t pixels = static_cast<size_t>(W) * static_cast<size_t>(H);
  std::unique_ptr<uint32_t[]> distance(new (std::nothrow) uint32_t[pixels]);
  if (!distance) {
    map = ImageBuffer();
    return;
  }
  auto step = [](uint32_t d) { return d == kFar ? kFar : d + 1; };
  for (int32_t y = 0; y < H; ++y) {
    const float* row = floatRow(masterDark, y);
    uint32_t* d = distance.get() + static_cast<size_t>(y) * W;
    const uint32_t* above = y > 0 ? d - W : nullptr;
    for (int32_t x = 0; x < W; ++x) {
      const float v = greyAt(row, channels, x);
      uint32_t best = v > hot || v < cold ? 0 : kFar;
      if (x > 0) best = std::min(best, step(d[x - 1]));
      if (above) best = std::min(best, step(above[x]));
      d[x] = best;
    }
  }
  for (int32_t y = H - 1; y >= 0; --y) {
    uint32_t* d = distance.get() + static_cast<size_t>(y) * W;
    const uint32_t* below = y + 1 < H ? d + W : nullptr;
    uint8_t* out = map.row(y);
    for (int32_t x = W - 1; x >= 0; --x) {
      if (x + 1 < W) d[x] = std::min(d[x], step(d[x + 1]));
      if (below) d[x] = std::min(d[x], step(below[x]));
      if (d[x] <= static_cast<uint64_t>(e)) out[x] = 255;
    }
  }
}

namespace {

// p - d, then p x (m / f) clamped at 255, then negatives (and NaN) to 0, for
// `values` values of one row. One form per combination of products, so that
// each loop is plain arithmetic the compiler vectorises; `mean` holds the
// mean of every value's channel (a single one when OneMean).
template <bool Dark, bool Flat, bool OneMean>
void calibrateRow(float* row, const float* d, const float* f, const float* mean, size_t values) {
  const float single = mean[0];
  for (size_t i = 0; i < values; ++i) {
    float p = row[i];
    if constexpr (Dark) p = p - d[i];
    if constexpr (Flat) {
      p = p * ((OneMean ? single : mean[i]) / f[i]);
      p = p > 255.0f ? 255.0f : p;
    }
    // Also catches 0 x infinity from a zero flat value: that pixel is black.
    row[i] = p >= 0.0f ? p : 0.0f;
  }
}

template <bool Dark, bool Flat, bool OneMean>
void calibrateRows(ImageBuffer& frame, const ImageBuffer* dark, const ImageBuffer* flat, const float* mean,
                   int threads) {
  const size_t values = static_cast<size_t>(frame.width) * channelsOf(frame);
  forEachRow(frame.height, threads, [&](int32_t y) {
    calibrateRow<Dark, Flat, OneMean>(floatRow(frame, y), Dark ? floatRow(*dark, y) : nullptr,
                                      Flat ? floatRow(*flat, y) : nullptr, mean, values);
  });
}

}  // namespace

void subtractDarkDivideFlat(ImageBuffer& frame, const ImageBuffer* dark, const ImageBuffer* flat,
                            const std::array<float, 3>& means, int threads) {
  if (!dark && !flat) return;
  if (!flat) return calibrateRows<true, false, true>(frame, dark, flat, means.data(), threads);
  if (channelsOf(frame) == 1) {
    if (dark) return calibrateRows<true, true, true>(frame, dark, flat, means.data(), threads);
    return calibrateRows<false, true, true>(frame, dark, flat, means.data(), threads);
  }
  // Colour values take their channel's mean from a row of them, blue, green,
  // red repeated, so that every value's arithmetic is the same.
  std::vector<float> meanRow(static_cast<size_t>(frame.width) * 3);
  for (size_t i = 0; i < meanRow.size(); ++i) meanRow[i] = means[i % 3];
  if (dark) return calibrateRows<true, true, false>(frame, dark, flat, meanRow.data(), threads);
  return calibrateRows<false, true, false>(frame, dark, flat, meanRow.data(), threads);
}

namespace {

// Sums the good pixels of the rows y0..y1 and columns x0..x1 in row order,
// the order every repair sums in; returns how many there were.
int32_t sumGoodPixels(const ImageBuffer& frame, const ImageBuffer& map, int64_t x0, int64_t x1, int64_t y0,
                      int64_t y1, float sum[3]) {
  const int channels = channelsOf(frame);
  int32_t k = 0;
  for (int64_t yy = y0; yy <= y1; ++yy) {
    const uint8_t* m = map.row(static_cast<int32_t>(yy));
    const float* values = floatRow(frame, static_cast<int32_t>(yy));
    for (int64_t xx = x0; xx <= x1; ++xx) {
      if (m[xx] == 255) continue;
      for (int c = 0; c < channels; ++c) sum[c] = sum[c] + values[channels * xx + c];
      ++k;
    }
  }
  return k;
}

}  // namespace

void repairHotPixels(ImageBuffer& frame, const ImageBuffer& map, int32_t expand, int threads) {
  const int32_t W = frame.width, H = frame.height;
  const int channels = channelsOf(frame);
  const int64_t r = int64_t{expand} + 1;
  // Without a good pixel there is nothing to repair from.
  bool anyGood = false;
  for (int32_t y = 0; y < H && !anyGood; ++y) {
    const uint8_t* marks = map.row(y);
    anyGood = std::find_if(marks, marks + W, [](uint8_t m) { return m != 255; }) != marks + W;
  }
  if (!anyGood) return;
  // A window that reaches past every edge sums the whole frame, in the same
  // order for every pixel: that sum is made once. Windows of a large spread
  // would otherwise cost the whole frame for every bad pixel.
  float whole[3] = {0, 0, 0};
  int32_t wholeCount = 0;
  const bool anyWholeWindow = 2 * r >= W - 1 && 2 * r >= H - 1;
  if (anyWholeWindow) wholeCount = sumGoodPixels(frame, map, 0, W - 1, 0, H - 1, whole);
  // Bad pixels read only good ones, which never change, so rows can be
  // repaired in any order and on any thread.
  forEachRow(H, threads, [&](int32_t y) {
    const uint8_t* marks = map.row(y);
    float* row = floatRow(frame, y);
    const int64_t y0 = std::max<int64_t>(y - r, 0), y1 = std::min<int64_t>(y + r, H - 1);
    // Bad pixels are few: the row's marks are searched for them a block at a time.
    for (const uint8_t* bad = marks; (bad = static_cast<const uint8_t*>(std::memchr(bad, 255, marks + W - bad)));
         ++bad) {
      const int32_t x = static_cast<int32_t>(bad - marks);
      const int64_t x0 = std::max<int64_t>(x - r, 0), x1 = std::min<int64_t>(x + r, W - 1);
      float sum[3] = {0, 0, 0};
      int32_t k = 0;
      if (anyWholeWindow && x0 == 0 && x1 == W - 1 && y0 == 0 && y1 == H - 1) {
        std::copy(whole, whole + 3, sum);
        k = wholeCount;
      } else {
        k = sumGoodPixels(frame, map, x0, x1, y0, y1, sum);
      }
      if (k == 0) continue;
      for (int c = 0; c < channels; ++c) row[channels * static_cast<size_t>(x) + c] = sum[c] / static_cast<float>(k);
    }
  });
}

void blurRows(ImageBuffer& frame, bool strong) {
  const int32_t H = frame.height;
  if (H < 3) return;
  const float w = strong ? 0.5f : 0.25f;
  const float q = 1.0f / (1.0f + 2.0f * w);
  const size_t values = static_cast<size_t>(frame.width) * channelsOf(frame);
  // Walk down with a copy of the old row above, so every row reads the frame
  // as it was before this step.
  std::vector<float> above(floatRow(frame, 0), floatRow(frame, 0) + values);
  std::vector<float> current(values);
  for (int32_t r = 1; r < H - 1; ++r) {
    float* row = floatRow(frame, r);
    const float* below = floatRow(frame, r + 1);
    std::copy(row, row + values, current.begin());
    for (size_t i = 0; i < values; ++i) row[i] = ((above[i] + below[i]) * w + current[i]) * q;
    above.swap(current);
  }
}

void EqualiseFields(ImageBuffer& frame) {
  const int32_t W = frame.width, H = frame.height;
  const int32_t pairs = H >> 1;
  // A frame of one row has no second field to match.
  if (pairs == 0) return;
  const int channels = channelsOf(frame);
  int64_t even[256] = {}, odd[256] = {};
  for (int32_t y = 0; y < 2 * pairs; ++y) {
    int64_t* histogram = (y & 1) ? odd : even;
    const float* row = floatRow(frame, y);
    for (int32_t x = 0; x < W; ++x) ++histogram[levelBin(greyAt(row, channels, x))];
  }
  int64_t sumEven = 0, sumOdd = 0;
  for (int b = 0; b < 256; ++b) {
    sumEven += b * even[b];
    sumOdd += b * odd[b];
  }
  // The darker field (the even one when they tie) is mapped onto the other.
  const bool correctEven = sumOdd >= sumEven;
  const int64_t* target = correctEven ? even : odd;
  const int64_t* reference = correctEven ? odd : even;
  const int32_t first = correctEven ? 0 : 1;
  const int64_t total = static_cast<int64_t>(pairs) * W;

  float table[257];
  int64_t below = 0;     // pixels of the target field below level k
  int j = 0;             // the reference bin holding the pixel of rank `below`
  int64_t beforeJ = 0;   // reference pixels below bin j
  for (int k = 0; k < 256; ++k) {
    if (k > 0) below += target[k - 1];
    if (below >= total) {
      table[k] = 255.0f;
      continue;
    }
    while (beforeJ + reference[j] <= below) beforeJ += reference[j++];
    const float level = static_cast<float>(j + static_cast<double>(below - beforeJ) / static_cast<double>(reference[j]));
    table[k] = level > 255.0f ? 255.0f : level;
  }
  table[256] = table[255];

  for (int32_t y = first; y < H; y += 2) {
    float* row = floatRow(frame, y);
    for (int32_t x = 0; x < W; ++x) {
      const float level = clampLevel(greyAt(row, channels, x));
      const int i = static_cast<int>(level);
      const float factor = level > 0 ? ((table[i + 1] - table[i]) * (level - static_cast<float>(i)) + table[i]) / level : 0.0f;
      for (int c = 0; c < channels; ++c) row[channels * static_cast<size_t>(x) + c] *= factor;
    }
  }
}

void stretchPercent(ImageBuffer& frame, float fromRel, float toRel, int threads) {
  if (fromRel == 0.0f && toRel == 100.0f) return;
  const int channels = channelsOf(frame);
  int64_t histogram[256] = {};
  for (int32_t y = 0; y < frame.height; ++y) {
    const float* row = floatRow(frame, y);
    for (int32_t x = 0; x < frame.width; ++x) ++histogram[levelBin(greyAt(row, channels, x))];
  }
  // The percentages use the single-precision 0.01 and are worked in double,
  // so that 1 percent of 307,200 pixels is 3,071.
  const double pixels = static_cast<double>(static_cast<int64_t>(frame.width) * frame.height);
  const double percent = static_cast<double>(0.01f);
  const int64_t lowCount = truncSaturate<int64_t>(pixels * fromRel * percent);
  const int64_t highCount = truncSaturate<int64_t>(pixels * toRel * percent);
  int lo = 0, hi = 255;
  int64_t running = 0;
  for (int b = 0; b < 256; ++b) {
    if (running < lowCount) lo = b;
    running += histogram[b];
    if (running < highCount) hi = b;
  }
  const int range = hi > lo ? hi - lo : 1;
  applyStretch(frame, static_cast<float>(lo), 255.0f / static_cast<float>(range), threads);
}

void stretchLevels(ImageBuffer& frame, float fromAbs, float toAbs, int threads) {
  if (fromAbs == 0.0f && toAbs == 255.0f) return;
  const float range = toAbs > fromAbs ? toAbs - fromAbs : 1.0f;
  applyStretch(frame, fromAbs, 255.0f / range, threads);
}

}  // namespace stelp
