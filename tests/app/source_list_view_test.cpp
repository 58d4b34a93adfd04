#include "app/source_list_view.h"

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QSignalSpy>
#include <QTest>

namespace stelp {
namespace {

// Entries by path and frame code; an empty path leaves the entry untitled.
std::vector<std::unique_ptr<ImageSource>> sources(std::initializer_list<std::pair<const char*, int32_t>> entries) {
  std::vector<std::unique_ptr<ImageSource>> result;
  for (const auto& [path, code] : entries) {
    auto& source = result.emplace_back(std::make_unique<ImageSource>());
    if (*path) source->setPath(path, code);
  }
  return result;
}

QStringList texts(const SourceListModel& model) {
  QStringList result;
  for (int row = 0; row < model.rowCount(); ++row) result << model.index(row, 0).data().toString();
  return result;
}

TEST(SourceListModel, MutationsKeepTheModelConsistent) {
  Engine engine;
  SourceListModel model(engine, ListRole::Flats);
  const SourceList& list = engine.list(ListRole::Flats);
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);

  model.append(sources({{"C:\\d\\moon.avi", 3}, {"/d/b.bmp", FrameBitmap}, {"/d/c.fits", FrameFits}, {"", FrameNone}}));
  model.append({});
  EXPECT_EQ(texts(model), QStringList({"[3] moon.avi", "b.bmp", "c.fits", "<untitled>"}));

  // Only a real change is announced.
  QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
  for (const int row : {1, 1, 9}) model.setEnabled(row, false);
  ASSERT_EQ(changed.count(), 1);
  EXPECT_EQ(changed.at(0).at(0).toModelIndex().row(), 1);

  // Rows outside the list and runs reaching past the end go not at all; a run goes at once, the focus with its entry
  // (the engine moves it when rows above go).
  engine.SetFocus(ListRole::Flats, 2);
  for (const auto& [row, count] : {std::pair{9, 1}, {-1, 1}, {3, 2}}) model.remove(row, count);
  EXPECT_EQ(model.rowCount(), 4);
  model.remove(1, 2);
  EXPECT_EQ(list.focused, -1);
  EXPECT_EQ(texts(model), QStringList({"[3] moon.avi", "<untitled>"}));
  engine.SetFocus(ListRole::Flats, 0);
  model.clear();
  EXPECT_EQ(std::pair(model.rowCount(), list.focused), std::pair(0, -1));
}

// Colours that cannot be mistaken for one another in the rendered rows.
const QColor kBase(255, 255, 0), kText(0, 0, 0), kHighlight(255, 0, 0), kHighlightedText(255, 255, 255);
const QColor kGrey(0, 160, 0), kMenu(0, 0, 255), kUntouched(255, 0, 255), kFrame(128, 128, 128);

// A shown list that has the focus, over an enabled, a disabled and a missing entry.
class SourceListViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedMenu_ = QApplication::palette("QMenu");
    QPalette menu = savedMenu_;
    menu.setColor(QPalette::Window, kMenu);
    QApplication::setPalette(menu, "QMenu");
    QPalette palette;
    for (const auto& [role, colour] : {std::pair{QPalette::Base, kBase}, {QPalette::Text, kText},
                                       {QPalette::Highlight, kHighlight}, {QPalette::HighlightedText, kHighlightedText}})
      palette.setColor(role, colour);
    palette.setColor(QPalette::Disabled, QPalette::Text, kGrey);
    auto entries = sources({{"/d/moon.bmp", FrameBitmap}, {"/d/sun.bmp", FrameBitmap}, {"/d/gone.bmp", FrameBitmap}});
    entries[2]->missing = true;
    model_.append(std::move(entries));
    model_.setEnabled(1, false);
    view_.setPalette(palette);
    view_.setModel(&model_);
    view_.resize(400, 200);
    view_.show();
    view_.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&view_));
    view_.setFocus();
    ASSERT_TRUE(view_.hasFocus());
  }
  void TearDown() override { QApplication::setPalette(savedMenu_, "QMenu"); }

  QPalette savedMenu_;
  Engine engine_;
  SourceListModel model_{engine_, ListRole::Images};
  SourceListView view_;
};

