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

DialogUnits testUnits() { return DialogUnits(QApplication::font()); }

template <typename Page, typename Group>
void load(Page& page, const Group& settings) {
  page.setFromSettings(settings);
  page.Load();
}

TEST(SettingsPageFields, ParseAndFormat) {
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  const struct {
    const char* text;
    int32_t value;
  } ints[] = {{" 42x", 42}, {"\t-7", -7}, {"+3", 3},  {"", 0}, {"x1", 0}, {"- 1", 0}, {"99999999999", kMax},
              {"-99999999999", std::numeric_limits<int32_t>::min()}};
  for (const auto& c : ints) EXPECT_EQ(parseIntField(QString::fromLatin1(c.text)), c.value) << c.text;

  const struct {
    const char* text;
    float value;
  } floats[] = {{" 1.5", 1.5f}, {"+2e1", 20.0f}, {"-3", -3.0f}, {".5x", 0.5f}, {"x", 0.0f}, {"", 0.0f}, {"+-1", 0.0f}};
  for (const auto& c : floats) EXPECT_EQ(parseFloatField(QString::fromLatin1(c.text)), c.value) << c.text;
  EXPECT_TRUE(std::isinf(parseFloatField(QStringLiteral("1e60"))));

  for (const char* text : {"0", "255", "0.5", "-12.25"})
    EXPECT_EQ(formatFloatField(parseFloatField(QString::fromLatin1(text))), QString::fromLatin1(text));
  EXPECT_EQ(parseFloatField(formatFloatField(0.1f)), 0.1f);
}

TEST(SettingsPageRefresh, LoadingIsNoEdit) {
  ImagesPage images(testUnits(), nullptr);
  FlatsPage flats(testUnits(), nullptr);
  DarksPage darks(testUnits(), nullptr);
  ProcessingGroup processing;
  processing.stretch = 2;
  processing.deInterlace = 3;
  load(images, processing);
  load(flats, FlatGroup{});
  load(darks, DarkGroup{});

  EXPECT_EQ(images.stretchList()->currentIndex(), 2);
  EXPECT_EQ(images.toEdit()->text(), "255");
  EXPECT_EQ(flats.filterWidthEdit()->text(), "100");
  EXPECT_EQ(darks.hotEdit()->text(), "200");
  // The command comes only from the timer, so no pending timer means no command.
  for (const SettingsPage* page : std::initializer_list<const SettingsPage*>{&images, &flats, &darks})
    EXPECT_FALSE(page->refreshPending()) << page->objectName().toStdString();
}

TEST(SettingsPageRefresh, OneCommandPerBurstOfEdits) {
  FlatsPage page(testUnits(), nullptr);
  load(page, FlatGroup{});
  page.show();
  QSignalSpy spy(&page, &SettingsPage::command);

  // Every key stores the whole page at once.
  page.filterWidthEdit()->clear();
  std::vector<int32_t> seen;
  for (const char key : {'1', '5', '0'}) {
    QTest::keyClick(page.filterWidthEdit(), key);
    seen.push_back(page.filterWidth);
  }
  EXPECT_EQ(seen, (std::vector<int32_t>{1, 15, 150}));
  EXPECT_EQ(spy.count(), 0);

  ASSERT_TRUE(spy.wait(5000));
  QTest::qWait(kRefreshDelayMs + 100);
  EXPECT_EQ(spy.count(), 1);
  EXPECT_FALSE(page.refreshPending());
  EXPECT_EQ(page.values().filterWidth, 150);
  EXPECT_EQ(page.values().filterHeight, 50);
}

TEST(SettingsPageEntry, DigitsOnlyAndAnyTextEdits) {
  FlatsPage flats(testUnits(), nullptr);
  DarksPage darks(testUnits(), nullptr);
  load(flats, FlatGroup{});
  load(darks, DarkGroup{.cold = 7});

  const struct {
    QLineEdit* edit;
    const char* typed;
    const char* shown;
    const int32_t* field;
    int32_t stored;
  } cases[] = {
      {flats.filterWidthEdit(), "a1b2", "12", &flats.filterWidth, 12},
      {flats.varHiEdit(), "x9", "9", &flats.varHi, 9},
      {flats.varLoEdit(), "-3", "3", &flats.varLo, 3},
      {flats.filterHeightEdit(), " 12abc", " 12abc", &flats.filterHeight, 12},
      {flats.borderEdit(), "abc", "abc", &flats.border, 0},
      {darks.hotEdit(), "", "", &darks.hot, 0},
      {darks.expandEdit(), "-2x", "-2x", &darks.expand, -2},
  };
  for (const auto& c : cases) {
    c.edit->clear();
    QTest::keyClicks(c.edit, QString::fromLatin1(c.typed));
    EXPECT_EQ(c.edit->text(), QString::fromLatin1(c.shown)) << c.typed;
    EXPECT_EQ(*c.field, c.stored) << c.typed;
  }
  EXPECT_EQ(darks.values().cold, 7u);
}

TEST(ImagesPageTest, DeInterlaceChoiceAndCoupledFlatChecksAreEdits) {
  ImagesPage page(testUnits(), nullptr);
  ProcessingGroup processing;
  processing.dark = true;
  load(page, processing);
  page.show();
  ASSERT_FALSE(page.refreshPending());

  QTest::keyClick(page.deInterlaceList(), Qt::Key_Down);
  EXPECT_EQ(page.values().deInterlace, 1);
  EXPECT_TRUE(page.refreshPending());

  // "Synthetic" is never on without "Flats", either way round.
  page.synFlatCheck()->click();
  EXPECT_TRUE(page.flatCheck()->isChecked());
  EXPECT_TRUE(page.values().flat && page.values().synFlat);
  page.flatCheck()->click();
  EXPECT_FALSE(page.synFlatCheck()->isChecked());
  EXPECT_FALSE(page.values().flat || page.values().synFlat);
  EXPECT_TRUE(page.values().dark);
  EXPECT_FALSE(page.values().hot);
}

TEST(ImagesPageTest, EachStretchModeKeepsItsBounds) {
  ImagesPage page(testUnits(), nullptr);
  ProcessingGroup processing;
  processing.stretch = 1;
  processing.stretchFromRel = 1.0f;
  processing.stretchToRel = 99.0f;
  processing.stretchFromAbs = 10.0f;
  processing.stretchToAbs = 240.0f;
  load(page, processing);

  const struct {
    int mode;
    const char* from;
    const char* to;
    bool enabled;
  } steps[] = {{2, "10", "240", true}, {0, "0", "255", false}, {1, "1", "99", true}, {2, "10", "240", true}};
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
  page.fromEdit()->setText(QStringLiteral("12"));
  const ImagesPageValues values = page.values();
  EXPECT_EQ(values.stretch, 2);
  EXPECT_EQ(std::vector<float>({values.stretchFromRel, values.stretchToRel, values.stretchFromAbs, values.stretchToAbs}),
            std::vector<float>({1.0f, 99.0f, 12.0f, 240.0f}));
}

}  // namespace
}  // namespace stelp
