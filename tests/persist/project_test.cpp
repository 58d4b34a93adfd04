#include "persist/project.h"

#include <sys/stat.h>

#include <tuple>
#include <utility>

#include "image/avi.h"
#include "image/bitmap.h"
#include "image/fits.h"
#include "image/ser_writer.h"
#include "engine/engine_util.h"
#include "engine/parallel.h"
#include "image/test_util.h"
#include "persist/ini.h"
#include "persist/settings_file.h"

namespace stelp {
namespace {

using test::appendEntry, test::readText, test::writeText;

// A bitmap, FITS, AVI or SER file of `frames` frames, by the name's ending, of w x h with a different level in every
// pixel so that FITS scaling has a maximum.
void make(const std::string& path, int32_t frames = 2, int32_t w = 4, int32_t h = 2) {
  const auto image = test::makeImage(PixelFormat::Gray8, w, h);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) image->row(y)[x] = static_cast<uint8_t>(10 + 20 * y + x);
  const std::string end = path.substr(path.size() - 4);
  if (end == ".ser") {
    SerWriter writer;
    ASSERT_TRUE(openSerWriter(writer, path, serLayoutOf(*image, SerDepth::Eight)));
    for (int32_t i = 0; i < frames; ++i) ASSERT_TRUE(writeSerFrame(writer, *image));
    ASSERT_TRUE(closeSerWriter(writer));
    return;
  }
  const bool avi = end == ".avi";
  AviWriter writer;
  ASSERT_TRUE(avi ? openAviWriter(writer, path, *image)
                  : end == "fits" ? writeFits(path, *image, FitsDepth::Int16) : writeBitmap(path, *image)) << path;
  for (int32_t i = 0; avi && i < frames; ++i) ASSERT_TRUE(writeAviFrame(writer, *image));
  ASSERT_TRUE(!avi || closeAviWriter(writer));
}

// The lists as "I:path|frame code|enabled", paths relative to `folder`, with "|m" after an entry whose file is missing.
std::vector<std::string> describeLists(const Engine& engine, const std::string& folder) {
  std::vector<std::string> lines;
  for (int role = 0; role < kRoleCount; ++role)
    for (const auto& e : engine.list(static_cast<ListRole>(role)).entries)
      lines.push_back("IFD"[role] + (":" + e->path.substr(e->path.starts_with(folder) ? folder.size() : 0)) + "|" +
                      std::to_string(e->frameCode) + "|" + (e->enabled ? "1" : "0") + (e->missing ? "|m" : ""));
  return lines;
}

ProcessingSettings unusualSettings() {
  ProcessingSettings s;
  s.processing = ProcessingGroup{false, true, true, false, true, StretchMode::Levels, 1.5f, 99.25f, 10.0f, 200.5f,
                                 DeInterlace::EqualiseFields, FitsScale::Camera};
  s.flat = FlatGroup{64, 32, 7, 6, 2, CombineGroup{CombineMethod::SigmaClip, 2.5f, 4.0f}};
  s.dark = DarkGroup{180, 20, 3, CombineGroup{CombineMethod::Median}};
  return s;
}

const std::string kUnusualSettingsText =
    "[Version]\nMajor=0\nMinor=9\n\n"
    "[Processing]\nColour=0\nDark=1\nFlat=1\nSynFlat=0\nHot=1\nStretch=2\nStretchFromRel=1.500000\n"
    "StretchToRel=99.250000\nStretchFromAbs=10.000000\nStretchToAbs=200.500000\nDeInterlace=3\nFitsScale=1\n\n"
    "[Flat]\nFilterWidth=64\nFilterHeight=32\nVarHi=7\nVarLo=6\nBorder=2\nCombine=2\nKappaLow=2.500000\n"
    "KappaHigh=4.000000\n\n[Dark]\nHot=180\nCold=20\nExpand=3\nCombine=1\nKappaLow=3.000000\nKappaHigh=3.000000\n";

// The settings as a project holds them; the golden test below pins that text.
std::string settingsText(const ProcessingSettings& settings) {
  test::TempDir dir;
  Engine engine;
  engine.Replace(settings, {}, FrameSize());
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
                    fits = deep + std::string(60, 'f') + ".fits", dark = dir.file("dark.bmp"), ser = odd + "moon.ser";
  for (const std::string& name : {bmp, broken, dark, fits}) make(name);
  make(avi, 4);
  make(ser, 3);
  Engine saved;
  saved.Replace(unusualSettings(), {}, FrameSize());
  appendEntry(saved, ListRole::Images, bmp);
  appendEntry(saved, ListRole::Images, broken);  // no line can hold its name: left out
  for (int32_t k = 0; k < 4; ++k) appendEntry(saved, ListRole::Images, avi, k)->enabled = k == 1 || k == 2;
  appendEntry(saved, ListRole::Images, fits, FrameFits)->enabled = false;
  for (int32_t k = 0; k < 3; ++k) appendEntry(saved, ListRole::Images, ser, k)->enabled = k != 1;
  appendEntry(saved, ListRole::Darks, dark);
  const std::string expected = kUnusualSettingsText + "\n[Image 1]\nFileName=" + bmp + "\nEnabled=1\n\n[Image 2]\n" +
                               "FileName=" + avi + "\nFrames=4\nEnabled 0=0\nEnabled 1=1\nEnabled 2=1\nEnabled 3=0\n" +
                               "\n[Image 3]\nFileName=" + fits + "\nEnabled=0\n\n[Image 4]\nFileName=" + ser +
                               "\nFrames=3\nEnabled 0=1\nEnabled 1=0\nEnabled 2=1\n\n[Dark 1]\nFileName=" + dark +
                               "\nEnabled=1\n";
  const std::string path = odd + "p [1].sjx";
  std::string why;
  std::vector<std::string> leftOut;
  ASSERT_TRUE(saveProject(path, saved, &why, &leftOut)) << why;
  EXPECT_EQ(std::pair(readText(path), leftOut), std::pair(expected, std::vector<std::string>{broken}));
  // What a user adds by hand is gone after the next save.
  writeText(path, readText(path) + "[Image 1]\nNote=mine\n[Mine]\nA=1\n");
  ASSERT_TRUE(saveProject(path, saved, &why)) << why;
  EXPECT_EQ(readText(path), expected);

  Engine opened;
  const OpenProjectResult result = openProject(path, opened);
  EXPECT_TRUE(result.status == OpenStatus::Opened && result.missingFiles.empty() && result.problems.empty());
  saved.RemoveEntries(ListRole::Images, 1);
  EXPECT_EQ(describeLists(opened, ""), describeLists(saved, ""));
  EXPECT_EQ(settingsText(opened.settings()), kUnusualSettingsText);
  EXPECT_EQ(std::vector<int32_t>({opened.frameSize().width, opened.frameSize().height, opened.list(ListRole::Images).focused}),
            std::vector<int32_t>({4, 2, 0}));

  // A save that fails, here at a file size limit, leaves the project byte for byte.
  appendEntry(opened, ListRole::Images, "/" + std::string(2000, 'n') + ".bmp");
  EXPECT_FALSE(test::underFileSizeLimit(1000, [&] { return saveProject(path, opened); }));
  EXPECT_EQ(readText(path), expected);

  // "New" keeps the colour mode (off here) and restores every other default; the window tests check the empty lists.
  ASSERT_TRUE(opened.Make(kMasterDarkBit));
  newProject(opened);
  ProcessingSettings defaults;
  defaults.processing.colour = false;
  EXPECT_EQ(settingsText(opened.settings()), settingsText(defaults));
  EXPECT_EQ(std::pair(opened.frameSize().width, opened.product(kMasterDarkBit) != nullptr), std::pair(-1, false));
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// Moved files are proven through the window.
TEST(ProjectTest, OpenKeepsMissingFilesAndPassesOverWhatItCannotUse) {
  test::TempDir dir;
  const std::string folder = dir.file("");
  for (const char* name : {"a.bmp", "bitmap.fit", "b.fits", "c.avi"}) make(dir.file(name));
  for (const char* name : {"big.bmp", "big.avi"}) make(dir.file(name), 2, 6, 3);
  writeText(dir.file("junk.bmp"), "this is no bitmap");
  writeText(dir.file("notes.txt"), "notes");
  ASSERT_EQ(::mkfifo(dir.file("fifo.bmp").c_str(), 0600), 0);
  // In `text`, "$" stands for the project's folder with its '/'. Each problem is named by its file (or key).
  const struct { const char* what; std::string text; std::vector<std::string> lists, problems, missing; } cases[] = {
      {"a frame that cannot be decoded is passed over; a missing section ends the list",
       "[Image 1]\nFileName=$junk.bmp\n[Image 2]\nFileName=$a.bmp\n[Image 4]\nFileName=$b.fits\n", {"I:a.bmp|-2|1"},
       {"$junk.bmp"}, {}},
      {"files are probed as on import: a file of no kind is passed over, the content decides the kind",
       "[Flat 1]\nFileName=$notes.txt\n[Flat 2]\nFileName=$bitmap.fit\n", {"F:bitmap.fit|-2|1"}, {"$notes.txt"}, {}},
      {"Frames 0, more Frames than the video has, and \"Frames\" where the file is no video and the other way round",
       "[Dark 1]\nFileName=$c.avi\nFrames=0\n[Dark 2]\nFileName=$c.avi\nFrames=1048576\nEnabled 1=0\n"
       "[Dark 3]\nFileName=$a.bmp\nFrames=2\n[Dark 4]\nFileName=$c.avi\nEnabled=1\n",
       {"D:c.avi|0|1", "D:c.avi|1|0"}, {"$c.avi", "$a.bmp", "$c.avi"}, {}},
      {"the first frame fixes the size; frames of another size are left out",
       "[Image 1]\nFileName=$a.bmp\n[Image 2]\nFileName=$big.bmp\n[Image 3]\nFileName=$big.avi\nFrames=2\n"
       "[Dark 1]\nFileName=$big.bmp\n[Dark 2]\nFileName=$b.fits\n",
       {"I:a.bmp|-2|1", "D:b.fits|-3|1"}, {"$big.bmp", "$big.avi", "$big.bmp"}, {}},
      {"a Windows path is looked for here", "[Image 1]\nFileName=C:\\old\\a.bmp\n", {"I:a.bmp|-2|1"}, {}, {}},
      {"missing files and a FIFO stay as stored, marked missing",
       "[Image 1]\nFileName=/gone/x.bmp\nEnabled=0\n[Image 2]\nFileName=$fifo.bmp\n[Image 3]\nFileName=/gone/v.avi\n"
       "Frames=3\nEnabled 1=0\n[Image 4]\nFileName=$a.bmp\n",
       {"I:/gone/x.bmp|-2|0|m", "I:fifo.bmp|-2|1|m", "I:/gone/v.avi|0|1|m", "I:/gone/v.avi|1|0|m",
        "I:/gone/v.avi|2|1|m", "I:a.bmp|-2|1"},
       {"$fifo.bmp"}, {"/gone/x.bmp", "$fifo.bmp", "/gone/v.avi"}},
  };
  std::string settings = replaceAll(kUnusualSettingsText, "FitsScale=1", "FitsScale=0");
  for (const char* combine : {"Combine=1", "Combine=2"}) settings = replaceAll(settings, combine, "Combine=0");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    writeText(dir.file("case.sjx"), replaceAll(c.text, "$", folder));
    Engine engine;
    // No case holds a setting: each keeps its value, but for the FITS scale, which a project without it reads as
    // brightest pixel, and the masters' combination, which it reads as Average.
    engine.Replace(unusualSettings(), {}, FrameSize{99, 99});
    appendEntry(engine, ListRole::Darks, dir.file("a.bmp"));  // replaced by the project's lists
    const OpenProjectResult result = openProject(dir.file("case.sjx"), engine);
    std::vector<std::string> problems, missing;
    for (const std::string& line : result.problems)
      problems.push_back(replaceAll(line.substr(0, line.find(": ")), folder, "$"));
    for (const std::string& path : result.missingFiles) missing.push_back(replaceAll(path, folder, "$"));
    EXPECT_EQ(std::tuple(result.status, describeLists(engine, folder), problems, missing, engine.frameSize().width),
              std::tuple(OpenStatus::Opened, c.lists, c.problems, c.missing, 4));
    EXPECT_EQ(settingsText(engine.settings()), settings);
  }

  // A save writes the missing entries back as they were stored.
  const std::string stored = kUnusualSettingsText + "\n[Image 1]\nFileName=/gone/x.bmp\nEnabled=0\n\n[Image 2]\n"
                             "FileName=/gone/v.avi\nFrames=3\nEnabled 0=1\nEnabled 1=0\nEnabled 2=1\n";
  writeText(dir.file("missing.sjx"), stored);
  Engine engine;
  ASSERT_EQ(openProject(dir.file("missing.sjx"), engine).missingFiles.size(), 2u);
  ASSERT_TRUE(saveProject(dir.file("missing.sjx"), engine));
  EXPECT_EQ(readText(dir.file("missing.sjx")), stored);
}

TEST(ProjectTest, WhatIsNotAProjectLeavesTheEngineAsItWasAndOpenBringsSettingsIntoTheirRanges) {
  test::TempDir dir;
  make(dir.file("a.bmp"));
  std::filesystem::create_directory(dir.file("folder.sjx"));
  ASSERT_EQ(::mkfifo(dir.file("fifo.sjx").c_str(), 0600), 0);
  writeText(dir.file("huge.sjx"), "[Dark]\n" + std::string(kMaxIniFileBytes, '\n'));
  writeText(dir.file("hand.sjx"), "[Dark]\nHot=90\n");  // written by hand: one section is enough
  writeText(dir.file("listed.sjx"), "[Image 1]\nFileName=" + dir.file("a.bmp") + "\n");  // read under a stop request
  const std::pair<const char*, OpenStatus> cases[] = {
      {"listed.sjx", OpenStatus::Stopped}, {"folder.sjx", OpenStatus::NotAProject},
      {"fifo.sjx", OpenStatus::NotAProject}, {"huge.sjx", OpenStatus::Unreadable}, {"hand.sjx", OpenStatus::Opened}};
  for (const auto& [name, status] : cases) {
    Engine engine;
    engine.Replace(unusualSettings(), {}, FrameSize{4, 2});
    appendEntry(engine, ListRole::Darks, dir.file("a.bmp"));
    std::stop_source stop;
    if (status == OpenStatus::Stopped) stop.request_stop();
    const StopScope scope(stop.get_token());
    const OpenProjectResult result = openProject(dir.file(name), engine);
    const bool kept = status != OpenStatus::Opened;  // the why, the entries, the frame width and the settings
    EXPECT_EQ(std::tuple(result.status, result.why.empty(), describeLists(engine, "").size(), engine.frameSize().width,
                         settingsText(engine.settings()) == kUnusualSettingsText),
              std::tuple(status, !kept, size_t{kept}, kept ? 4 : -1, kept)) << name;
  }
  // The settings file is read the same way: a FIFO or a huge file gives the defaults at once, and says why.
  for (const char* name : {"fifo.sjx", "huge.sjx"}) {
    std::string why;
    EXPECT_EQ(loadSettings(dir.file(name), WindowRect{1, 2, 3, 4}, &why).window, (WindowRect{1, 2, 3, 4})) << name;
    EXPECT_FALSE(why.empty()) << name;
  }

  // Settings out of range: a project's lines, what the open reports, and the line the next save writes.
  const struct { const char* lines; std::vector<std::string> changes; const char* saved; } ranges[] = {
      {"[Flat]\nFilterHeight=4294967396", {"Flat.FilterHeight: 4294967396 → 100000"}, "FilterHeight=100000\n"},
      {"[Flat]\nVarHi=300\nBorder=-2147483649", {"Flat.VarHi: 300 → 255", "Flat.Border: -2147483649 → 0"},
       "Border=0\n"},
      {"[Dark]\nCold= -5 \nExpand=-7", {"Dark.Cold: -5 → 0", "Dark.Expand: -7 → -1"}, "Cold=0\n"},
      {"[Flat]\nCombine=3\nKappaLow=0.5", {"Flat.Combine: 3 → 2", "Flat.KappaLow: 0.5 → 1"}, "KappaLow=1.000000\n"},
      {"[Processing]\nStretch=7\nDeInterlace=-1\nFitsScale=7",
       {"Processing.Stretch: 7 → 2", "Processing.DeInterlace: -1 → 0", "Processing.FitsScale: 7 → 1"},
       "DeInterlace=0\nFitsScale=1\n"},
      {"[Processing]\nStretchToRel=-1e308", {"Processing.StretchToRel: -1e308 → 0"}, "StretchToRel=0.000000\n"},
      {"[Processing]\nStretchToRel=150\nStretchToAbs=nan",
       {"Processing.StretchToRel: 150 → 100", "Processing.StretchToAbs: nan → 0"}, "StretchToAbs=0.000000\n"},
      {"[Processing]\nStretchFromRel=95\nStretchToRel=5",
       {"Processing.StretchFromRel: 95 → 5", "Processing.StretchToRel: 5 → 95"}, "StretchFromRel=5.000000\n"},
  };
  for (const auto& c : ranges) {
    writeText(dir.file("p.sjx"), std::string(c.lines) + "\n");
    Engine engine;
    EXPECT_EQ(openProject(dir.file("p.sjx"), engine).settingChanges, c.changes) << c.lines;
    EXPECT_NE(settingsText(engine.settings()).find(c.saved), std::string::npos) << c.lines;
  }
}

}  // namespace
}  // namespace stelp
