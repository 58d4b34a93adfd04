#include "persist/project.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "image/avi.h"
#include "image/bitmap.h"
#include "image/fits.h"
#include "image/test_util.h"
#include "persist/profile_store.h"

namespace stelp {
namespace {

std::string readText(const std::string& path) {
  const test::Bytes bytes = test::readFile(path);
  return std::string(bytes.begin(), bytes.end());
}

void writeText(const std::string& path, const std::string& text) {
  test::writeFile(path, test::Bytes(text.begin(), text.end()));
}

// A grey frame with a different level in every pixel, so FITS scaling has a
// maximum to work with.
std::unique_ptr<ImageBuffer> frame(int32_t width, int32_t height) {
  auto image = test::makeImage(PixelFormat::Gray8, width, height);
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x) image->row(y)[x] = static_cast<uint8_t>(10 + 20 * y + x);
  return image;
}

void makeBitmap(const std::string& path, int32_t width = 4, int32_t height = 2) {
  ASSERT_TRUE(writeBitmap(path, *frame(width, height))) << path;
}

void makeFits(const std::string& path, int32_t width = 4, int32_t height = 2) {
  ASSERT_TRUE(writeFits(path, *frame(width, height), /*sixteenBit=*/true)) << path;
}

void makeAvi(const std::string& path, int32_t frames, int32_t width = 4, int32_t height = 2) {
  const auto image = frame(width, height);
  AviWriter writer;
  ASSERT_TRUE(openAviWriter(writer, path, *image)) << path;
  for (int32_t i = 0; i < frames; ++i) ASSERT_TRUE(writeAviFrame(writer, *image));
  ASSERT_TRUE(closeAviWriter(writer));
}

void add(Engine& engine, ListRole role, const std::string& path, int32_t frameCode, bool enabled = true) {
  auto source = std::make_unique<ImageSource>();
  source->setPath(path, frameCode);
  source->enabled = enabled;
  engine.list(role).entries.push_back(std::move(source));
}

// Every entry of an AVI file, with the frames in `disabled` switched off.
void addAvi(Engine& engine, ListRole role, const std::string& path, int32_t frames,
            const std::set<int32_t>& disabled = {}) {
  for (int32_t k = 0; k < frames; ++k) add(engine, role, path, k, disabled.count(k) == 0);
}

// The lists as "I:path|frame code|enabled", paths relative to `folder`.
std::vector<std::string> describeLists(const Engine& engine, const std::string& folder) {
  std::vector<std::string> lines;
  const char* roles[] = {"I", "F", "D"};
  for (int role = 0; role < kRoleCount; ++role) {
    for (const auto& entry : engine.lists[static_cast<size_t>(role)].entries) {
      std::string path = entry->path;
      if (path.rfind(folder, 0) == 0) path = path.substr(folder.size());
      lines.push_back(std::string(roles[role]) + ":" + path + "|" + std::to_string(entry->frameCode) + "|" +
                      (entry->enabled ? "1" : "0"));
    }
  }
  return lines;
}

std::string describeSettings(const ProcessingSettings& s) {
  const ProcessingGroup& p = s.processing;
  return "colour " + formatBool(p.colour) + " dark " + formatBool(p.dark) + " flat " + formatBool(p.flat) +
         " syn " + formatBool(p.synFlat) + " hot " + formatBool(p.hot) + " stretch " + formatInt(p.stretch) +
         " rel " + formatFloat(p.stretchFromRel) + ".." + formatFloat(p.stretchToRel) + " abs " +
         formatFloat(p.stretchFromAbs) + ".." + formatFloat(p.stretchToAbs) + " deint " +
         formatInt(p.deInterlace) + " | filter " + formatInt(s.flat.filterWidth) + "x" +
         formatInt(s.flat.filterHeight) + " var +" + formatInt(s.flat.varHi) + " -" + formatInt(s.flat.varLo) +
         " border " + formatInt(s.flat.border) + " | hot " + formatUnsigned(s.dark.hot) + " cold " +
         formatUnsigned(s.dark.cold) + " expand " + formatInt(s.dark.expand);
}

ProcessingSettings unusualSettings() {
  ProcessingSettings s;
  s.processing = ProcessingGroup{false, true, true, false, true, 2, 1.5f, 99.25f, 10.0f, 200.5f, 3};
  s.flat = FlatGroup{64, 32, 7, 6, 2};
  s.dark = DarkGroup{180, 4000000000u, -1};
  return s;
}

const char* const kUnusualSettingsText =
    "[Version]\nMajor=0\nMinor=9\n\n"
    "[Processing]\nColour=0\nDark=1\nFlat=1\nSynFlat=0\nHot=1\nStretch=2\nStretchFromRel=1.500000\n"
    "StretchToRel=99.250000\nStretchFromAbs=10.000000\nStretchToAbs=200.500000\nDeInterlace=3\n\n"
    "[Flat]\nFilterWidth=64\nFilterHeight=32\nVarHi=7\nVarLo=6\nBorder=2\n\n"
    "[Dark]\nHot=180\nCold=4000000000\nExpand=-1\n";

class ProjectTest : public ::testing::Test {
 protected:
  std::string folder() const { return dir.file(""); }
  test::TempDir dir;
};

TEST_F(ProjectTest, SavesTheExactTextAndOpensBackTheSameWork) {
  makeBitmap(dir.file("m42.bmp"));
  makeAvi(dir.file("run.avi"), 100);
  makeFits(dir.file("m42.fits"));
  makeBitmap(dir.file("dark.bmp"));

  Engine saved;
  saved.settings = unusualSettings();
  add(saved, ListRole::Images, dir.file("m42.bmp"), FrameBitmap);
  addAvi(saved, ListRole::Images, dir.file("run.avi"), 100, {3, 50, 99});
  add(saved, ListRole::Images, dir.file("m42.fits"), FrameFits, /*enabled=*/false);
  add(saved, ListRole::Darks, dir.file("dark.bmp"), FrameBitmap);

  std::string expected = std::string(kUnusualSettingsText) + "\n[Image 1]\nFileName=" + dir.file("m42.bmp") +
                         "\nEnabled=1\n\n[Image 2]\nFileName=" + dir.file("run.avi") + "\nFrames=100\n";
  for (int k = 0; k < 100; ++k)
    expected += "Enabled " + std::to_string(k) + "=" + (k == 3 || k == 50 || k == 99 ? "0" : "1") + "\n";
  expected += "\n[Image 3]\nFileName=" + dir.file("m42.fits") + "\nEnabled=0\n\n[Dark 1]\nFileName=" +
              dir.file("dark.bmp") + "\nEnabled=1\n";

  const std::string path = dir.file("work.sjx");
  std::string why;
  std::vector<std::string> leftOut;
  ASSERT_TRUE(saveProject(path, saved, &why, &leftOut)) << why;
  EXPECT_EQ(readText(path), expected);
  EXPECT_TRUE(leftOut.empty());

  // What a user adds by hand is gone after the next save.
  writeText(path, readText(path) + "[Image 1]\nNote=mine\n[Mine]\nA=1\n");
  ASSERT_TRUE(saveProject(path, saved, &why)) << why;
  EXPECT_EQ(readText(path), expected);

  Engine opened;
  add(opened, ListRole::Flats, dir.file("m42.bmp"), FrameBitmap);  // replaced by the project's lists
  opened.frameWidth = 99;
  opened.frameHeight = 99;
  const OpenProjectResult result = openProject(path, opened);
  EXPECT_TRUE(result.readable);
  EXPECT_TRUE(result.isProject);
  EXPECT_FALSE(result.someFilesNotLoaded);
  EXPECT_EQ(describeSettings(opened.settings), describeSettings(saved.settings));
  EXPECT_EQ(describeLists(opened, folder()), describeLists(saved, folder()));
  EXPECT_EQ(opened.frameWidth, 4);
  EXPECT_EQ(opened.frameHeight, 2);
  EXPECT_EQ(opened.list(ListRole::Images).focused, 0);
  EXPECT_EQ(opened.list(ListRole::Flats).focused, -1);
  EXPECT_EQ(opened.list(ListRole::Darks).focused, 0);
}

TEST_F(ProjectTest, OpenPassesOverWhatItCannotUse) {
  makeBitmap(dir.file("a.bmp"));
  makeFits(dir.file("b.fits"));
  makeAvi(dir.file("c.avi"), 3);
  makeBitmap(dir.file("UPPER.BMP"));
  makeFits(dir.file("Mixed.Fits"));
  makeAvi(dir.file("clip.AvI"), 2);
  makeBitmap(dir.file("notes.png"));
  makeBitmap(dir.file("big.bmp"), 6, 3);
  makeAvi(dir.file("big.avi"), 2, 6, 3);
  writeText(dir.file("junk.bmp"), "this is no bitmap");

  struct Case {
    const char* what;
    std::string text;  // "$" stands for the project's folder with its '/'
    std::vector<std::string> lists;
    bool notLoaded;
    int32_t width;
  };
  const Case cases[] = {
      {"a missing section ends the list", "[Image 1]\nFileName=$a.bmp\n[Image 3]\nFileName=$b.fits\n",
       {"I:a.bmp|-2|1"}, false, 4},
      {"an empty name ends the list", "[Image 1]\nFileName=$a.bmp\n[Image 2]\nFileName=\n[Image 3]\nFileName=$b.fits\n",
       {"I:a.bmp|-2|1"}, false, 4},
      {"unknown extension and missing file are passed over",
       "[Image 1]\nFileName=$notes.png\n[Image 2]\nFileName=$gone.bmp\n[Image 3]\nFileName=$a.bmp\nEnabled=0\n",
       {"I:a.bmp|-2|0"}, true, 4},
      {"extensions in any case",
       "[Flat 1]\nFileName=$UPPER.BMP\n[Flat 2]\nFileName=$Mixed.Fits\n[Flat 3]\nFileName=$clip.AvI\nFrames=2\n"
       "Enabled 1=0\n",
       {"F:UPPER.BMP|-2|1", "F:Mixed.Fits|-3|1", "F:clip.AvI|0|1", "F:clip.AvI|1|0"}, false, 4},
      {"Frames 0, and more Frames than the file has",
       "[Dark 1]\nFileName=$c.avi\nFrames=0\n[Dark 2]\nFileName=$c.avi\nFrames=5\nEnabled 4=0\n",
       {"D:c.avi|0|1", "D:c.avi|1|1", "D:c.avi|2|1", "D:c.avi|3|1", "D:c.avi|4|0"}, false, 4},
      {"frames of another size are left out",
       "[Image 1]\nFileName=$a.bmp\n[Image 2]\nFileName=$big.bmp\n[Image 3]\nFileName=$big.avi\nFrames=2\n"
       "[Dark 1]\nFileName=$big.bmp\n[Dark 2]\nFileName=$b.fits\n",
       {"I:a.bmp|-2|1", "D:b.fits|-3|1"}, false, 4},
      {"the first loaded frame fixes the size", "[Image 1]\nFileName=$big.avi\nFrames=1\n[Image 2]\nFileName=$a.bmp\n",
       {"I:big.avi|0|1"}, false, 6},
      {"a frame that cannot be decoded counts as not loaded",
       "[Image 1]\nFileName=$junk.bmp\n[Image 2]\nFileName=$a.bmp\n", {"I:a.bmp|-2|1"}, true, 4},
      {"moved files are found in the project's folder",
       "[Image 1]\nFileName=C:\\old\\a.bmp\n[Image 2]\nFileName=/nowhere/else/b.fits\n",
       {"I:a.bmp|-2|1", "I:b.fits|-3|1"}, false, 4},
      {"a file that is not a project", "just some text\n", {}, false, -1},
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    for (size_t at = text.find('$'); at != std::string::npos; at = text.find('$', at)) text.replace(at, 1, folder());
    const std::string path = dir.file("case.sjx");
    writeText(path, text);

    Engine engine;
    engine.frameWidth = 99;
    engine.frameHeight = 99;
    add(engine, ListRole::Images, dir.file("a.bmp"), FrameBitmap);
    add(engine, ListRole::Darks, dir.file("a.bmp"), FrameBitmap);
    const OpenProjectResult result = openProject(path, engine);
    EXPECT_EQ(describeLists(engine, folder()), c.lists) << c.what;
    EXPECT_EQ(result.someFilesNotLoaded, c.notLoaded) << c.what;
    EXPECT_EQ(result.isProject, !c.lists.empty()) << c.what;
    EXPECT_EQ(engine.frameWidth, c.width) << c.what;
  }
}

TEST_F(ProjectTest, OpenReadsEachSettingOverItsPresentValue) {
  struct Case {
    const char* what;
    const char* text;
    void (*change)(ProcessingSettings&);
  };
  const Case cases[] = {
      {"no Processing section", "[Flat]\nFilterWidth=10\n[Dark]\nCold=3\n",
       [](ProcessingSettings& s) {
         s.flat.filterWidth = 10;
         s.dark.cold = 3;
       }},
      {"not a project", "hello\n", [](ProcessingSettings&) {}},
  };
  for (const Case& c : cases) {
    const std::string path = dir.file("settings.sjx");
    writeText(path, c.text);
    Engine engine;
    engine.settings = unusualSettings();
    engine.settings.processing.colour = true;
    ProcessingSettings expected = engine.settings;
    c.change(expected);
    openProject(path, engine);
    EXPECT_EQ(describeSettings(engine.settings), describeSettings(expected)) << c.what;
  }
}

TEST_F(ProjectTest, ProjectMovedWithItsFilesOpensWholeAndSavesTheNewPaths) {
  std::filesystem::create_directory(dir.file("before"));
  makeBitmap(dir.file("before/m.bmp"));
  makeAvi(dir.file("before/v.avi"), 3);
  Engine engine;
  add(engine, ListRole::Images, dir.file("before/m.bmp"), FrameBitmap, false);
  addAvi(engine, ListRole::Flats, dir.file("before/v.avi"), 3, {1});
  std::string why;
  ASSERT_TRUE(saveProject(dir.file("before/p.sjx"), engine, &why)) << why;

  std::filesystem::rename(dir.file("before"), dir.file("after"));
  Engine moved;
  const OpenProjectResult result = openProject(dir.file("after/p.sjx"), moved);
  EXPECT_FALSE(result.someFilesNotLoaded);
  EXPECT_EQ(describeLists(moved, dir.file("after/")),
            (std::vector<std::string>{"I:m.bmp|-2|0", "F:v.avi|0|1", "F:v.avi|1|0", "F:v.avi|2|1"}));

  ASSERT_TRUE(saveProject(dir.file("after/p.sjx"), moved, &why)) << why;
  const std::string text = readText(dir.file("after/p.sjx"));
  EXPECT_NE(text.find("FileName=" + dir.file("after/m.bmp") + "\n"), std::string::npos) << text;
  EXPECT_NE(text.find("FileName=" + dir.file("after/v.avi") + "\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("before"), std::string::npos) << text;
}

TEST_F(ProjectTest, UnusualPathsRoundTripWholeAndLineBreaksAreLeftOut) {
  const std::string odd = dir.file("x b=c;d#e[f]g ü 日本") + "/";
  const std::string deep = odd + std::string(100, 'd') + "/" + std::string(100, 'e') + "/";
  std::filesystem::create_directories(deep);
  const std::string bitmapPath = odd + "w=1;#[2].bmp";
  const std::string aviPath = odd + "é ä.avi";
  const std::string brokenPath = odd + "two\nlines.bmp";
  const std::string fitsPath = deep + std::string(60, 'f') + ".fits";
  ASSERT_GT(fitsPath.size(), 259u);
  makeBitmap(bitmapPath);
  makeAvi(aviPath, 2);
  makeBitmap(brokenPath);
  makeFits(fitsPath);

  Engine engine;
  add(engine, ListRole::Images, bitmapPath, FrameBitmap);
  add(engine, ListRole::Images, brokenPath, FrameBitmap);
  addAvi(engine, ListRole::Images, aviPath, 2, {0});
  add(engine, ListRole::Darks, fitsPath, FrameFits, false);

  const std::string path = odd + "p [1].sjx";
  std::string why;
  std::vector<std::string> leftOut;
  ASSERT_TRUE(saveProject(path, engine, &why, &leftOut)) << why;
  EXPECT_EQ(leftOut, std::vector<std::string>{brokenPath});
  const std::string text = readText(path);
  EXPECT_NE(text.find("[Image 2]\nFileName=" + aviPath + "\n"), std::string::npos) << "numbers stay without gaps";
  EXPECT_EQ(text.find("[Image 3]"), std::string::npos);

  Engine opened;
  const OpenProjectResult result = openProject(path, opened);
  EXPECT_FALSE(result.someFilesNotLoaded);
  EXPECT_EQ(describeLists(opened, ""),
            (std::vector<std::string>{"I:" + bitmapPath + "|-2|1", "I:" + aviPath + "|0|0", "I:" + aviPath + "|1|1",
                                      "D:" + fitsPath + "|-3|0"}));
  EXPECT_EQ(projectTitle(path), "Stelp - p [1].sjx");
}

// Lowers the file size limit for one scope; writes past it fail with EFBIG
// instead of ending the process.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ok_ = getrlimit(RLIMIT_FSIZE, &saved_) == 0;
    previous_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = saved_;
    lowered.rlim_cur = bytes;
    ok_ = ok_ && setrlimit(RLIMIT_FSIZE, &lowered) == 0;
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previous_);
  }
  bool ok() const { return ok_; }

