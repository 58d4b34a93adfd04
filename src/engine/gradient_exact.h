#pragma once

// Exact sums of floats for the synthetic flat.
//
// The smoothing window's sums are built incrementally (column sums slid down
// the rows, window sums slid along the row, rows split between threads), so
// the order in which values are added differs from path to path. To make every
// path give the same bits, the sums are exact: each float is turned into an
// integer on a fixed-point grid fine enough to hold it without loss, and
// integers add up exactly in any order. Only the finished sum is rounded, once,
// to the nearest double. That double is the correctly rounded value of the
// true sum, which is at least as precise as summing in double.
//
// When the values span few enough bits, the grid's integers fit a double's
// 53-bit significand and plain double arithmetic is already exact; that is
// the usual case (see AccDouble).
//
// The grid is chosen per set of values from a survey of their exponents: with
// e the smallest exponent field among the nonzero values (subnormals counted
// as 1), every float is an integer multiple of 2^(e - 150), and with E the
// largest field, every value is below 2^(E - e + 24) grid steps. A sum of N
// values then needs E - e + 24 + bitlen(N) bits plus a sign. Typical flats
// (levels from a fraction to 255, windows of a few thousand pixels) need
// about 50 bits and sum in doubles; up to 64 bits use 64-bit integers, wider
// exponent ranges 128-bit integers, and the full float range (about 280
// bits) five 64-bit limbs.
//
// The accumulators are unsigned so that intermediate wrap-around is defined;
// every finished sum lies within the signed range and is read as such.
// Infinities and NaNs are not numbers on a grid; callers count them apart.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace stelp::exact {

// Exponent fields seen in a set of floats.
struct Survey {
  uint32_t minExp = 255;  // smallest field of a nonzero finite value (subnormal = 1); 255: none
  uint32_t maxExp = 0;    // largest field of a nonzero finite value
  bool special = false;   // an infinity or a NaN is present

  bool anyNonzero() const { return minExp != 255; }
  void merge(const Survey& o) {
    if (o.minExp < minExp) minExp = o.minExp;
    if (o.maxExp > maxExp) maxExp = o.maxExp;
    special = special || o.special;
  }
};

// Surveys `count` floats, `stride` floats apart. Signed 32-bit arithmetic
// throughout so that the compiler vectorises the contiguous case even for
// SSE2; always inlined so that it is vectorised for the instruction set of
// its caller.
[[gnu::always_inline]] inline Survey survey(const float* values, size_t count, size_t stride = 1) {
  int32_t lo = 255, hi = 0, special = 0;
  auto look = [&](float v) {
    const int32_t magnitude = std::bit_cast<int32_t>(v) & 0x7FFFFFFF;
    const int32_t field = magnitude >> 23;
    // Zeros count for neither bound, infinities and NaNs (field 255) only as
    // special; subnormals have the exponent of field 1.
    const int32_t low = magnitude == 0 ? 255 : (field > 1 ? field : 1);
    const int32_t high = field == 255 ? 0 : (field > 1 ? field : static_cast<int32_t>(magnitude != 0));
    lo = lo < low ? lo : low;
    hi = hi > high ? hi : high;
    special |= field == 255 ? 1 : 0;
  };
  if (stride == 1) {
    for (size_t i = 0; i < count; ++i) look(values[i]);
  } else {
    for (size_t i = 0; i < count; ++i) look(values[i * stride]);
  }
  return Survey{static_cast<uint32_t>(lo), static_cast<uint32_t>(hi), special != 0};
}

inline int bitLength(uint64_t n) { return 64 - std::countl_zero(n); }

// Bits (with sign) that any sum of up to `terms` of the surveyed values needs.
inline int bitsNeeded(const Survey& s, uint64_t terms) {
  if (!s.anyNonzero()) return 1;
  return static_cast<int>(s.maxExp - s.minExp) + 24 + bitLength(terms) + 1;
}

// The fixed-point grid: a float v stands for the integer v * 2^shift.
struct Grid {
  uint32_t minExp = 255;
  int shift = 0;        // 150 - minExp, between -104 and 149
  double up = 1.0;      // 2^shift
  double down = 1.0;    // 2^-shift

  explicit Grid(const Survey& s) : minExp(s.anyNonzero() ? s.minExp : 150), shift(150 - static_cast<int>(minExp)) {
    up = std::bit_cast<double>(static_cast<uint64_t>(1023 + shift) << 52);
    down = std::bit_cast<double>(static_cast<uint64_t>(1023 - shift) << 52);
  }
};

