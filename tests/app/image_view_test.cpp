#include "app/image_view.h"

#include <QScrollBar>
#include <QWheelEvent>

#include "app/histogram_widget.h"
#include "app_test_util.h"

namespace stelp::test {
namespace {

std::array<uint8_t, 3> pixelOf(const Bitmap24& bitmap, int x, int y) {
  const uint8_t* p = bitmap.bytes.data() + bitmap.rowBytes * static_cast<size_t>(y) + 3 * static_cast<size_t>(x);
  return {p[0], p[1], p[2]};
}

class ViewerTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    window->resize(900, 700);
    settle();
  }
  ImageView* view() { return window->imageView(); }
  // Where frame pixel (x, y) of the 40 x 30 frame shows in the view, by the view's own rule.
  QPoint whereIs(int32_t x, int32_t y) {
    for (int vy = 0; vy < view()->height(); ++vy)
      for (int vx = 0; vx < view()->width(); ++vx) {
        int32_t fx, fy;
        if (FramePixelAt(40, 30, view()->width(), view()->height(), view()->place(), vx, vy, fx, fy) &&
            fx == x && fy == y)
          return {vx, vy};
      }
    return {-1, -1};
  }
  void wheel(QPoint at, int notches) {
    QWheelEvent event(QPointF(at), view()->mapToGlobal(QPointF(at)), QPoint(), QPoint(0, 120 * notches),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(view(), &event);
    settle();
  }
};

TEST_F(ViewerTest, ZoomValuesBlinkAndThePlaceAcrossEntries) {
  // A 40 x 30 frame with a hot pixel at (12, 7), and a darker frame of the same size.
  const std::string hot = dir.file("hot.bmp");
  ImageSlot frame = greyFrame(40, 30, 60);
  frame->row(7)[12] = 250;
  ASSERT_TRUE(writeBitmap(hot, *frame));
  import(ListRole::Images, {q(hot), q(writeTestBitmap(dir, "other.bmp", 40, 30, 20))});
  // The processed view differs from the raw frame: a levels stretch.
  window->engine().ApplyImagesSettings({.stretch = StretchMode::Levels, .stretchFromAbs = 50, .stretchToAbs = 150});
  window->viewSelector(ListRole::Images)->setCurrentIndex(ImagesProcessed);
  window->RefreshView();
  settle();
  const Bitmap24 fit = window->viewBitmap();
  EXPECT_EQ(view()->histogram()->bounds(), std::optional(std::pair(50.0f, 150.0f)));

  // The wheel zooms about the pointer: the hot pixel stays under it, now as a 4 x 4 square.
  const QPoint at = whereIs(12, 7);
  wheel(at, 1);  // from Fit, which shows this small frame at 1:1, to 2:1
  wheel(at, 1);
  EXPECT_EQ(std::pair(view()->place().fit, view()->place().level), std::pair(false, 2));
  EXPECT_EQ(whereIs(12, 7).x() / 4, at.x() / 4);
  const QPoint square = whereIs(12, 7);
  const std::array<uint8_t, 3> white{255, 255, 255};
  for (const QPoint d : {QPoint(0, 0), QPoint(3, 3)})
    EXPECT_EQ(pixelOf(window->viewBitmap(), square.x() + d.x(), square.y() + d.y()), white);
  EXPECT_NE(pixelOf(window->viewBitmap(), square.x() + 4, square.y()), white);

  // The values under the cursor: the processed value, then the raw one while B is held.
  const auto status = [&] { return window->statusLine()->text().toStdString(); };
  QTest::mouseMove(view(), square + QPoint(1, 1));
  EXPECT_TRUE(status().starts_with("x 12, y 7 ") && status().ends_with(": R 255.00 G 255.00 B 255.00")) << status();
  const Bitmap24 processed = window->viewBitmap();
  const ViewPlace place = view()->place();
  QTest::keyPress(view(), Qt::Key_B);
  settle();
  EXPECT_EQ(pixelOf(window->viewBitmap(), square.x(), square.y()), (std::array<uint8_t, 3>{250, 250, 250}));
  QTest::mouseMove(view(), square + QPoint(2, 1));
  EXPECT_TRUE(status().ends_with(": R 250.00 G 250.00 B 250.00")) << status();
  QTest::keyRelease(view(), Qt::Key_B);
  settle();
  EXPECT_EQ(window->viewBitmap().bytes, processed.bytes) << "the blink ends where it started";
  EXPECT_EQ(view()->place(), place);
  EXPECT_EQ(window->currentViewSelector()->currentIndex(), ImagesProcessed);

  // Another entry of the same size keeps the place; 0 brings Fit back as it was.
  const auto focus = [&](int32_t row) {
    window->engine().SetFocus(ListRole::Images, row);
    window->RefreshView();
    settle();
  };
  focus(1);
  EXPECT_EQ(view()->place(), place);
  focus(0);
  QTest::keyClick(view(), Qt::Key_0);
  settle();
  EXPECT_EQ(window->viewBitmap().bytes, fit.bytes);

  // A frame of another size starts at Fit.
  QTest::keyClick(view(), Qt::Key_1);
  EXPECT_EQ(view()->place(), CentredAt(0, 40, 30));
  view()->setPicture(std::shared_ptr<const ImageBuffer>(greyFrame(20, 10, 0)), view()->place());
  EXPECT_TRUE(view()->place().fit);
}

// The bitmap goes to the top left as blue, green, red bytes in rows of rowBytes; the rest of the view is background.
// At 2:1 a 40 x 30 frame overflows a 50 x 40 view: the scroll bars appear and move the place.
TEST(ImageViewTest, PaintsTheBitmapAtTheTopLeftAndScrollBarsPanALargerPicture) {
  ImageView view(nullptr);
  view.resize(5, 4);
  Bitmap24 bitmap{.width = 2, .height = 2, .rowBytes = 8,
                  .bytes = {10, 20, 30, 40, 50, 60, 0, 0, 70, 80, 90, 1, 2, 3, 0, 0}};
  view.setBitmap(&bitmap, QColor(7, 8, 9));
  const QImage shot = view.grab().toImage();
  EXPECT_EQ((std::vector{shot.pixelColor(1, 0), shot.pixelColor(0, 1), shot.pixelColor(2, 0)}),
            (std::vector{QColor(60, 50, 40), QColor(90, 80, 70), QColor(7, 8, 9)}));
  view.setBitmap(nullptr, QColor(1, 2, 3));
  EXPECT_EQ(view.grab().toImage().pixelColor(0, 0), QColor(1, 2, 3));

  view.resize(50, 40);
  view.setPicture(std::shared_ptr<const ImageBuffer>(greyFrame(40, 30, 0)), ViewPlace());
  view.setPlace(CentredAt(1, 40, 30));
  auto* bar = view.findChildren<QScrollBar*>().front();
  ASSERT_EQ(bar->orientation(), Qt::Horizontal);
  EXPECT_FALSE(bar->isHidden());
  EXPECT_EQ(std::pair(bar->maximum(), bar->value()), std::pair(80, 40));
  bar->setValue(6);
  int32_t x = -1, y = -1;
  ASSERT_TRUE(FramePixelAt(40, 30, 50, 40, view.place(), 25, 20, x, y));
  EXPECT_EQ(std::pair(x, y), std::pair(3, 15));
  view.ZoomFit();
  EXPECT_TRUE(bar->isHidden());
}

}  // namespace
}  // namespace stelp::test