 private:
  rlimit saved_{};
  void (*previous_)(int) = SIG_DFL;
  bool ok_ = false;
};

TEST_F(ProjectTest, FailedSaveLeavesThePreviousProjectByteForByte) {
  makeAvi(dir.file("long.avi"), 100);
  const std::string path = dir.file("keep.sjx");
  Engine engine;
  std::string why;
  ASSERT_TRUE(saveProject(path, engine, &why)) << why;
  const test::Bytes before = test::readFile(path);
  ASSERT_LT(before.size(), 1000u);

  addAvi(engine, ListRole::Images, dir.file("long.avi"), 100);  // about 1.5 KB more
  bool limited = false;
  bool saved = true;
  {
    // Nothing is asserted while the limit holds: test output may go to a file.
    FileSizeLimit limit(1000);
    limited = limit.ok();
    saved = saveProject(path, engine, &why);
  }
  ASSERT_TRUE(limited);
  EXPECT_FALSE(saved);
  EXPECT_NE(why.find(path), std::string::npos) << why;
  EXPECT_EQ(test::readFile(path), before);
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder()))
    names.insert(entry.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"keep.sjx", "long.avi"})) << "no temporary file is left";

  // A save into a folder that does not exist fails the same way.
  EXPECT_FALSE(saveProject(dir.file("gone/p.sjx"), engine, &why));
  EXPECT_FALSE(why.empty());
}

