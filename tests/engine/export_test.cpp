#include "engine/export.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <stop_token>
#include <tuple>

#include "engine/engine_util.h"
#include "engine/parallel.h"
#include "image/avi.h"
#include "image/ser.h"

namespace stelp {
namespace {

class ExportTest : public ::testing::Test {
 protected:
  ExportTest() { engine.ToggleColour(); engine.SetFrameSize({3, 2}); }  // grey 3 x 2 frames

  void addEntry(ListRole role, const std::string& path, int32_t code = FrameBitmap, bool missing = false) {
    test::appendEntry(engine, role, path, code)->missing = missing;
  }
  // Adds an entry of a new 3 x 2 bitmap of one level.
  void add(uint8_t level, bool enabled = true, ListRole role = ListRole::Images) {
    test::appendLevelBitmap(engine, role, dir.file("in" + std::to_string(level) + ".bmp"), 3, 2, level)->enabled =
        enabled;
  }

  // The files the exports wrote.
  auto files() const {
    return std::ranges::count_if(std::filesystem::directory_iterator(dir.file("")),
                                 [](const auto& e) { return e.path().filename().string().starts_with("out"); });
  }
  // A request for `name` in the folder: the one video file, or else a numbered sequence.
  ProcessedExport request(OutputKind kind, const std::string& name) const {
    ProcessedExport r;
    r.kind = kind;
    r.sequence = !isVideoOutput(kind);
    if (r.sequence) r.name = sequenceNameOf(dir.file(name));
    else r.path = dir.file(name);
    return r;
  }

