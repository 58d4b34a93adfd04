#include "persist/settings_file.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "image/test_util.h"

namespace stelp {
namespace {

std::string readText(const std::string& path) {
  const test::Bytes bytes = test::readFile(path);
  return std::string(bytes.begin(), bytes.end());
}

void writeText(const std::string& path, const std::string& text) {
  test::writeFile(path, test::Bytes(text.begin(), text.end()));
}

const WindowRect kPresent{10, 20, 800, 600};

TEST(SettingsFileTest, SavesAndLoadsTheWindowFiltersAndFlags) {
  test::TempDir dir;
  const std::string path = dir.file("config/Stelp.ini");  // the folder is made on saving
  SettingsToSave values;
  values.restored = WindowRect{-4, 7, 1024, 768};
  values.processedFilterIndex = 2;
  values.masterFilterIndex = 3;
  values.launchCounter = 21;
  values.today = CalendarDay{5, 3};
  std::string why;
  ASSERT_TRUE(saveSettings(path, values, &why)) << why;
  EXPECT_EQ(readText(path), "[Window]\nX=-4\nY=7\nW=1024\nH=768\n\n[Settings]\nFilter=32\nFlags=715246\n");

  const StoredSettings loaded = loadSettings(path, kPresent);
  EXPECT_EQ(loaded.window, values.restored);
  EXPECT_EQ(loaded.processedFilterIndex, 2);
  EXPECT_EQ(loaded.masterFilterIndex, 3);
  EXPECT_EQ(loaded.flags, 715246);

  // Saving again over the file rewrites the keys in place: the same text.
  ASSERT_TRUE(saveSettings(path, values, &why)) << why;
  EXPECT_EQ(readText(path), "[Window]\nX=-4\nY=7\nW=1024\nH=768\n\n[Settings]\nFilter=32\nFlags=715246\n");
}

TEST(SettingsFileTest, MissingValuesGiveTheDefaults) {
  test::TempDir dir;
  struct Case {
    const char* text;  // none: no file at all
    WindowRect window;
    int32_t processed;
    int32_t master;
    int32_t flags;
  };
  const Case cases[] = {
      {nullptr, kPresent, 0, 0, kNoFlags},
      {"[Settings]\nFilter=3\n", kPresent, 3, 0, kNoFlags},
      {"[Window]\nY=5\nH=9\n[Settings]\nFlags=2\n", WindowRect{10, 5, 800, 9}, 0, 0, 2},
      {"[Window]\nX=\n[Settings]\nFilter=junk\n", kPresent, 0, 0, kNoFlags},
  };
  int file = 0;
  for (const Case& c : cases) {
    const std::string path = dir.file("s" + std::to_string(file++) + ".ini");
    if (c.text) writeText(path, c.text);
    const StoredSettings loaded = loadSettings(path, kPresent);
    EXPECT_EQ(loaded.window, c.window) << (c.text ? c.text : "no file");
    EXPECT_EQ(loaded.processedFilterIndex, c.processed) << (c.text ? c.text : "no file");
    EXPECT_EQ(loaded.masterFilterIndex, c.master) << (c.text ? c.text : "no file");
    EXPECT_EQ(loaded.flags, c.flags) << (c.text ? c.text : "no file");
  }
}

TEST(SettingsFileTest, SaveKeepsTheRestOfTheFileOrFailsWithoutTouchingIt) {
  test::TempDir dir;
  const std::string path = dir.file("Stelp.ini");
  writeText(path, "; mine\r\n[window]\r\nh=1\r\nTheme=dark\r\n[Recent]\r\nFile1=/a b.sjx\r\n");
  SettingsToSave values;
  values.restored = WindowRect{1, 2, 3, 4};
  values.launchCounter = 1;
  values.today = CalendarDay{1, 1};
  std::string why;
  ASSERT_TRUE(saveSettings(path, values, &why)) << why;
  EXPECT_EQ(readText(path),
            "; mine\r\n[window]\r\nh=4\r\nTheme=dark\r\nX=1\r\nY=2\r\nW=3\r\n[Recent]\r\nFile1=/a b.sjx\r\n\r\n"
            "[Settings]\r\nFilter=0\r\nFlags=236846\r\n");

  // A folder where the configuration folder should be: nothing is written.
  writeText(dir.file("plain"), "x");
  EXPECT_FALSE(saveSettings(dir.file("plain/Stelp.ini"), values, &why));
  EXPECT_FALSE(why.empty());
  EXPECT_EQ(readText(dir.file("plain")), "x");
}

// Sets an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value)
      ::setenv(name, value, 1);
    else
      ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_)
      ::setenv(name_, old_->c_str(), 1);
    else
      ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(SettingsFileTest, TheFileLivesInTheConfigurationFolder) {
  ScopedEnv home("HOME", "/home/astro");
  struct Case {
    const char* xdg;
    const char* expected;
  };
  const Case cases[] = {
      {"/etc/cfg", "/etc/cfg/Stelp.ini"},
      {nullptr, "/home/astro/.config/Stelp.ini"},
      {"relative/cfg", "/home/astro/.config/Stelp.ini"},  // a relative value is ignored
  };
  for (const Case& c : cases) {
    ScopedEnv xdg("XDG_CONFIG_HOME", c.xdg);
    EXPECT_EQ(settingsFilePath(), c.expected) << (c.xdg ? c.xdg : "unset");
  }
}

}  // namespace
}  // namespace stelp
