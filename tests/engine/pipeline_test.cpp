#include "engine/pipeline.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "image/test_util.h"

namespace stelp {
namespace {

using test::floatImage;

std::unique_ptr<ImageBuffer> colourImage(int32_t width, int32_t height, const std::vector<float>& bgr) {
  auto image = test::makeImage(PixelFormat::BgrFloat, width, height);
  std::memcpy(image->pixels.get(), bgr.data(), bgr.size() * sizeof(float));
  return image;
}

std::vector<float> values(const ImageBuffer& image) {
  const float* p = reinterpret_cast<const float*>(image.pixels.get());
  return std::vector<float>(p, p + image.pixelBytes() / sizeof(float));
}

TEST(AveragingTest, RunningFloatSumTimesTheRoundedReciprocal) {
  auto sum = floatImage(2, 1, {3, 1});
  addFrame(*sum, *floatImage(2, 1, {4, 1}), 1);
  scaleByReciprocal(*sum, 2, 1);
  EXPECT_EQ(values(*sum), (std::vector<float>{3.5f, 1.0f}));

  // Three frames: the sum times the float nearest to 1/3, which differs from
  // a division by 3 for this sum.
  const float total = 5.0f;
  auto three = floatImage(1, 1, {total});
  scaleByReciprocal(*three, 3, 1);
  EXPECT_EQ(values(*three)[0], total * (1.0f / 3.0f));
  EXPECT_NE(values(*three)[0], total / 3.0f);
}

TEST(AveragingTest, ChannelMeansSumInFloatInRowOrder) {
  auto grey = floatImage(2, 2, {1, 2, 3, 4});
  EXPECT_EQ(channelMeans(*grey), (std::array<float, 3>{2.5f, 0.0f, 0.0f}));
  auto colour = colourImage(2, 1, {1, 10, 100, 3, 30, 300});
  EXPECT_EQ(channelMeans(*colour), (std::array<float, 3>{2.0f, 20.0f, 200.0f}));
  // 2^24 + 1 + 1 in float stays 2^24: the sum is rounded at every step.
  auto big = floatImage(3, 1, {16777216.0f, 1.0f, 1.0f});
  EXPECT_EQ(channelMeans(*big)[0], 16777216.0f / 3.0f);
}

// Map bytes of a hot pixel search, top row first.
std::vector<int> mapOf(const ImageBuffer& dark, DarkGroup settings) {
  ImageBuffer map;
  locateHotPixels(dark, settings, map);
  return std::vector<int>(map.pixels.get(), map.pixels.get() + map.pixelBytes());
}

int marked(const std::vector<int>& map) { return static_cast<int>(std::count(map.begin(), map.end(), 255)); }

TEST(HotPixelTest, LevelsAreStrictAndDiamondsClipToTheFrame) {
  // 5 x 5 dark at level 20 with one pixel in the middle at `centre`.
  auto darkWith = [](float centre, int32_t x = 2, int32_t y = 2) {
    std::vector<float> v(25, 20.0f);
    v[static_cast<size_t>(y * 5 + x)] = centre;
    return floatImage(5, 5, v);
  };
  const struct {
    const char* name;
    float centre;
    DarkGroup settings;
    int expectedMarks;
  } cases[] = {
      {"equal to the hot level", 200.0f, {200, 0, 0}, 0},
      {"just above it", 200.01f, {200, 0, 0}, 1},
      {"expansion 1", 255.0f, {200, 0, 1}, 5},
      {"expansion 2", 255.0f, {200, 0, 2}, 13},
      {"negative expansion", 255.0f, {200, 0, -1}, 0},
      {"cold level 0 finds nothing", 0.0f, {200, 0, 0}, 0},
      {"below the cold level", 5.0f, {200, 10, 0}, 1},
      {"expansion past the frame", 255.0f, {200, 0, 1000}, 25},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(marked(mapOf(*darkWith(c.centre), c.settings)), c.expectedMarks);
  }
  EXPECT_EQ(marked(mapOf(*darkWith(255.0f, 0, 0), {200, 0, 1})), 3) << "corner";

  // Unmarked pixels hold the truncated level shifted right by two.
  EXPECT_EQ(mapOf(*floatImage(1, 1, {150.7f}), {200, 0, 0})[0], 37);
  // Colour: blue and red 255, green 0 is level 127.5, not hot.
  EXPECT_EQ(mapOf(*colourImage(1, 1, {255, 0, 255}), {200, 0, 0})[0], 127 >> 2);
}

TEST(CalibrationTest, DarkSubtractionAndFlatDivision) {
  const std::array<float, 3> mean{100.0f, 0.0f, 0.0f};
  auto frame = floatImage(2, 1, {10, 250});
  subtractDarkDivideFlat(*frame, floatImage(2, 1, {12, 2}).get(), nullptr, mean, 1);
  EXPECT_EQ(values(*frame), (std::vector<float>{0, 248}));

  auto flatFrame = floatImage(4, 1, {100, 200, 0, 5});
  subtractDarkDivideFlat(*flatFrame, nullptr, floatImage(4, 1, {50, 50, 0, 0}).get(), mean, 1);
  EXPECT_EQ(values(*flatFrame), (std::vector<float>{200, 255, 0, 255}));

  // Without a flat, values above 255 stay.
  auto bright = floatImage(1, 1, {400});
  subtractDarkDivideFlat(*bright, floatImage(1, 1, {10}).get(), nullptr, mean, 1);
  EXPECT_EQ(values(*bright)[0], 390.0f);

  // Colour: each channel by its own flat channel and mean.
  auto colour = colourImage(1, 1, {10, 20, 30});
  subtractDarkDivideFlat(*colour, nullptr, colourImage(1, 1, {5, 40, 30}).get(), {1, 2, 3}, 1);
  EXPECT_EQ(values(*colour), (std::vector<float>{2, 1, 3}));

  // m / f is formed first: 7 x (1 / 3) differs from 7 / 3 in float.
  auto order = floatImage(1, 1, {7});
  subtractDarkDivideFlat(*order, nullptr, floatImage(1, 1, {3}).get(), {1, 0, 0}, 1);
  EXPECT_EQ(values(*order)[0], 7.0f * (1.0f / 3.0f));
}

TEST(CalibrationTest, HotPixelRepair) {
  // A 3 x 3 frame with the centre marked: it becomes the mean of 8.
  auto frame = floatImage(3, 3, {1, 2, 3, 4, 100, 6, 7, 8, 9});
  auto map = test::makeImage(PixelFormat::Gray8, 3, 3);
  std::memset(map->pixels.get(), 0, 9);
  map->pixels[4] = 255;
  repairHotPixels(*frame, *map, 0, 2);
  EXPECT_EQ(values(*frame)[4], 40.0f / 8.0f);

  // A corner has three neighbours.
  auto corner = floatImage(3, 3, {100, 2, 3, 4, 6, 6, 7, 8, 9});
  std::memset(map->pixels.get(), 0, 9);
  map->pixels[0] = 255;
  repairHotPixels(*corner, *map, 0, 1);
  EXPECT_EQ(values(*corner)[0], 4.0f);

  // A pixel whose whole square is bad keeps its value.
  auto allBad = floatImage(3, 3, {1, 2, 3, 4, 100, 6, 7, 8, 9});
  std::memset(map->pixels.get(), 255, 9);
  repairHotPixels(*allBad, *map, 0, 1);
  EXPECT_EQ(values(*allBad)[4], 100.0f);
}

TEST(DeInterlaceTest, VerticalBlurReadsTheOldRows) {
  auto ramp = floatImage(1, 4, {0, 10, 20, 30});
  blurRows(*ramp, 1);
  EXPECT_EQ(values(*ramp), (std::vector<float>{0, 10, 20, 30}));
  auto spike = floatImage(1, 4, {0, 0, 30, 0});
  blurRows(*spike, 1);
  EXPECT_EQ(values(*spike), (std::vector<float>{0, 5, 20, 0}));
  auto strong = floatImage(1, 3, {0, 30, 60});
  blurRows(*strong, 7);  // any other mode is the strong blur
  EXPECT_EQ(values(*strong), (std::vector<float>{0, 30, 60}));
  auto shortFrame = floatImage(1, 2, {0, 30});
  blurRows(*shortFrame, 2);
  EXPECT_EQ(values(*shortFrame), (std::vector<float>{0, 30}));
}

TEST(DeInterlaceTest, EqualiseFieldsMapsTheDarkerField) {
  auto pair = floatImage(2, 2, {100, 100, 50, 50});
  EqualiseFields(*pair);
  EXPECT_EQ(values(*pair), (std::vector<float>{100, 100, 100, 100}));

  // Identical fields with integer levels stay as they are.
  auto same = floatImage(3, 4, {10, 20, 30, 10, 20, 30, 40, 50, 0, 40, 50, 0});
  const std::vector<float> before = values(*same);
  EqualiseFields(*same);
  EXPECT_EQ(values(*same), before);

  // Darker odd rows are corrected; the even rows and level 0 stay.
  auto dark = floatImage(2, 4, {80, 90, 40, 0, 80, 90, 40, 0});
  EqualiseFields(*dark);
  const std::vector<float> after = values(*dark);
  EXPECT_EQ(after[0], 80);
  EXPECT_EQ(after[1], 90);
  EXPECT_GT(after[2], 40);
  EXPECT_EQ(after[3], 0);
}

TEST(StretchTest, PercentStretchCountsWithTheSinglePrecisionPercent) {
  // 640 x 480 with 1,200 pixels at every level: 1 % and 99 % give lo 2, hi 252.
  std::vector<float> levels(640 * 480);
  for (size_t i = 0; i < levels.size(); ++i) levels[i] = static_cast<float>(i / 1200);
  auto frame = floatImage(640, 480, levels);
  stretchPercent(*frame, 1.0f, 99.0f, 2);
  const std::vector<float> out = values(*frame);
  EXPECT_EQ(out[2 * 1200], 0.0f);
  EXPECT_EQ(out[252 * 1200], 255.0f);
  EXPECT_EQ(out[255 * 1200], 255.0f);
  EXPECT_EQ(out[127 * 1200], (127.0f - 2.0f) * (255.0f / 250.0f));

  auto neutral = floatImage(1, 2, {3, 300});
  stretchPercent(*neutral, 0.0f, 100.0f, 1);
  EXPECT_EQ(values(*neutral), (std::vector<float>{3, 300}));
}

TEST(StretchTest, LevelStretch) {
  auto flat = floatImage(3, 1, {9, 10, 11});
  stretchLevels(*flat, 10, 10, 1);
  EXPECT_EQ(values(*flat), (std::vector<float>{0, 0, 255}));
  auto neutral = floatImage(1, 1, {300});
  stretchLevels(*neutral, 0, 255, 1);
  EXPECT_EQ(values(*neutral)[0], 300.0f);
  auto range = floatImage(2, 1, {20, 60});
  stretchLevels(*range, 10, 60, 1);
  EXPECT_EQ(values(*range), (std::vector<float>{10 * (255.0f / 50), 255}));
}

}  // namespace
}  // namespace stelp
