#include "persist/ini.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

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

const std::string kLongValue(300, 'v');

// The same document with LF and with CR LF line ends.
std::string storeText(const std::string& lineEnd) {
  const std::string lines[] = {"; a comment", "[Store]", "Int=-5", "  Spaced = 42  ", "Junk=abc", "Empty=",
                               "Two=2", "Float=12.5", "Signed=+7", "Wide=4294967301", "Twice=1", "Twice=2",
                               "Long=" + kLongValue, "[Other]", "OnlyHere=9", "[store]", "Late=1"};
  std::string text;
  for (const std::string& line : lines) text += line + lineEnd;
  return text;
}

TEST(ProfileStoreTest, ReadsFollowTheInitialisationFileRules) {
  for (const std::string lineEnd : {"\n", "\r\n"}) {
    SCOPED_TRACE(lineEnd == "\n" ? "LF" : "CR LF");
    IniFile document = IniFile::parse(storeText(lineEnd));
    ProfileStore store(document);
    store.SetSection("STORE");  // names compare without regard to case

    struct IntCase {
      const char* key;
      int32_t expected;  // the variable starts at 3
    };
    const IntCase ints[] = {
        {"int", -5},      {"Spaced", 42},     {"Junk", 0},  // no digits: 0
        {"Empty", 3},     {"Missing", 3},     {"OnlyHere", 3},  // only in another section
        {"Signed", 7},    {"Wide", 5},        {"Twice", 1},     // the first key of a name wins
        {"Late", 3},  // a second section of the same name is not searched
    };
    for (const IntCase& c : ints) {
      int32_t value = 3;
      store.ReadIntInPlace(c.key, value);
      EXPECT_EQ(value, c.expected) << c.key;
    }

    struct BoolCase {
      const char* key;
      bool initial;
      bool expected;
    };
    const BoolCase bools[] = {{"Two", false, true}, {"Junk", true, false}, {"Missing", true, true},
                              {"Missing", false, false}, {"Empty", true, true}};
    for (const BoolCase& c : bools) {
      bool value = c.initial;
      store.ReadBoolInPlace(c.key, value);
      EXPECT_EQ(value, c.expected) << c.key << " from " << c.initial;
    }

    struct UnsignedCase {
      const char* key;
      uint32_t expected;  // the variable starts at 7
      int converted;
    };
    const UnsignedCase unsigneds[] = {{"Empty", 7, 0}, {"Junk", 7, 0}, {"Missing", 7, 1},
                                      {"Int", 4294967291u, 1}, {"Wide", 4294967295u, 1}};
    for (const UnsignedCase& c : unsigneds) {
      uint32_t value = 7;
      EXPECT_EQ(store.ReadUnsignedInPlace(c.key, value), c.converted) << c.key;
      EXPECT_EQ(value, c.expected) << c.key;
    }

    float value = 0.1234567f;
    EXPECT_EQ(store.ReadFloatInPlace("Missing", value), 1);
    EXPECT_EQ(value, 0.123457f) << "a missing key gives the value back through six decimals";
    EXPECT_EQ(store.ReadFloatInPlace("Float", value), 1);
    EXPECT_EQ(value, 12.5f);
    EXPECT_EQ(store.ReadFloatInPlace("Junk", value), 0);
    EXPECT_EQ(value, 12.5f);

    std::string text;
    EXPECT_EQ(store.ReadString("Long", text, 260), 259u);
    EXPECT_EQ(text, kLongValue.substr(0, 259));
    EXPECT_EQ(store.ReadString("Long", text, kWholeText), 300u);
    EXPECT_EQ(store.ReadString("Missing", text, 260, "fallback"), 8u);
    EXPECT_EQ(text, "fallback");
    EXPECT_EQ(store.ReadString("Missing", text, 260), 0u);
    EXPECT_EQ(store.ReadString("Spaced", text, 260), 2u) << "the blanks around a value are not part of it";
  }
}

