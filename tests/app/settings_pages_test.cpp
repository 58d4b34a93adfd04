#include "app/settings_pages.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <cmath>
#include <limits>
#include <vector>

namespace stelp {
namespace {

// Long enough for one refresh timer to run out, with room for a slow machine.
constexpr int kWaitMs = 5000;

DialogUnits testUnits() { return DialogUnits(QApplication::font()); }

TEST(SettingsPageFields, ParseAndFormat) {
  const struct {
    const char* text;
    int32_t value;
  } ints[] = {{" 42x", 42},  {"\t-7", -7}, {"+3", 3}, {"", 0}, {"x1", 0}, {"- 1", 0},
              {"99999999999", std::numeric_limits<int32_t>::max()},
              {"-99999999999", std::numeric_limits<int32_t>::min()}};
  for (const auto& c : ints) EXPECT_EQ(parseIntField(QString::fromLatin1(c.text)), c.value) << c.text;

  const struct {
    const char* text;
    float value;
  } floats[] = {{" 1.5", 1.5f}, {"+2e1", 20.0f}, {"-3", -3.0f}, {".5x", 0.5f}, {"x", 0.0f}, {"", 0.0f}, {"+-1", 0.0f}};
  for (const auto& c : floats) EXPECT_EQ(parseFloatField(QString::fromLatin1(c.text)), c.value) << c.text;
  EXPECT_TRUE(std::isinf(parseFloatField(QStringLiteral("1e60"))));

  const struct {
    float value;
    const char* text;
  } formats[] = {{0.0f, "0"}, {100.0f, "100"}, {255.0f, "255"}, {0.5f, "0.5"}, {-12.25f, "-12.25"}};
  for (const auto& c : formats) EXPECT_EQ(formatFloatField(c.value), QString::fromLatin1(c.text));
  EXPECT_EQ(parseFloatField(formatFloatField(0.1f)), 0.1f);
}

TEST(SettingsPageRefresh, LoadingIsNoEdit) {
  const DialogUnits units = testUnits();
  ImagesPage images(units, nullptr);
  FlatsPage flats(units, nullptr);
  DarksPage darks(units, nullptr);
  const std::vector<SettingsPage*> pages = {&images, &flats, &darks};
  std::vector<std::unique_ptr<QSignalSpy>> spies;
  for (SettingsPage* page : pages) spies.push_back(std::make_unique<QSignalSpy>(page, &SettingsPage::command));

  ProcessingGroup processing;
  processing.stretch = 2;
  processing.deInterlace = 3;
  images.setFromSettings(processing);
  flats.setFromSettings(FlatGroup{});
  darks.setFromSettings(DarkGroup{});
  for (SettingsPage* page : pages) page->Load();

  EXPECT_EQ(images.stretchList()->currentIndex(), 2);
  EXPECT_EQ(images.toEdit()->text(), QStringLiteral("255"));
  EXPECT_EQ(flats.filterWidthEdit()->text(), QStringLiteral("100"));
  EXPECT_EQ(darks.hotEdit()->text(), QStringLiteral("200"));
  for (SettingsPage* page : pages) EXPECT_FALSE(page->refreshPending()) << page->objectName().toStdString();
  QTest::qWait(kRefreshDelayMs + 100);
  for (const auto& spy : spies) EXPECT_EQ(spy->count(), 0);
}

TEST(SettingsPageRefresh, TypingSendsOneCommandAfterTheLastKey) {
  FlatsPage page(testUnits(), nullptr);
  page.setFromSettings(FlatGroup{});
  page.Load();
  page.show();
  QSignalSpy spy(&page, &SettingsPage::command);

  page.filterWidthEdit()->clear();
  std::vector<int32_t> seen;
  for (const char key : {'1', '5', '0'}) {
    QTest::keyClick(page.filterWidthEdit(), key);
    seen.push_back(page.filterWidth);
  }
  EXPECT_EQ(seen, (std::vector<int32_t>{1, 15, 150}));
  EXPECT_TRUE(page.refreshPending());
  EXPECT_EQ(spy.count(), 0);

  ASSERT_TRUE(spy.wait(kWaitMs));
  QTest::qWait(kRefreshDelayMs + 100);
  EXPECT_EQ(spy.count(), 1);
  EXPECT_FALSE(page.refreshPending());
  EXPECT_EQ(page.values().filterWidth, 150);
  EXPECT_EQ(page.values().filterHeight, 50);
}

TEST(SettingsPageRefresh, ClearedHotLevelStoresZero) {
  DarksPage page(testUnits(), nullptr);
  DarkGroup dark;
  dark.cold = 7;
  page.setFromSettings(dark);
  page.Load();
  QSignalSpy spy(&page, &SettingsPage::command);

  page.hotEdit()->clear();
  EXPECT_EQ(page.hot, 0);
  ASSERT_TRUE(spy.wait(kWaitMs));
  EXPECT_EQ(page.values().hot, 0u);
  EXPECT_EQ(page.values().cold, 7u);
}

TEST(SettingsPageEntry, DigitsOnlyAndAnyTextEdits) {
  FlatsPage page(testUnits(), nullptr);
  page.setFromSettings(FlatGroup{});
  page.Load();
  page.show();

  const struct {
    QLineEdit* edit;
    const char* typed;
    const char* shown;
    const int32_t* field;
    int32_t stored;
  } cases[] = {
      {page.filterWidthEdit(), "a1b2", "12", &page.filterWidth, 12},
      {page.varHiEdit(), "x9", "9", &page.varHi, 9},
      {page.varLoEdit(), "-3", "3", &page.varLo, 3},
      {page.filterHeightEdit(), " 12abc", " 12abc", &page.filterHeight, 12},
      {page.borderEdit(), "abc", "abc", &page.border, 0},
  };
  for (const auto& c : cases) {
    c.edit->clear();
    QTest::keyClicks(c.edit, QString::fromLatin1(c.typed));
    EXPECT_EQ(c.edit->text(), QString::fromLatin1(c.shown)) << c.typed;
    EXPECT_EQ(*c.field, c.stored) << c.typed;
  }
}

TEST(ImagesPageTest, FlatsAndSyntheticAreCoupled) {
  ImagesPage page(testUnits(), nullptr);
  ProcessingGroup processing;
  processing.dark = true;
  page.setFromSettings(processing);
  page.Load();
  EXPECT_TRUE(page.darkCheck()->isChecked());
  EXPECT_FALSE(page.hotCheck()->isChecked());

  page.synFlatCheck()->click();
  EXPECT_TRUE(page.flatCheck()->isChecked());
  EXPECT_EQ(page.flat, 1);
  EXPECT_EQ(page.synFlat, 1);
  EXPECT_TRUE(page.refreshPending());

  page.flatCheck()->click();
  EXPECT_FALSE(page.synFlatCheck()->isChecked());
  EXPECT_EQ(page.flat, 0);
  EXPECT_EQ(page.synFlat, 0);

  const ImagesPageValues values = page.values();
  EXPECT_TRUE(values.dark);
  EXPECT_FALSE(values.hot);
  EXPECT_FALSE(values.flat);
  EXPECT_FALSE(values.synFlat);
}

TEST(ImagesPageTest, EachStretchModeKeepsItsBounds) {
  ImagesPage page(testUnits(), nullptr);
  ProcessingGroup processing;
  processing.stretch = 1;
  processing.stretchFromRel = 1.0f;
  processing.stretchToRel = 99.0f;
  processing.stretchFromAbs = 10.0f;
  processing.stretchToAbs = 240.0f;
  page.setFromSettings(processing);
  page.Load();

  const struct {
    int mode;
    const char* from;
    const char* to;
    bool enabled;
  } steps[] = {{2, "10", "240", true}, {0, "0", "255", false}, {1, "1", "99", true}};
  for (const auto& s : steps) {
    page.stretchList()->setCurrentIndex(s.mode);
    EXPECT_EQ(page.stretch, s.mode);
    EXPECT_EQ(page.fromEdit()->text(), QString::fromLatin1(s.from)) << s.mode;
    EXPECT_EQ(page.toEdit()->text(), QString::fromLatin1(s.to)) << s.mode;
    EXPECT_EQ(page.fromEdit()->isEnabled(), s.enabled) << s.mode;
    EXPECT_EQ(page.toEdit()->isEnabled(), s.enabled) << s.mode;
    EXPECT_TRUE(page.refreshPending());
  }

  // An edit in "pix stretch" goes to the pixel pair only.
  page.stretchList()->setCurrentIndex(2);
  page.fromEdit()->setText(QStringLiteral("12"));
  const ImagesPageValues values = page.values();
  EXPECT_EQ(values.stretch, 2);
  EXPECT_EQ(values.stretchFromRel, 1.0f);
  EXPECT_EQ(values.stretchToRel, 99.0f);
  EXPECT_EQ(values.stretchFromAbs, 12.0f);
  EXPECT_EQ(values.stretchToAbs, 240.0f);
}

TEST(ImagesPageTest, AcceptedDeInterlaceChoiceIsAnEdit) {
  ImagesPage page(testUnits(), nullptr);
  page.setFromSettings(ProcessingGroup{});
  page.Load();
  page.show();
  ASSERT_FALSE(page.refreshPending());

  QTest::keyClick(page.deInterlaceList(), Qt::Key_Down);
  EXPECT_EQ(page.deInterlace, 1);
  EXPECT_EQ(page.values().deInterlace, 1);
  EXPECT_TRUE(page.refreshPending());
}

}  // namespace
}  // namespace stelp
