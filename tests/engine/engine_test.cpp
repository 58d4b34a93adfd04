#include "engine/engine.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "image/bitmap.h"
#include "image/test_util.h"

namespace stelp {
namespace {

// Records what the engine reports.
class RecordingProgress : public Progress {
 public:
  void ShowStatus(const std::string& text) override { shown.push_back(text); }
  void BeginWait() override { ++waits; }
  std::vector<std::string> shown;
  int waits = 0;
};

class EngineTest : public ::testing::Test {
 protected:
  EngineTest() : engine(&progress) { engine.threads = 2; }

  // Adds a 4 x 2 grey bitmap of one level to a list; returns its source.
  ImageSource* add(ListRole role, uint8_t level, bool enabled = true) {
    auto image = test::makeImage(PixelFormat::Gray8, 4, 2);
    std::memset(image->pixels.get(), level, image->pixelBytes());
    const std::string path = dir.file("f" + std::to_string(files++) + ".bmp");
    EXPECT_TRUE(writeBitmap(path, *image));
    auto source = std::make_unique<ImageSource>();
    source->setPath(path, FrameBitmap);
    source->enabled = enabled;
    SourceList& list = engine.list(role);
    list.entries.push_back(std::move(source));
    list.focused = list.size() - 1;
    engine.frameWidth = 4;
    engine.frameHeight = 2;
    return list.entries.back().get();
  }

  float firstValue(const ImageSlot& slot) { return test::pixelAt<float>(*slot, 0, 0); }

