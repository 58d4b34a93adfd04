#include "engine/engine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

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

TEST_F(EngineTest, StatusTextsAndTheGreyMean) {
  // All flats disabled: no product and the old mean, but the text shows.
  add(ListRole::Flats, 100, false);
  engine.masterFlatMean = {1, 2, 3};
  engine.AverageFlats();
  EXPECT_FALSE(engine.masterFlat);
  EXPECT_EQ(engine.masterFlatMean, (std::array<float, 3>{1, 2, 3}));
  EXPECT_EQ(progress.shown, (std::vector<std::string>{"Averaging flats"}));
  EXPECT_EQ(progress.waits, 1);

  // An empty list shows nothing at all.
  engine.SetStatus();
  progress.shown.clear();
  engine.AverageDarks();
  EXPECT_TRUE(progress.shown.empty());

  // The hot pixel search averages the darks first: the outermost text stays.
  engine.settings.processing.colour = false;
  add(ListRole::Flats, 100);
  add(ListRole::Darks, 250);
  engine.LocateHotPixels();
  ASSERT_TRUE(engine.hotPixelMap);
  EXPECT_EQ(engine.hotPixelMap->row(0)[0], 255);
  EXPECT_EQ(engine.statusText(), "Averaging darks");
  EXPECT_EQ(progress.shown, (std::vector<std::string>{"Averaging darks"}));
  engine.SetStatus();
  EXPECT_EQ(engine.statusText(), "Ready");
  engine.AverageFlats();
  EXPECT_EQ(engine.masterFlatMean, (std::array<float, 3>{100, 0, 0}));
}

// With every product present, each event drops exactly the products that
// depend on what it changed.
TEST_F(EngineTest, EventsDropOnlyWhatDependsOnThem) {
  ImageSlot Engine::*const slots[] = {&Engine::rawFrame,    &Engine::masterDark,    &Engine::masterFlat,
                                      &Engine::hotPixelMap, &Engine::gradientMap,   &Engine::syntheticFlat,
                                      &Engine::processedFrame};
  auto listChanged = [this](ListRole role) {
    engine.currentRole = static_cast<int32_t>(role);
    engine.DropListProducts();
  };
  const struct {
    const char* event;
    std::function<void()> run;
    const char* kept;  // per slot above, 1 when kept
  } cases[] = {
      {"Images page", [this] { engine.ApplyImagesSettings(ImagesPageValues{.stretch = 2}); }, "1111110"},
      {"Flats page", [this] { engine.ApplyFlatsSettings(FlatGroup{.varHi = 9}); }, "1111001"},
      {"Darks page", [this] { engine.ApplyDarksSettings({200, 0, 1}); }, "1110111"},
      {"Images list", [&] { listChanged(ListRole::Images); }, "1111111"},
      {"Flats list", [&] { listChanged(ListRole::Flats); }, "1101001"},
      {"Darks list", [&] { listChanged(ListRole::Darks); }, "1010111"},
      {"colour toggled", [this] { engine.ToggleColour(); }, "0000000"},
  };
  const ImageSource* frame = add(ListRole::Images, 10);
  for (const auto& c : cases) {
    for (ImageSlot Engine::*slot : slots) engine.*slot = test::makeImage(PixelFormat::GrayFloat, 4, 2);
    engine.currentSource = frame;
    c.run();
    std::string kept;
    for (ImageSlot Engine::*slot : slots) kept += engine.*slot ? '1' : '0';
    EXPECT_EQ(kept, c.kept) << c.event;
  }
  // The pages' values are taken; the colour toggle also forgets the frame.
  EXPECT_EQ(engine.settings.processing.stretch, 2);
  EXPECT_EQ(engine.settings.flat.varHi, 9);
  EXPECT_EQ(engine.settings.dark.expand, 1);
  EXPECT_EQ(engine.currentSource, nullptr);
  EXPECT_FALSE(engine.settings.processing.colour);
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
  auto render = [&](int32_t role, int32_t view) { return engine.RenderView(role, view, 8, 4, 9, bitmap); };
  const RenderResult raw = render(0, ImagesRaw);
  EXPECT_TRUE(raw.viewChanged);
  ASSERT_EQ(raw.shown, engine.rawFrame.get());
  EXPECT_EQ(bitmap.bytes[bitmap.rowBytes + 3 * 3], 77);

  EXPECT_TRUE(render(0, ImagesProcessed).viewChanged);
  ASSERT_TRUE(engine.processedFrame);
  const ImageBuffer* processed = engine.processedFrame.get();
  EXPECT_FALSE(render(0, ImagesProcessed).viewChanged);
  EXPECT_EQ(engine.processedFrame.get(), processed) << "a plain repaint reuses the product";
  render(0, ImagesRaw);
  EXPECT_FALSE(engine.processedFrame) << "a change of view drops the processed frame";

  // No focused entry: nothing to process, the background shows; so it does
  // for "Averaged" of the empty Darks list.
  engine.list(ListRole::Images).focused = -1;
  EXPECT_EQ(render(0, ImagesProcessed).shown, nullptr);
  EXPECT_EQ(std::count(bitmap.bytes.begin(), bitmap.bytes.end(), 9), static_cast<long>(bitmap.bytes.size()));
  EXPECT_EQ(render(2, DarksAveraged).shown, nullptr);

  // While an export runs, its frame is shown whatever the view.
  auto preview = test::makeImage(PixelFormat::Gray8, 1, 1);
  preview->pixels[0] = 200;
  engine.exportPreview = preview.get();
  EXPECT_EQ(render(1, FlatsSynthetic).shown, preview.get());
}

}  // namespace
}  // namespace stelp