TEST_F(ProjectTest, NewRestoresTheDefaultsButKeepsTheColourMode) {
  makeBitmap(dir.file("a.bmp"));
  for (const bool colour : {false, true}) {
    Engine engine;
    engine.settings = unusualSettings();
    engine.settings.processing.colour = colour;
    add(engine, ListRole::Images, dir.file("a.bmp"), FrameBitmap);
    add(engine, ListRole::Darks, dir.file("a.bmp"), FrameBitmap);
    engine.list(ListRole::Images).focused = 0;
    engine.frameWidth = 4;
    engine.frameHeight = 2;
    engine.masterDark = frame(4, 2);
    engine.currentRole = static_cast<int32_t>(ListRole::Darks);

    newProject(engine);
    ProcessingSettings expected;
    expected.processing.colour = colour;
    EXPECT_EQ(describeSettings(engine.settings), describeSettings(expected));
    EXPECT_TRUE(describeLists(engine, "").empty());
    EXPECT_EQ(engine.list(ListRole::Images).focused, -1);
    EXPECT_EQ(engine.frameWidth, -1);
    EXPECT_EQ(engine.frameHeight, -1);
    EXPECT_FALSE(engine.masterDark);
    EXPECT_EQ(engine.currentRole, static_cast<int32_t>(ListRole::Images));
  }
}

