#pragma once

#include <QFont>
#include <QRect>

namespace stelp {

// Converts the window design, laid out in dialog units, to pixels for a
// font: a horizontal unit is a quarter of the font's average character
// width, a vertical unit an eighth of its character height.
class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);
  int x(int units) const;
  int y(int units) const;
  QRect rect(int x, int y, int width, int height) const;
  QRect rect(const QRect& design) const { return rect(design.x(), design.y(), design.width(), design.height()); }

 private:
  int baseX_;
  int baseY_;
};

}  // namespace stelp
