#include "persist/project.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "image/avi.h"
#include "image/bitmap.h"
#include "image/fits.h"
#include "image/test_util.h"

namespace stelp {
namespace {

std::string readText(const std::string& p) { const test::Bytes b = test::readFile(p); return {b.begin(), b.end()}; }
void writeText(const std::string& p, const std::string& t) { test::writeFile(p, test::Bytes(t.begin(), t.end())); }

// A bitmap, FITS or AVI file of `frames` frames, by the name's ending, of
// w x h with a different level in every pixel so that FITS scaling has a maximum.
void make(const std::string& path, int32_t frames = 2, int32_t w = 4, int32_t h = 2) {
  const auto image = test::makeImage(PixelFormat::Gray8, w, h);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) image->row(y)[x] = static_cast<uint8_t>(10 + 20 * y + x);
  const std::string end = path.substr(path.size() - 4);
  if (end != ".avi" && end != ".AvI") {
    ASSERT_TRUE(end == "fits" ? writeFits(path, *image, /*sixteenBit=*/true) : writeBitmap(path, *image)) << path;
    return;
  }
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

// The lists as "I:path|frame code|enabled", paths relative to `folder`.
std::vector<std::string> describeLists(const Engine& engine, const std::string& folder) {
  std::vector<std::string> lines;
  for (int role = 0; role < kRoleCount; ++role)
    for (const auto& e : engine.lists[static_cast<size_t>(role)].entries)
      lines.push_back("IFD"[role] + (":" + e->path.substr(e->path.starts_with(folder) ? folder.size() : 0)) + "|" +
                      std::to_string(e->frameCode) + "|" + (e->enabled ? "1" : "0"));
  return lines;
}

ProcessingSettings unusualSettings() {
  ProcessingSettings s;
  s.processing = ProcessingGroup{false, true, true, false, true, 2, 1.5f, 99.25f, 10.0f, 200.5f, 3};
  s.flat = FlatGroup{64, 32, 7, 6, 2};
  s.dark = DarkGroup{180, 4000000000u, -1};
  return s;
}

const std::string kUnusualSettingsText =
    "[Version]\nMajor=0\nMinor=9\n\n"
    "[Processing]\nColour=0\nDark=1\nFlat=1\nSynFlat=0\nHot=1\nStretch=2\nStretchFromRel=1.500000\n"
    "StretchToRel=99.250000\nStretchFromAbs=10.000000\nStretchToAbs=200.500000\nDeInterlace=3\n\n"
    "[Flat]\nFilterWidth=64\nFilterHeight=32\nVarHi=7\nVarLo=6\nBorder=2\n\n"
    "[Dark]\nHot=180\nCold=4000000000\nExpand=-1\n";

// The settings as a project holds them; the golden test below pins that text.
std::string settingsText(const ProcessingSettings& settings) {
  test::TempDir dir;
  Engine engine;
  engine.settings = settings;
  EXPECT_TRUE(saveProject(dir.file("s.sjx"), engine));
  return readText(dir.file("s.sjx"));
}

TEST(ProjectTest, SavesTheExactTextOpensItBackKeepsItOnFailureAndStartsNew) {
  test::TempDir dir;
  // Paths with characters that mean something in an INI file, UTF-8, and over 259 bytes.
  const std::string odd = dir.file("x b=c;d#e[f]g ü 日本") + "/";
  const std::string deep = odd + std::string(100, 'd') + "/" + std::string(100, 'e') + "/";
  std::filesystem::create_directories(deep);
  const std::string bmp = odd + "w=1;#[2].bmp", avi = odd + "é ä.avi", broken = odd + "two\nlines.bmp",
                    fits = deep + std::string(60, 'f') + ".fits", dark = dir.file("dark.bmp");
  for (const std::string& name : {bmp, broken, dark, fits}) make(name);
  make(avi, 4);
  Engine saved;
  saved.settings = unusualSettings();
  add(saved, ListRole::Images, bmp, FrameBitmap);
  add(saved, ListRole::Images, broken, FrameBitmap);  // no line can hold its name: left out
  for (int32_t k = 0; k < 4; ++k) add(saved, ListRole::Images, avi, k, k == 1 || k == 2);
  add(saved, ListRole::Images, fits, FrameFits, false);
  add(saved, ListRole::Darks, dark, FrameBitmap);
  const std::string expected = kUnusualSettingsText + "\n[Image 1]\nFileName=" + bmp + "\nEnabled=1\n\n[Image 2]\n" +
                               "FileName=" + avi + "\nFrames=4\nEnabled 0=0\nEnabled 1=1\nEnabled 2=1\nEnabled 3=0\n" +
                               "\n[Image 3]\nFileName=" + fits + "\nEnabled=0\n\n[Dark 1]\nFileName=" + dark +
                               "\nEnabled=1\n";
  const std::string path = odd + "p [1].sjx";
  std::string why;
  std::vector<std::string> leftOut;
  ASSERT_TRUE(saveProject(path, saved, &why, &leftOut)) << why;
  EXPECT_EQ(readText(path), expected);
  EXPECT_EQ(leftOut, std::vector<std::string>{broken});
  // What a user adds by hand is gone after the next save.
  writeText(path, readText(path) + "[Image 1]\nNote=mine\n[Mine]\nA=1\n");
  ASSERT_TRUE(saveProject(path, saved, &why)) << why;
  EXPECT_EQ(readText(path), expected);

  Engine opened;
  const OpenProjectResult result = openProject(path, opened);
  EXPECT_TRUE(result.readable && result.isProject && !result.someFilesNotLoaded);
  saved.list(ListRole::Images).entries.erase(saved.list(ListRole::Images).entries.begin() + 1);
  EXPECT_EQ(describeLists(opened, ""), describeLists(saved, ""));
  EXPECT_EQ(settingsText(opened.settings), kUnusualSettingsText);
  EXPECT_EQ(std::vector<int32_t>({opened.frameWidth, opened.frameHeight, opened.list(ListRole::Images).focused}),
            std::vector<int32_t>({4, 2, 0}));

  // A save that fails, here at a file size limit, leaves the project byte for byte.
  add(opened, ListRole::Images, "/" + std::string(2000, 'n') + ".bmp", FrameBitmap);
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
  const rlimit lowered{1000, limit.rlim_max};
  // Nothing is asserted under the limit: test output may go to a file.
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  const bool limited = setrlimit(RLIMIT_FSIZE, &lowered) == 0;
  const bool failed = !saveProject(path, opened);
  setrlimit(RLIMIT_FSIZE, &limit);
  std::signal(SIGXFSZ, previous);
  EXPECT_TRUE(limited && failed);
  EXPECT_EQ(readText(path), expected);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(odd), {}), 5) << "no temporary file is left";

