#pragma once

#include <QColor>
#include <QPoint>
#include <QString>
#include <QWidget>
#include <memory>

class QScrollBar;

#include "engine/engine.h"
#include "engine/paint.h"
#include "engine/view_render.h"

namespace stelp {

class HistogramWidget;

// The values under the cursor as the status line shows them: the frame
// pixel (top-left origin), the engine's 0..255 value (red, green, blue in
// colour) and the camera's values when the source has them.
QString ValuesText(int32_t x, int32_t y, const PixelValues& values);

// Shows the picture the engine prepared, at Fit or at a fixed scale the
// user picks. The view keeps the picture (bytes, see MakeDisplayPicture), so
// zooming and panning repaint here without the engine; it never computes a
// product, so no event can start a long operation.
//
// Mouse wheel: zoom about the pointer; left drag or the scroll bars: pan; with the keyboard
// focus, + and - zoom, 0 fits, 1 shows 1:1, the arrow keys pan, and holding
// B asks for a blink.
class ImageView : public QWidget {
  Q_OBJECT
 public:
  explicit ImageView(QWidget* parent);
  // A bitmap to show as it is (kept by the caller), or none: the
  // background. The picture, if any, is forgotten: an export's preview.
  void setBitmap(const Bitmap24* bitmap, const QColor& background);
  // The picture the last bitmap was painted from at `painted`. A picture of
  // another size than the last one brings the view back to Fit.
  void setPicture(std::shared_ptr<const ImageBuffer> picture, const ViewPlace& painted);
  const ViewPlace& place() const { return place_; }
  void setPlace(const ViewPlace& place);
  // The bitmap on screen.
  const Bitmap24& shownBitmap() const;
  HistogramWidget* histogram() const { return histogram_; }

  void ZoomBy(int steps, QPoint about);
  void ZoomIn() { ZoomBy(1, QPoint(width() / 2, height() / 2)); }
  void ZoomOut() { ZoomBy(-1, QPoint(width() / 2, height() / 2)); }
  void ZoomFit() { setPlace(ViewPlace()); }
  void ZoomActual();

 signals:
  // The pointer is over frame pixel (x, y), or over no pixel (inside false).
  void Hovered(bool inside, int x, int y);
  // B held (true) or released (false).
  void Blink(bool held);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;

 private:
  int32_t frameWidth() const { return picture_ ? picture_->width : 0; }
  int32_t frameHeight() const { return picture_ ? picture_->height : 0; }
  void ReportPointer(QPoint at);
  // The histogram in the lower-right corner, the scroll bars along the
  // right and bottom edges while the picture is larger than the view.
  void PlaceChildren();
  void UpdateScrollBars();
  void Scrolled();

  const Bitmap24* bitmap_ = nullptr;
  QColor background_;
  std::shared_ptr<const ImageBuffer> picture_;
  ViewPlace place_;
  int32_t placeWidth_ = -1;  // the frame size the place belongs to
  int32_t placeHeight_ = -1;
  ViewPlace painted_;       // the place bitmap_ was painted at
  mutable Bitmap24 own_;    // painted here when the place or size moved on
  mutable bool ownCurrent_ = false;
  bool useOwn_ = false;
  QPoint dragFrom_;
  bool dragging_ = false;
  int wheelAngle_ = 0;  // eighths of a degree not yet turned into steps
  HistogramWidget* histogram_ = nullptr;
  QScrollBar* horizontal_ = nullptr;
  QScrollBar* vertical_ = nullptr;
  bool settingBars_ = false;  // the bars follow the place, not the user
};

}  // namespace stelp
