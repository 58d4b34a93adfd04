#include "engine/engine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <random>
#include <utility>

#include "engine/engine_util.h"
#include "image/byte_io.h"
#include "image/fits.h"

namespace stelp {
namespace {

// Records what the engine reports.
struct RecordingProgress : Progress {
  void ShowStatus(const std::string& text) override { shown.push_back(text); }
  void BeginWait() override { ++waits; }
  std::vector<std::string> shown;
  int waits = 0;
};

class EngineTest : public ::testing::Test {
 protected:
  EngineTest() : engine(&progress) { engine.SetThreads(2); engine.ToggleColour(); }  // grey frames

  // Appends a 4 x 2 grey bitmap of one level to a list; returns its entry.
  const ImageSource* add(ListRole role, uint8_t level, bool enabled = true) {
    ImageSource* entry = test::appendLevelBitmap(engine, role, dir.file(std::to_string(files++) + ".bmp"), 4, 2, level);
    entry->enabled = enabled;
    engine.SetFrameSize({4, 2});
    return entry;
  }

  float firstValue(ProductBit bit) { return test::pixelAt<float>(*engine.product(bit), 0, 0); }
  RenderResult render(ListRole role, int32_t view) { return engine.RenderView(int32_t(role), view, 8, 4, 9, bitmap); }
  // The products present, one character per bit from the raw frame on.
  std::string present() {
    std::string kept;
    for (ProductSet bit = 1; bit & kAllProducts; bit <<= 1)
      kept += engine.product(static_cast<ProductBit>(bit)) ? '1' : '0';
    return kept;
  }

