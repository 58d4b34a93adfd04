#include "app/image_view.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QWheelEvent>
#include <algorithm>
#include <tuple>

#include "app/histogram_widget.h"

namespace stelp {
namespace {

constexpr int kArrowStep = 32;  // view pixels an arrow key pans
constexpr QSize kHistogramSize(160, 64);

QString number(double value, int decimals) { return QString::number(value, 'f', decimals); }

}  // namespace

QString ValuesText(int32_t x, int32_t y, const PixelValues& values) {
  QString text = QStringLiteral("x %1, y %2 (top left 0, 0): ").arg(x).arg(y);
  if (values.channels == 3) {
    text += QStringLiteral("R %1 G %2 B %3")
                .arg(number(values.value[2], 2), number(values.value[1], 2), number(values.value[0], 2));
    if (values.hasCamera)
      text += QStringLiteral(", camera %1 %2 %3")
                  .arg(number(values.camera[2], 0), number(values.camera[1], 0), number(values.camera[0], 0));
    return text;
  }
  text += number(values.value[0], 2);
  if (values.hasCamera) text += QStringLiteral(", camera %1").arg(number(values.camera[0], 0));
  return text;
}

ImageView::ImageView(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMouseTracking(true);
  setFocusPolicy(Qt::WheelFocus);
  histogram_ = new HistogramWidget(this);
  histogram_->setObjectName(QStringLiteral("histogram"));
  histogram_->hide();
  horizontal_ = new QScrollBar(Qt::Horizontal, this);
  vertical_ = new QScrollBar(Qt::Vertical, this);
  for (QScrollBar* bar : {horizontal_, vertical_}) {
    bar->hide();
    bar->setFocusPolicy(Qt::NoFocus);
    connect(bar, &QScrollBar::valueChanged, this, &ImageView::Scrolled);
  }
  PlaceChildren();
}

void ImageView::setBitmap(const Bitmap24* bitmap, const QColor& background) {
  bitmap_ = bitmap;
  background_ = background;
  picture_.reset();
  useOwn_ = false;
  ownCurrent_ = false;
}

void ImageView::setPicture(std::shared_ptr<const ImageBuffer> picture, const ViewPlace& painted) {
  // A frame of the size the place was chosen on keeps it, so the same spot
  // can be compared across roles, views and entries; another size starts
  // at Fit.
  if (picture && (picture->width != placeWidth_ || picture->height != placeHeight_)) {
    place_ = ViewPlace();
    placeWidth_ = picture->width;
    placeHeight_ = picture->height;
  }
  picture_ = std::move(picture);
  painted_ = painted;
  ownCurrent_ = false;
  useOwn_ = picture_ && (place_ != painted_ || !bitmap_ || bitmap_->width != width() || bitmap_->height != height());
  UpdateScrollBars();
  update();
  // What is under a pointer that stayed put may have changed.
  if (underMouse()) ReportPointer(mapFromGlobal(QCursor::pos()));
}

void ImageView::setPlace(const ViewPlace& place) {
  if (place == place_) return;
  place_ = place;
  ownCurrent_ = false;
  useOwn_ = picture_ != nullptr;
  UpdateScrollBars();
  update();
  ReportPointer(mapFromGlobal(QCursor::pos()));
}

void ImageView::UpdateScrollBars() {
  const bool fixed = picture_ && !place_.fit;
  const int64_t step = SubStepOf(place_.level);
  // Positions in view pixels: the frame's extent at the scale, and the
  // frame point at the view's centre.
  const int64_t extentX = fixed ? static_cast<int64_t>(frameWidth()) * kSubPixels / step : 0;
  const int64_t extentY = fixed ? static_cast<int64_t>(frameHeight()) * kSubPixels / step : 0;
  settingBars_ = true;
  for (const auto& [bar, extent, centre, page] : {std::tuple(horizontal_, extentX, place_.centreX, width()),
                                                  std::tuple(vertical_, extentY, place_.centreY, height())}) {
    const bool needed = extent > page;
    bar->setVisible(needed);
    if (!needed) continue;
    bar->setRange(0, static_cast<int>(std::min<int64_t>(extent, INT32_MAX)));
    bar->setPageStep(page);
    bar->setSingleStep(kArrowStep);
    bar->setValue(static_cast<int>(std::min<int64_t>(centre / step, INT32_MAX)));
  }
  settingBars_ = false;
  PlaceChildren();
}

void ImageView::Scrolled() {
  if (settingBars_ || !picture_ || place_.fit) return;
  const int64_t step = SubStepOf(place_.level);
  ViewPlace moved = place_;
  // A bar the user moved takes the centre to its value; a bar at rest
  // keeps the sub-pixel part of the centre.
  if (!horizontal_->isHidden() && horizontal_->value() != place_.centreX / step)
    moved.centreX = static_cast<int64_t>(horizontal_->value()) * step;
  if (!vertical_->isHidden() && vertical_->value() != place_.centreY / step)
    moved.centreY = static_cast<int64_t>(vertical_->value()) * step;
  setPlace(moved);
}

void ImageView::ZoomBy(int steps, QPoint about) {
  if (!picture_) return;
  setPlace(ZoomAbout(place_, steps, frameWidth(), frameHeight(), width(), height(), about.x(), about.y()));
}

void ImageView::ZoomActual() {
  if (!picture_) return;
  if (place_.fit) {
    setPlace(CentredAt(0, frameWidth(), frameHeight()));
    return;
  }
  ViewPlace actual = place_;
  actual.level = 0;
  setPlace(actual);
}

const Bitmap24& ImageView::shownBitmap() const {
  if (!useOwn_) {
    static const Bitmap24 kNone;
    return bitmap_ ? *bitmap_ : kNone;
  }
  if (!ownCurrent_) {
    const uint8_t grey =
        static_cast<uint8_t>((background_.red() + 2 * background_.green() + background_.blue()) >> 2);
    PaintView(*picture_, width(), height(), place_, grey, own_);
    ownCurrent_ = true;
  }
  return own_;
}

void ImageView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const Bitmap24& bitmap = shownBitmap();
  if (bitmap.width <= 0 || bitmap.height <= 0) {
    painter.fillRect(rect(), background_);
    return;
  }
  const QImage image(bitmap.bytes.data(), bitmap.width, bitmap.height, static_cast<qsizetype>(bitmap.rowBytes),
                     QImage::Format_BGR888);
  // The bitmap already holds the background; only a view that grew since it
  // was made needs filling around it.
  if (image.width() < width() || image.height() < height()) painter.fillRect(rect(), background_);
  painter.drawImage(QPoint(0, 0), image);
  if (!picture_) return;
  // The scale, in the top-left corner.
  const QString scale = QString::fromStdString(ZoomText(place_));
  const QRect box = painter.fontMetrics().boundingRect(scale).adjusted(-4, -2, 4, 2);
  const QRect corner(QPoint(4, 4), box.size());
  painter.fillRect(corner, QColor(0, 0, 0, 150));
  painter.setPen(Qt::white);
  painter.drawText(corner, Qt::AlignCenter, scale);
}

