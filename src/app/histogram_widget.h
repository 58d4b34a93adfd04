#pragma once

#include <QWidget>
#include <array>
#include <cstdint>
#include <optional>
#include <utility>

namespace stelp {

// A small histogram of the shown picture: counts of byte values 0..255 as
// bars on a square-root scale (so that the few bright pixels stay visible),
// with two bounds on the same 0..255 axis marked as lines.
class HistogramWidget : public QWidget {
  Q_OBJECT
 public:
  explicit HistogramWidget(QWidget* parent);
  void setCounts(const std::array<uint32_t, 256>& counts);
  // The bounds to mark, or none.
  void setBounds(std::optional<std::pair<float, float>> bounds);
  const std::array<uint32_t, 256>& counts() const { return counts_; }
  const std::optional<std::pair<float, float>>& bounds() const { return bounds_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::array<uint32_t, 256> counts_{};
  std::optional<std::pair<float, float>> bounds_;
};

}  // namespace stelp
