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

struct Entry {
  const char* path;
  int32_t code = FrameBitmap;
  bool enabled = true;
};

std::vector<std::unique_ptr<ImageSource>> sources(std::initializer_list<Entry> entries) {
  std::vector<std::unique_ptr<ImageSource>> result;
  for (const Entry& e : entries) {
    auto& source = result.emplace_back(std::make_unique<ImageSource>());
    if (*e.path) source->setPath(e.path, e.code);
    source->enabled = e.enabled;
  }
  return result;
}

QStringList texts(const SourceListModel& model) {
  QStringList result;
  for (int row = 0; row < model.rowCount(); ++row) result << model.index(row, 0).data().toString();
  return result;
}

TEST(SourceListModel, MutationsKeepTheModelConsistent) {
  SourceList list;
  SourceListModel model(list);
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
  EXPECT_EQ(model.headerData(0, Qt::Horizontal).toString(), "Files");

  model.append(sources({{"C:\\sky\\moon.avi", 3}, {"/d/b.bmp"}, {"/d/c.fits", FrameFits}, {"", FrameNone}}));
  model.append({});
  EXPECT_EQ(texts(model), QStringList({"[3] moon.avi", "b.bmp", "c.fits", "<untitled>"}));

  // Only a real change is announced.
  QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
  for (const int row : {1, 1, 9}) model.setEnabled(row, false);
  ASSERT_EQ(changed.count(), 1);
  EXPECT_EQ(changed.at(0).at(0).toModelIndex().row(), 1);
  EXPECT_FALSE(model.index(1, 0).data(SourceListModel::EnabledRole).toBool());
  EXPECT_TRUE(model.index(2, 0).data(SourceListModel::EnabledRole).toBool());

  // The focus follows its entry when a row above goes and is lost with it.
  list.focused = 2;
  model.remove(0);
  EXPECT_EQ(list.focused, 1);
  for (const int row : {9, -1, 1}) model.remove(row);
  EXPECT_EQ(list.focused, -1);
  EXPECT_EQ(texts(model), QStringList({"b.bmp", "<untitled>"}));

  list.focused = 0;
  model.clear();
  EXPECT_EQ(model.rowCount(), 0);
  EXPECT_EQ(list.focused, -1);

  // A list replaced behind the model's back (an opened project) shows after a reload.
  list.entries = sources({{"/d/new.bmp"}});
  model.reload();
  EXPECT_EQ(texts(model), QStringList({"new.bmp"}));
}

// Colours that cannot be mistaken for one another in the rendered rows.
const QColor kBase(255, 255, 0);
const QColor kText(0, 0, 0);
const QColor kHighlight(255, 0, 0);
const QColor kHighlightedText(255, 255, 255);
const QColor kGrey(0, 160, 0);
const QColor kMenu(0, 0, 255);
const QColor kUntouched(255, 0, 255);
const QColor kFrame(128, 128, 128);

int countColour(const QImage& image, const QColor& colour) {
  int count = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) count += image.pixelColor(x, y) == colour;
  return count;
}

// A shown list that has the focus, over an enabled and a disabled entry.
class SourceListViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedMenu_ = QApplication::palette("QMenu");
    QPalette menu = savedMenu_;
    menu.setColor(QPalette::Window, kMenu);
    QApplication::setPalette(menu, "QMenu");
    for (const auto& [role, colour] : {std::pair{QPalette::Base, kBase}, {QPalette::Text, kText},
                                       {QPalette::Highlight, kHighlight}, {QPalette::HighlightedText, kHighlightedText}})
      palette_.setColor(role, colour);
    palette_.setColor(QPalette::Disabled, QPalette::Text, kGrey);
    font_.setPixelSize(14);
    font_.setStyleStrategy(QFont::NoAntialias);

    view_.setPalette(palette_);
    view_.setModel(&model_);
    view_.resize(400, 200);
    view_.show();
    view_.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&view_));
    view_.setFocus();
    ASSERT_TRUE(view_.hasFocus());
  }
  void TearDown() override { QApplication::setPalette(savedMenu_, "QMenu"); }

  // Draws `row` with the delegate as a 400-pixel wide row 5 pixels down an
  // image filled with kUntouched.
  QImage render(int row, QStyle::State state, const QWidget* widget) const {
    QStyleOptionViewItem option;
    option.palette = palette_;
    option.font = font_;
    option.fontMetrics = QFontMetrics(font_);
    option.state = state;
    option.widget = widget;
    const int height = delegate_.sizeHint(option, model_.index(row, 0)).height();
    option.rect = QRect(0, 5, 400, height);
    QImage image(400, height + 10, QImage::Format_RGB32);
    image.fill(kUntouched);
    QPainter painter(&image);
    delegate_.paint(&painter, option, model_.index(row, 0));
    return image;
  }

  QPalette savedMenu_;
  QPalette palette_;
  QFont font_;
  SourceList list_{.entries = sources({{"/d/moon.bmp"}, {"/d/sun.bmp", FrameBitmap, /*enabled=*/false}})};
  SourceListModel model_{list_};
  SourceRowDelegate delegate_;
  SourceListView view_;
};

