#include "engine/export.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "image/avi.h"
#include "image/bitmap.h"
#include "image/test_util.h"

namespace stelp {
namespace {

TEST(ExportNamesTest, SequenceNamesFromTheChosenName) {
  const struct {
    const char* chosen;
    OutputKind kind;
    uint32_t start;  // the number the user confirms
    const char* expectedInitial;
    std::vector<std::string> files;
  } cases[] = {
      {"/out/moon.bmp", OutputKind::Bitmap, 0, "0", {"/out/moon_000.bmp", "/out/moon_001.bmp", "/out/moon_002.bmp"}},
      {"/out/m42.bmp", OutputKind::Bitmap, 42, "42", {"/out/m042.bmp", "/out/m043.bmp"}},
      {"/out/m42-17.fit", OutputKind::Fits, 17, "17", {"/out/m42-017.fit", "/out/m42-018.fit"}},
      {"/out/frame.FTS", OutputKind::Fits, 0, "0", {"/out/frame_000.FTS"}},
      {"/out/moon.bmp", OutputKind::Bitmap, 1000, "0", {"/out/moon_1000.bmp"}},
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
  EXPECT_EQ(outputKindOf("/out/clip.AvI"), OutputKind::Avi);
  EXPECT_EQ(outputKindOf("/out/x.txt"), OutputKind::None);
  EXPECT_EQ(outputKindOf("/out/x.tif"), OutputKind::None);
  EXPECT_EQ(fitsDepthOfFilter(3, kProcessedFloatFilter), FitsDepth::Int32);
  EXPECT_EQ(fitsDepthOfFilter(5, kProcessedFloatFilter), FitsDepth::Int16);
  EXPECT_EQ(fitsDepthOfFilter(6, kProcessedFloatFilter), FitsDepth::Float32);
  EXPECT_EQ(fitsDepthOfFilter(5, kMasterFloatFilter), FitsDepth::Float32);
}

class ExportTest : public ::testing::Test {
 protected:
  ExportTest() {
    engine.ToggleColour();  // grey
    engine.SetFrameSize({3, 2});
  }

  // Adds an entry of `path` to a list.
  void addEntry(ListRole role, const std::string& path, int32_t code = FrameBitmap, bool missing = false) {
    std::vector<std::unique_ptr<ImageSource>> entries;
    entries.push_back(std::make_unique<ImageSource>());
    entries.back()->setPath(path, code);
    entries.back()->missing = missing;
    engine.AppendEntries(role, std::move(entries));
  }
  // Adds an entry of a new 3 x 2 bitmap of one level.
  void add(uint8_t level, bool enabled = true, ListRole role = ListRole::Images) {
    auto image = test::makeImage(PixelFormat::Gray8, 3, 2);
    std::memset(image->pixels.get(), level, image->pixelBytes());
    const std::string path = dir.file("in" + std::to_string(level) + ".bmp");
    ASSERT_TRUE(writeBitmap(path, *image));
    addEntry(role, path);
    if (!enabled) engine.SetEnabled(role, engine.list(role).size() - 1, false);
  }

  int files() const {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.file(""))) n += e.path().filename().string().rfind("out", 0) == 0;
    return n;
  }

  test::TempDir dir;
  Engine engine;
};

TEST_F(ExportTest, SequenceSkipsDisabledEntriesAndShowsEveryFrame) {
  add(10);
  add(20, false);
  add(30);
  ProcessedExport request;
  request.kind = OutputKind::Bitmap;
  request.sequence = true;
  request.name = sequenceNameOf(dir.file("out.bmp"));
  int shown = 0;
  request.showFrame = [&](const ImageBuffer& frame) { shown += frame.width == 3; };
  const ExportResult result = saveProcessed(engine, request);
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.written, 2);
  EXPECT_EQ(shown, 2);
  EXPECT_FALSE(engine.product(kRawFrameBit) || engine.product(kProcessedFrameBit)) << "the view's frames stay as they were";
  ImageSlot second;
  ASSERT_TRUE(readBitmap(dir.file("out_001.bmp"), PixelFormat::Gray8, second));
  EXPECT_EQ(second->row(0)[0], 30);
  EXPECT_EQ(engine.statusText(), "Writing frame 2 of 2");

  // An unknown extension processes every frame and writes nothing.
  request.kind = OutputKind::None;
  request.name = sequenceNameOf(dir.file("other.txt"));
  EXPECT_EQ(saveProcessed(engine, request).written, 0);
  EXPECT_EQ(files(), 2);
}

TEST_F(ExportTest, TheFirstFileThatCannotBeWrittenEndsTheExport) {
  add(10);
  add(20);
  ProcessedExport request;
  request.kind = OutputKind::Fits;
  request.sequence = true;
  request.name = sequenceNameOf(dir.file("missing/out.fits"));
  ExportResult result = saveProcessed(engine, request);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.written, 0);
  EXPECT_EQ(result.failedPath, dir.file("missing/out_000.fits"));
  EXPECT_NE(result.why.find("cannot create"), std::string::npos);

  request.kind = OutputKind::Avi;
  request.path = dir.file("missing/out.avi");
  result = saveProcessed(engine, request);
  EXPECT_TRUE(result.aviNotOpened);
}