TEST(ProjectNamesTest, ExtensionsAndTitles) {
  struct KindCase {
    const char* path;
    SourceKind kind;
  };
  const KindCase kinds[] = {
      {"/d/a.bmp", SourceKind::Bitmap},   {"/d/A.BMP", SourceKind::Bitmap},   {"/d/a.avi", SourceKind::Avi},
      {"/d/a.AVI", SourceKind::Avi},      {"/d/a.fit", SourceKind::Fits},     {"/d/a.FTS", SourceKind::Fits},
      {"/d/a.Fits", SourceKind::Fits},    {"/d/a.png", SourceKind::Unknown},  {"/d/a.fitsx", SourceKind::Unknown},
      {"/d/noext", SourceKind::Unknown},  {"/d.bmp/a", SourceKind::Unknown},  {"C:\\d.bmp\\a", SourceKind::Unknown},
      {"D:x.bmp", SourceKind::Bitmap},    {"/d/a.bmp.txt", SourceKind::Unknown},
  };
  for (const KindCase& c : kinds) EXPECT_EQ(sourceKindOf(c.path), c.kind) << c.path;

  EXPECT_EQ(projectTitle(""), "Stelp");
  EXPECT_EQ(projectTitle("/home/u/m42 run.sjx"), "Stelp - m42 run.sjx");
  EXPECT_EQ(projectTitle("plain.sjx"), "Stelp - plain.sjx");
  EXPECT_EQ(projectNameOffset("/home/u/m42.sjx"), 8);
}

}  // namespace
}  // namespace stelp