TEST(ProfileStoreTest, WritesUseTheFixedValueTexts) {
  IniFile document;
  ProfileStore store(document);
  store.SetSection("S");
  store.WriteFloat("Hundred", 100.0f);
  store.WriteFloat("Half", 0.5f);
  store.WriteFloat("Negative", -1.25f);
  store.WriteFloat("Tiny", 0.1234567f);
  store.WriteBool("True", true);
  store.WriteBool("False", false);
  store.WriteInt("Int", -5);
  store.WriteUnsigned("Unsigned", 4294967295u);
  store.WriteString("Text", "a=b;c#d [e]");
  EXPECT_EQ(document.serialise(),
            "[S]\nHundred=100.000000\nHalf=0.500000\nNegative=-1.250000\nTiny=0.123457\nTrue=1\nFalse=0\n"
            "Int=-5\nUnsigned=4294967295\nText=a=b;c#d [e]\n");
  EXPECT_EQ(formatFloat(3.4e38f).size(), 46u) << "the largest floats are written whole";
}

TEST(IniFileTest, SetReplacesInPlaceAppendsToItsSectionAndKeepsTheRest) {
  IniFile document = IniFile::parse(
      "\xEF\xBB\xBF# kept as it is\r\n[Window]\r\nx = 1\r\nKeep=yes\r\n\r\n[Other]\r\n; note\r\nA=1\r\n");
  ASSERT_TRUE(document.set("window", "X", "5"));
  ASSERT_TRUE(document.set("Window", "W", "640"));
  ASSERT_TRUE(document.set("Settings", "Filter", "32"));
  ASSERT_TRUE(document.set("Settings", "Flags", "715246"));
  EXPECT_EQ(document.serialise(),
            "\xEF\xBB\xBF# kept as it is\r\n[Window]\r\nx = 5\r\nKeep=yes\r\nW=640\r\n\r\n[Other]\r\n; note\r\n"
            "A=1\r\n\r\n[Settings]\r\nFilter=32\r\nFlags=715246\r\n");
}

TEST(IniFileTest, ValuesComeBackAsTheyWereSetOrAreRefused) {
  const std::string kept[] = {"", " lead", "trail\t", "\"quoted\"", "\"", "x=y", "[a]", "; b", "ü 日本"};
  IniFile document;
  for (size_t i = 0; i < std::size(kept); ++i) ASSERT_TRUE(document.set("S", "K" + std::to_string(i), kept[i]));
  const IniFile reread = IniFile::parse(document.serialise());
  for (size_t i = 0; i < std::size(kept); ++i) EXPECT_EQ(reread.get("S", "K" + std::to_string(i)), kept[i]);

  struct Refused {
    const char* section;
    const char* key;
    const char* value;
  };
  const Refused refused[] = {{"S", "K", "two\nlines"}, {"S", "K", "cr\r"}, {"S", "a=b", "1"},
                             {"S", "", "1"},           {"S", ";K", "1"},    {"a]b", "K", "1"},
                             {"", "K", "1"},           {" S", "K", "1"}};
  const std::string before = document.serialise();
  for (const Refused& r : refused) {
    std::string why;
    EXPECT_FALSE(document.set(r.section, r.key, r.value, &why)) << r.section << "/" << r.key;
    EXPECT_FALSE(why.empty());
  }
  EXPECT_EQ(document.serialise(), before);
}

TEST(ProfileStoreTest, NamedFileIsRewrittenWholeKeepingLinksAndPermissions) {
  test::TempDir dir;
  const std::string target = dir.file("target.ini");
  writeText(target, "[A]\nK=0\n");
  ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
  std::filesystem::create_symlink("target.ini", dir.file("link.ini"));
  ProfileStore store(dir.file("link.ini"));
  store.SetSection("B");
  EXPECT_TRUE(store.WriteString("Name", "x"));
  store.SetSection("A");
  EXPECT_TRUE(store.WriteInt("L", 2));
  EXPECT_FALSE(store.WriteString("Bad", "a\nb"));
  EXPECT_FALSE(store.lastError().empty());
  EXPECT_EQ(readText(target), "[A]\nK=0\nL=2\n\n[B]\nName=x\n");
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link.ini")));
  struct stat info {};
  ASSERT_EQ(::stat(target.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);

  // What cannot be read is not replaced, and a failed rewrite leaves nothing.
  std::filesystem::create_directory(dir.file("folder.ini"));
  ProfileStore folder(dir.file("folder.ini"));
  folder.SetSection("A");
  EXPECT_FALSE(folder.WriteInt("K", 1));
  std::string why;
  EXPECT_FALSE(writeFileAtomically(dir.file("missing/file.ini"), "x", &why));
  EXPECT_NE(why.find("missing/file.ini"), std::string::npos) << why;
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("")), {}), 3) << "no file left behind";
}

}  // namespace
}  // namespace stelp