// Integer significand and its left shift on the grid of a finite float;
// significand 0 for zeros.
struct OnGrid {
  uint32_t significand;
  int shift;
  bool negative;
};
inline OnGrid onGrid(float v, const Grid& g) {
  const uint32_t bits = std::bit_cast<uint32_t>(v);
  const uint32_t field = (bits >> 23) & 0xFFu;
  const uint32_t significand = (bits & 0x7FFFFFu) | (field != 0 ? 0x800000u : 0u);
  const int shift = static_cast<int>(field == 0 ? 1 : field) - static_cast<int>(g.minExp);
  return OnGrid{significand, significand != 0 ? shift : 0, (bits >> 31) != 0};
}

// Rounds a two's complement integer of `n` 64-bit limbs (least significant
// first) to the nearest double, ties to even.
inline double roundLimbs(const uint64_t* limbs, int n) {
  constexpr int kMax = 5;
  uint64_t m[kMax];
  const bool negative = (limbs[n - 1] >> 63) != 0;
  uint64_t carry = 1;  // the magnitude of a negative number: invert, add 1
  for (int i = 0; i < n; ++i) {
    if (negative) {
      m[i] = ~limbs[i] + carry;
      carry = carry != 0 && m[i] == 0 ? 1 : 0;
    } else {
      m[i] = limbs[i];
    }
  }
  int top = n - 1;
  while (top > 0 && m[top] == 0) --top;
  double magnitude;
  if (top == 0) {
    magnitude = static_cast<double>(m[0]);  // correctly rounded by the conversion
  } else {
    // The 64 bits from the leading one down, with every lower bit folded into
    // the last one as a sticky bit: far below the 53 kept, so the rounding of
    // the conversion is the rounding of the whole number.
    const int lead = std::countl_zero(m[top]);
    uint64_t window = m[top];
    bool sticky = m[top - 1] != 0;
    if (lead != 0) {
      window = (m[top] << lead) | (m[top - 1] >> (64 - lead));
      sticky = (m[top - 1] << lead) != 0;
    }
    for (int i = top - 2; i >= 0 && !sticky; --i) sticky = m[i] != 0;
    window |= sticky ? 1u : 0u;
    const int scale = 64 * top - lead;  // window * 2^scale, at most 2^320: finite
    magnitude = static_cast<double>(window) * std::bit_cast<double>(static_cast<uint64_t>(1023 + scale) << 52);
  }
  return negative ? -magnitude : magnitude;
}

// Accumulator types. Each offers fix() (a finite float as a Value), add(),
// sub() and toDouble() (the exact sum rounded to the nearest double).

// When every sum of the surveyed values needs at most 53 bits, every partial
// sum is a multiple of the grid step below 2^53 steps, which a double holds
// exactly: plain double arithmetic is then exact in any order, with no grid at
// all. This is the usual case and the fastest.
constexpr int kDoubleBits = 53;

struct AccDouble {
  using Value = double;
  static Value fix(float v, const Grid&) { return static_cast<double>(v); }
  static void add(Value& a, const Value& b) { a += b; }
  static void sub(Value& a, const Value& b) { a -= b; }
  static double toDouble(const Value& a, const Grid&) { return a; }
};

struct Acc64 {
  using Value = uint64_t;
  static Value fix(float v, const Grid& g) {
    // v * 2^shift is an integer below 2^62: exact in double, exact in int64.
    return static_cast<uint64_t>(static_cast<int64_t>(static_cast<double>(v) * g.up));
  }
  static void add(Value& a, const Value& b) { a += b; }
  static void sub(Value& a, const Value& b) { a -= b; }
  // Rounded once by the conversion; the power of two scales exactly.
  static double toDouble(const Value& a, const Grid& g) { return static_cast<double>(static_cast<int64_t>(a)) * g.down; }
};

struct Acc128 {
  using Value = unsigned __int128;
  static Value fix(float v, const Grid& g) {
    const OnGrid p = onGrid(v, g);
    const Value magnitude = static_cast<Value>(p.significand) << p.shift;
    return p.negative ? Value{0} - magnitude : magnitude;
  }
  static void add(Value& a, const Value& b) { a += b; }
  static void sub(Value& a, const Value& b) { a -= b; }
  static double toDouble(const Value& a, const Grid& g) {
    const uint64_t limbs[2] = {static_cast<uint64_t>(a), static_cast<uint64_t>(a >> 64)};
    return roundLimbs(limbs, 2) * g.down;
  }
};

