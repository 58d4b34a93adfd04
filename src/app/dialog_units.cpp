#include "app/dialog_units.h"

#include <QFontMetrics>

namespace stelp {

namespace {

// The average character width: the width of the 52 letters A-Z and a-z over
// 52, rounded to the nearest pixel. It is measured on letters, which most of
// the dialogs' texts are, rather than taken from the average width a font
// declares, which fonts set in different ways.
int averageCharWidth(const QFontMetrics& metrics) {
  const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  return (metrics.horizontalAdvance(letters) / 26 + 1) / 2;
}

// units x base / divisor, rounded to the nearest pixel.
int scale(int units, int base, int divisor) {
  const int64_t product = static_cast<int64_t>(units) * base;
  return static_cast<int>((product + (product >= 0 ? divisor / 2 : -divisor / 2)) / divisor);
}

}  // namespace

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  baseX_ = std::max(1, averageCharWidth(metrics));
  baseY_ = std::max(1, metrics.height());
}

int DialogUnits::x(int units) const { return scale(units, baseX_, 4); }
int DialogUnits::y(int units) const { return scale(units, baseY_, 8); }

QRect DialogUnits::rect(int left, int top, int width, int height) const {
  return QRect(x(left), y(top), x(width), y(height));
}

}  // namespace stelp
