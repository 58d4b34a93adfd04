#include "engine/bayer.h"

#include <gtest/gtest.h>

#include <map>

#include "engine/engine_util.h"
#include "engine/pipeline.h"

namespace stelp {
namespace {

constexpr BayerPattern kPatterns[] = {BayerPattern::Rggb, BayerPattern::Grbg, BayerPattern::Gbrg, BayerPattern::Bggr};

// A mosaic of `pattern` whose pixel (x, y) holds value(x, y, c), c being its filter's channel (0 blue, 1 green, 2 red).
template <typename Value>
std::unique_ptr<ImageBuffer> mosaicOf(BayerPattern pattern, int32_t width, int32_t height, Value value) {
  auto image = test::makeImage(PixelFormat::GrayFloat, width, height);
  image->bayer = pattern;
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x)
      reinterpret_cast<float*>(image->row(y))[x] = value(x, y, bayerChannelAt(pattern, x, y));
  return image;
}

float at(const ImageBuffer& image, int32_t x, int32_t y, int channel = 0) {
  return test::pixelAt<float>(image, x, y, channel);
}

// A field of one colour comes back as that colour at every pixel, edges included; a ramp x + 3y, the same in every
// channel, comes back whole at every inner pixel, where each mean is of pixels placed evenly around it.
TEST(MosaicTest, DemosaicGivesFlatColourEverywhereAndARampInsideAndHotPixelsKeepTheirPlace) {
  const float colour[3] = {0.3f, 171.7f, 1e-40f};  // blue, green, red; red a denormal
  for (const BayerPattern pattern : kPatterns)
    for (const auto& [width, height] : {std::pair(2, 2), std::pair(5, 3), std::pair(6, 7)}) {
      SCOPED_TRACE(testing::Message() << bayerName(pattern) << " " << width << "x" << height);
      ImageBuffer flat, ramp;
      ASSERT_TRUE(demosaicBilinear(*mosaicOf(pattern, width, height, [&](int, int, int c) { return colour[c]; }),
                                   flat, 2));
      ASSERT_TRUE(demosaicBilinear(
          *mosaicOf(pattern, width, height, [](int x, int y, int) { return static_cast<float>(x + 3 * y); }), ramp,
          1));
      ASSERT_EQ(flat.format, PixelFormat::BgrFloat);
      EXPECT_EQ(flat.bayer, BayerPattern::None);
      for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x)
          for (int c = 0; c < 3; ++c) {
            EXPECT_EQ(at(flat, x, y, c), colour[c]) << x << "," << y << " channel " << c;
            const bool inner = x > 0 && y > 0 && x + 1 < width && y + 1 < height;
            EXPECT_TRUE(!inner || at(ramp, x, y, c) == static_cast<float>(x + 3 * y))
                << x << "," << y << " channel " << c << ": " << at(ramp, x, y, c);
          }
    }
  // One row has no whole cell: each pixel's value in every channel.
  ImageBuffer line;
  auto row = test::floatImage(3, 1, {4, 5, 6});
  row->bayer = BayerPattern::Rggb;
  ASSERT_TRUE(demosaicBilinear(*row, line, 1));
  for (int c = 0; c < 3; ++c) EXPECT_EQ(at(line, 2, 0, c), 6.0f) << "channel " << c;

  // One bad pixel on each place of the cell, each place at a level of its own (the two greens differ too): each is
  // repaired to its own place's level, also when the map spreads the marks onto the pixels around them.
  const float level[2][2] = {{40, 70}, {75, 20}};  // [y & 1][x & 1]
  const std::pair<int, int> bad[] = {{2, 2}, {7, 2}, {2, 7}, {7, 7}};
  for (const int32_t expand : {0, 1})
    for (const BayerPattern pattern : kPatterns) {
      auto frame = mosaicOf(pattern, 10, 10, [&](int x, int y, int) { return level[y & 1][x & 1]; });
      auto dark = test::floatImage(10, 10, std::vector<float>(100, 10.0f));
      for (const auto& [x, y] : bad) {
        reinterpret_cast<float*>(frame->row(y))[x] = 250;
        reinterpret_cast<float*>(dark->row(y))[x] = 250;
      }
      ImageBuffer map;
      locateHotPixels(*dark, DarkGroup{200, 0, expand}, map);
      ASSERT_TRUE(repairMosaicHotPixels(*frame, map, expand, 2));
      for (const auto& [x, y] : bad)
        EXPECT_EQ(at(*frame, x, y), level[y & 1][x & 1]) << bayerName(pattern) << " expand " << expand << " at "
                                                        << x << "," << y;
    }
}

// A colour camera's night from memory. The scene is `truth` (blue, green, red) at every pixel; the flat's filters pass
// 128, 64 and 32 levels (mean 72: every ratio of the mean to a level is exact); the darks hold 10 levels of dark current
// and a hot pixel on each place of the cell, which reads differently in the light. The light, the scene through the
// filters plus the dark current, calibrates on the mosaic to `truth` exactly: a mosaic in grey, demosaiced in colour.
class MosaicNightTest : public ::testing::Test {
 protected:
  static constexpr int32_t kWidth = 8, kHeight = 6;
  static constexpr BayerPattern kPattern = BayerPattern::Grbg;
  static constexpr float kFilter[3] = {128, 64, 32};
  static constexpr float kTruth[3] = {22.5f, 45, 90};
  static constexpr std::pair<int, int> kHot[4] = {{2, 2}, {5, 2}, {2, 3}, {5, 3}};

