#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace stelp {

// Truncates toward zero into T, saturating at T's limits; NaN gives 0. For
// every value within T's range this is the plain C conversion, which would be
// undefined behaviour outside it.
template <typename T>
T truncSaturate(double value) {
  static_assert(std::numeric_limits<T>::is_integer);
  if (std::isnan(value)) return 0;
  constexpr double lo = static_cast<double>(std::numeric_limits<T>::min());
  // 2^bits for unsigned, 2^(bits-1) for signed: the first value past the top.
  constexpr double past = static_cast<double>(std::numeric_limits<T>::max()) + 1.0;
  if (value <= lo) return std::numeric_limits<T>::min();
  if (value >= past) return std::numeric_limits<T>::max();
  return static_cast<T>(value);
}

// How data values become output pixels, shared by the FITS and SER readers so
// that the same values give the same bits: each conversion is computed in
// double precision, integers truncated. `max` is the value that reads as full
// white. Values above it stay above full white in the float formats and are
// clamped in the integer ones.
struct ValueScale {
  double max;
  uint8_t toByte(double v) const { return static_cast<uint8_t>(std::min(v * 255.0 / max, 255.0)); }
  uint16_t toWord(double v) const { return static_cast<uint16_t>(std::min(v * 65535.0 / max, 65535.0)); }
  uint32_t toLong(double v) const { return static_cast<uint32_t>(std::min(v * 4294901760.0 / max, 4294901760.0)); }
  float toFloat(double v) const { return static_cast<float>(v * 255.0 / max); }
  template <typename T>
  T to(double v) const {
    if constexpr (std::is_same_v<T, uint8_t>) return toByte(v);
    if constexpr (std::is_same_v<T, uint16_t>) return toWord(v);
    if constexpr (std::is_same_v<T, uint32_t>) return toLong(v);
    if constexpr (std::is_same_v<T, float>) return toFloat(v);
  }
};

// Little- and big-endian field access for the file headers.
inline uint16_t loadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t loadLe32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline void storeLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void storeLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace stelp