void ImageView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  ownCurrent_ = false;
  useOwn_ = picture_ != nullptr;
  UpdateScrollBars();
}

void ImageView::PlaceChildren() {
  const int thick = style()->pixelMetric(QStyle::PM_ScrollBarExtent);
  const int right = !vertical_->isHidden() ? thick : 0;
  const int bottom = !horizontal_->isHidden() ? thick : 0;
  horizontal_->setGeometry(0, height() - thick, width() - right, thick);
  vertical_->setGeometry(width() - thick, 0, thick, height() - bottom);
  const QSize size(std::min(kHistogramSize.width(), width() / 2), std::min(kHistogramSize.height(), height() / 2));
  histogram_->setGeometry(width() - right - size.width() - 4, height() - bottom - size.height() - 4, size.width(),
                          size.height());
}

void ImageView::wheelEvent(QWheelEvent* event) {
  wheelAngle_ += event->angleDelta().y();
  const int steps = wheelAngle_ / 120;
  wheelAngle_ -= steps * 120;
  if (steps != 0) ZoomBy(steps, event->position().toPoint());
  event->accept();
}

void ImageView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
  setFocus(Qt::MouseFocusReason);
  dragging_ = !place_.fit && picture_;
  dragFrom_ = event->position().toPoint();
  if (dragging_) setCursor(Qt::ClosedHandCursor);
}

void ImageView::mouseMoveEvent(QMouseEvent* event) {
  const QPoint at = event->position().toPoint();
  if (dragging_ && (event->buttons() & Qt::LeftButton)) {
    const QPoint moved = at - dragFrom_;
    dragFrom_ = at;
    setPlace(PanBy(place_, moved.x(), moved.y(), frameWidth(), frameHeight()));
  }
  ReportPointer(at);
}

void ImageView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && dragging_) {
    dragging_ = false;
    unsetCursor();
  }
  QWidget::mouseReleaseEvent(event);
}

void ImageView::leaveEvent(QEvent* event) {
  emit Hovered(false, 0, 0);
  QWidget::leaveEvent(event);
}

void ImageView::ReportPointer(QPoint at) {
  int32_t x = 0, y = 0;
  const bool inside = picture_ && rect().contains(at) &&
                      FramePixelAt(frameWidth(), frameHeight(), width(), height(), place_, at.x(), at.y(), x, y);
  emit Hovered(inside, x, y);
}

void ImageView::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Plus:
    case Qt::Key_Equal: ZoomIn(); break;
    case Qt::Key_Minus: ZoomOut(); break;
    case Qt::Key_0: ZoomFit(); break;
    case Qt::Key_1: ZoomActual(); break;
    case Qt::Key_Left: setPlace(PanBy(place_, kArrowStep, 0, frameWidth(), frameHeight())); break;
    case Qt::Key_Right: setPlace(PanBy(place_, -kArrowStep, 0, frameWidth(), frameHeight())); break;
    case Qt::Key_Up: setPlace(PanBy(place_, 0, kArrowStep, frameWidth(), frameHeight())); break;
    case Qt::Key_Down: setPlace(PanBy(place_, 0, -kArrowStep, frameWidth(), frameHeight())); break;
    case Qt::Key_B:
      if (!event->isAutoRepeat()) emit Blink(true);
      break;
    default: QWidget::keyPressEvent(event); return;
  }
  event->accept();
}

void ImageView::keyReleaseEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_B && !event->isAutoRepeat()) {
    emit Blink(false);
    event->accept();
    return;
  }
  QWidget::keyReleaseEvent(event);
}

}  // namespace stelp