  test::TempDir dir;
  Engine engine;
};

TEST_F(ExportTest, SequenceNamesFromTheChosenNameSkipDisabledEntriesAndShowEveryFrame) {
  for (const uint8_t level : {10, 20, 30}) add(level, /*enabled=*/level != 20);
  ProcessedExport sequence = request(OutputKind::Bitmap, "out.bmp");
  int shown = 0;
  sequence.showFrame = [&](const ImageBuffer& frame) { shown += frame.width == 3; };
  const ExportResult result = saveProcessed(engine, sequence);
  EXPECT_EQ(std::tuple(result.ok, result.written, shown), std::tuple(true, 2, 2)) << "ok, written, shown";
  EXPECT_FALSE(engine.product(kRawFrameBit) || engine.product(kProcessedFrameBit)) << "the view's frames stay as they were";
  ImageSlot second;
  ASSERT_TRUE(readBitmap(dir.file("out_001.bmp"), PixelFormat::Gray8, second));
  EXPECT_EQ(second->row(0)[0], 30);
  EXPECT_EQ(engine.statusText(), "Writing frame 2 of 2");

  // An unknown extension processes every frame and writes nothing.
  EXPECT_EQ(saveProcessed(engine, request(OutputKind::None, "other.txt")).written, 0);
  EXPECT_EQ(files(), 2);

  // The name chosen, its kind, the number the user confirms, the number proposed and the files written.
  const struct { const char* chosen; OutputKind kind; uint32_t start; const char* expectedInitial;
                 std::vector<std::string> files; } cases[] = {
      {"/out/moon.bmp", OutputKind::Bitmap, 0, "0", {"/out/moon_000.bmp", "/out/moon_001.bmp", "/out/moon_002.bmp"}},
      {"/out/m42-17.fit", OutputKind::Fits, 17, "17", {"/out/m42-017.fit", "/out/m42-018.fit"}},
      {"/out/frame.FTS", OutputKind::Fits, 0, "0", {"/out/frame_000.FTS"}},
      {"/out/42.BMP", OutputKind::Bitmap, 42, "42", {"/out/042.bmp"}},
      {"7.bmp", OutputKind::Bitmap, 0, "0", {"7_000.bmp"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.chosen);
    EXPECT_EQ(outputKindOf(c.chosen), c.kind);
    const SequenceName name = sequenceNameOf(c.chosen);
    EXPECT_EQ(std::to_string(name.initialNumber), c.expectedInitial);
    for (size_t i = 0; i < c.files.size(); ++i)
      EXPECT_EQ(sequenceFileName(name, c.start + static_cast<uint32_t>(i), c.kind), c.files[i]);
  }
  EXPECT_EQ((std::vector{outputKindOf("/out/clip.AvI"), outputKindOf("/out/x.txt"), outputKindOf("/out/x.tif")}),
            (std::vector{OutputKind::Avi, OutputKind::None, OutputKind::None}));
  EXPECT_EQ((std::vector{fitsDepthOfFilter(3, kProcessedFloatFilter), fitsDepthOfFilter(5, kProcessedFloatFilter),
                         fitsDepthOfFilter(6, kProcessedFloatFilter), fitsDepthOfFilter(5, kMasterFloatFilter)}),
            (std::vector{FitsDepth::Int32, FitsDepth::Int16, FitsDepth::Float32, FitsDepth::Float32}));
}

TEST_F(ExportTest, TheFirstFileThatCannotBeWrittenEndsTheExportAndMastersOfAnotherKindAreRefused) {
  for (const uint8_t level : {10, 20}) add(level);
  const ExportResult result = saveProcessed(engine, request(OutputKind::Fits, "missing/out.fits"));
  EXPECT_EQ(std::tuple(result.ok, result.written, result.failedPath),
            std::tuple(false, 0, dir.file("missing/out_000.fits")));
  EXPECT_NE(result.why.find("cannot create"), std::string::npos);
  EXPECT_TRUE(saveProcessed(engine, request(OutputKind::Avi, "missing/out.avi")).aviNotOpened);

  // The window and stelp-cli refuse other extensions before they save; the engine refuses them too.
  std::string why;
  EXPECT_FALSE(saveMasterFrame(engine, MasterProduct::Dark, *test::floatImage(1, 1, {7}), dir.file("master.tif"),
                               FitsDepth::Int16, &why));
  EXPECT_EQ(why, "Unknown file format");
}

TEST_F(ExportTest, OutputsThatNameASourceConflict) {
  for (const uint8_t level : {10, 30}) add(level);  // in10.bmp and in30.bmp, images
  add(20, true, ListRole::Darks);
  addEntry(ListRole::Flats, dir.file("out_001.bmp"), FrameBitmap, /*missing=*/true);  // not on disk
  std::filesystem::create_directory(dir.file("sub"));
  std::filesystem::create_hard_link(dir.file("in20.bmp"), dir.file("hard.bmp"));

  const struct { std::vector<std::string> outputs; bool conflicts; } cases[] = {
      {{dir.file("sub/../IN10.Bmp")}, true}, {{dir.file("./sub/./../in20.bmp")}, true}, {{dir.file("hard.bmp")}, true},
      {{dir.file("out_000.bmp"), dir.file("out_001.bmp")}, true},
      {{dir.file("out.avi"), dir.file("sub/in10.bmp")}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.outputs.back());
    std::string conflict;
    EXPECT_EQ(checkFileConflict(c.outputs, engine.lists(), &conflict), c.conflicts);
    EXPECT_EQ(conflict, c.conflicts ? c.outputs.back() : "");
  }

  // The export loop refuses the same names before it writes anything.
  const ProcessedExport sequence = request(OutputKind::Bitmap, "out.bmp");
  EXPECT_EQ(exportFileNames(sequence, 2), (std::vector<std::string>{dir.file("out_000.bmp"), dir.file("out_001.bmp")}));
  const ExportResult result = saveProcessed(engine, sequence);
  EXPECT_EQ(std::tuple(result.conflict, result.failedPath, files()), std::tuple(true, dir.file("out_001.bmp"), 0));
}

TEST_F(ExportTest, FramesThatDoNotLoadAreListedAndTheOthersWritten) {
  addEntry(ListRole::Images, dir.file("in10.bmp"), FrameBitmap, /*missing=*/true);
  addEntry(ListRole::Images, dir.file("in20.bmp"));  // not on disk
  add(30);
  addEntry(ListRole::Images, dir.file("clip.avi"), 7);
  const ExportResult result = saveProcessed(engine, request(OutputKind::Bitmap, "out.bmp"));
  EXPECT_EQ(std::tuple(result.ok, result.complete(), result.written, files()), std::tuple(true, false, 1, 1));
  const std::string text = describeFailures(result, /*maxLines=*/2);
  EXPECT_EQ(text.substr(0, text.find('\n')), "3 of 4 frames could not be loaded:");
  for (const char* part : {"in10.bmp: the file was not found when the project was opened\n", "in20.bmp: ",
                           "... and 1 more\n"})
    EXPECT_NE(text.find(part), std::string::npos) << part << " in\n" << text;
  EXPECT_NE(describeFailures(result).find("clip.avi frame 7: "), std::string::npos);
}

TEST_F(ExportTest, DarksTheMasterWasMadeWithoutAreListed) {
  add(40);
  addEntry(ListRole::Darks, dir.file("in40.bmp"));
  test::writeFile(dir.file("broken.bmp"), {'B', 'M', 1, 2});
  addEntry(ListRole::Darks, dir.file("broken.bmp"));
  addEntry(ListRole::Darks, dir.file("gone.bmp"), FrameBitmap, /*missing=*/true);  // named when the project opened
  for (const bool subtract : {false, true}) {
    SCOPED_TRACE(subtract ? "dark subtraction" : "no dark");
    engine.ApplyImagesSettings(ProcessingGroup{.dark = subtract});
    engine.DropAllProducts();
    const ExportResult result = saveProcessed(engine, {});
    EXPECT_EQ(result.complete(), !subtract);
    if (!subtract) continue;
    ASSERT_EQ(result.masterFailures.size(), 1u);
    EXPECT_EQ(result.masterFailures[0].path, dir.file("broken.bmp"));
    const std::string listed = "The masters were made without these darks and flats:\n  " + dir.file("broken.bmp") + ": ";
    EXPECT_NE(describeFailures(result).find(listed), std::string::npos);
  }
}

// A video whose export fails or is stopped is dropped with its temporary; the file of that name stays as it was.
TEST_F(ExportTest, AFailedOrStoppedVideoExportLeavesThePreviousVideo) {
  engine.SetThreads(1);  // no frame loaded ahead: the loader acts between the writes
  for (const uint8_t level : {10, 20}) add(level);
  enum class Ending { FrameRefused, FolderRemoved, Stopped };
  for (const std::string name : {"out.avi", "out.ser"}) {
    SCOPED_TRACE(name);
    engine.SetLoader({});
    engine.DropAllProducts();
    const std::string previous = dir.file(name);
    ProcessedExport video = request(outputKindOf(name), name);
    ASSERT_TRUE(saveProcessed(engine, video).ok);
    EXPECT_EQ(name == "out.avi" ? aviFrameCount(previous) : serFrameCount(previous), 2);
    const test::Bytes before = test::readFile(previous);
    clearAviReadCache();

    // The second frame cannot be written (another size), the folder goes away before the video is finished, or a
    // stop is requested while the second frame is made.
    for (const Ending ending : {Ending::FrameRefused, Ending::FolderRemoved, Ending::Stopped}) {
      SCOPED_TRACE(static_cast<int>(ending));
      std::filesystem::create_directory(dir.file("gone"));
      std::stop_source stop;
      const StopScope scope(stop.get_token());
      int loads = 0;
      engine.SetLoader([&](const ImageSource* source, ImageSlot& slot, PixelFormat format, std::string* why) {
        const bool loaded = loadFrame(source, slot, format, why);
        if (++loads != 2) return loaded;
        if (ending == Ending::FolderRemoved) std::filesystem::remove_all(dir.file("gone"));
        if (ending == Ending::FrameRefused) slot = test::floatImage(1, 1, {5});
        if (ending == Ending::Stopped) stop.request_stop();
        return loaded;
      });
      engine.DropAllProducts();
      video.path = ending == Ending::FolderRemoved ? dir.file("gone/" + name) : previous;
      const ExportResult result = saveProcessed(engine, video);
      const bool stopped = ending == Ending::Stopped;
      EXPECT_EQ(std::tuple(result.ok, result.stopped, result.failedPath, result.files.size()),
                std::tuple(stopped, stopped, stopped ? "" : video.path, size_t{0}));
    }
    EXPECT_EQ(test::readFile(previous), before);
  }
  EXPECT_TRUE(std::ranges::none_of(std::filesystem::directory_iterator(dir.file("")), [](const auto& e) {
    return e.path().filename().string().starts_with(".");
  })) << "a temporary was left behind";
}

}  // namespace
}  // namespace stelp
