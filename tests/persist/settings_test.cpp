#include <array>
#include <cstdlib>
#include <optional>
#include <tuple>
#include <utility>

#include "image/test_util.h"
#include "persist/ini.h"
#include "persist/launch_counter.h"
#include "persist/profile_store.h"
#include "persist/settings_file.h"

namespace stelp {
namespace {

using test::readText, test::writeText;

// CR LF is proven by the settings file below.
TEST(ProfileStoreTest, ReadsFollowTheInitialisationFileRulesAndANamedFileIsRewrittenWholeThroughALink) {
  IniFile document = IniFile::parse("; a comment\n[Store]\nInt=-5\n  Spaced = 42  \nJunk=abc\nEmpty=\nFloat=12.5\n"
                                    "Wide=4294967301\nPadded=0000000000000000000050\nTwice=1\nTwice=2\n"
                                    "Long=" + std::string(300, 'v') + "\n[Other]\nOnlyHere=9\n[store]\nLate=1\n");
  ProfileStore store(document);
  store.SetSection("STORE");  // names compare without regard to case

  // Each variable starts at a value of its own, which a missing key leaves.
  for (const auto& [key, expected] : {std::pair<const char*, int32_t>{"int", -5}, {"Spaced", 42}, {"Junk", 0},
                                      {"Empty", 3}, {"Missing", 3}, {"OnlyHere", 3},
                                      {"Wide", 5},                   // past 32 bits: wraps around
                                      {"Twice", 1}, {"Late", 3}}) {  // the first key and section of a name count
    int32_t value = 3;
    EXPECT_EQ((store.ReadIntInPlace(key, value), value), expected) << key;
  }
  for (const auto& [key, converted, expected] : {std::tuple<const char*, int, float>{"Float", 1, 12.5f},
                                                 {"Junk", 0, 0.1234567f}, {"Missing", 1, 0.123457f},
                                                 {"Padded", 1, 0.0f}}) {  // 19 characters are scanned
    float value = 0.1234567f;  // a missing key gives it back through six decimals
    EXPECT_EQ(store.ReadFloatInPlace(key, value), converted) << key;
    EXPECT_EQ(value, expected) << key;
  }
  EXPECT_EQ(store.ReadString("Long") + "|" + store.ReadString("Spaced") + "|" + store.ReadString("Missing", "x"),
            std::string(300, 'v') + "|42|x");
  EXPECT_EQ(formatFloat(3.4e38f).size(), 46u) << "the largest floats are written whole";

  test::TempDir dir;
  const std::string target = dir.file("target.ini");
  ProfileStore named(target);
  named.SetSection("A");
  ASSERT_TRUE(named.WriteInt("K", 0)) << named.lastError();  // makes the file
  std::filesystem::create_symlink("target.ini", dir.file("link.ini"));
  ProfileStore link(dir.file("link.ini"));
  link.SetSection("B");
  EXPECT_TRUE(link.WriteString("Name", "x"));
  link.SetSection("A");
  EXPECT_TRUE(link.WriteInt("L", 2));
  int32_t value = 0;
  EXPECT_EQ(named.ReadInt("L", value, 9), 2);
  EXPECT_EQ(readText(target), "[A]\nK=0\nL=2\n\n[B]\nName=x\n");
  // Rewrites go through FileOutput (which keeps the link and permissions) and refuse what is not a regular file.
  std::filesystem::create_directory(dir.file("folder.ini"));
  std::string why;
  EXPECT_FALSE(writeFileAtomically(dir.file("folder.ini"), "[A]\n", &why));
  EXPECT_NE(why.find("not a regular file"), std::string::npos) << why;
}

TEST(IniFileTest, ValuesAndBlankLinesComeBackAsTheyWereAndBadValuesAreRefused) {
  const std::string kept[] = {"", " lead", "trail\t", "\"quoted\"", "\"", "x=y", "[a]", "; b", "ü 日本"};
  IniFile document;
  for (size_t i = 0; i < std::size(kept); ++i) ASSERT_TRUE(document.set("S", "K" + std::to_string(i), kept[i]));
  const IniFile reread = IniFile::parse(document.serialise());
  for (size_t i = 0; i < std::size(kept); ++i) EXPECT_EQ(reread.get("S", "K" + std::to_string(i)), kept[i]);

  const std::string before = document.serialise();
  for (const auto& [section, key, value] : {std::array<const char*, 3>{"S", "K", "two\nlines"}, {"S", "K", "cr\r"},
                                            {"S", "a=b", "1"}, {"S", "", "1"}, {"S", ";K", "1"}, {"a]b", "K", "1"},
                                            {"", "K", "1"}, {" S", "K", "1"}}) {
    std::string why;
    EXPECT_FALSE(document.set(section, key, value, &why) || why.empty()) << section << "/" << key;
  }
  EXPECT_EQ(document.serialise(), before);

  // Runs of blank lines are held as one record each: they come back as they were, and keys still go after the last line
  // of their section that is not blank.
  for (const auto& [text, after] : {
           std::pair<std::string, std::string>{"\n \n\t\n[A]\n\n\nK=1\n  \n\n",
                                               "\n \n\t\n[A]\n\n\nK=1\nL=2\n  \n\n[B]\nM=3\n"},
           {"[A]\r\n\r\r\n \r\nK=1\r\r\n\r\n", "[A]\r\n\r\n \r\nK=1\r\nL=2\r\n\r\n[B]\r\nM=3\r\n"},
           {"\n\n", "\n\n[A]\nL=2\n\n[B]\nM=3\n"}}) {
    IniFile edited = IniFile::parse(text);
    ASSERT_TRUE(edited.set("A", "L", "2") && edited.set("B", "M", "3"));
    EXPECT_EQ(edited.serialise(), after);
    EXPECT_EQ(IniFile::parse(after).serialise(), after);
  }
}

constexpr CalendarDay kMarch5{5, 3}, kMarch6{6, 3};

// Filters and window across a restart, and loading "Filter" 32, are proven through the window.
TEST(SettingsFileTest, SaveKeepsTheRestLoadFillsDefaultsAndTheFileIsInTheConfigFolder) {
  test::TempDir dir;
  const std::vector<int32_t> saved{-4, 7, 1024, 768, 2, 3, 715246};
  // The file before (none: neither it nor its folder exists) and after saving (none: not saved), and what loads
  // from it (x, y, width, height, the two filters and the flags) while the window stands at 10, 20, 800 x 600.
  const struct { const char* before; const char* after; std::vector<int32_t> loaded; } cases[] = {
      {nullptr, "[Window]\nX=-4\nY=7\nW=1024\nH=768\n\n[Settings]\nFilter=32\nFlags=715246\n", saved},
      // A byte order mark, CR LF, comments, a key's spelling and blanks stay; new keys follow their section's end.
      {"\xEF\xBB\xBF; mine\r\n[window]\r\nh = 1\r\nTheme=dark\r\n\r\n[Recent]\r\n# a\r\nFile1=/a b.sjx\r\n",
       "\xEF\xBB\xBF; mine\r\n[window]\r\nh = 768\r\nTheme=dark\r\nX=-4\r\nY=7\r\nW=1024\r\n\r\n[Recent]\r\n# a\r\n"
       "File1=/a b.sjx\r\n\r\n[Settings]\r\nFilter=32\r\nFlags=715246\r\n",
       saved},
      {nullptr, nullptr, {10, 20, 800, 600, 0, 0, -1}},
      {"[Window]\nX=\nY=5\nH=9\n[Settings]\nFilter=junk\nFlags=2\n", nullptr, {10, 5, 800, 9, 0, 0, 2}},
  };
  const SettingsToSave values{WindowRect{-4, 7, 1024, 768}, 2, 3, 21, kMarch5, {}};
  std::string why;
  for (const auto& c : cases) {
    const std::string path = dir.file(std::to_string(&c - cases) + (c.before ? ".ini" : "/Stelp.ini"));
    if (c.before) writeText(path, c.before);
    for (int save = 0; c.after && save < 2; ++save) {  // saving again changes the values in place
      ASSERT_TRUE(saveSettings(path, values, &why)) << why;
      EXPECT_EQ(readText(path), c.after);
    }
    const StoredSettings s = loadSettings(path, WindowRect{10, 20, 800, 600});
    EXPECT_EQ(std::vector<int32_t>({s.window.x, s.window.y, s.window.width, s.window.height, s.processedFilterIndex,
                                    s.masterFilterIndex, s.flags}), c.loaded) << (c.before ? c.before : "no file");
  }

  const char* const names[] = {"HOME", "XDG_CONFIG_HOME"};
  std::optional<std::string> previous[2];
  for (int i = 0; i < 2; ++i)
    if (const char* value = std::getenv(names[i])) previous[i] = value;
  ::setenv("HOME", "/home/astro", 1);
  std::vector<std::string> paths;
  for (const char* value : {"/etc/cfg", "", "relative/cfg"}) {  // unset, and a relative value, are passed over
    *value ? ::setenv(names[1], value, 1) : ::unsetenv(names[1]);
    paths.push_back(settingsFilePath());
  }
  for (int i = 0; i < 2; ++i) previous[i] ? ::setenv(names[i], previous[i]->c_str(), 1) : ::unsetenv(names[i]);
  EXPECT_EQ(paths, std::vector<std::string>({"/etc/cfg/Stelp.ini", "/home/astro/.config/Stelp.ini",
                                             "/home/astro/.config/Stelp.ini"}));
}

// The reminder at 18 -> 20 and "Already donated" are proven through the window.
TEST(LaunchCounterTest, CountsNewDaysAndReminderChoicesSetOrClearTheAnsweredBit) {
  // The counter stored on 5 March (-1: none), the day of the start, and the counter and dialog ('-' none,
  // 'W' welcome, 'R' reminder) of that start: first start, same day, answered, reminder, too early, the cap.
  for (const auto& [stored, today, expected] :
       {std::tuple{-1, kMarch5, "1W"}, {1, kMarch5, "1-"}, {19, kMarch6, "21-"}, {28, kMarch6, "30R"},
        {20, kMarch6, "22-"}, {8, kMarch6, "10-"}, {997, kMarch6, "999-"}, {998, kMarch6, "998-"}}) {
    const LaunchCount count = CountLaunch(stored < 0 ? kNoFlags : packFlags(stored, kMarch5), today);
    EXPECT_EQ(std::to_string(count.launchCounter) + "-WR"[static_cast<int>(count.dialog)], expected) << stored;
  }
  const ReminderOutcome later = ApplyReminderChoice(21, ReminderChoice::RemindLater);
  const ReminderOutcome no = ApplyReminderChoice(20, ReminderChoice::NoDonation);
  EXPECT_TRUE(later.launchCounter == 20 && later.message.empty() && !later.openWebsite);
  EXPECT_TRUE(no.launchCounter == 21 && !no.message.empty() && !no.openWebsite);
  EXPECT_EQ(occasionsText(1), "You have used Stelp on 0 different occasions.") << "Payment on the first day";
}

}  // namespace
}  // namespace stelp
