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

std::unique_ptr<ImageSource> makeSource(const std::string& path, int32_t code, bool enabled = true) {
  auto source = std::make_unique<ImageSource>();
  if (!path.empty()) source->setPath(path, code);
  source->enabled = enabled;
  return source;
}

std::vector<std::unique_ptr<ImageSource>> sources(std::initializer_list<const char*> paths, int32_t code) {
  std::vector<std::unique_ptr<ImageSource>> entries;
  for (const char* path : paths) entries.push_back(makeSource(path, code));
  return entries;
}

QStringList texts(const SourceListModel& model) {
  QStringList result;
  for (int row = 0; row < model.rowCount(); ++row) result << model.index(row, 0).data().toString();
  return result;
}

TEST(SourceListModel, RowTexts) {
  struct Case {
    std::string path;
    int32_t code;
    const char* text;
  };
  const Case cases[] = {
      {"C:\\sky\\moon.avi", 3, "[3] moon.avi"},
      {"/data/sky/moon.avi", 0, "[0] moon.avi"},
      {"C:\\sky\\dark %1.bmp", FrameBitmap, "dark %1.bmp"},
      {"/data/flat.fits", FrameFits, "flat.fits"},
      {"", FrameNone, "<untitled>"},
  };
  for (const Case& c : cases) EXPECT_EQ(rowText(*makeSource(c.path, c.code)), QString(c.text)) << c.path;
}

TEST(SourceListModel, EditsKeepTheModelConsistent) {
  SourceList list;
  SourceListModel model(list);
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
  EXPECT_EQ(model.headerData(0, Qt::Horizontal).toString(), "Files");
  EXPECT_EQ(model.headerData(0, Qt::Horizontal, Qt::TextAlignmentRole).toInt(),
            static_cast<int>(Qt::AlignLeft | Qt::AlignVCenter));

  model.append(sources({"/d/a.avi", "/d/a.avi", "/d/a.avi"}, 0));
  list.entries[1]->frameCode = 1;
  list.entries[2]->frameCode = 2;
  model.append(sources({"/d/b.bmp", "/d/c.fit"}, FrameBitmap));
  model.append({});
  EXPECT_EQ(texts(model), QStringList({"[0] a.avi", "[1] a.avi", "[2] a.avi", "b.bmp", "c.fit"}));

  QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
  model.setEnabled(3, false);
  model.setEnabled(3, false);
  model.setEnabled(9, false);
  ASSERT_EQ(changed.count(), 1);
  EXPECT_EQ(changed.at(0).at(0).toModelIndex().row(), 3);
  EXPECT_FALSE(model.index(3, 0).data(SourceListModel::EnabledRole).toBool());
  EXPECT_TRUE(model.index(4, 0).data(SourceListModel::EnabledRole).toBool());

  // The focus follows its entry when a row above goes and is lost with it.
  list.focused = 3;
  model.remove(0);
  EXPECT_EQ(list.focused, 2);
  model.remove(4);
  model.remove(-1);
  model.remove(2);
  EXPECT_EQ(list.focused, -1);
  EXPECT_EQ(texts(model), QStringList({"[1] a.avi", "[2] a.avi", "c.fit"}));

  list.focused = 1;
  model.clear();
  EXPECT_EQ(model.rowCount(), 0);
  EXPECT_EQ(list.focused, -1);

  // A list replaced behind the model's back shows after a reload.
  list.entries = sources({"/d/new.bmp"}, FrameBitmap);
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

class SourceRowDrawing : public ::testing::Test {
 protected:
  void SetUp() override {
    savedMenu_ = QApplication::palette("QMenu");
    QPalette menu = savedMenu_;
    menu.setColor(QPalette::Window, kMenu);
    QApplication::setPalette(menu, "QMenu");

    palette_.setColor(QPalette::Base, kBase);
    palette_.setColor(QPalette::Text, kText);
    palette_.setColor(QPalette::Highlight, kHighlight);
    palette_.setColor(QPalette::HighlightedText, kHighlightedText);
    palette_.setColor(QPalette::Disabled, QPalette::Text, kGrey);
    font_.setPixelSize(14);
    font_.setStyleStrategy(QFont::NoAntialias);

    list_.entries = sources({"/d/moon.bmp"}, FrameBitmap);
    list_.entries.push_back(makeSource("/d/sun.bmp", FrameBitmap, /*enabled=*/false));
  }
  void TearDown() override { QApplication::setPalette(savedMenu_, "QMenu"); }

  // Draws row `row` as a 400-pixel wide row 5 pixels down an image that was
  // filled with kUntouched.
  QImage render(int row, QStyle::State state, const QWidget* widget) {
    QStyleOptionViewItem option;
    option.palette = palette_;
    option.font = font_;
    option.fontMetrics = QFontMetrics(font_);
    option.state = state;
    option.widget = widget;
    const QSize size = delegate_.sizeHint(option, model_.index(row, 0));
    option.rect = QRect(0, 5, 400, size.height());
    QImage image(400, size.height() + 10, QImage::Format_RGB32);
    image.fill(kUntouched);
    QPainter painter(&image);
    delegate_.paint(&painter, option, model_.index(row, 0));
    return image;
  }

  QPalette savedMenu_;
  QPalette palette_;
  QFont font_;
  SourceList list_;
  SourceListModel model_{list_};
  SourceRowDelegate delegate_;
};

int countColour(const QImage& image, const QColor& colour) {
  int count = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) count += image.pixelColor(x, y) == colour;
  return count;
}

