#include "engine/pipeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>
#include <span>
#include <stop_token>

#include "engine/engine_util.h"
#include "engine/parallel.h"

namespace stelp {
namespace {

using test::floatImage;
using Values = std::vector<float>;

// A frame of `format` whose values are drawn one by one from `draw`.
template <typename Draw> std::unique_ptr<ImageBuffer> randomFrame(PixelFormat format, int32_t w, int32_t h, Draw draw) {
  auto frame = test::makeImage(format, w, h);
  for (float& v : std::span(reinterpret_cast<float*>(frame->pixels.get()), frame->pixelBytes() / sizeof(float)))
    v = draw();
  return frame;
}

// The values of a grey frame `width` wide, listed top row first, after `step`.
Values after(int32_t width, const Values& before, const std::function<void(ImageBuffer&)>& step) {
  auto frame = floatImage(width, static_cast<int32_t>(before.size()) / width, before);
  step(*frame);
  const float* p = reinterpret_cast<const float*>(frame->pixels.get());
  return Values(p, p + before.size());
}

TEST(SmallFramesTest, AveragesAndMeansDeInterlaceAndStretchesGiveTheExpectedValues) {
  auto average = [](ImageBuffer& sum) {
    addFrame(sum, *floatImage(2, 1, {4, 1}), 1);
    scaleByReciprocal(sum, 2, 1);
  };
  EXPECT_EQ(after(2, {3, 1}, average), (Values{3.5f, 1.0f}));
  // Three frames: the sum times the float nearest to 1/3, not a division by 3.
  static_assert(5.0f * (1.0f / 3.0f) != 5.0f / 3.0f);
  EXPECT_EQ(after(1, {5}, [](ImageBuffer& sum) { scaleByReciprocal(sum, 3, 1); }), (Values{5.0f * (1.0f / 3.0f)}));

  EXPECT_EQ(channelMeans(*floatImage(2, 2, {1, 2, 3, 4})), (std::array<float, 3>{2.5f, 0.0f, 0.0f}));
  EXPECT_EQ(channelMeans(*floatImage(2, 1, {1, 10, 100, 3, 30, 300}, PixelFormat::BgrFloat)), (std::array<float, 3>{2.0f, 20.0f, 200.0f}));
  // 2^24 + 1 + 1 in float stays 2^24: the sum is rounded at every step.
  EXPECT_EQ(channelMeans(*floatImage(3, 1, {16777216.0f, 1.0f, 1.0f}))[0], 16777216.0f / 3.0f);

  auto blur = [](bool strong) { return [strong](ImageBuffer& f) { blurRows(f, strong); }; };
  EXPECT_EQ(after(1, {0, 0, 30, 0}, blur(false)), (Values{0, 5, 20, 0}));
  EXPECT_EQ(after(1, {0, 0, 30, 0}, blur(true)), (Values{0, 7.5f, 15, 0}));
  EXPECT_EQ(after(1, {0, 30}, blur(true)), (Values{0, 30}));  // too short to blur

  EXPECT_EQ(after(2, {100, 100, 50, 50}, EqualiseFields), (Values{100, 100, 100, 100}));
  // Identical fields with integer levels stay as they are.
  const Values same{10, 20, 30, 10, 20, 30, 40, 50, 0, 40, 50, 0};
  EXPECT_EQ(after(3, same, EqualiseFields), same);
  // Darker odd rows are corrected; the even rows and level 0 stay.
  const Values dark = after(2, {80, 90, 40, 0, 80, 90, 40, 0}, EqualiseFields);
  EXPECT_EQ((Values{dark[0], dark[1], dark[3]}), (Values{80, 90, 0}));
  EXPECT_GT(dark[2], 40);

  // Stretches. 640 x 480 with 1,200 pixels at every level: 1 % and 99 % give lo 2, hi 252.
  Values levels(640 * 480);
  for (size_t i = 0; i < levels.size(); ++i) levels[i] = static_cast<float>(i / 1200);
  const Values out = after(640, levels, [](ImageBuffer& f) { stretchPercent(f, 1.0f, 99.0f, 2); });
  EXPECT_EQ((Values{out[2 * 1200], out[252 * 1200], out[255 * 1200], out[127 * 1200]}),
            (Values{0.0f, 255.0f, 255.0f, (127.0f - 2.0f) * (255.0f / 250.0f)}));
  // The neutral bounds leave the frame alone.
  EXPECT_EQ(after(1, {3, 300}, [](ImageBuffer& f) { stretchPercent(f, 0.0f, 100.0f, 1); }), (Values{3, 300}));
  EXPECT_EQ(after(1, {300}, [](ImageBuffer& f) { stretchLevels(f, 0, 255, 1); }), (Values{300}));

  EXPECT_EQ(after(3, {9, 10, 11}, [](ImageBuffer& f) { stretchLevels(f, 10, 10, 1); }), (Values{0, 0, 255}));
  EXPECT_EQ(after(2, {20, 60}, [](ImageBuffer& f) { stretchLevels(f, 10, 60, 1); }), (Values{10 * (255.0f / 50), 255}));
}

// Random dark frames of up to 23 x 17: the marks against the diamonds drawn one bad pixel at a time, and the repair
// against the mean of the good pixels of each bad pixel's square, summed row by row. Both fast forms take a time that
// does not grow with the expansion.
TEST(HotPixelTest, MarksAndRepairMatchTheWindowsOfEveryBadPixel) {
  auto mapOf = [](const ImageBuffer& dark, DarkGroup settings) {  // its bytes, top row first
    ImageBuffer map;
    locateHotPixels(dark, settings, map);
    return std::vector<int>(map.pixels.get(), map.pixels.get() + map.pixelBytes());
  };
  uint32_t state = 12345;
  auto next = [&] { return state = state * 1664525u + 1013904223u; };
  // Mostly quiet pixels, a few hot and a few cold ones, and some exactly at the levels or just past them: the levels
  // are strict, and cold level 0 finds nothing.
  const float special[] = {230.0f, 2.0f, 200.0f, 200.01f, 5.0f, 0.0f};
  for (const int32_t expand : {-1, 0, 1, 2, 3, 7, 40, 2147483647})
    for (int trial = 0; trial < 4; ++trial) {
      const int32_t W = 1 + static_cast<int32_t>(next() % 23), H = 1 + static_cast<int32_t>(next() % 17);
      const DarkGroup settings{200, trial % 2 == 0 ? 5u : 0u, expand};
      SCOPED_TRACE(testing::Message() << W << "x" << H << " expand " << expand << " cold " << settings.cold);
      Values dark(static_cast<size_t>(W) * H), frame(dark.size());
      auto map = test::makeImage(PixelFormat::Gray8, W, H);
      for (size_t i = 0; i < dark.size(); ++i) {
        const uint32_t r = next() >> 8;
        dark[i] = r % 40 < 6 ? special[r % 40] : 20.0f + static_cast<float>(r % 100);
        frame[i] = static_cast<float>(next() >> 8) / 1000.0f;  // sums that depend on their order
        // In the last trial only the top left pixel is good: windows that miss it keep their value.
        map->pixels[i] = (trial == 3 ? i != 0 : (next() >> 16) % 4 == 0) ? 255 : 0;
      }
      std::vector<int> marks(dark.size());
      for (size_t i = 0; i < dark.size(); ++i) marks[i] = static_cast<int32_t>(dark[i]) >> 2;
      Values repaired = frame;
      const int64_t e = expand, r = e + 1;
      for (int64_t y = 0; y < H; ++y)
        for (int64_t x = 0; x < W; ++x) {
          const float v = dark[y * W + x];
          const bool bad = v > static_cast<float>(settings.hot) || v < static_cast<float>(settings.cold);
          for (int64_t yy = std::max<int64_t>(y - e, 0); bad && yy <= std::min<int64_t>(y + e, H - 1); ++yy)
            for (int64_t xx = std::max<int64_t>(x - (e - std::abs(yy - y)), 0);
                 xx <= std::min<int64_t>(x + (e - std::abs(yy - y)), W - 1); ++xx)
              marks[yy * W + xx] = 255;
          if (map->pixels[y * W + x] != 255) continue;
          float sum = 0;
          int32_t k = 0;
          for (int64_t yy = std::max<int64_t>(y - r, 0); yy <= std::min<int64_t>(y + r, H - 1); ++yy)
            for (int64_t xx = std::max<int64_t>(x - r, 0); xx <= std::min<int64_t>(x + r, W - 1); ++xx)
              if (map->pixels[yy * W + xx] != 255) sum = sum + frame[yy * W + xx], ++k;
          if (k) repaired[y * W + x] = sum / static_cast<float>(k);
        }
      EXPECT_EQ(mapOf(*floatImage(W, H, dark), settings), marks);
      EXPECT_EQ(after(W, frame, [&](ImageBuffer& f) { repairHotPixels(f, *map, expand, 2); }), repaired);
    }
  // Colour: blue and red 255, green 0 is level 127.5, not hot.
  EXPECT_EQ(mapOf(*floatImage(1, 1, {255, 0, 255}, PixelFormat::BgrFloat), {200, 0, 0})[0], 127 >> 2);
}

// The calibration has a loop for each combination of channels and products; each must give the bits of the one
// straightforward loop below (p - d, then p x (m / f) clamped at 255, then negatives and NaN to 0), on random frames
// of odd widths with zero, negative, infinite and NaN values.
TEST(CalibrationTest, EveryFormGivesTheBitsOfTheStraightforwardLoop) {
  uint32_t state = 2024;
  auto next = [&] { return state = state * 1664525u + 1013904223u; };
  auto value = [&] {
    const uint32_t r = next() >> 8;
    const float special[] = {0.0f, -0.0f, -7.5f, 1e30f, INFINITY, NAN};
    return r % 8 == 0 ? special[r / 8 % 6] : static_cast<float>(r % 100000) / 331.0f;
  };
  for (const PixelFormat format : {PixelFormat::GrayFloat, PixelFormat::BgrFloat})
    for (const int products : {1, 2, 3})  // dark, flat, both
      for (int trial = 0; trial < 6; ++trial) {
        const int32_t W = 1 + static_cast<int32_t>(next() % 37), H = 1 + static_cast<int32_t>(next() % 5);
        const auto light = randomFrame(format, W, H, value), darkFrame = randomFrame(format, W, H, value),
                   flatFrame = randomFrame(format, W, H, value);
        const ImageBuffer* dark = products & 1 ? darkFrame.get() : nullptr;
        const ImageBuffer* flat = products & 2 ? flatFrame.get() : nullptr;
        const std::array<float, 3> means{value(), value(), value()};
        auto expected = test::makeImage(format, W, H), actual = test::copyOf(*light);
        subtractDarkDivideFlat(*actual, dark, flat, means, 1 + trial % 3);
        const int channels = format == PixelFormat::BgrFloat ? 3 : 1;
        const float* p = reinterpret_cast<const float*>(light->pixels.get());
        float* out = reinterpret_cast<float*>(expected->pixels.get());
        for (size_t i = 0; i < expected->pixelBytes() / sizeof(float); ++i) {
          float v = p[i];
          if (dark) v = v - reinterpret_cast<const float*>(dark->pixels.get())[i];
          if (flat) {
            v = v * (means[i % channels] / reinterpret_cast<const float*>(flat->pixels.get())[i]);
            if (v > 255) v = 255;
          }
          out[i] = v >= 0 ? v : 0.0f;
        }
        EXPECT_EQ(test::pixelBytes(*actual), test::pixelBytes(*expected))
            << W << " x " << H << ", format " << static_cast<int>(format) << ", products " << products;
      }
}

// Frames of 70 rows are split into four bands of 17 or 18 rows: every step that splits its rows gives the same bits on
// four threads as on one.
TEST(ThreadsTest, RowSplitStepsGiveTheBitsOfOneThread) {
  constexpr int32_t W = 7, H = 70;
  uint32_t state = 4242;
  auto next = [&] { return state = state * 1664525u + 1013904223u; };
  for (const PixelFormat format : {PixelFormat::GrayFloat, PixelFormat::BgrFloat}) {
    auto value = [&] { return static_cast<float>(next() >> 8) / 50000.0f; };
    const auto light = randomFrame(format, W, H, value), dark = randomFrame(format, W, H, value),
               flat = randomFrame(format, W, H, value);
    auto map = test::makeImage(PixelFormat::Gray8, W, H);
    for (size_t i = 0; i < map->pixelBytes(); ++i) map->pixels[i] = next() % 4 == 0 ? 255 : 0;
    const struct { const char* name; std::function<void(ImageBuffer&, int threads)> step; } steps[] = {
        {"addFrame", [&](ImageBuffer& f, int t) { addFrame(f, *dark, t); }},
        {"scaleByReciprocal", [&](ImageBuffer& f, int t) { scaleByReciprocal(f, 3, t); }},
        {"subtractDarkDivideFlat",
         [&](ImageBuffer& f, int t) { subtractDarkDivideFlat(f, dark.get(), flat.get(), {90, 100, 110}, t); }},
        {"repairHotPixels", [&](ImageBuffer& f, int t) { repairHotPixels(f, *map, 2, t); }},
        {"repairHotPixels, whole-frame windows", [&](ImageBuffer& f, int t) { repairHotPixels(f, *map, 100, t); }},
        {"stretchPercent", [&](ImageBuffer& f, int t) { stretchPercent(f, 1.0f, 99.0f, t); }},
        {"stretchLevels", [&](ImageBuffer& f, int t) { stretchLevels(f, 20.0f, 200.0f, t); }},
    };
    // One thread, four, and one working its rows in bands as it does under a stop request that never comes.
    std::stop_source neverStopped;
    for (const auto& s : steps) {
      test::Bytes result[3];
      for (const int run : {0, 1, 2}) {
        auto f = test::copyOf(*light);
        std::optional<StopScope> banded;
        if (run == 2) banded.emplace(neverStopped.get_token());
        s.step(*f, run == 1 ? 4 : 1);
        result[run] = test::pixelBytes(*f);
      }
      EXPECT_EQ(result[0], result[1]) << s.name << ", format " << static_cast<int>(format);
      EXPECT_EQ(result[0], result[2]) << s.name << " in bands, format " << static_cast<int>(format);
    }
  }
}

}  // namespace
}  // namespace stelp
