#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

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
