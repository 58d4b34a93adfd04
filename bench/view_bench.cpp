// Repaint time of the image view while panning a 4096 x 4096 frame in a
// 1600 x 1000 view (offscreen): each repaint moves the place by a few view
// pixels and paints at once (grab), as a drag does. Figures for Fit, 1:1 and
// 4:1, grey and colour, the view's own painting (PaintView) and the whole
// widget repaint. Not a test: the figures depend on the machine.
#include <QApplication>
#include <QPixmap>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

#include "app/image_view.h"
#include "engine/view_render.h"

namespace {

using namespace stelp;
using Clock = std::chrono::steady_clock;

constexpr int32_t kFrame = 4096;
constexpr int kRepaints = 60;

std::shared_ptr<const ImageBuffer> picture(PixelFormat format) {
  auto image = std::make_shared<ImageBuffer>();
  image->setFormat(format);
  image->width = image->height = kFrame;
  if (!image->allocate()) std::abort();
  for (int32_t y = 0; y < kFrame; ++y)
    for (int32_t x = 0; x < image->rowBytes; ++x) image->row(y)[x] = static_cast<uint8_t>(x * 7 + y * 3);
  return image;
}

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ImageView view(nullptr);
  view.resize(1600, 1000);
  view.show();
  for (const PixelFormat format : {PixelFormat::Gray8, PixelFormat::Bgr24}) {
    const auto frame = picture(format);
    view.setBitmap(nullptr, QColor(160, 160, 160));
    view.setPicture(frame, ViewPlace());
    for (const int level : {99, 0, 2}) {
      const ViewPlace start = level == 99 ? ViewPlace() : CentredAt(level, kFrame, kFrame);
      view.setPlace(start);
      double paintSum = 0, paintMax = 0, widgetSum = 0, widgetMax = 0;
      Bitmap24 bitmap;
      for (int i = 0; i < kRepaints; ++i) {
        // Back and forth by 5 view pixels; Fit repaints in place.
        const ViewPlace place = PanBy(start, (i % 2) * 5, (i % 3) * 5, kFrame, kFrame);
        auto t0 = Clock::now();
        PaintView(*frame, 1600, 1000, place, 160, bitmap);
        const double paint = ms(Clock::now() - t0);
        view.setPlace(place);
        t0 = Clock::now();
        const QPixmap shot = view.grab();  // paints now, as an expose does
        const double widget = ms(Clock::now() - t0);
        paintSum += paint;
        paintMax = std::max(paintMax, paint);
        widgetSum += widget;
        widgetMax = std::max(widgetMax, widget);
      }
      std::printf("%-5s %-4s PaintView mean %6.2f ms max %6.2f ms | widget repaint mean %6.2f ms max %6.2f ms\n",
                  format == PixelFormat::Gray8 ? "grey" : "colour", ZoomText(start).c_str(), paintSum / kRepaints,
                  paintMax, widgetSum / kRepaints, widgetMax);
    }
  }
  return 0;
}