TEST_F(SourceRowDrawing, HighlightOnlyBehindTheText) {
  SourceListView focused;
  focused.show();
  focused.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&focused));
  focused.setFocus();
  ASSERT_TRUE(focused.hasFocus());
  SourceListView unfocused;

  struct Case {
    const char* name;
    int row;
    QStyle::State state;
    const QWidget* widget;
    QColor backing;  // just left of the text
    QColor farRight;
    QColor text;
  };
  const QStyle::State selected = QStyle::State_Selected;
  const Case cases[] = {
      {"plain", 0, {}, &focused, kBase, kBase, kText},
      {"selected in focused list", 0, selected, &focused, kHighlight, kUntouched, kHighlightedText},
      {"selected in unfocused list", 0, selected, &unfocused, kMenu, kUntouched, kText},
      {"disabled", 1, {}, &focused, kBase, kBase, kGrey},
      {"disabled and selected", 1, selected, &focused, kHighlight, kUntouched, kGrey},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const QImage image = render(c.row, c.state, c.widget);
    const int middle = image.height() / 2;
    EXPECT_EQ(image.pixelColor(2, middle), c.backing);
    EXPECT_EQ(image.pixelColor(395, middle), c.farRight);
    EXPECT_EQ(image.pixelColor(2, 2), kUntouched);
    EXPECT_GT(countColour(image, c.text), 10);
    EXPECT_EQ(countColour(image, kFrame), 0);
  }
}

TEST_F(SourceRowDrawing, FocusedRowIsFramedAroundItsText) {
  const QImage image = render(0, QStyle::State_Selected | QStyle::State_HasFocus, nullptr);
  const int textRight = 8 + QFontMetrics(font_).horizontalAdvance("moon.bmp");
  EXPECT_EQ(image.pixelColor(0, 5), kFrame);
  EXPECT_EQ(image.pixelColor(textRight - 1, image.height() / 2), kFrame);
  EXPECT_EQ(image.pixelColor(textRight, image.height() / 2), kUntouched);
  EXPECT_EQ(image.pixelColor(2, image.height() / 2), kMenu);
}

// The view itself adds nothing across the row: no full-width highlight and
// no focus frame of the style's own.
TEST_F(SourceRowDrawing, ViewLeavesTheRowToTheDelegate) {
  SourceListView view;
  view.setPalette(palette_);
  view.setModel(&model_);
  view.resize(400, 200);
  view.show();
  view.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
  view.setFocus();
  view.selectOnly(0);
  const QImage image = view.viewport()->grab().toImage();
  const QRect row = view.visualRect(model_.index(0, 0));
  ASSERT_GT(row.width(), 300);
  const int middle = row.center().y();
  EXPECT_EQ(image.pixelColor(row.left(), row.top()), kFrame);
  EXPECT_EQ(image.pixelColor(row.left() + 2, middle), kHighlight);
  EXPECT_EQ(image.pixelColor(row.right() - 1, middle), kBase);
  EXPECT_EQ(image.pixelColor(row.right() - 1, row.top()), kBase);
}

TEST(SourceListView, SpaceAndSelection) {
  SourceList list;
  list.entries = sources({"/d/a.bmp", "/d/b.bmp", "/d/c.bmp"}, FrameBitmap);
  SourceListModel model(list);
  SourceListView view;
  view.setModel(&model);
  EXPECT_EQ(view.sourceModel(), &model);

  view.selectionModel()->select(model.index(0, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
  view.selectionModel()->select(model.index(2, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
  EXPECT_EQ(view.selectedRows(), std::vector<int>({0, 2}));

  view.selectOnly(1);
  EXPECT_EQ(view.selectedRows(), std::vector<int>({1}));
  EXPECT_EQ(view.currentIndex().row(), 1);
  view.selectOnly(7);
  EXPECT_EQ(view.selectedRows(), std::vector<int>({1}));

  QSignalSpy spaces(&view, &SourceListView::spaceTyped);
  QTest::keyClick(&view, Qt::Key_Space);
  QTest::keyClick(&view, Qt::Key_A);
  EXPECT_EQ(spaces.count(), 1);
}

}  // namespace
}  // namespace stelp
