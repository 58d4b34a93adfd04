#include "app/histogram_widget.h"

#include <QPainter>
#include <algorithm>
#include <cmath>

namespace stelp {

HistogramWidget::HistogramWidget(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_TransparentForMouseEvents);
}

void HistogramWidget::setCounts(const std::array<uint32_t, 256>& counts) {
  counts_ = counts;
  update();
}

void HistogramWidget::setBounds(std::optional<std::pair<float, float>> bounds) {
  bounds_ = bounds;
  update();
}

void HistogramWidget::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), QColor(0, 0, 0, 170));
  const QRect area = rect().adjusted(2, 2, -2, -2);
  const uint32_t most = *std::max_element(counts_.begin(), counts_.end());
  if (most > 0 && area.width() > 0) {
    const double top = std::sqrt(static_cast<double>(most));
    painter.setPen(QColor(220, 220, 220));
    for (int x = 0; x < area.width(); ++x) {
      // The bins that fall in this column: the tallest of them is drawn.
      const int first = x * 256 / area.width();
      const int last = std::max(first + 1, (x + 1) * 256 / area.width());
      uint32_t count = 0;
      for (int b = first; b < last && b < 256; ++b) count = std::max(count, counts_[static_cast<size_t>(b)]);
      if (count == 0) continue;
      const int bar = std::max(1, static_cast<int>(std::lround(std::sqrt(static_cast<double>(count)) / top *
                                                               area.height())));
      painter.drawLine(area.left() + x, area.bottom(), area.left() + x, area.bottom() - bar + 1);
    }
  }
  if (bounds_) {
    painter.setPen(QPen(QColor(255, 170, 0), 1));
    for (const float bound : {bounds_->first, bounds_->second}) {
      const int x = area.left() + static_cast<int>(std::clamp(bound, 0.0f, 255.0f) / 255.0f * (area.width() - 1));
      painter.drawLine(x, area.top(), x, area.bottom());
    }
  }
}

}  // namespace stelp
