// Gradient detection and the synthetic flat: the worked cases of the rules,
// and the fast implementation checked bit for bit against a plain one that
// scans every window pixel by pixel, on random frames and settings.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/gradient.h"
#include "engine/gradient_choice.h"
#include "engine/gradient_exact.h"
#include "image/image_buffer.h"

namespace stelp {
namespace {

// ---------------------------------------------------------------------------
// Frames

ImageBuffer makeFlat(int32_t width, int32_t height, bool colour) {
  ImageBuffer b;
  b.setFormat(colour ? PixelFormat::BgrFloat : PixelFormat::GrayFloat);
  b.width = width;
  b.height = height;
  EXPECT_TRUE(b.allocate());
  std::memset(b.pixels.get(), 0, b.pixelBytes());
  return b;
}

int channelsOf(const ImageBuffer& b) { return b.pixelFormat() == PixelFormat::BgrFloat ? 3 : 1; }

float* px(ImageBuffer& b, int32_t x, int32_t y) {
  return reinterpret_cast<float*>(b.row(y)) + static_cast<size_t>(x) * channelsOf(b);
}
const float* px(const ImageBuffer& b, int32_t x, int32_t y) {
  return reinterpret_cast<const float*>(b.row(y)) + static_cast<size_t>(x) * channelsOf(b);
}

void fill(ImageBuffer& b, float value) {
  for (int32_t y = 0; y < b.height; ++y)
    for (int32_t x = 0; x < b.width; ++x)
      for (int c = 0; c < channelsOf(b); ++c) px(b, x, y)[c] = value;
}

// ---------------------------------------------------------------------------
// Reference implementation: every rule written out directly.

// The correctly rounded sum of doubles (Shewchuk's exact partials with the
// final round-half-even correction), for finite inputs whose sum is finite.
double fsum(const std::vector<double>& values) {
  std::vector<double> partials;
  for (double x : values) {
    size_t i = 0;
    for (size_t k = 0; k < partials.size(); ++k) {
      double y = partials[k];
      if (std::fabs(x) < std::fabs(y)) std::swap(x, y);
      const double hi = x + y;
      const double lo = y - (hi - x);
      if (lo != 0.0) partials[i++] = lo;
      x = hi;
    }
    partials.resize(i);
    partials.push_back(x);
  }
  size_t n = partials.size();
  if (n == 0) return 0.0;
  double hi = partials[--n];
  double lo = 0.0;
  while (n > 0) {
    const double x = hi;
    const double y = partials[--n];
    hi = x + y;
    lo = y - (hi - x);
    if (lo != 0.0) break;
  }
  if (n > 0 && ((lo < 0.0 && partials[n - 1] < 0.0) || (lo > 0.0 && partials[n - 1] > 0.0))) {
    const double y = lo * 2.0;
    const double x = hi + y;
    if (y == x - hi) hi = x;
  }
  return hi;
}

// The sum "in at least double precision", made exact: any order of double
// additions gives NaN for a NaN or both infinities and the infinity for one.
double referenceSum(const std::vector<float>& values) {
  bool nan = false, plus = false, minus = false;
  std::vector<double> finite;
  for (float v : values) {
    if (std::isnan(v)) nan = true;
    else if (std::isinf(v)) (v > 0 ? plus : minus) = true;
    else finite.push_back(v);
  }
  if (nan || (plus && minus)) return std::numeric_limits<double>::quiet_NaN();
  if (plus) return std::numeric_limits<double>::infinity();
  if (minus) return -std::numeric_limits<double>::infinity();
  return fsum(finite);
}

uint8_t referenceLevel(float grey) {
  if (!std::isfinite(grey)) return 1;
  const double low = std::fmod(std::trunc(static_cast<double>(grey)), 256.0);  // -255..255
  const int m = static_cast<int>(low < 0 ? low + 256.0 : low);
  return m == 0 ? 1 : static_cast<uint8_t>(m);
}

float greyOf(const ImageBuffer& flat, int32_t x, int32_t y) {
  const float* p = px(flat, x, y);
  return channelsOf(flat) == 3 ? (p[0] + 2.0f * p[1] + p[2]) * 0.25f : p[0];
}

struct Geometry {
  int64_t b, rx, ry, w, h;
  bool empty;
  Geometry(const ImageBuffer& flat, const FlatGroup& s)
      : b(std::max(0, s.border)), rx(std::max(0, s.filterWidth) / 2), ry(std::max(0, s.filterHeight) / 2),
        w(flat.width), h(flat.height), empty(2 * b >= w || 2 * b >= h) {}
  bool inBand(int64_t x, int64_t y) const { return !empty && x >= b && x < w - b && y >= b && y < h - b; }
  int64_t hx(int64_t x) const { return std::min({rx, x - b, w - b - 1 - x}); }
  int64_t hy(int64_t y) const { return std::min({ry, y - b, h - b - 1 - y}); }
};

ImageBuffer referenceDetect(const ImageBuffer& flat, const FlatGroup& s) {
  ImageBuffer levels;
  levels.setFormat(PixelFormat::Gray8);
  levels.width = flat.width;
  levels.height = flat.height;
  EXPECT_TRUE(levels.allocate());
  for (int32_t y = 0; y < flat.height; ++y)
    for (int32_t x = 0; x < flat.width; ++x) levels.row(y)[x] = referenceLevel(greyOf(flat, x, y));

  ImageBuffer map;
  map.setFormat(PixelFormat::Gray8);
  map.width = flat.width;
  map.height = flat.height;
  EXPECT_TRUE(map.allocate());
  std::memcpy(map.pixels.get(), levels.pixels.get(), levels.pixelBytes());
  const Geometry g(flat, s);
  for (int64_t y = 0; y < g.h; ++y) {
    for (int64_t x = 0; x < g.w; ++x) {
      if (!g.inBand(x, y)) continue;
      int64_t hist[256] = {};
      int64_t n = 0;
      for (int64_t yy = y - g.hy(y); yy <= y + g.hy(y); ++yy)
        for (int64_t xx = x - g.hx(x); xx <= x + g.hx(x); ++xx, ++n) ++hist[levels.row(static_cast<int32_t>(yy))[xx]];
      const int64_t half = n >> 1;
      int64_t running = 0, lo = -1, hi = -1;
      for (int64_t bin = 0; bin < 256 && hi < 0; ++bin) {
        running += hist[bin];
        if (running > half) hi = bin;
        else lo = bin;
      }
      const int64_t c = (lo + hi) >> 1;
      const int64_t m = levels.row(static_cast<int32_t>(y))[x];
      if (m > c + s.varHi || m < c - s.varLo) map.row(static_cast<int32_t>(y))[x] = 0;
    }
  }
  return map;
}

struct Smoothed {
  ImageBuffer synthetic;
  std::array<float, 3> mean{};
};

Smoothed referenceSmooth(const ImageBuffer& flat, const ImageBuffer& map, const FlatGroup& s) {
  Smoothed r;
  r.synthetic = makeFlat(flat.width, flat.height, channelsOf(flat) == 3);
  const Geometry g(flat, s);
  const int channels = channelsOf(flat);
  if (g.empty) {
    std::memcpy(r.synthetic.pixels.get(), flat.pixels.get(), flat.pixelBytes());
    return r;
  }
  std::vector<float> accepted[3];
  for (int64_t y = g.b; y < g.h - g.b; ++y) {
    for (int64_t x = g.b; x < g.w - g.b; ++x) {
      for (std::vector<float>& a : accepted) a.clear();
      for (int64_t yy = y - g.hy(y); yy <= y + g.hy(y); ++yy)
        for (int64_t xx = x - g.hx(x); xx <= x + g.hx(x); ++xx)
          if (map.row(static_cast<int32_t>(yy))[xx] != 0)
            for (int c = 0; c < channels; ++c)
              accepted[c].push_back(px(flat, static_cast<int32_t>(xx), static_cast<int32_t>(yy))[c]);
      for (int c = 0; c < channels; ++c) {
        float q = px(flat, static_cast<int32_t>(x), static_cast<int32_t>(y))[c];
        if (!accepted[c].empty())
          q = static_cast<float>(referenceSum(accepted[c]) / static_cast<double>(static_cast<float>(accepted[c].size())));
        px(r.synthetic, static_cast<int32_t>(x), static_cast<int32_t>(y))[c] = q == 0.0f ? 255.0f : q;
      }
    }
  }
  float field[3] = {0.0f, 0.0f, 0.0f};
  for (int64_t y = g.b; y < g.h - g.b; ++y) {
    for (int c = 0; c < channels; ++c) {
      std::vector<float> row;
      for (int64_t x = g.b; x < g.w - g.b; ++x)
        row.push_back(px(r.synthetic, static_cast<int32_t>(x), static_cast<int32_t>(y))[c]);
      field[c] = static_cast<float>(static_cast<double>(field[c]) + referenceSum(row));
    }
  }
  const int64_t count = (g.w - 2 * g.b) * (g.h - 2 * g.b);
  for (int c = 0; c < channels; ++c) r.mean[static_cast<size_t>(c)] = field[c] / static_cast<float>(count);
  for (int64_t y = 0; y < g.h; ++y) {
    for (int64_t x = 0; x < g.w; ++x) {
      if (g.inBand(x, y)) continue;
      const int64_t cx = std::clamp(x, g.b, g.w - g.b - 1), cy = std::clamp(y, g.b, g.h - g.b - 1);
      std::memcpy(px(r.synthetic, static_cast<int32_t>(x), static_cast<int32_t>(y)),
                  px(r.synthetic, static_cast<int32_t>(cx), static_cast<int32_t>(cy)), sizeof(float) * channels);
    }
  }
  return r;
}

// ---------------------------------------------------------------------------
// Comparison helpers

bool sameFloat(float a, float b) {
  return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

// The first differing pixel, described; empty when the buffers are equal.
std::string firstDifference(const ImageBuffer& got, const ImageBuffer& want) {
  if (got.format != want.format || got.width != want.width || got.height != want.height || !got.pixels)
    return "format or size differs, or no pixels";
  for (int32_t y = 0; y < want.height; ++y) {
    for (int32_t x = 0; x < want.width; ++x) {
      if (want.pixelFormat() == PixelFormat::Gray8) {
        if (got.row(y)[x] != want.row(y)[x])
          return "(" + std::to_string(x) + "," + std::to_string(y) + "): " + std::to_string(got.row(y)[x]) +
                 " instead of " + std::to_string(want.row(y)[x]);
        continue;
      }
      for (int c = 0; c < channelsOf(want); ++c)
        if (!sameFloat(px(got, x, y)[c], px(want, x, y)[c]))
          return "(" + std::to_string(x) + "," + std::to_string(y) + ") channel " + std::to_string(c) + ": " +
                 std::to_string(px(got, x, y)[c]) + " instead of " + std::to_string(px(want, x, y)[c]);
    }
  }
  return "";
}

struct Products {
  ImageBuffer map;
  ImageBuffer synthetic;
  std::array<float, 3> mean{};
};

Products run(const ImageBuffer& flat, const FlatGroup& s, int threads) {
  Products p;
  detectGradient(flat, s, p.map, threads);
  p.mean = {-1.0f, -1.0f, -1.0f};
  smoothGradient(flat, p.map, s, p.synthetic, p.mean, threads);
  return p;
}

// The kernels every comparison runs: the default choice, the portable copy,
// and wider counters and accumulators than the frame needs.
const gradient_choice::Choice kChoices[] = {
    {false, 0, 0}, {true, 0, 0}, {false, 16, 1}, {false, 32, 2}, {true, 64, 3},
};

std::string describe(const gradient_choice::Choice& c) {
  return std::string(c.baselineInstructions ? "portable" : "fastest") + " kernels, counters >= " +
         std::to_string(c.minCounterBits) + " bits, sums >= kind " + std::to_string(c.minSumKind);
}

// Sets a kernel choice for the scope; the default again afterwards.
struct ChoiceScope {
  explicit ChoiceScope(const gradient_choice::Choice& c) { gradient_choice::set(c); }
  ~ChoiceScope() { gradient_choice::set(gradient_choice::Choice{}); }
};

std::string describe(const FlatGroup& s, const ImageBuffer& flat) {
  return std::to_string(flat.width) + "x" + std::to_string(flat.height) + (channelsOf(flat) == 3 ? " colour" : " grey") +
         " filter " + std::to_string(s.filterWidth) + "x" + std::to_string(s.filterHeight) + " var +" +
         std::to_string(s.varHi) + "/-" + std::to_string(s.varLo) + " border " + std::to_string(s.border);
}

// ---------------------------------------------------------------------------
// Random frames

enum class Values {
  Smooth,     // gradient with noise and dust: the usual flat
  Levels,     // any level 0..255 with a fraction, some exact zeros
  FewLevels,  // only a handful of levels: many ties at the median
  Signed,     // negative values too (cancelling sums)
  Moderate,   // 1e-4 beside 200: sums need more than 53 bits, at most 64
  Wide,       // tiny and huge magnitudes together: sums need more than 64 bits
  Extreme,    // the whole float range: sums need more than 128 bits
  Special,    // infinities and NaNs here and there
};

float randomValue(std::mt19937& rng, Values kind, int32_t x, int32_t y, int32_t width, int32_t height) {
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  const float u = unit(rng);
  switch (kind) {
    case Values::Smooth: {
      float v = 120.0f + 60.0f * x / std::max(1, width) - 30.0f * y / std::max(1, height) + 6.0f * (unit(rng) - 0.5f);
      if ((x / 5 + y / 4) % 11 == 3) v -= 25.0f;  // dust
      return v;
    }
    case Values::Levels: return u < 0.05f ? 0.0f : 256.0f * unit(rng);
    case Values::FewLevels: return static_cast<float>(60 + 3 * static_cast<int>(4.0f * u)) + 0.5f;
    case Values::Signed: return u < 0.3f ? -static_cast<float>(static_cast<int>(100.0f * unit(rng))) - 0.25f
                                         : 300.0f * unit(rng) - 40.0f;
    case Values::Moderate: return u < 0.2f ? 1e-4f * (1.0f + unit(rng)) : 100.0f + 100.0f * unit(rng);
    case Values::Wide: return u < 0.2f ? 1e-9f * unit(rng) : u < 0.25f ? 0.0f : 200.0f * unit(rng);
    case Values::Extreme: return u < 0.3f ? 1e30f * unit(rng) : u < 0.6f ? -1e-30f * unit(rng) : 1e-44f * unit(rng);
    case Values::Special: {
      if (u < 0.02f) return std::numeric_limits<float>::quiet_NaN();
      if (u < 0.05f) return std::numeric_limits<float>::infinity();
      if (u < 0.07f) return -std::numeric_limits<float>::infinity();
      return 200.0f * unit(rng);
    }
  }
  return 0.0f;
}

ImageBuffer randomFlat(std::mt19937& rng, int32_t width, int32_t height, bool colour, Values kind) {
  ImageBuffer flat = makeFlat(width, height, colour);
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x)
      for (int c = 0; c < channelsOf(flat); ++c) px(flat, x, y)[c] = randomValue(rng, kind, x, y, width, height);
  return flat;
}

int32_t pick(std::mt19937& rng, std::initializer_list<int32_t> choices) {
  std::uniform_int_distribution<size_t> d(0, choices.size() - 1);
  return *(choices.begin() + d(rng));
}

FlatGroup randomSettings(std::mt19937& rng, int32_t width, int32_t height) {
  std::uniform_int_distribution<int32_t> small(0, 24), variation(-3, 10), chance(0, 9);
  const int32_t extreme = std::numeric_limits<int32_t>::max(), lowest = std::numeric_limits<int32_t>::min();
  FlatGroup s;
  s.filterWidth = chance(rng) < 7 ? small(rng) : pick(rng, {-7, -1, 1, 1000, extreme, lowest});
  s.filterHeight = chance(rng) < 7 ? small(rng) : pick(rng, {-7, -1, 1, 1000, extreme, lowest});
  s.varHi = chance(rng) < 8 ? variation(rng) : pick(rng, {extreme, lowest, -300, 300});
  s.varLo = chance(rng) < 8 ? variation(rng) : pick(rng, {extreme, lowest, -300, 300});
  const int32_t half = std::min(width, height) / 2;
  s.border = chance(rng) < 5 ? 0 : chance(rng) < 8 ? std::uniform_int_distribution<int32_t>(0, half + 1)(rng)
                                                   : pick(rng, {-3, lowest, extreme, half});
  return s;
}

// ---------------------------------------------------------------------------
// The fast implementation against the reference

TEST(GradientAgainstReference, RandomFramesAndSettingsMatchBitForBit) {
  std::mt19937 rng(20240611);
  const Values kinds[] = {Values::Smooth,   Values::Levels, Values::FewLevels, Values::Signed,
                          Values::Moderate, Values::Wide,   Values::Extreme,   Values::Special};
  const int32_t smallest[4][2] = {{1, 1}, {1, 4}, {4, 1}, {2, 3}};
  int cases = 0;
  int64_t rejected = 0, kept = 0;  // over all reference maps: both must occur
  for (int round = 0; round < 40; ++round) {
    for (Values kind : kinds) {
      const bool colour = round % 2 == 1;
      const int32_t width = round < 4 ? smallest[round][0] : std::uniform_int_distribution<int32_t>(1, 70)(rng);
      const int32_t height = round < 4 ? smallest[round][1] : std::uniform_int_distribution<int32_t>(1, 50)(rng);
      const ImageBuffer flat = randomFlat(rng, width, height, colour, kind);
      const FlatGroup s = randomSettings(rng, width, height);
      const ImageBuffer wantMap = referenceDetect(flat, s);
      const Smoothed want = referenceSmooth(flat, wantMap, s);
      for (size_t i = 0; i < wantMap.pixelBytes(); ++i) ++(wantMap.pixels[i] == 0 ? rejected : kept);
      for (const gradient_choice::Choice& choice : kChoices) {
        const ChoiceScope scope(choice);
        for (int threads : {1, 3}) {
          SCOPED_TRACE(describe(s, flat) + ", values " + std::to_string(static_cast<int>(kind)) + ", " +
                       describe(choice) + ", threads " + std::to_string(threads));
          const Products got = run(flat, s, threads);
          ASSERT_EQ(firstDifference(got.map, wantMap), "");
          ASSERT_EQ(firstDifference(got.synthetic, want.synthetic), "");
          for (size_t c = 0; c < 3; ++c) EXPECT_TRUE(sameFloat(got.mean[c], want.mean[c])) << "mean field " << c;
          ++cases;
        }
      }
    }
  }
  EXPECT_EQ(cases, 40 * 8 * 5 * 2);
  EXPECT_GT(rejected, kept / 20);
  EXPECT_GT(kept, rejected);
}

// Frames tall enough that several threads share the rows, with windows that
// reach across the split points.
TEST(GradientAgainstReference, LargerFramesSplitBetweenThreads) {
  std::mt19937 rng(77);
  struct Case {
    int32_t width, height;
    bool colour;
    FlatGroup settings;
    Values values;
  };
  const Case cases[] = {
      {160, 120, false, {30, 20, 5, 5, 0}, Values::Smooth},
      {131, 97, true, {24, 16, 2, 3, 3}, Values::Smooth},
      {90, 140, false, {11, 40, 0, 1, 1}, Values::FewLevels},
      {120, 90, false, {40, 12, 4, 4, 2}, Values::Wide},
      // Column windows of more than 255 rows: wider column counters.
      {9, 300, false, {6, 600, 3, 3, 0}, Values::Smooth},
  };
  for (const Case& c : cases) {
    const ImageBuffer flat = randomFlat(rng, c.width, c.height, c.colour, c.values);
    const ImageBuffer wantMap = referenceDetect(flat, c.settings);
    const Smoothed want = referenceSmooth(flat, wantMap, c.settings);
    for (const gradient_choice::Choice& choice : {kChoices[0], kChoices[1]}) {
      const ChoiceScope scope(choice);
      for (int threads : {1, 2, 3, 5}) {
        SCOPED_TRACE(describe(c.settings, flat) + ", " + describe(choice) + ", threads " + std::to_string(threads));
        const Products got = run(flat, c.settings, threads);
        ASSERT_EQ(firstDifference(got.map, wantMap), "");
        ASSERT_EQ(firstDifference(got.synthetic, want.synthetic), "");
        for (size_t k = 0; k < 3; ++k) EXPECT_TRUE(sameFloat(got.mean[k], want.mean[k])) << "mean field " << k;
      }
    }
  }
}

// The default 101 x 51 window on a frame much larger than it: the products
// do not depend on the number of threads.
TEST(GradientThreads, DefaultWindowSameForAnyThreadCount) {
  std::mt19937 rng(5);
  for (bool colour : {false, true}) {
    const ImageBuffer flat = randomFlat(rng, 400, 300, colour, Values::Smooth);
    const FlatGroup s;
    const Products one = run(flat, s, 1);
    for (int threads : {2, 3, 8}) {
      const Products many = run(flat, s, threads);
      EXPECT_EQ(firstDifference(many.map, one.map), "") << threads << " threads";
      EXPECT_EQ(firstDifference(many.synthetic, one.synthetic), "") << threads << " threads";
      for (size_t c = 0; c < 3; ++c) EXPECT_TRUE(sameFloat(many.mean[c], one.mean[c]));
    }
    // Some pixels are rejected and some accepted: the frame exercises both.
    int64_t rejected = 0;
    for (int32_t y = 0; y < flat.height; ++y)
      for (int32_t x = 0; x < flat.width; ++x) rejected += one.map.row(y)[x] == 0;
    EXPECT_GT(rejected, 0);
    EXPECT_LT(rejected, int64_t{flat.width} * flat.height / 2);
  }
}

// ---------------------------------------------------------------------------
// The worked cases

TEST(GradientRules, UniformFlatKeepsEverythingWhenVariationAllowsOneLevel) {
  for (bool colour : {false, true}) {
    ImageBuffer flat = makeFlat(37, 23, colour);
    fill(flat, 131.625f);
    FlatGroup s{10, 6, 1, 0, 0};
    const Products p = run(flat, s, 2);
    for (int32_t y = 0; y < flat.height; ++y)
      for (int32_t x = 0; x < flat.width; ++x) ASSERT_EQ(p.map.row(y)[x], 131) << x << "," << y;
    EXPECT_EQ(firstDifference(p.synthetic, flat), "");
    EXPECT_EQ(p.mean[0], 131.625f);
    EXPECT_EQ(p.mean[2], colour ? 131.625f : 0.0f);
  }
}

TEST(GradientRules, UniformFlatRejectsTheWholeBandWithoutVariation) {
  ImageBuffer flat = makeFlat(20, 15, false);
  fill(flat, 90.5f);
  px(flat, 4, 4)[0] = 90.25f;  // same level, different value: must stay as it is
  const FlatGroup s{6, 4, 0, 5, 2};
  const Products p = run(flat, s, 1);
  for (int32_t y = 0; y < flat.height; ++y) {
    for (int32_t x = 0; x < flat.width; ++x) {
      const bool band = x >= 2 && x < 18 && y >= 2 && y < 13;
      ASSERT_EQ(p.map.row(y)[x], band ? 0 : 90) << x << "," << y;
    }
  }
  EXPECT_EQ(firstDifference(p.synthetic, flat), "");
}

TEST(GradientRules, DarkSpotIsRejectedAndFilledFromItsSurroundings) {
  ImageBuffer flat = makeFlat(60, 40, false);
  fill(flat, 100.25f);
  for (int32_t y = 18; y < 21; ++y)
    for (int32_t x = 28; x < 31; ++x) px(flat, x, y)[0] = 80.0f;
  const FlatGroup s{20, 10, 5, 5, 0};
  const Products p = run(flat, s, 2);
  for (int32_t y = 0; y < flat.height; ++y) {
    for (int32_t x = 0; x < flat.width; ++x) {
      const bool spot = x >= 28 && x < 31 && y >= 18 && y < 21;
      ASSERT_EQ(p.map.row(y)[x], spot ? 0 : 100) << x << "," << y;
      ASSERT_EQ(px(p.synthetic, x, y)[0], 100.25f) << x << "," << y;
    }
  }
}

TEST(GradientRules, CentreOneLevelBelowTheMedianBoundsTheVariation) {
  // A 9 x 9 window of level 50 around the centre pixel: hi = 50, c = 49.
  struct Case {
    float centre;
    int32_t varHi, varLo;
    uint8_t expected;
  };
  const Case cases[] = {
      {54.0f, 5, 5, 54},  // c + varHi: accepted
      {55.0f, 5, 5, 0},   // one level more: rejected
      {44.0f, 5, 5, 44},  // c - varLo: accepted
      {43.0f, 5, 5, 0},   // one level less: rejected
      {50.0f, 0, 5, 0},   // the median itself lies above c + 0
      {49.0f, 0, 0, 49},  // c itself with no variation at all
      {51.0f, 2, 0, 51},
      {52.0f, 2, 0, 0},
      {255.9f, std::numeric_limits<int32_t>::max(), 0, 255},  // no overflow of c + varHi
      {1.0f, 0, std::numeric_limits<int32_t>::max(), 1},
      {49.0f, std::numeric_limits<int32_t>::min(), 0, 0},
  };
  for (const Case& c : cases) {
    ImageBuffer flat = makeFlat(9, 9, false);
    fill(flat, 50.5f);
    px(flat, 4, 4)[0] = c.centre;
    const FlatGroup s{8, 8, c.varHi, c.varLo, 0};
    const Products p = run(flat, s, 1);
    EXPECT_EQ(p.map.row(4)[4], c.expected) << "centre " << c.centre << " var +" << c.varHi << "/-" << c.varLo;
  }
}

TEST(GradientRules, LevelsAreTruncatedLowBytesWithZeroStoredAsOne) {
  struct Case {
    float value;
    uint8_t level;
  };
  const Case cases[] = {{0.0f, 1},     {0.7f, 1},   {-0.9f, 1},  {1.0f, 1},     {150.7f, 150}, {255.99f, 255},
                        {256.0f, 1},   {300.9f, 44}, {-1.5f, 255}, {-256.5f, 1}, {1e10f, 1},    {-3e9f, 1},
                        {std::numeric_limits<float>::quiet_NaN(), 1}, {std::numeric_limits<float>::infinity(), 1}};
  ImageBuffer flat = makeFlat(static_cast<int32_t>(std::size(cases)), 1, false);
  for (size_t i = 0; i < std::size(cases); ++i) px(flat, static_cast<int32_t>(i), 0)[0] = cases[i].value;
  const FlatGroup s{0, 0, 5, 5, 0};  // one-pixel windows: nothing is rejected
  ImageBuffer map;
  detectGradient(flat, s, map, 1);
  ASSERT_EQ(map.pixelFormat(), PixelFormat::Gray8);
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(map.row(0)[i], cases[i].level) << cases[i].value;

  // Colour: the level of the luminance (b + 2g + r) / 4.
  ImageBuffer colour = makeFlat(1, 1, true);
  px(colour, 0, 0)[0] = 10.0f, px(colour, 0, 0)[1] = 100.5f, px(colour, 0, 0)[2] = 30.0f;  // 60.25
  detectGradient(colour, s, map, 1);
  EXPECT_EQ(map.row(0)[0], 60);
}

TEST(GradientRules, FlatOfZerosGives255) {
  for (bool colour : {false, true}) {
    ImageBuffer flat = makeFlat(12, 9, colour);
    const FlatGroup s{4, 4, 5, 5, 0};
    const Products p = run(flat, s, 1);
    for (int32_t y = 0; y < flat.height; ++y)
      for (int32_t x = 0; x < flat.width; ++x)
        for (int c = 0; c < channelsOf(flat); ++c) ASSERT_EQ(px(p.synthetic, x, y)[c], 255.0f);
    EXPECT_EQ(p.mean[0], 255.0f);
  }
}

TEST(GradientRules, PixelWithEveryNeighbourRejectedKeepsTheFlatValue) {
  // Uniform with varHi 0: every band pixel rejected, so each window has no
  // accepted pixel; exact zeros still become 255.
  ImageBuffer flat = makeFlat(8, 6, true);
  fill(flat, 40.5f);
  px(flat, 3, 3)[1] = 0.0f;
  px(flat, 3, 3)[0] = 40.75f;
  px(flat, 5, 2)[2] = -0.0f;  // an exact 0 too
  const FlatGroup s{2, 2, 0, 0, 0};
  const Products p = run(flat, s, 1);
  EXPECT_EQ(px(p.synthetic, 3, 3)[0], 40.75f);
  EXPECT_EQ(px(p.synthetic, 3, 3)[1], 255.0f);
  EXPECT_EQ(px(p.synthetic, 3, 3)[2], 40.5f);
  EXPECT_EQ(px(p.synthetic, 5, 2)[2], 255.0f);
}

TEST(GradientRules, BorderTwoOnTenByEightFillsTheEdgeFromTheBand) {
  ImageBuffer flat = makeFlat(10, 8, false);
  for (int32_t y = 0; y < 8; ++y)
    for (int32_t x = 0; x < 10; ++x) px(flat, x, y)[0] = 50.0f + 3.0f * x + 17.0f * y;
  const FlatGroup s{2, 2, 255, 255, 2};  // nothing rejected: 3 x 3 means
  const Products p = run(flat, s, 1);
  // The map keeps the levels outside the band.
  EXPECT_EQ(p.map.row(0)[0], 50);
  EXPECT_EQ(p.map.row(7)[9], static_cast<uint8_t>(50 + 27 + 119));
  auto at = [&](int32_t x, int32_t y) { return px(p.synthetic, x, y)[0]; };
  // Band corners: one-pixel windows; elsewhere a 3 x 3 mean of a plane.
  EXPECT_EQ(at(2, 2), 50.0f + 6.0f + 34.0f);
  EXPECT_EQ(at(7, 5), 50.0f + 21.0f + 85.0f);
  EXPECT_EQ(at(4, 3), 50.0f + 12.0f + 51.0f);
  const int32_t cx[10] = {2, 2, 2, 3, 4, 5, 6, 7, 7, 7};
  const int32_t cy[8] = {2, 2, 2, 3, 4, 5, 5, 5};
  for (int32_t y = 0; y < 8; ++y)
    for (int32_t x = 0; x < 10; ++x) EXPECT_EQ(at(x, y), at(cx[x], cy[y])) << x << "," << y;
  EXPECT_NE(at(0, 3), at(0, 4));
  EXPECT_NE(at(3, 0), at(4, 0));
}

TEST(GradientRules, GreyMeanInTheFirstFieldOnly) {
  ImageBuffer flat = makeFlat(16, 10, false);
  for (int32_t y = 0; y < 10; ++y)
    for (int32_t x = 0; x < 16; ++x) px(flat, x, y)[0] = x < 8 ? 10.0f : 30.0f;
  const FlatGroup s{0, 0, 5, 5, 1};  // one-pixel windows: the synthetic flat is the flat
  const Products p = run(flat, s, 1);
  EXPECT_EQ(p.mean[0], 20.0f);  // band columns 1..14: seven of 10, seven of 30
  EXPECT_EQ(p.mean[1], 0.0f);
  EXPECT_EQ(p.mean[2], 0.0f);

  ImageBuffer colour = makeFlat(4, 4, true);
  for (int32_t y = 0; y < 4; ++y)
    for (int32_t x = 0; x < 4; ++x) px(colour, x, y)[0] = 1.0f, px(colour, x, y)[1] = 2.0f, px(colour, x, y)[2] = 3.0f;
  const Products q = run(colour, s, 1);
  EXPECT_EQ(q.mean, (std::array<float, 3>{1.0f, 2.0f, 3.0f}));
}

TEST(GradientRules, MeanRoundsTheFieldToFloatAfterEachRow) {
  // Row sums of 2^24 and then 1: a double field would reach 2^24 + 1, a float
  // field stays at 2^24. One-pixel windows keep the values.
  ImageBuffer flat = makeFlat(1, 2, false);
  px(flat, 0, 0)[0] = 16777216.0f;
  px(flat, 0, 1)[0] = 1.0f;
  const Products p = run(flat, FlatGroup{0, 0, 5, 5, 0}, 1);
  EXPECT_EQ(p.mean[0], 8388608.0f);
}

TEST(GradientRules, EmptyBandLeavesLevelsAndTheMasterFlat) {
  for (int32_t border : {4, 5, 100, std::numeric_limits<int32_t>::max()}) {
    ImageBuffer flat = makeFlat(10, 8, true);
    for (int32_t y = 0; y < 8; ++y)
      for (int32_t x = 0; x < 10; ++x) px(flat, x, y)[0] = px(flat, x, y)[1] = px(flat, x, y)[2] = 20.0f + x + y;
    px(flat, 3, 3)[1] = 0.0f;  // not turned into 255: nothing is smoothed
    const Products p = run(flat, FlatGroup{100, 50, 0, 0, border}, 2);
    for (int32_t y = 0; y < 8; ++y)
      for (int32_t x = 0; x < 10; ++x)
        ASSERT_EQ(p.map.row(y)[x], referenceLevel(greyOf(flat, x, y))) << "border " << border;
    EXPECT_EQ(firstDifference(p.synthetic, flat), "") << "border " << border;
    EXPECT_EQ(p.mean, (std::array<float, 3>{0.0f, 0.0f, 0.0f}));
  }
}

TEST(GradientRules, UnusableInputsLeaveTheProductsAbsent) {
  ImageBuffer bytes;
  bytes.setFormat(PixelFormat::Gray8);
  bytes.width = 4;
  bytes.height = 4;
  ASSERT_TRUE(bytes.allocate());
  ImageBuffer map;
  map.setFormat(PixelFormat::Gray8);
  detectGradient(bytes, FlatGroup{}, map, 1);
  EXPECT_FALSE(map.pixels);
  detectGradient(ImageBuffer{}, FlatGroup{}, map, 1);
  EXPECT_FALSE(map.pixels);

  const ImageBuffer flat = makeFlat(4, 4, false);
  ImageBuffer synthetic;
  std::array<float, 3> mean{7.0f, 7.0f, 7.0f};
  smoothGradient(flat, ImageBuffer{}, FlatGroup{}, synthetic, mean, 1);  // no map
  EXPECT_FALSE(synthetic.pixels);
  EXPECT_EQ(mean, (std::array<float, 3>{0.0f, 0.0f, 0.0f}));
  ImageBuffer otherSize;
  detectGradient(makeFlat(5, 4, false), FlatGroup{}, otherSize, 1);
  ASSERT_TRUE(otherSize.pixels);
  smoothGradient(flat, otherSize, FlatGroup{}, synthetic, mean, 1);
  EXPECT_FALSE(synthetic.pixels);
}

// ---------------------------------------------------------------------------
// Exact sums

TEST(ExactSum, MatchesCorrectlyRoundedSumsOnEveryAccumulator) {
  std::mt19937 rng(99);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  struct Range {
    float lo, hi;  // magnitudes drawn from lo..hi on a log scale
    int bits;      // what the sum of 1000 needs at most: 53 (doubles), 64, 128 or more
  };
  const Range ranges[] = {{1.0f, 255.0f, 53},    {1e-4f, 255.0f, 64},  {1e-12f, 255.0f, 128},
                          {1e-40f, 3e38f, 400}, {1e-45f, 1e-40f, 53}};
  for (const Range& r : ranges) {
    for (int trial = 0; trial < 50; ++trial) {
      std::vector<float> values(1000);
      std::uniform_real_distribution<double> logScale(std::log(r.lo), std::log(r.hi));
      for (float& v : values) v = static_cast<float>(std::exp(logScale(rng))) * (unit(rng) < -0.3f ? -1.0f : 1.0f);
      if (trial % 5 == 0) values.push_back(-values.front());  // exact cancellation
      const exact::Survey s = exact::survey(values.data(), values.size());
      const int bits = exact::bitsNeeded(s, values.size());
      const int below = r.bits == 53 ? 0 : r.bits == 64 ? 53 : r.bits == 128 ? 64 : 128;
      EXPECT_TRUE(bits > below && bits <= r.bits) << bits << " bits for " << r.lo << ".." << r.hi;
      std::vector<double> wide(values.begin(), values.end());
      const double want = fsum(wide);
      const double got = exact::sum(values.data(), values.size());
      ASSERT_EQ(got, want) << "range " << r.lo << ".." << r.hi << " trial " << trial;
      // Reversed order, and every other value (stride 2): the same exact rule.
      std::vector<float> reversed(values.rbegin(), values.rend());
      ASSERT_EQ(exact::sum(reversed.data(), reversed.size()), want);
      std::vector<double> everyOther;
      for (size_t i = 0; i < values.size(); i += 2) everyOther.push_back(values[i]);
      ASSERT_EQ(exact::sum(values.data(), (values.size() + 1) / 2, 2), fsum(everyOther));
    }
  }
}

// Sums that need a little more than a double holds (about 60 bits): a plain
// double sum rounds them, the exact sum may not.
TEST(ExactSum, SumsJustBeyondDoublePrecisionStayExact) {
  for (int variant = 0; variant < 20; ++variant) {
    std::vector<float> values;
    for (int i = 0; i < 1000; ++i)
      values.push_back(i % 7 == variant % 7 ? 1e-5f * static_cast<float>(1 + (i + variant) % 13)
                                            : 200.0f + 0.37f * static_cast<float>((i * (variant + 1)) % 50));
    const exact::Survey s = exact::survey(values.data(), values.size());
    const int bits = exact::bitsNeeded(s, values.size());
    EXPECT_GT(bits, exact::kDoubleBits);
    EXPECT_LE(bits, 64);
    const std::vector<double> wide(values.begin(), values.end());
    double plain = 0.0;
    for (double v : wide) plain += v;
    const double want = fsum(wide);
    if (variant == 0) {
      ASSERT_NE(plain, want) << "the data must be beyond a plain double sum";
    }
    EXPECT_EQ(exact::sum(values.data(), values.size()), want) << "variant " << variant;
  }
}

TEST(ExactSum, TiesRoundToEvenAndSpecialsFollowDoubleArithmetic) {
  struct Case {
    std::vector<float> values;
    double expected;  // NaN: expect NaN
  };
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  const Case cases[] = {
      {{}, 0.0},
      {{0x1p100f, 1.0f}, 0x1p100},                             // the 1 is lost in any double
      {{0x1p60f, 1.0f, 0x1p-60f}, 0x1p60},                     // below half an ulp
      {{0x1p53f, 1.0f}, 0x1p53},                               // a tie: to even
      {{0x1p53f, 1.0f, 0x1p-100f}, 0x1p53 + 2.0},              // just above the tie: up
      {{0x1p53f, 3.0f}, 0x1p53 + 4.0},                         // a tie: to even (up)
      {{-0x1p120f, 0x1p120f, 0x1p-120f}, 0x1p-120},            // cancellation leaves the small one
      {{-0x1p101f, 0x1p60f, -0x1p60f}, -0x1p101},              // negative, low 64 bits of the sum 0
      {{-0x1p120f, 0x1p-10f, -0x1p-10f}, -0x1p120},            // the same across two limbs
      {{1e38f, 1e38f, 1e38f, 1e38f, -1e38f}, 3.0 * static_cast<double>(1e38f)},
      {{1.0f, inf, 2.0f}, std::numeric_limits<double>::infinity()},
      {{-inf, 2.0f}, -std::numeric_limits<double>::infinity()},
      {{inf, -inf}, std::numeric_limits<double>::quiet_NaN()},
      {{1.0f, nan}, std::numeric_limits<double>::quiet_NaN()},
  };
  for (const Case& c : cases) {
    const double got = exact::sum(c.values.data(), c.values.size());
    if (std::isnan(c.expected)) {
      EXPECT_TRUE(std::isnan(got));
    } else {
      EXPECT_EQ(got, c.expected) << c.values.size() << " values";
    }
  }
}

}  // namespace
}  // namespace stelp
