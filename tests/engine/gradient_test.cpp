// Gradient detection and the synthetic flat: every kernel checked bit for bit against a plain implementation that scans
// every window pixel by pixel, on random frames and settings.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <sstream>
#include <utility>

#include "engine/gradient.h"
#include "engine/gradient_choice.h"
#include "engine/gradient_exact.h"
#include "image/test_util.h"

namespace stelp {
namespace {

constexpr int32_t kMax = std::numeric_limits<int32_t>::max(), kMin = std::numeric_limits<int32_t>::min();
constexpr float kInf = std::numeric_limits<float>::infinity(), kNan = std::numeric_limits<float>::quiet_NaN();
using Fn = std::function<float(int32_t x, int32_t y, int c)>;  // a value per pixel and channel

int channelsOf(const ImageBuffer& b) { return b.format == PixelFormat::BgrFloat ? 3 : 1; }
const float* px(const ImageBuffer& b, int64_t x, int64_t y) {
  return reinterpret_cast<const float*>(b.row(int32_t(y))) + x * channelsOf(b);
}
float* px(ImageBuffer& b, int64_t x, int64_t y) { return const_cast<float*>(px(std::as_const(b), x, y)); }
float valueAt(const ImageBuffer& b, int64_t x, int64_t y, int c) {
  return b.format == PixelFormat::Gray8 ? b.row(static_cast<int32_t>(y))[x] : px(b, x, y)[c];
}
// A frame of `format` holding value(x, y, c); all zero without `value`.
ImageBuffer makeImage(int32_t width, int32_t height, PixelFormat format, const Fn& value = nullptr) {
  ImageBuffer b = std::move(*test::makeImage(format, width, height));
  std::memset(b.pixels.get(), 0, b.pixelBytes());
  for (int32_t y = 0; y < height && value; ++y)
    for (int32_t x = 0; x < width; ++x)
      for (int c = 0; c < channelsOf(b); ++c)
        if (format == PixelFormat::Gray8) b.row(y)[x] = static_cast<uint8_t>(value(x, y, c));
        else px(b, x, y)[c] = value(x, y, c);
  return b;
}
bool sameFloat(float a, float b) { return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0; }

// The first value where `got` differs from `want` in its bits (any NaN matching any NaN), described; empty when there
// is none.
std::string firstDifference(const ImageBuffer& got, const ImageBuffer& want) {
  if (!got.pixels || got.format != want.format || got.width != want.width || got.height != want.height)
    return "no pixels, or another format or size";
  for (int32_t y = 0; y < got.height; ++y)
    for (int32_t x = 0; x < got.width; ++x)
      for (int c = 0; c < channelsOf(got); ++c)
        if (!sameFloat(valueAt(got, x, y, c), valueAt(want, x, y, c)))
          return (std::ostringstream() << "(" << x << "," << y << ") channel " << c << ": " << valueAt(got, x, y, c)
                                       << " instead of " << valueAt(want, x, y, c)).str();
  return "";
}

// Reference implementation: every rule written out directly.

// The correctly rounded sum of finite doubles: Shewchuk's exact partials with the final round-half-even correction.
double fsum(const std::vector<double>& values) {
  std::vector<double> partials;
  for (double x : values) {
    size_t i = 0;
    for (double y : partials) {
      if (std::fabs(x) < std::fabs(y)) std::swap(x, y);
      const double hi = x + y, lo = y - (hi - x);
      if (lo != 0.0) partials[i++] = lo;
      x = hi;
    }
    partials.resize(i);
    partials.push_back(x);
  }
  size_t n = partials.size();
  double hi = n == 0 ? 0.0 : partials[--n], lo = 0.0;
  while (n > 0) {
    const double x = hi, y = partials[--n];
    hi = x + y;
    lo = y - (hi - x);
    if (lo != 0.0) break;
  }
  if (n > 0 && ((lo < 0.0 && partials[n - 1] < 0.0) || (lo > 0.0 && partials[n - 1] > 0.0))) {
    const double y = lo * 2.0, x = hi + y;
    if (y == x - hi) hi = x;
  }
  return hi;
}

// Finite values summed exactly, rounded once; infinities and NaNs give what any order of double additions gives.
double referenceSum(const std::vector<float>& values) {
  std::vector<double> finite;
  double nonFinite = 0.0;
  for (float v : values) std::isfinite(v) ? finite.push_back(v) : void(nonFinite += v);
  return std::isfinite(nonFinite) ? fsum(finite) : nonFinite;
}

// The map level of a pixel: its grey level truncated, modulo 256, 0 (and anything not finite) as 1.
float referenceLevel(const ImageBuffer& flat, int64_t x, int64_t y) {
  const float* p = px(flat, x, y);
  const float grey = channelsOf(flat) == 3 ? (p[0] + 2.0f * p[1] + p[2]) * 0.25f : p[0];
  const double m = std::isfinite(grey) ? std::fmod(std::fmod(std::trunc(double(grey)), 256.0) + 256.0, 256.0) : 0.0;
  return m == 0 ? 1.0f : static_cast<float>(m);
}

struct Products { ImageBuffer map, synthetic; std::array<float, 3> mean{}; };

Products reference(const ImageBuffer& flat, const FlatGroup& s) {
  // The band inside the border, and the window about (x, y) cut to it.
  const struct {
    int64_t b, rx, ry, w, h;
    bool empty() const { return 2 * b >= std::min(w, h); }
    int64_t hx(int64_t x) const { return std::min({rx, x - b, w - b - 1 - x}); }
    int64_t hy(int64_t y) const { return std::min({ry, y - b, h - b - 1 - y}); }
  } g{std::max(0, s.border), std::max(0, s.filterWidth) / 2, std::max(0, s.filterHeight) / 2, flat.width, flat.height};
  const int channels = channelsOf(flat);
  const Fn level = [&](int32_t x, int32_t y, int) { return referenceLevel(flat, x, y); };
  const Fn same = [&](int32_t x, int32_t y, int c) { return px(flat, x, y)[c]; };
  const ImageBuffer levels = makeImage(flat.width, flat.height, PixelFormat::Gray8, level);
  Products r{makeImage(flat.width, flat.height, PixelFormat::Gray8, level),
             makeImage(flat.width, flat.height, flat.format, same), {}};
  auto map = [&](int64_t x, int64_t y) -> uint8_t& { return r.map.row(static_cast<int32_t>(y))[x]; };
  for (int64_t y = g.b; y < g.h - g.b && !g.empty(); ++y)
    for (int64_t x = g.b; x < g.w - g.b; ++x) {
      int64_t hist[256] = {}, n = 0;
      for (int64_t yy = y - g.hy(y); yy <= y + g.hy(y); ++yy)
        for (int64_t xx = x - g.hx(x); xx <= x + g.hx(x); ++xx, ++n) ++hist[levels.row(static_cast<int32_t>(yy))[xx]];
      // hi: the first level where the running count passes half the window; lo: the last level where it does not.
      int64_t running = 0, lo = -1, hi = 0;
      while ((running += hist[hi]) <= n / 2) lo = hi++;
      const int64_t c = (lo + hi) >> 1, m = levels.row(static_cast<int32_t>(y))[x];
      if (m > c + s.varHi || m < c - s.varLo) map(x, y) = 0;
    }
  if (g.empty()) return r;
  std::vector<float> accepted[3];
  for (int64_t y = g.b; y < g.h - g.b; ++y)
    for (int64_t x = g.b; x < g.w - g.b; ++x) {
      for (std::vector<float>& a : accepted) a.clear();
      for (int64_t yy = y - g.hy(y); yy <= y + g.hy(y); ++yy)
        for (int64_t xx = x - g.hx(x); xx <= x + g.hx(x); ++xx)
          for (int c = 0; c < channels; ++c)
            if (map(xx, yy) != 0) accepted[c].push_back(px(flat, xx, yy)[c]);
      for (int c = 0; c < channels; ++c) {
        const float k = static_cast<float>(accepted[c].size());
        const double sum = referenceSum(accepted[c]);
        const float q = k == 0 ? px(flat, x, y)[c] : static_cast<float>(sum / static_cast<double>(k));
        px(r.synthetic, x, y)[c] = q == 0.0f ? 255.0f : q;
      }
    }
  for (int c = 0; c < channels; ++c) {
    float field = 0.0f;
    for (int64_t y = g.b; y < g.h - g.b; ++y) {
      std::vector<float> row;
      for (int64_t x = g.b; x < g.w - g.b; ++x) row.push_back(px(r.synthetic, x, y)[c]);
      field = static_cast<float>(static_cast<double>(field) + referenceSum(row));
    }
    r.mean[static_cast<size_t>(c)] = field / static_cast<float>((g.w - 2 * g.b) * (g.h - 2 * g.b));
  }
  for (int64_t y = 0; y < g.h; ++y)
    for (int64_t x = 0; x < g.w; ++x)
      for (int c = 0; c < channels && !(x >= g.b && x < g.w - g.b && y >= g.b && y < g.h - g.b); ++c)
        px(r.synthetic, x, y)[c] = px(r.synthetic, std::clamp(x, g.b, g.w - g.b - 1),
                                        std::clamp(y, g.b, g.h - g.b - 1))[c];
  return r;
}

// The products of every kernel (the default choice, the portable copy, and wider counters and accumulators than the
// frame needs) with each thread count against the reference; returns the reference map.
ImageBuffer expectAsReference(const ImageBuffer& flat, const FlatGroup& s, std::initializer_list<int> threadCounts) {
  Products want = reference(flat, s);
  for (const gradient_choice::Choice& choice : {gradient_choice::Choice{false, 0, 0}, {true, 0, 0}, {false, 16, 1},
                                                {false, 32, 2}, {true, 64, 3}}) {
    gradient_choice::set(choice);
    for (int threads : threadCounts) {
      SCOPED_TRACE(testing::Message() << (choice.baselineInstructions ? "portable" : "fastest")
                                      << " kernels, counters >= " << choice.minCounterBits << ", sums >= kind "
                                      << choice.minSumKind << ", threads " << threads);
      Products got{{}, {}, {-1.0f, -1.0f, -1.0f}};
      detectGradient(flat, s, got.map, threads);
      smoothGradient(flat, got.map, s, got.synthetic, got.mean, threads);
      EXPECT_EQ(firstDifference(got.map, want.map), "");
      EXPECT_EQ(firstDifference(got.synthetic, want.synthetic), "");
      for (size_t c = 0; c < 3; ++c) EXPECT_TRUE(sameFloat(got.mean[c], want.mean[c])) << "mean field " << c;
      if (::testing::Test::HasFailure()) break;
    }
    if (::testing::Test::HasFailure()) break;
  }
  gradient_choice::set(gradient_choice::Choice{});
  return std::move(want.map);
}

// Smooth: gradient with noise and dust, the usual flat. Levels: any level 0..255 with a fraction, some exact zeros.
// FewLevels: only a handful of levels, many ties at the median. Signed: negative values (cancelling sums), and
// integers past 2^24 and 2^31. Moderate: 1e-4 beside 200, sums need more than 53 bits, at most 64. Wide: tiny and
// huge magnitudes together, sums need more than 64 bits. Extreme: the whole float range, subnormals too, sums need
// more than 128 bits. NonFinite: infinities and NaNs here and there.
enum class Values { Smooth, Levels, FewLevels, Signed, Moderate, Wide, Extreme, NonFinite, Count };

ImageBuffer randomFlat(std::mt19937& rng, int32_t width, int32_t height, bool colour, Values kind) {
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  return makeImage(width, height, colour ? PixelFormat::BgrFloat : PixelFormat::GrayFloat, [&](int32_t x, int32_t y, int) {
    const float u = unit(rng), v = unit(rng);
    switch (kind) {
      case Values::Smooth:  // with dust in a diagonal pattern
        return 120.0f + 60.0f * x / width - 30.0f * y / height + 6.0f * (v - 0.5f) -
               ((x / 5 + y / 4) % 11 == 3 ? 25.0f : 0.0f);
      case Values::Levels: return u < 0.05f ? 0.0f : 256.0f * v;
      case Values::FewLevels: return static_cast<float>(60 + 3 * static_cast<int>(4.0f * u)) + 0.5f;
      case Values::Signed:
        return u < 0.3f ? -std::floor(100.0f * v) - 0.25f : u < 0.35f ? 5e9f * (v - 0.5f) : 300.0f * v - 40.0f;
      case Values::Moderate: return u < 0.2f ? 1e-4f * (1.0f + v) : 100.0f + 100.0f * v;
      case Values::Wide: return u < 0.2f ? 1e-9f * v : u < 0.25f ? 0.0f : 200.0f * v;
      case Values::Extreme: return u < 0.3f ? 1e30f * v : u < 0.6f ? -1e-30f * v : 1e-44f * v;
      case Values::NonFinite: return u < 0.02f ? kNan : u < 0.05f ? kInf : u < 0.07f ? -kInf : 200.0f * v;
      case Values::Count: break;
    }
    return 0.0f;
  });
}

// Mostly small settings, sometimes negative or extreme ones.
FlatGroup randomSettings(std::mt19937& rng, int32_t width, int32_t height) {
  auto draw = [&rng](int32_t lo, int32_t hi) { return std::uniform_int_distribution<int32_t>(lo, hi)(rng); };
  auto pick = [&](std::initializer_list<int32_t> from) { return from.begin()[draw(0, int32_t(from.size()) - 1)]; };
  const int32_t half = std::min(width, height) / 2;
  FlatGroup s;
  s.filterWidth = draw(0, 9) < 7 ? draw(0, 24) : pick({-7, -1, 1, 1000, kMax, kMin});
  s.filterHeight = draw(0, 9) < 7 ? draw(0, 24) : pick({-7, -1, 1, 1000, kMax, kMin});
  s.varHi = draw(0, 9) < 8 ? draw(-3, 10) : pick({kMax, kMin, -300, 300});
  s.varLo = draw(0, 9) < 8 ? draw(-3, 10) : pick({kMax, kMin, -300, 300});
  s.border = draw(0, 9) < 5 ? 0 : draw(0, 9) < 8 ? draw(0, half + 1) : pick({-3, kMin, kMax, half});
  return s;
}

// Fixed frames tall enough that several threads share the rows, with windows that reach across the split points (column
// windows of more than 255 rows need wider column counters); then random frames and settings, the smallest sizes first.
TEST(GradientTest, FramesAndSettingsMatchTheReferenceBitForBitAndUnusableInputsGiveNoProducts) {
  int64_t rejected = 0, kept = 0, frame = 0;  // over all reference maps: both must occur
  auto matches = [&](const ImageBuffer& flat, const FlatGroup& s) {
    SCOPED_TRACE(testing::Message() << "frame " << frame++ << ": " << flat.width << "x" << flat.height << " colour "
                                    << (channelsOf(flat) == 3) << " filter " << s.filterWidth << "x" << s.filterHeight
                                    << " var +" << s.varHi << "/-" << s.varLo << " border " << s.border);
    const ImageBuffer map = expectAsReference(flat, s, {1, 2, 5});
    for (size_t p = 0; p < map.pixelBytes(); ++p) ++(map.pixels[p] == 0 ? rejected : kept);
    return !HasFailure();
  };
  std::mt19937 rng(20240611);
  const struct { int32_t width, height; bool colour; FlatGroup s; Values values; } fixed[] = {
      {160, 120, false, {30, 20, 5, 5, 0}, Values::Smooth},  {131, 97, true, {24, 16, 2, 3, 3}, Values::Smooth},
      {90, 140, false, {11, 40, 0, 1, 1}, Values::FewLevels}, {120, 90, false, {40, 12, 4, 4, 2}, Values::Wide},
      {9, 300, false, {6, 600, 3, 3, 0}, Values::Smooth},
  };
  for (const auto& f : fixed)
    if (!matches(randomFlat(rng, f.width, f.height, f.colour, f.values), f.s)) return;
  const int32_t smallest[4][2] = {{1, 1}, {1, 4}, {4, 1}, {2, 3}};
  for (int round = 0; round < 40; ++round)
    for (int kind = 0; kind < static_cast<int>(Values::Count); ++kind) {
      const int32_t width = round < 4 ? smallest[round][0] : std::uniform_int_distribution<int32_t>(1, 70)(rng);
      const int32_t height = round < 4 ? smallest[round][1] : std::uniform_int_distribution<int32_t>(1, 50)(rng);
      const ImageBuffer flat = randomFlat(rng, width, height, /*colour=*/round % 2 == 1, static_cast<Values>(kind));
      if (!matches(flat, randomSettings(rng, width, height))) return;
    }
  EXPECT_GT(rejected, kept / 20);
  EXPECT_GT(kept, rejected);

  // Unusable inputs leave the products absent.
  ImageBuffer map;
  detectGradient(makeImage(4, 4, PixelFormat::Gray8), FlatGroup{}, map, 1);  // not a float frame
  EXPECT_FALSE(map.pixels);
  const ImageBuffer flat = makeImage(4, 4, PixelFormat::GrayFloat), otherSize = makeImage(5, 4, PixelFormat::Gray8);
  detectGradient(flat, FlatGroup{}, map, 1);
  ASSERT_TRUE(map.pixels);
  detectGradient(ImageBuffer{}, FlatGroup{}, map, 1);
  EXPECT_FALSE(map.pixels);
  for (const ImageBuffer* badMap : {&std::as_const(map), &otherSize}) {  // none, or not the flat's size
    ImageBuffer synthetic = makeImage(4, 4, PixelFormat::GrayFloat);
    std::array<float, 3> mean{7.0f, 7.0f, 7.0f};
    smoothGradient(flat, *badMap, FlatGroup{}, synthetic, mean, 1);
    EXPECT_FALSE(synthetic.pixels);
    EXPECT_EQ(mean, (std::array<float, 3>{0.0f, 0.0f, 0.0f}));
  }
}

TEST(ExactSum, TiesRoundToEvenAndInfinitiesFollowDoubleArithmetic) {
  const std::pair<std::vector<float>, double> cases[] = {
      {{}, 0.0},
      {{0x1p100f, 1.0f}, 0x1p100},                   // the 1 is lost in any double
      {{0x1p60f, 1.0f, 0x1p-60f}, 0x1p60},           // below half an ulp
      {{0x1p53f, 1.0f}, 0x1p53},                     // a tie: to even
      {{0x1p53f, 1.0f, 0x1p-100f}, 0x1p53 + 2.0},    // just above the tie: up
      {{0x1p53f, 3.0f}, 0x1p53 + 4.0},               // a tie: to even (up)
      {{-0x1p120f, 0x1p120f, 0x1p-120f}, 0x1p-120},  // cancellation leaves the small one
      {{-0x1p101f, 0x1p60f, -0x1p60f}, -0x1p101},    // negative, low 64 bits of the sum 0
      {{-0x1p120f, 0x1p-10f, -0x1p-10f}, -0x1p120},  // the same across two limbs
      {{1e38f, 1e38f, 1e38f, 1e38f, -1e38f}, 3.0 * static_cast<double>(1e38f)},
      {{1.0f, kInf, 2.0f}, HUGE_VAL}, {{-kInf, 2.0f}, -HUGE_VAL},
      {{kInf, -kInf}, std::nan("")},  {{1.0f, kNan}, std::nan("")},
  };
  for (const auto& [values, expected] : cases) {
    const double got = exact::sum(values.data(), values.size());
    EXPECT_TRUE(got == expected || (std::isnan(got) && std::isnan(expected))) << values.size() << " values";
  }
}

}  // namespace
}  // namespace stelp
