#include "app/settings_pages.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <tuple>

namespace stelp {
namespace {

template <typename Page, typename Group> void load(Page& page, const Group& settings) {
  page.setFromSettings(settings);
  page.Load();
}

// A page of its kind showing `settings`.
template <typename Page, typename Group> std::unique_ptr<Page> loaded(const Group& settings) {
  auto page = std::make_unique<Page>(DialogUnits(QApplication::font()), nullptr);
  load(*page, settings);
  return page;
}

TEST(SettingsPageFields, ParseAndFormat) {
  // Blanks, a sign and digits; the float goes on past a point or an exponent. Too big saturates.
  using Limits = std::numeric_limits<int32_t>;
  const struct { const char* text; int32_t asInt; float asFloat; } cases[] = {
      {" 42x", 42, 42.0f}, {"\t-7", -7, -7.0f}, {"+3", 3, 3.0f}, {"", 0, 0.0f}, {"x1", 0, 0.0f}, {"- 1", 0, 0.0f},
      {"+-1", 0, 0.0f}, {" 1.5", 1, 1.5f}, {"+2e1", 2, 20.0f}, {".5x", 0, 0.5f},
      {"99999999999999999999", Limits::max(), 1e20f}, {"-99999999999", Limits::min(), -99999999999.0f}};
  for (const auto& c : cases) {
    EXPECT_EQ(parseIntField(QString::fromLatin1(c.text)), c.asInt) << c.text;
    EXPECT_EQ(parseFloatField(QString::fromLatin1(c.text)), c.asFloat) << c.text;
  }
  EXPECT_TRUE(std::isinf(parseFloatField(QStringLiteral("1e60"))));

  for (const char* text : {"0", "255", "0.5", "-12.25"})
    EXPECT_EQ(formatFloatField(parseFloatField(QString::fromLatin1(text))), QString::fromLatin1(text));
  EXPECT_EQ(parseFloatField(formatFloatField(0.1f)), 0.1f);
}

TEST(SettingsPageRefresh, LoadingIsNoEditAndABurstOfEditsIsOneCommand) {
  const auto images = loaded<ImagesPage>(ProcessingGroup{
      .stretch = StretchMode::Levels, .stretchToAbs = 240.0f, .deInterlace = DeInterlace::EqualiseFields});
  EXPECT_EQ(images->toEdit()->text(), "240");
  // Back to the defaults: no stretch, its full range greyed.
  load(*images, ProcessingGroup{});
  const auto flats = loaded<FlatsPage>(FlatGroup{});
  const auto darks = loaded<DarksPage>(DarkGroup{});
  EXPECT_EQ(images->stretchList()->currentIndex(), 0);
  EXPECT_EQ(images->fromEdit()->text() + '-' + images->toEdit()->text(), "0-255");
  EXPECT_FALSE(images->fromEdit()->isEnabled() || images->toEdit()->isEnabled());
  EXPECT_EQ(flats->filterWidthEdit()->text() + ' ' + darks->hotEdit()->text(), "100 200");
  // The command comes only from the timer, so no pending timer means no command.
  EXPECT_FALSE(images->refreshPending() || flats->refreshPending() || darks->refreshPending());

  flats->show();
  QSignalSpy spy(flats.get(), &SettingsPage::command);
  flats->filterWidthEdit()->clear();
  QTest::keyClicks(flats->filterWidthEdit(), "150");
  EXPECT_EQ(std::tuple(flats->values().filterWidth, spy.count()), std::tuple(150, 0));
  ASSERT_TRUE(spy.wait(5000));
  QTest::qWait(kRefreshDelayMs + 100);
  EXPECT_EQ(spy.count(), 1);
}

// The Combine row of the Flats and Darks pages: shown as loaded, each choice and kappa stored as an edit, kappas in
// range and greyed unless sigma clipping is chosen.
template <typename Page, typename Group> void checkCombineRow(Group group) {
  group.combine = CombineGroup{CombineMethod::SigmaClip, 2.5f, 4.0f};
  const auto loadedPage = loaded<Page>(group);
  Page& page = *loadedPage;
  const CombineControls& c = page.combine();
  EXPECT_EQ(std::tuple(c.list->currentIndex(), c.kappaLow->text(), c.kappaHigh->text(), c.kappaLow->isEnabled()),
            std::tuple(2, QStringLiteral("2.5"), QStringLiteral("4"), true));

  c.list->setCurrentIndex(1);
  EXPECT_TRUE(page.values().combine.method == CombineMethod::Median && page.refreshPending());
  EXPECT_FALSE(c.kappaLow->isEnabled() || c.kappaHigh->isEnabled());
  c.list->setCurrentIndex(2);
  c.kappaHigh->clear();
  QTest::keyClicks(c.kappaHigh, "0.5");
  QTest::keyClick(c.kappaHigh, Qt::Key_Return);
  EXPECT_EQ(std::tuple(page.values().combine.method, page.values().combine.kappaLow, page.values().combine.kappaHigh),
            std::tuple(CombineMethod::SigmaClip, 2.5f, 1.0f));
  EXPECT_EQ(c.kappaHigh->text(), QStringLiteral("1"));

  page.TakeRefresh();
  load(page, Group{});
  EXPECT_EQ(std::tuple(c.list->currentIndex(), c.kappaLow->isEnabled(), page.refreshPending()),
            std::tuple(0, false, false));
}

TEST(SettingsPageEntry, DigitsOnlyAnyTextAndTheCombineRowOfFlatsAndDarks) {
  const auto flats = loaded<FlatsPage>(FlatGroup{});
  const auto darks = loaded<DarksPage>(DarkGroup{.cold = 7});
  // Digits only in the filter width and the variations; any text elsewhere. A number out of its range is kept as the
  // nearer end, shown once the edit is finished.
  const struct { QLineEdit* edit; const char* typed; const char* shown; std::function<int64_t()> field; int64_t kept;
  } cases[] = {
      {flats->filterWidthEdit(), "a1b2", "12", [&] { return int64_t{flats->values().filterWidth}; }, 12},
      {flats->varHiEdit(), "x9", "9", [&] { return int64_t{flats->values().varHi}; }, 9},
      {flats->varLoEdit(), "-3", "3", [&] { return int64_t{flats->values().varLo}; }, 3},
      {flats->filterHeightEdit(), " 12abc", " 12abc", [&] { return int64_t{flats->values().filterHeight}; }, 12},
      {flats->borderEdit(), "abc", "abc", [&] { return int64_t{flats->values().border}; }, 0},
      {darks->expandEdit(), "-2x", "-2x", [&] { return int64_t{darks->values().expand}; }, -1},
      {flats->filterHeightEdit(), "-5", "-5", [&] { return int64_t{flats->values().filterHeight}; }, 0},
      {flats->filterWidthEdit(), "99999999999", "99999999999", [&] { return int64_t{flats->values().filterWidth}; }, 100000},
      {flats->varLoEdit(), "300", "300", [&] { return int64_t{flats->values().varLo}; }, 255},
      {darks->hotEdit(), "2005", "2005", [&] { return int64_t{darks->values().hot}; }, 255},
      {darks->expandEdit(), "99999999999", "99999999999", [&] { return int64_t{darks->values().expand}; }, 2147483647},
  };
  for (const auto& c : cases) {
    c.edit->clear();
    QTest::keyClicks(c.edit, QString::fromLatin1(c.typed));
    EXPECT_EQ(c.edit->text(), QString::fromLatin1(c.shown)) << c.typed;
    EXPECT_EQ(c.field(), c.kept) << c.typed;
    QTest::keyClick(c.edit, Qt::Key_Return);
    EXPECT_EQ(c.edit->text(), QString::number(c.kept)) << c.typed;
  }
  EXPECT_EQ(darks->values().cold, 7u);
  checkCombineRow<FlatsPage>(FlatGroup{.varHi = 9});
  checkCombineRow<DarksPage>(DarkGroup{.cold = 7});
}

TEST(ImagesPageTest, EveryChoiceIsAnEditAndEachStretchModeKeepsItsBounds) {
  const auto page = loaded<ImagesPage>(ProcessingGroup{
      .dark = true, .stretch = StretchMode::Percent, .stretchFromAbs = 10.0f, .stretchToAbs = 240.0f});
  page->show();
  QTest::keyClick(page->deInterlaceList(), Qt::Key_Down);
  EXPECT_TRUE(page->values().deInterlace == DeInterlace::LightBlur && page->refreshPending());

  // "Synthetic" is never on without "Flats", either way round.
  page->synFlatCheck()->click();
  EXPECT_TRUE(page->flatCheck()->isChecked() && page->values().flat && page->values().synFlat);
  page->flatCheck()->click();
  EXPECT_FALSE(page->synFlatCheck()->isChecked() || page->values().flat || page->values().synFlat);
  EXPECT_TRUE(page->values().dark);

  // Each mode brings back its own pair, as an edit; "No stretch" shows the full range, greyed.
  page->TakeRefresh();
  const struct { int mode; const char* bounds; bool enabled; } steps[] = {
      {2, "10-240", true}, {0, "0-255", false}, {1, "0-100", true}, {2, "10-240", true}};
  for (const auto& s : steps) {
    page->stretchList()->setCurrentIndex(s.mode);
    EXPECT_EQ(page->fromEdit()->text() + '-' + page->toEdit()->text(), QString::fromLatin1(s.bounds));
    EXPECT_EQ(std::tuple(page->fromEdit()->isEnabled(), page->toEdit()->isEnabled(), page->refreshPending()),
              std::tuple(s.enabled, s.enabled, true)) << s.mode;
  }

  // An edit in "pix stretch" goes to the pixel pair only.
  page->fromEdit()->setText(QStringLiteral("12"));
  EXPECT_EQ(std::tuple(page->values().stretch, page->values().stretchFromAbs, page->values().stretchFromRel),
            std::tuple(StretchMode::Levels, 12.0f, 0.0f));

  // Bounds stay in the mode's range and reach the engine in order; a finished bound shows the pair as kept.
  page->stretchList()->setCurrentIndex(1);
  const struct { const char* from; const char* to; float rel[2]; const char* shown; } pairs[] = {
      {"95", "5", {5.0f, 95.0f}, "5-95"}, {"-1e308", "150", {0.0f, 100.0f}, "0-100"}, {"20", "nan", {0.0f, 20.0f}, "0-20"}};
  for (const auto& p : pairs) {
    page->fromEdit()->setText(QString::fromLatin1(p.from));
    page->toEdit()->setText(QString::fromLatin1(p.to));
    EXPECT_EQ(std::pair(page->values().stretchFromRel, page->values().stretchToRel), std::pair(p.rel[0], p.rel[1]))
        << p.from << " " << p.to;
    QTest::keyClick(page->toEdit(), Qt::Key_Return);
    EXPECT_EQ(page->fromEdit()->text() + '-' + page->toEdit()->text(), QString::fromLatin1(p.shown));
  }
}

}  // namespace
}  // namespace stelp