  test::TempDir dir;
  RecordingProgress progress;
  Engine engine;
  Bitmap24 bitmap;
  int files = 0;
};

TEST_F(EngineTest, AveragingPassesOverDisabledAndUnreadableFrames) {
  for (const uint8_t level : {30, 40, 50}) add(ListRole::Darks, level, /*enabled=*/level == 50);
  engine.AverageDarks();
  EXPECT_EQ(firstValue(kMasterDarkBit), 50.0f);

  std::filesystem::remove(add(ListRole::Darks, 90)->path);
  add(ListRole::Darks, 51);
  engine.AverageDarks();
  EXPECT_EQ(firstValue(kMasterDarkBit), 50.5f) << "the missing frame must not count";
  EXPECT_EQ(std::pair(engine.AveragedCount(ListRole::Darks), engine.PassedOver(ListRole::Darks).size()),
            std::pair(2, size_t{1}));
}

// Masters are the same to the bit however they are made: of frames added to the sum as they are read (FITS here), or
// of frames loaded, on one thread or loaded ahead on several (frames of 1024 x 1024 and more). A missing frame and one
// of another size are passed over either way. Random fractions make the order of the sum show in the last bits.
TEST_F(EngineTest, MastersAddedAsReadOrLoadedAheadOnAnyThreadsAreTheSame) {
  constexpr int32_t kSide = 1024;
  std::mt19937 rng(11);
  for (int k = 0; k < 9; ++k) {
    const int32_t width = k == 2 ? kSide - 1 : kSide;
    std::vector<float> values(size_t{kSide} * width);
    for (size_t i = 0; i < values.size(); i += 4099)
      values[i] = std::uniform_real_distribution<float>(0.0f, 255.0f)(rng);
    const std::string path = dir.file(std::to_string(k) + ".fits");
    ASSERT_TRUE(writeFits(path, *test::floatImage(width, kSide, values), FitsDepth::Int16));
    test::appendEntry(engine, ListRole::Darks, path, FrameFits);
  }
  engine.SetFrameSize({kSide, kSide});
  std::filesystem::remove(engine.list(ListRole::Darks).entries[4]->path);
  std::vector<test::Bytes> masters;
  for (const int threads : {1, 1, 2, 3}) {
    if (masters.size() == 1) {
      engine.SetLoader([](const ImageSource* source, ImageSlot& slot, PixelFormat format, std::string* why) {
        return loadFrame(source, slot, format, why);
      });
    }
    engine.SetThreads(threads);
    engine.DropAllProducts();
    engine.AverageDarks();
    ASSERT_TRUE(engine.product(kMasterDarkBit));
    masters.push_back(test::pixelBytes(*engine.product(kMasterDarkBit)));
    EXPECT_EQ(std::pair(engine.AveragedCount(ListRole::Darks), engine.PassedOver(ListRole::Darks).size()),
              std::pair(7, size_t{2}));
  }
  EXPECT_EQ(masters, std::vector(4, masters[0]));
}

TEST_F(EngineTest, StatusTextsAndTheGreyMean) {
  // All flats disabled: no product, but the text shows.
  add(ListRole::Flats, 100, false);
  engine.AverageFlats();
  EXPECT_FALSE(engine.product(kMasterFlatBit));
  EXPECT_EQ(std::pair(progress.shown, progress.waits), std::pair(std::vector<std::string>{"Averaging flats"}, 1));

  // An empty list shows nothing at all.
  engine.SetStatus();
  progress.shown.clear();
  engine.AverageDarks();
  EXPECT_TRUE(progress.shown.empty());

  // The hot pixel search averages the darks first: the outermost text stays.
  add(ListRole::Flats, 100);
  add(ListRole::Darks, 250);
  engine.LocateHotPixels();
  ASSERT_TRUE(engine.product(kHotPixelMapBit));
  EXPECT_EQ(engine.product(kHotPixelMapBit)->row(0)[0], 255);
  EXPECT_EQ(engine.statusText(), "Averaging darks");
  EXPECT_EQ(progress.shown, (std::vector<std::string>{"Averaging darks"}));
  engine.SetStatus();
  EXPECT_EQ(engine.statusText(), "Ready");
  engine.AverageFlats();
  EXPECT_EQ(engine.masterFlatMean(), (std::array<float, 3>{100, 0, 0}));
}

// With every product made, each event drops exactly the products that depend on what it changed.
TEST_F(EngineTest, EventsDropOnlyWhatDependsOnThem) {
  add(ListRole::Images, 100);
  add(ListRole::Darks, 20);
  add(ListRole::Flats, 40);
  const ProcessingGroup steps{.dark = true, .flat = true, .hot = true};
  engine.ApplyImagesSettings(steps);
  engine.ApplyFlatsSettings(FlatGroup{.filterWidth = 4, .filterHeight = 2});
  // kept: raw, processed, dark, flat, hot pixels, gradient, synthetic.
  const struct { const char* event; std::function<void()> run; const char* kept; } cases[] = {
      {"Images page", [&] { engine.ApplyImagesSettings(steps); }, "1011111"},
      {"Flats page", [&] { engine.ApplyFlatsSettings(FlatGroup{.filterWidth = 4, .filterHeight = 2}); }, "1011100"},
      {"Darks page", [&] { engine.ApplyDarksSettings({200, 0, 1}); }, "1011011"},
      {"Images list", [&] { add(ListRole::Images, 10); }, "1111111"},
      {"Flats list", [&] { add(ListRole::Flats, 40); }, "1010100"},
      {"Darks list", [&] { add(ListRole::Darks, 20); }, "1001011"},
      {"colour toggled", [&] { engine.ToggleColour(); }, "0000000"},
  };
  for (const auto& c : cases) {
    engine.SetFocus(ListRole::Images, 0);
    render(ListRole::Images, ImagesProcessed);
    engine.Make(kSyntheticFlatBit);
    ASSERT_EQ(present(), "1111111") << c.event;
    c.run();
    EXPECT_EQ(present(), c.kept) << c.event;
  }
  EXPECT_EQ(std::pair(engine.settings().dark.expand, engine.settings().processing.colour), std::pair(1, true));
}

TEST_F(EngineTest, ProcessFrameAppliesTheSwitchedOnStepsAndLeavesTheViewAlone) {
  const ImageSource* light = add(ListRole::Images, 100);
  add(ListRole::Darks, 20);
  add(ListRole::Flats, 40);
  ImageSlot frame;
  engine.ApplyImagesSettings({.dark = true});
  ASSERT_TRUE(engine.ProcessFrame(*light, frame));
  EXPECT_EQ(test::pixelAt<float>(*frame, 0, 0), 80.0f);
  EXPECT_FALSE(engine.product(kMasterFlatBit)) << "the flat is averaged only when flat division is on";
  engine.ApplyImagesSettings({.dark = true, .flat = true});
  ASSERT_TRUE(engine.ProcessFrame(*light, frame));
  EXPECT_EQ(test::pixelAt<float>(*frame, 0, 0), 80.0f * (40.0f / 40.0f));
  EXPECT_FALSE(engine.product(kProcessedFrameBit));

  // An unreadable frame leaves no frame, and says why.
  std::filesystem::remove(light->path);
  std::string why;
  EXPECT_FALSE(engine.ProcessFrame(*light, frame, &why));
  EXPECT_TRUE(!frame && !why.empty()) << why;
}

TEST_F(EngineTest, RenderViewFollowsTheFocusedEntryByIdAndShowsTheBackgroundWithoutAProduct) {
  for (const uint8_t level : {77, 66}) add(ListRole::Images, level);
  engine.SetFocus(ListRole::Images, 1);
  const RenderResult raw = render(ListRole::Images, ImagesRaw);
  EXPECT_TRUE(raw.viewChanged);
  ASSERT_EQ(raw.shown, engine.product(kRawFrameBit));
  EXPECT_EQ(bitmap.bytes[bitmap.rowBytes + 3 * 3], 66);

  EXPECT_TRUE(render(ListRole::Images, ImagesProcessed).viewChanged);
  const ImageBuffer* processed = engine.product(kProcessedFrameBit);
  ASSERT_TRUE(processed);
  EXPECT_FALSE(render(ListRole::Images, ImagesProcessed).viewChanged);
  EXPECT_EQ(engine.product(kProcessedFrameBit), processed) << "a plain repaint reuses the product";

  // The row above goes: the focus moves with the entry, which stays shown.
  engine.RemoveEntries(ListRole::Images, 0);
  EXPECT_FALSE(render(ListRole::Images, ImagesProcessed).viewChanged);
  render(ListRole::Images, ImagesRaw);
  EXPECT_FALSE(engine.product(kProcessedFrameBit)) << "a change of view drops the processed frame";

  // The shown entry goes, and with the last entry the frame size: nothing to show, the background fills the view; so it
  // does for "Averaged" of the empty Darks list.
  engine.RemoveEntries(ListRole::Images, 0);
  EXPECT_EQ(engine.frameSize().width, -1);
  EXPECT_TRUE(render(ListRole::Images, ImagesProcessed).viewChanged);
  EXPECT_EQ(engine.product(kRawFrameBit), nullptr);
  EXPECT_EQ(std::count(bitmap.bytes.begin(), bitmap.bytes.end(), 9), static_cast<long>(bitmap.bytes.size()));
  EXPECT_EQ(render(ListRole::Darks, DarksAveraged).shown, nullptr);
}

}  // namespace
}  // namespace stelp