  test::TempDir dir;
  RecordingProgress progress;
  Engine engine;
  int files = 0;
};

TEST_F(EngineTest, AveragingPassesOverDisabledAndUnreadableFrames) {
  engine.settings.processing.colour = false;
  add(ListRole::Darks, 30, false);
  add(ListRole::Darks, 40, false);
  add(ListRole::Darks, 50);
  engine.AverageDarks();
  ASSERT_TRUE(engine.masterDark);
  EXPECT_EQ(firstValue(engine.masterDark), 50.0f);

  ImageSource* gone = add(ListRole::Darks, 90);
  std::filesystem::remove(gone->path);
  add(ListRole::Darks, 51);
  engine.AverageDarks();
  EXPECT_EQ(firstValue(engine.masterDark), 50.5f) << "the missing frame must not count";
}

TEST_F(EngineTest, AllDisabledFlatsLeaveTheProductAbsentButShowTheirText) {
  add(ListRole::Flats, 100, false);
  engine.masterFlatMean = {1, 2, 3};
  engine.AverageFlats();
  EXPECT_FALSE(engine.masterFlat);
  EXPECT_EQ(engine.masterFlatMean, (std::array<float, 3>{1, 2, 3}));
  EXPECT_EQ(progress.shown, (std::vector<std::string>{"Averaging flats"}));
  EXPECT_EQ(progress.waits, 1);

  // An empty list shows nothing at all.
  progress.shown.clear();
  engine.SetStatus();
  progress.shown.clear();
  engine.AverageDarks();
  EXPECT_TRUE(progress.shown.empty());
}

TEST_F(EngineTest, GreyModeMeanAndTheOutermostStatusText) {
  engine.settings.processing.colour = false;
  add(ListRole::Flats, 100);
  add(ListRole::Darks, 250);
  engine.LocateHotPixels();  // averages the darks first
  ASSERT_TRUE(engine.hotPixelMap);
  EXPECT_EQ(engine.hotPixelMap->row(0)[0], 255);
  EXPECT_EQ(engine.statusText(), "Averaging darks");
  EXPECT_EQ(progress.shown, (std::vector<std::string>{"Averaging darks"}));
  engine.SetStatus();
  EXPECT_EQ(engine.statusText(), "Ready");
  engine.AverageFlats();
  EXPECT_EQ(engine.masterFlatMean, (std::array<float, 3>{100, 0, 0}));
}

TEST_F(EngineTest, SettingsChangesDropOnlyWhatDependsOnThem) {
  add(ListRole::Darks, 250);
  engine.LocateHotPixels();
  const ImageBuffer* dark = engine.masterDark.get();
  engine.ApplyDarksSettings({200, 0, 1});
  EXPECT_EQ(engine.masterDark.get(), dark);
  EXPECT_FALSE(engine.hotPixelMap);
  EXPECT_EQ(engine.settings.dark.expand, 1);

  add(ListRole::Flats, 120);
  engine.AverageFlats();
  engine.gradientMap = test::makeImage(PixelFormat::Gray8, 4, 2);
  engine.syntheticFlat = test::makeImage(PixelFormat::GrayFloat, 4, 2);
  const ImageBuffer* flat = engine.masterFlat.get();
  FlatGroup flatValues;
  flatValues.varHi = 9;
  engine.ApplyFlatsSettings(flatValues);
  EXPECT_EQ(engine.masterFlat.get(), flat);
  EXPECT_FALSE(engine.gradientMap);
  EXPECT_FALSE(engine.syntheticFlat);

  // List changes drop by the current list; the Images list drops nothing.
  engine.hotPixelMap = test::makeImage(PixelFormat::Gray8, 4, 2);
  engine.currentRole = static_cast<int32_t>(ListRole::Images);
  engine.DropListProducts();
  EXPECT_TRUE(engine.masterFlat && engine.masterDark && engine.hotPixelMap);
  engine.currentRole = static_cast<int32_t>(ListRole::Darks);
  engine.DropListProducts();
  EXPECT_FALSE(engine.masterDark || engine.hotPixelMap);
  EXPECT_TRUE(engine.masterFlat);
  engine.currentRole = static_cast<int32_t>(ListRole::Flats);
  engine.DropListProducts();
  EXPECT_FALSE(engine.masterFlat);

  // The Images page drops the processed frame only.
  engine.masterFlat = test::makeImage(PixelFormat::GrayFloat, 4, 2);
  engine.processedFrame = test::makeImage(PixelFormat::GrayFloat, 4, 2);
  ImagesPageValues images;
  images.stretch = 2;
  engine.ApplyImagesSettings(images);
  EXPECT_FALSE(engine.processedFrame);
  EXPECT_TRUE(engine.masterFlat);
  EXPECT_EQ(engine.settings.processing.stretch, 2);
}

TEST_F(EngineTest, ToggleColourDropsEverything) {
  ImageSource* frame = add(ListRole::Images, 10);
  add(ListRole::Darks, 20);
  engine.currentSource = frame;
  engine.AverageDarks();
  engine.ProcessImage();
  ASSERT_TRUE(engine.processedFrame);
  engine.ToggleColour();
  EXPECT_FALSE(engine.settings.processing.colour);
  EXPECT_FALSE(engine.masterDark || engine.processedFrame || engine.rawFrame);
  EXPECT_EQ(engine.currentSource, nullptr);
  engine.ToggleColour();
  EXPECT_TRUE(engine.settings.processing.colour);
}

TEST_F(EngineTest, ProcessImageAppliesTheSwitchedOnSteps) {
  engine.settings.processing.colour = false;
  engine.currentSource = add(ListRole::Images, 100);
  add(ListRole::Darks, 20);
  add(ListRole::Flats, 40);
  engine.settings.processing.dark = true;
  engine.ProcessImage();
  EXPECT_EQ(firstValue(engine.processedFrame), 80.0f);
  EXPECT_FALSE(engine.masterFlat) << "the flat is averaged only when flat division is on";
  engine.settings.processing.flat = true;
  engine.ProcessImage();
  EXPECT_EQ(firstValue(engine.processedFrame), 80.0f * (40.0f / 40.0f));
  ASSERT_TRUE(engine.masterFlat);

  // An unreadable frame leaves no processed frame.
  std::filesystem::remove(engine.currentSource->path);
  engine.ProcessImage();
  EXPECT_FALSE(engine.processedFrame);
}

TEST_F(EngineTest, RenderViewReloadsOnChangesAndShowsTheBackgroundWithoutAProduct) {
  engine.settings.processing.colour = false;
  add(ListRole::Images, 77);
  Bitmap24 bitmap;
  RenderResult result = engine.RenderView(0, ImagesRaw, 8, 4, 9, bitmap);
  EXPECT_TRUE(result.viewChanged);
  ASSERT_EQ(result.shown, engine.rawFrame.get());
  EXPECT_EQ(bitmap.bytes[bitmap.rowBytes + 3 * 3], 77);

  result = engine.RenderView(0, ImagesProcessed, 8, 4, 9, bitmap);
  EXPECT_TRUE(result.viewChanged);
  ASSERT_TRUE(engine.processedFrame);
  const ImageBuffer* processed = engine.processedFrame.get();
  result = engine.RenderView(0, ImagesProcessed, 8, 4, 9, bitmap);
  EXPECT_FALSE(result.viewChanged);
  EXPECT_EQ(engine.processedFrame.get(), processed) << "a plain repaint reuses the product";
  engine.RenderView(0, ImagesRaw, 8, 4, 9, bitmap);
  EXPECT_FALSE(engine.processedFrame) << "a change of view drops the processed frame";

  // No focused entry: nothing to process, the background shows.
  engine.list(ListRole::Images).focused = -1;
  result = engine.RenderView(0, ImagesProcessed, 8, 4, 9, bitmap);
  EXPECT_EQ(result.shown, nullptr);
  EXPECT_EQ(std::count(bitmap.bytes.begin(), bitmap.bytes.end(), 9), static_cast<long>(bitmap.bytes.size()));

  // An empty Darks list: "Averaged" shows the background too.
  result = engine.RenderView(2, DarksAveraged, 8, 4, 9, bitmap);
  EXPECT_EQ(result.shown, nullptr);

  // While an export runs, its frame is shown whatever the view.
  auto preview = test::makeImage(PixelFormat::Gray8, 1, 1);
  preview->pixels[0] = 200;
  engine.exportPreview = preview.get();
  result = engine.RenderView(1, FlatsSynthetic, 8, 4, 9, bitmap);
  EXPECT_EQ(result.shown, preview.get());
}

}  // namespace
}  // namespace stelp