  // "New" keeps the colour mode (off here) and restores every other default;
  // that it empties the lists is proven through the window.
  opened.masterDark = test::makeImage(PixelFormat::Gray8, 4, 2);
  opened.currentRole = static_cast<int32_t>(ListRole::Darks);
  newProject(opened);
  ProcessingSettings defaults;
  defaults.processing.colour = false;
  EXPECT_EQ(settingsText(opened.settings), settingsText(defaults));
  EXPECT_TRUE(opened.frameWidth == -1 && opened.currentRole == static_cast<int32_t>(ListRole::Images));
  EXPECT_FALSE(opened.masterDark);
}

// Moved files, and a missing file with its message, are proven through the window.
TEST(ProjectTest, OpenPassesOverWhatItCannotUseAndKeepsMissingSettings) {
  test::TempDir dir;
  const std::string folder = dir.file("");
  for (const char* name : {"a.bmp", "UPPER.BMP", "notes.png", "b.fits", "c.avi", "clip.AvI"}) make(dir.file(name));
  for (const char* name : {"big.bmp", "big.avi"}) make(dir.file(name), 2, 6, 3);
  writeText(dir.file("junk.bmp"), "this is no bitmap");
  // In `text`, "$" stands for the project's folder with its '/'.
  const struct { const char* what; std::string text; std::vector<std::string> lists; bool notLoaded; } cases[] = {
      {"a frame that cannot be decoded counts as not loaded; a missing section ends the list",
       "[Image 1]\nFileName=$junk.bmp\n[Image 2]\nFileName=$a.bmp\n[Image 4]\nFileName=$b.fits\n", {"I:a.bmp|-2|1"},
       true},
      {"an unknown extension is passed over silently; known ones in any case",
       "[Flat 1]\nFileName=$notes.png\n[Flat 2]\nFileName=$UPPER.BMP\nEnabled=0\n[Flat 3]\nFileName=$clip.AvI\n"
       "Frames=2\nEnabled 1=0\n", {"F:UPPER.BMP|-2|0", "F:clip.AvI|0|1", "F:clip.AvI|1|0"}, false},
      {"Frames 0, and more Frames than the file has",
       "[Dark 1]\nFileName=$c.avi\nFrames=0\n[Dark 2]\nFileName=$c.avi\nFrames=5\nEnabled 4=0\n",
       {"D:c.avi|0|1", "D:c.avi|1|1", "D:c.avi|2|1", "D:c.avi|3|1", "D:c.avi|4|0"}, false},
      {"the first frame fixes the size; frames of another size are left out",
       "[Image 1]\nFileName=$a.bmp\n[Image 2]\nFileName=$big.bmp\n[Image 3]\nFileName=$big.avi\nFrames=2\n"
       "[Dark 1]\nFileName=$big.bmp\n[Dark 2]\nFileName=$b.fits\n",
       {"I:a.bmp|-2|1", "D:b.fits|-3|1"}, false},
      {"a Windows path is looked for here", "[Image 1]\nFileName=C:\\old\\a.bmp\n", {"I:a.bmp|-2|1"}, false},
      {"a file that is not a project", "just some text\n", {}, false},
  };
  for (const auto& c : cases) {
    std::string text = c.text;
    for (size_t at = text.find('$'); at != std::string::npos; at = text.find('$', at)) text.replace(at, 1, folder);
    writeText(dir.file("case.sjx"), text);
    Engine engine;
    engine.settings = unusualSettings();  // no case holds a setting: each keeps its value
    engine.frameWidth = engine.frameHeight = 99;
    add(engine, ListRole::Darks, dir.file("a.bmp"), FrameBitmap);  // replaced by the project's lists
    const OpenProjectResult result = openProject(dir.file("case.sjx"), engine);
    EXPECT_EQ(std::tuple(describeLists(engine, folder), result.someFilesNotLoaded, result.isProject, engine.frameWidth),
              std::tuple(c.lists, c.notLoaded, !c.lists.empty(), c.lists.empty() ? -1 : 4)) << c.what;
    EXPECT_EQ(settingsText(engine.settings), kUnusualSettingsText) << c.what;
  }
}

TEST(ProjectTest, SourceKindComesFromTheExtensionOfTheLastPathPart) {
  for (const auto& [path, kind] : {std::pair{"/d/a.fit", SourceKind::Fits}, {"/d/a.FTS", SourceKind::Fits},
                                   {"/d/a.fitsx", SourceKind::Unknown}, {"/d.bmp/a", SourceKind::Unknown},
                                   {"C:\\d.bmp\\a", SourceKind::Unknown}, {"D:x.bmp", SourceKind::Bitmap}})
    EXPECT_EQ(sourceKindOf(path), kind) << path;
}

}  // namespace
}  // namespace stelp