// Five limbs hold any sum of up to 2^42 floats (far more than any frame
// holds) on the finest grid: 253 + 24 + 42 + 1 = 320 bits.
struct AccWide {
  static constexpr int kLimbs = 5;
  struct Value {
    uint64_t limb[kLimbs] = {};
  };
  static Value fix(float v, const Grid& g) {
    const OnGrid p = onGrid(v, g);
    Value r;
    const int word = p.shift / 64, bit = p.shift % 64;
    r.limb[word] = static_cast<uint64_t>(p.significand) << bit;
    if (bit > 40 && word + 1 < kLimbs) r.limb[word + 1] = static_cast<uint64_t>(p.significand) >> (64 - bit);
    if (p.negative) {
      uint64_t carry = 1;
      for (uint64_t& l : r.limb) {
        l = ~l + carry;
        carry = carry && l == 0;
      }
    }
    return r;
  }
  static void add(Value& a, const Value& b) {
    uint64_t carry = 0;
    for (int i = 0; i < kLimbs; ++i) {
      const unsigned __int128 t = static_cast<unsigned __int128>(a.limb[i]) + b.limb[i] + carry;
      a.limb[i] = static_cast<uint64_t>(t);
      carry = static_cast<uint64_t>(t >> 64);
    }
  }
  static void sub(Value& a, const Value& b) {
    uint64_t borrow = 0;
    for (int i = 0; i < kLimbs; ++i) {
      const unsigned __int128 t = static_cast<unsigned __int128>(a.limb[i]) - b.limb[i] - borrow;
      a.limb[i] = static_cast<uint64_t>(t);
      borrow = static_cast<uint64_t>(t >> 64) & 1u;
    }
  }
  static double toDouble(const Value& a, const Grid& g) { return roundLimbs(a.limb, kLimbs) * g.down; }
};

template <typename Acc>
double sumOnGrid(const float* values, size_t count, size_t stride, const Grid& g) {
  if constexpr (std::is_same_v<Acc, AccDouble>) {
    // Exact in any order, so four running sums may share the work.
    double part[4] = {0.0, 0.0, 0.0, 0.0};
    size_t i = 0;
    for (; i + 4 <= count; i += 4)
      for (size_t k = 0; k < 4; ++k) part[k] += static_cast<double>(values[(i + k) * stride]);
    for (; i < count; ++i) part[0] += static_cast<double>(values[i * stride]);
    return (part[0] + part[1]) + (part[2] + part[3]);
  } else {
    typename Acc::Value total{};
    for (size_t i = 0; i < count; ++i) Acc::add(total, Acc::fix(values[i * stride], g));
    return Acc::toDouble(total, g);
  }
}

// The exact sum of `count` values `stride` apart that the survey `s` covers,
// on the narrowest accumulator that holds it.
inline double sumSurveyed(const float* values, size_t count, size_t stride, const Survey& s) {
  const Grid g(s);
  const int bits = bitsNeeded(s, count);
  if (bits <= kDoubleBits) return sumOnGrid<AccDouble>(values, count, stride, g);
  if (bits <= 64) return sumOnGrid<Acc64>(values, count, stride, g);
  if (bits <= 128) return sumOnGrid<Acc128>(values, count, stride, g);
  return sumOnGrid<AccWide>(values, count, stride, g);
}

// Exact sum of `count` floats `stride` apart, rounded once to double, on a
// grid chosen for them. Infinities and NaNs give what every order of double
// additions gives: NaN for a NaN or for both infinities, else the infinity.
inline double sum(const float* values, size_t count, size_t stride = 1) {
  const Survey s = survey(values, count, stride);
  if (s.special) {
    bool nan = false, plus = false, minus = false;
    for (size_t i = 0; i < count; ++i) {
      const float v = values[i * stride];
      nan = nan || v != v;
      plus = plus || v == __builtin_inff();
      minus = minus || v == -__builtin_inff();
    }
    if (nan || (plus && minus)) return __builtin_nan("");
    if (plus || minus) return plus ? __builtin_inf() : -__builtin_inf();
  }
  return sumSurveyed(values, count, stride, s);
}

// The exact sums of the `channels` interleaved channels of `pixels` pixels,
// each rounded once to double, into out[0 .. channels - 1]. One survey and
// one grid serve all channels.
inline void sumChannels(const float* values, size_t pixels, int channels, double* out) {
  const size_t stride = static_cast<size_t>(channels);
  const Survey s = survey(values, pixels * stride);
  if (s.special) {
    for (int c = 0; c < channels; ++c) out[c] = sum(values + c, pixels, stride);
    return;
  }
  for (int c = 0; c < channels; ++c) out[c] = sumSurveyed(values + c, pixels, stride, s);
}

}  // namespace stelp::exact