  MosaicNightTest() {
    engine.SetThreads(2);
    engine.SetLoader([this](const ImageSource* source, ImageSlot& slot, PixelFormat format, std::string*) {
      const ImageBuffer& frame = *frames.at(source->id);
      EXPECT_FALSE(isColourFormat(format)) << "a mosaic is read as it is";
      slot = test::copyOf(frame);
      return true;
    });
    engine.SetFrameSize({kWidth, kHeight});
    const float junk[4] = {37, 3, 120, 61};  // what each hot pixel adds in the light
    add(ListRole::Flats, [](int, int, int c) { return kFilter[c]; });
    for (const float spread : {-1.0f, 1.0f})
      add(ListRole::Darks, [&](int x, int y, int) { return isHot(x, y) >= 0 ? 250 : 10 + spread; });
    light = add(ListRole::Images, [&](int x, int y, int c) {
      const int hot = isHot(x, y);
      return kTruth[c] * kFilter[c] / 72 + (hot >= 0 ? 250 + junk[hot] : 10);
    });
  }

  static int isHot(int x, int y) {
    for (int i = 0; i < 4; ++i)
      if (kHot[i] == std::pair(x, y)) return i;
    return -1;
  }

  template <typename Value> const ImageSource* add(ListRole role, Value value) {
    ImageSource* entry = test::appendEntry(engine, role, "frame.ser", 0);
    entry->bayer = kPattern;
    frames[entry->id] = mosaicOf(kPattern, kWidth, kHeight, value);
    return entry;
  }

  Engine engine;
  std::map<EntryId, std::unique_ptr<ImageBuffer>> frames;
  const ImageSource* light = nullptr;
};

TEST_F(MosaicNightTest, CalibratesToTheTruthOnTheMosaicInGreyAndColour) {
  for (const bool colour : {false, true})
    for (const bool synthetic : {false, true}) {
      SCOPED_TRACE(testing::Message() << (colour ? "colour" : "grey") << (synthetic ? ", synthetic flat" : ""));
      if (engine.settings().processing.colour != colour) engine.ToggleColour();
      engine.ApplyImagesSettings({.dark = true, .flat = true, .synFlat = synthetic, .hot = true});
      engine.ApplyFlatsSettings(FlatGroup{.filterWidth = 4, .filterHeight = 4, .border = 1});
      ImageSlot frame;
      ASSERT_TRUE(engine.ProcessFrame(*light, frame));
      ASSERT_EQ(frame->format, colour ? PixelFormat::BgrFloat : PixelFormat::GrayFloat);
      EXPECT_EQ(frame->bayer, colour ? BayerPattern::None : kPattern);
      for (int32_t y = 0; y < kHeight; ++y)
        for (int32_t x = 0; x < kWidth; ++x)
          for (int c = 0; c < (colour ? 3 : 1); ++c)
            EXPECT_EQ(at(*frame, x, y, c), kTruth[colour ? c : bayerChannelAt(kPattern, x, y)]) << x << "," << y;

      // The masters stay mosaics; the view shows them in their colours.
      const ImageBuffer* flat = engine.product(synthetic ? kSyntheticFlatBit : kMasterFlatBit);
      ASSERT_TRUE(flat);
      EXPECT_EQ(std::pair(flat->format, flat->bayer), std::pair(PixelFormat::GrayFloat, kPattern));
      Bitmap24 bitmap;
      engine.SetFocus(ListRole::Flats, 0);
      const ImageBuffer* shown =
          engine.RenderView(int32_t(ListRole::Flats), synthetic ? FlatsSynthetic : FlatsAveraged, 8, 6, 0, bitmap).shown;
      ASSERT_TRUE(shown);
      EXPECT_EQ(shown->format, colour ? PixelFormat::BgrFloat : PixelFormat::GrayFloat);
      EXPECT_EQ(at(*shown, 3, 3, colour ? 2 : 0), colour ? kFilter[2] : kFilter[bayerChannelAt(kPattern, 3, 3)]);
    }
}

// Frames of another pattern, or no mosaic at all, do not join the average.
TEST_F(MosaicNightTest, AveragesOnlyFramesOfTheFirstPattern) {
  add(ListRole::Darks, [](int, int, int) { return 99.0f; });
  frames.rbegin()->second->bayer = BayerPattern::Rggb;
  add(ListRole::Darks, [](int, int, int) { return 99.0f; });
  frames.rbegin()->second->bayer = BayerPattern::None;
  engine.AverageDarks();
  EXPECT_EQ(engine.AveragedCount(ListRole::Darks), 2);
  ASSERT_EQ(engine.PassedOver(ListRole::Darks).size(), 2u);
  EXPECT_EQ(engine.PassedOver(ListRole::Darks)[0].why, "Bayer pattern RGGB, not the GRBG of the other frames");
}

}  // namespace
}  // namespace stelp