TEST_F(SourceListViewTest, RowIsHighlightedAndFramedOnlyAroundItsText) {
  const SourceListView unfocused;
  const QStyle::State selected = QStyle::State_Selected;
  const struct {
    const char* name;
    int row;
    QStyle::State state;
    const QWidget* widget;
    QColor inside;  // 2 pixels in, and the last pixel of the text's margin
    QColor edge;
    QColor beyond;  // past the margin and at the far right
    QColor corner;  // the row's top left pixel
    QColor text;
  } cases[] = {
      {"plain", 0, {}, &view_, kBase, kBase, kBase, kBase, kText},
      {"selected in focused list", 0, selected, &view_, kHighlight, kHighlight, kUntouched, kHighlight, kHighlightedText},
      {"selected in unfocused list", 0, selected, &unfocused, kMenu, kMenu, kUntouched, kMenu, kText},
      {"disabled", 1, {}, &view_, kBase, kBase, kBase, kBase, kGrey},
      {"disabled and selected", 1, selected, &view_, kHighlight, kHighlight, kUntouched, kHighlight, kGrey},
      {"focused row", 0, selected | QStyle::State_HasFocus, &unfocused, kMenu, kFrame, kUntouched, kFrame, kText},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const QImage image = render(c.row, c.state, c.widget);
    const int middle = image.height() / 2;
    const int textEnd = 8 + QFontMetrics(font_).horizontalAdvance(texts(model_)[c.row]);
    EXPECT_EQ(image.pixelColor(2, middle), c.inside);
    EXPECT_EQ(image.pixelColor(textEnd - 1, middle), c.edge);
    EXPECT_EQ(image.pixelColor(textEnd, 5), c.beyond);
    EXPECT_EQ(image.pixelColor(395, middle), c.beyond);
    EXPECT_EQ(image.pixelColor(0, 5), c.corner);
    EXPECT_EQ(image.pixelColor(2, 2), kUntouched);
    EXPECT_GT(countColour(image, c.text), 10);
  }
}

// The view itself adds nothing across the row: no full-width highlight and
// no focus frame of the style's own.
TEST_F(SourceListViewTest, ViewLeavesTheRowToTheDelegate) {
  view_.selectOnly(0);
  const QImage image = view_.viewport()->grab().toImage();
  const QRect row = view_.visualRect(model_.index(0, 0));
  ASSERT_GT(row.width(), 300);
  EXPECT_EQ(image.pixelColor(row.left(), row.top()), kFrame);
  EXPECT_EQ(image.pixelColor(row.left() + 2, row.center().y()), kHighlight);
  EXPECT_EQ(image.pixelColor(row.right() - 1, row.center().y()), kBase);
  EXPECT_EQ(image.pixelColor(row.right() - 1, row.top()), kBase);
}

TEST_F(SourceListViewTest, SelectionAndSpace) {
  for (const int row : {1, 0}) view_.selectionModel()->select(model_.index(row, 0), QItemSelectionModel::Select);
  EXPECT_EQ(view_.selectedRows(), std::vector<int>({0, 1}));
  view_.selectOnly(1);
  view_.selectOnly(7);
  EXPECT_EQ(view_.selectedRows(), std::vector<int>({1}));
  EXPECT_EQ(view_.currentIndex().row(), 1);

  QSignalSpy spaces(&view_, &SourceListView::spaceTyped);
  QTest::keyClick(&view_, Qt::Key_Space);
  QTest::keyClick(&view_, Qt::Key_A);
  EXPECT_EQ(spaces.count(), 1);
}

}  // namespace
}  // namespace stelp