// A row is drawn over its text and 4 pixels either side of it; the focus frame runs round that same box.
TEST_F(SourceListViewTest, OnlyTheDelegateDrawsTheRowAroundItsTextAndSpaceIsSignalled) {
  QFont font;
  font.setPixelSize(14);
  font.setStyleStrategy(QFont::NoAntialias);
  // The delegate draws a 400-pixel wide row 5 pixels down an image filled with kUntouched.
  const SourceRowDelegate delegate;
  auto render = [&](int row, QStyle::State state, const QWidget* widget) {
    QStyleOptionViewItem option;
    option.palette = view_.palette();
    option.font = font;
    option.fontMetrics = QFontMetrics(font);
    option.state = state;
    option.widget = widget;
    option.rect = QRect(0, 5, 400, delegate.sizeHint(option, model_.index(row, 0)).height());
    QImage image(400, option.rect.height() + 10, QImage::Format_RGB32);
    image.fill(kUntouched);
    QPainter painter(&image);
    delegate.paint(&painter, option, model_.index(row, 0));
    return image;
  };

  EXPECT_EQ(texts(model_)[2], "gone.bmp (missing)");
  const SourceListView unfocused;
  const QStyle::State selected = QStyle::State_Selected;
  const struct { const char* name; int row; QStyle::State state; const QWidget* widget; QColor inside, edge, beyond, text;
  } cases[] = {
      {"plain", 0, {}, &view_, kBase, kBase, kBase, kText},
      {"selected in focused list", 0, selected, &view_, kHighlight, kHighlight, kUntouched, kHighlightedText},
      {"selected in unfocused list", 0, selected, &unfocused, kMenu, kMenu, kUntouched, kText},
      {"disabled", 1, {}, &view_, kBase, kBase, kBase, kGrey},
      {"disabled and selected", 1, selected, &view_, kHighlight, kHighlight, kUntouched, kGrey},
      {"missing", 2, {}, &view_, kBase, kBase, kBase, kGrey},
      {"focused row", 0, selected | QStyle::State_HasFocus, &unfocused, kMenu, kFrame, kUntouched, kText},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const QImage image = render(c.row, c.state, c.widget);
    const int middle = image.height() / 2;
    const int textEnd = 8 + QFontMetrics(font).horizontalAdvance(texts(model_)[c.row]);
    EXPECT_EQ((std::vector{image.pixel(2, middle), image.pixel(0, 5), image.pixel(textEnd - 1, middle),
                           image.pixel(textEnd, 5), image.pixel(395, middle)}),
              (std::vector{c.inside.rgb(), c.edge.rgb(), c.edge.rgb(), c.beyond.rgb(), c.beyond.rgb()}));
    const auto* pixels = reinterpret_cast<const QRgb*>(image.constBits());
    EXPECT_GT(std::count(pixels, pixels + image.width() * image.height(), c.text.rgb()), 10);
  }

  // The view itself adds nothing across the row: no full-width highlight and no focus frame of the style's own.
  view_.selectOnly(0);
  const QImage image = view_.viewport()->grab().toImage();
  const QRect row = view_.visualRect(model_.index(0, 0));
  ASSERT_GT(row.width(), 300);
  EXPECT_EQ((std::vector{image.pixel(row.topLeft()), image.pixel(row.left() + 2, row.center().y()),
                         image.pixel(row.right() - 1, row.center().y()), image.pixel(row.right() - 1, row.top())}),
            (std::vector{kFrame.rgb(), kHighlight.rgb(), kBase.rgb(), kBase.rgb()}));

  QSignalSpy spaces(&view_, &SourceListView::spaceTyped);
  QTest::keyClick(&view_, Qt::Key_Space);
  QTest::keyClick(&view_, Qt::Key_A);
  EXPECT_EQ(spaces.count(), 1);
}

}  // namespace
}  // namespace stelp