TEST_F(ExportTest, OutputsThatNameASourceConflict) {
  add(10);  // in10.bmp and in30.bmp, images
  add(30);
  add(20, true, ListRole::Darks);
  addEntry(ListRole::Flats, dir.file("out_001.bmp"), FrameBitmap, /*missing=*/true);  // not on disk
  std::filesystem::create_directory(dir.file("sub"));
  std::filesystem::create_symlink(dir.file("in10.bmp"), dir.file("link.bmp"));
  std::filesystem::create_hard_link(dir.file("in20.bmp"), dir.file("hard.bmp"));

  const struct {
    std::vector<std::string> outputs;
    bool conflicts;
  } cases[] = {
      {{dir.file("IN10.Bmp")}, true},
      {{dir.file("sub/../in10.bmp")}, true},
      {{dir.file("./sub/./../in20.bmp")}, true},
      {{dir.file("link.bmp")}, true},
      {{dir.file("hard.bmp")}, true},
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
  ProcessedExport request;
  request.kind = OutputKind::Bitmap;
  request.sequence = true;
  request.name = sequenceNameOf(dir.file("out.bmp"));
  EXPECT_EQ(exportFileNames(request, 2), (std::vector<std::string>{dir.file("out_000.bmp"), dir.file("out_001.bmp")}));
  const ExportResult result = saveProcessed(engine, request);
  EXPECT_TRUE(result.conflict);
  EXPECT_EQ(result.failedPath, dir.file("out_001.bmp"));
  EXPECT_EQ(files(), 0);
}

TEST_F(ExportTest, FramesThatDoNotLoadAreListedAndTheOthersWritten) {
  addEntry(ListRole::Images, dir.file("in10.bmp"), FrameBitmap, /*missing=*/true);
  addEntry(ListRole::Images, dir.file("in20.bmp"));  // not on disk
  add(30);
  addEntry(ListRole::Images, dir.file("clip.avi"), 7);
  ProcessedExport request;
  request.kind = OutputKind::Bitmap;
  request.sequence = true;
  request.name = sequenceNameOf(dir.file("out.bmp"));
  const ExportResult result = saveProcessed(engine, request);
  EXPECT_TRUE(result.ok);
  EXPECT_FALSE(result.complete());
  EXPECT_EQ(result.written, 1);
  EXPECT_EQ(files(), 1);
  ASSERT_EQ(result.failures.size(), 3u);
  EXPECT_EQ(result.failures[2].frameCode, 7);
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
  ProcessedExport request;
  for (const bool subtract : {false, true}) {
    SCOPED_TRACE(subtract ? "dark subtraction" : "no dark");
    engine.ApplyImagesSettings(ProcessingGroup{.dark = subtract});
    engine.DropAllProducts();
    const ExportResult result = saveProcessed(engine, request);
    EXPECT_EQ(result.complete(), !subtract);
    if (!subtract) continue;
    ASSERT_EQ(result.masterFailures.size(), 1u);
    EXPECT_EQ(result.masterFailures[0].path, dir.file("broken.bmp"));
    EXPECT_NE(describeFailures(result).find("The masters were made without these darks and flats:\n  " +
                                            dir.file("broken.bmp") + ": "),
              std::string::npos);
  }
}

TEST_F(ExportTest, AFailedAviExportLeavesThePreviousVideo) {
  add(10);
  add(20);
  std::filesystem::create_directory(dir.file("gone"));
  const std::string previous = dir.file("out.avi");
  ProcessedExport request;
  request.kind = OutputKind::Avi;
  request.path = previous;
  ASSERT_TRUE(saveProcessed(engine, request).ok);
  EXPECT_EQ(aviFrameCount(previous), 2);
  const test::Bytes before = test::readFile(previous);
  clearAviReadCache();

  // The second frame cannot be written (another size), or the folder goes
  // away before the video is finished.
  for (const bool removeFolder : {false, true}) {
    SCOPED_TRACE(removeFolder ? "folder removed" : "frame refused");
    int loads = 0;
    engine.SetLoader([&](const ImageSource* source, ImageSlot& slot, PixelFormat format, std::string* why) {
      const bool loaded = loadFrame(source, slot, format, why);
      if (++loads == 2) {
        if (removeFolder) std::filesystem::remove_all(dir.file("gone"));
        else slot = test::floatImage(1, 1, {5});
      }
      return loaded;
    });
    engine.DropAllProducts();
    request.path = removeFolder ? dir.file("gone/out.avi") : previous;
    const ExportResult result = saveProcessed(engine, request);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.failedPath, request.path);
  }
  EXPECT_EQ(test::readFile(previous), before);
}

TEST_F(ExportTest, MasterFramesByExtension) {
  auto image = test::floatImage(1, 1, {7});
  std::string why;
  EXPECT_TRUE(saveMasterFrame(engine, MasterProduct::Dark, *image, dir.file("master.FIT"), FitsDepth::Int32, &why));
  EXPECT_TRUE(saveMasterFrame(engine, MasterProduct::Dark, *image, dir.file("master.bmp"), FitsDepth::Int16, &why));
  EXPECT_FALSE(saveMasterFrame(engine, MasterProduct::Dark, *image, dir.file("master.tif"), FitsDepth::Int16, &why));
  EXPECT_EQ(why, "Unknown file format");
}

}  // namespace
}  // namespace stelp
