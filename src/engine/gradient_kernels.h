// The row kernels of gradient detection and smoothing. gradient.cpp includes
// this file twice: once for the baseline instruction set (SSE2 on x86-64) and
// once, inside a `#pragma GCC target("avx2")` region, for processors that
// have AVX2; it picks one at run time. Both copies compute the same integers
// and the same exact sums, so the products do not depend on the choice.
//
// Before including: STELP_KERNEL_NS names the namespace of this copy, and
// STELP_KERNEL_AVX2 is 1 for the AVX2 copy and 0 otherwise. gradient.cpp
// includes it inside its own unnamed namespace, after everything the kernels
// use (Band, DetectJob, SmoothJob, runRows, exact::, the standard headers).

// No include guard: included once per instruction set.

namespace STELP_KERNEL_NS {

// ---------------------------------------------------------------------------
// Histogram counters
//
// A histogram here is 16 cumulative counters: counter b holds the number of
// levels in bins 0..b. Columns and the window keep one coarse histogram (bin =
// level >> 4) and one fine histogram per coarse bin (bin = level & 15). The
// operations a kernel needs are gathered in two sets of counters:
// - Narrow (the usual case): column counters of 8 bits (a column's window is
//   at most 255 rows), window counters of 16 bits (at most 32767 pixels);
// - Wide: counters of 16, 32 or 64 bits everywhere, for larger windows.
// Counts wrap on the way (a fine histogram brought up to date lazily may drop
// a column before adding it back); every count that is compared is a true
// count and within the signed range of its counters.

#if defined(__SSE2__)
struct Narrow {
  struct Col {
    __m128i v;
  };
#if STELP_KERNEL_AVX2
  struct Win {
    __m256i v;
  };
#else
  struct Win {
    __m128i lo, hi;
  };
#endif

  static Col zeroCol() { return Col{_mm_setzero_si128()}; }
  static Col step(int i) {  // 1 in the counters from i up
    alignas(16) uint8_t ramp[16];
    for (int b = 0; b < 16; ++b) ramp[b] = b >= i ? 1 : 0;
    return Col{_mm_load_si128(reinterpret_cast<const __m128i*>(ramp))};
  }
  static void add(Col& c, const Col& s) { c.v = _mm_add_epi8(c.v, s.v); }
  static void sub(Col& c, const Col& s) { c.v = _mm_sub_epi8(c.v, s.v); }

#if STELP_KERNEL_AVX2
  static Win zeroWin() { return Win{_mm256_setzero_si256()}; }
  static Win splat(int64_t value) { return Win{_mm256_set1_epi16(static_cast<int16_t>(value))}; }
  static void add(Win& w, const Col& c) { w.v = _mm256_add_epi16(w.v, _mm256_cvtepu8_epi16(c.v)); }
  static void sub(Win& w, const Col& c) { w.v = _mm256_sub_epi16(w.v, _mm256_cvtepu8_epi16(c.v)); }
  static Win minus(const Win& a, const Win& b) { return Win{_mm256_sub_epi16(a.v, b.v)}; }
  static int firstAbove(const Win& w, const Win& limit) {
    const unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpgt_epi16(w.v, limit.v)));
    return __builtin_ctz(mask) >> 1;
  }
  static Win lastNotAbove(const Win& w, const Win& limit) {
    const __m256i kept = _mm256_andnot_si256(_mm256_cmpgt_epi16(w.v, limit.v), w.v);
    __m128i m = _mm_max_epi16(_mm256_castsi256_si128(kept), _mm256_extracti128_si256(kept, 1));
    m = _mm_max_epi16(m, _mm_shuffle_epi32(m, 0x4E));
    m = _mm_max_epi16(m, _mm_shuffle_epi32(m, 0xB1));
    m = _mm_max_epi16(m, _mm_or_si128(_mm_slli_epi32(m, 16), _mm_srli_epi32(m, 16)));
    return Win{_mm256_broadcastsi128_si256(m)};
  }
#else
  static Win zeroWin() { return Win{_mm_setzero_si128(), _mm_setzero_si128()}; }
  static Win splat(int64_t value) {
    const __m128i v = _mm_set1_epi16(static_cast<int16_t>(value));
    return Win{v, v};
  }
  static void add(Win& w, const Col& c) {
    const __m128i zero = _mm_setzero_si128();
    w.lo = _mm_add_epi16(w.lo, _mm_unpacklo_epi8(c.v, zero));
    w.hi = _mm_add_epi16(w.hi, _mm_unpackhi_epi8(c.v, zero));
  }
  static void sub(Win& w, const Col& c) {
    const __m128i zero = _mm_setzero_si128();
    w.lo = _mm_sub_epi16(w.lo, _mm_unpacklo_epi8(c.v, zero));
    w.hi = _mm_sub_epi16(w.hi, _mm_unpackhi_epi8(c.v, zero));
  }
  static Win minus(const Win& a, const Win& b) { return Win{_mm_sub_epi16(a.lo, b.lo), _mm_sub_epi16(a.hi, b.hi)}; }
  static int firstAbove(const Win& w, const Win& limit) {
    const __m128i g = _mm_packs_epi16(_mm_cmpgt_epi16(w.lo, limit.lo), _mm_cmpgt_epi16(w.hi, limit.hi));
    return __builtin_ctz(static_cast<unsigned>(_mm_movemask_epi8(g)));
  }
  static Win lastNotAbove(const Win& w, const Win& limit) {
    // Counts are never negative: zero the counters above the limit, then
    // spread the largest to every lane.
    __m128i m = _mm_max_epi16(_mm_andnot_si128(_mm_cmpgt_epi16(w.lo, limit.lo), w.lo),
                              _mm_andnot_si128(_mm_cmpgt_epi16(w.hi, limit.hi), w.hi));
    m = _mm_max_epi16(m, _mm_shuffle_epi32(m, 0x4E));
    m = _mm_max_epi16(m, _mm_shuffle_epi32(m, 0xB1));
    m = _mm_max_epi16(m, _mm_or_si128(_mm_slli_epi32(m, 16), _mm_srli_epi32(m, 16)));
    return Win{m, m};
  }
#endif
};
#endif

template <typename T>
struct Wide {
  using S = std::make_signed_t<T>;
  typedef T Vec __attribute__((vector_size(16)));
  typedef S SVec __attribute__((vector_size(16)));
  static constexpr int kPerVec = 16 / static_cast<int>(sizeof(T));
  static constexpr int kVecs = 16 / kPerVec;
  struct Col {
    Vec v[kVecs];
  };
  using Win = Col;

  static Col zeroCol() { return Col{}; }
  static Win zeroWin() { return Col{}; }
  static Col step(int i) {
    Col c{};
    for (int b = i; b < 16; ++b) c.v[b / kPerVec][b % kPerVec] = 1;
    return c;
  }
  static Win splat(int64_t value) {
    Col c;
    for (Vec& x : c.v) x = Vec{} + static_cast<T>(value);
    return c;
  }
  static void add(Col& c, const Col& s) {
    for (int k = 0; k < kVecs; ++k) c.v[k] += s.v[k];
  }
  static void sub(Col& c, const Col& s) {
    for (int k = 0; k < kVecs; ++k) c.v[k] -= s.v[k];
  }
  static Win minus(const Win& a, const Win& b) {
    Col c = a;
    sub(c, b);
    return c;
  }
  static S lane(const Col& c, int i) { return static_cast<S>(c.v[i / kPerVec][i % kPerVec]); }
  static int firstAbove(const Win& w, const Win& limit) {
    SVec notAbove[kVecs];
    for (int k = 0; k < kVecs; ++k) notAbove[k] = reinterpret_cast<const SVec&>(w.v[k]) <= reinterpret_cast<const SVec&>(limit.v[k]);
    int index = 0;
    for (int k = 0; k < kVecs; ++k)
      for (int l = 0; l < kPerVec; ++l) index -= static_cast<int>(notAbove[k][l]);
    return index;
  }
  static Win lastNotAbove(const Win& w, const Win& limit) {
    const S l = lane(limit, 0);
    S best = 0;
    for (int i = 0; i < 16; ++i) {
      const S x = lane(w, i);
      if (x <= l && x > best) best = x;
    }
    return splat(best);
  }
};

// ---------------------------------------------------------------------------
// Detection

// The levels of rows [first, end) of the flat into `map`.
inline void writeLevels(const ImageBuffer& flat, ImageBuffer& map, int32_t first, int32_t end) {
  const bool colour = flat.format == PixelFormat::BgrFloat;
  const int32_t width = flat.width;
  for (int32_t y = first; y < end; ++y) {
    const float* in = floatRow(flat, y);
    uint8_t* out = map.row(y);
    if (colour) {
      for (int32_t x = 0; x < width; ++x) out[x] = levelOf(luminance(in[3 * x], in[3 * x + 1], in[3 * x + 2]));
    } else {
      for (int32_t x = 0; x < width; ++x) out[x] = levelOf(in[x]);
    }
  }
}

// One thread's share of the band rows: per band column the cumulative coarse
// histogram and 16 cumulative fine histograms of the column's window rows.
template <class H>
class MedianRows {
 public:
  using Col = typename H::Col;
  using Win = typename H::Win;

  explicit MedianRows(const DetectJob& job)
      : job_(job), w_(job.band.w), coarse_(static_cast<size_t>(w_), H::zeroCol()),
        fine_(static_cast<size_t>(w_) * 16, H::zeroCol()) {
    for (int i = 0; i < 16; ++i) step_[i] = H::step(i);
  }

  void run(int32_t j0, int32_t j1) {
    const Band& band = job_.band;
    int32_t top = j0 - band.hy(j0), bottom = j0 + band.hy(j0);
    for (int32_t r = top; r <= bottom; ++r) addRow(job_.levelRow(r));
    for (int32_t j = j0; j < j1; ++j) {
      if (j > j0) {
        const int32_t newTop = j - band.hy(j), newBottom = j + band.hy(j);
        for (; top < newTop && bottom < newBottom; ++top, ++bottom)
          replaceRow(job_.levelRow(top), job_.levelRow(bottom + 1));
        for (; top < newTop; ++top) removeRow(job_.levelRow(top));
        while (bottom < newBottom) addRow(job_.levelRow(++bottom));
      }
      sweep(j);
    }
  }

 private:
  Col& fine(int32_t column, int bin) { return fine_[static_cast<size_t>(column) * 16 + static_cast<size_t>(bin)]; }

  void addRow(const uint8_t* levels) {
    for (int32_t c = 0; c < w_; ++c) {
      const int v = levels[c];
      H::add(coarse_[static_cast<size_t>(c)], step_[v >> 4]);
      H::add(fine(c, v >> 4), step_[v & 15]);
    }
  }
  void removeRow(const uint8_t* levels) {
    for (int32_t c = 0; c < w_; ++c) {
      const int v = levels[c];
      H::sub(coarse_[static_cast<size_t>(c)], step_[v >> 4]);
      H::sub(fine(c, v >> 4), step_[v & 15]);
    }
  }
  void replaceRow(const uint8_t* leaving, const uint8_t* entering) {
    for (int32_t c = 0; c < w_; ++c) {
      const int o = leaving[c], n = entering[c];
      Col& col = coarse_[static_cast<size_t>(c)];
      H::sub(col, step_[o >> 4]);
      H::add(col, step_[n >> 4]);
      H::sub(fine(c, o >> 4), step_[o & 15]);
      H::add(fine(c, n >> 4), step_[n & 15]);
    }
  }

  void sweep(int32_t j) {
    const Band& band = job_.band;
    const int64_t rows = 2 * int64_t{band.hy(j)} + 1;
    const uint8_t* levels = job_.levelRow(j);
    uint8_t* out = job_.resultRow(j);

    // The window's cumulative coarse histogram, and the fine histogram of one
    // coarse bin (`bin`), both moved with the window. The median stays in the
    // same coarse bin from one pixel to the next nearly always; when it moves,
    // the current fine histogram is put aside with the columns it covers and
    // the new bin's is brought up to date from where it was put aside.
    Win window = H::zeroWin(), current = H::zeroWin();
    int bin = 0;
    for (int s = 0; s < 16; ++s) {
      aside_[s] = H::zeroWin();
      from_[s] = 0;
      to_[s] = -1;
    }
    int32_t left = 0, right = -1;
    Win half = H::splat(0);

    auto test = [&](int32_t i) {
      const int s = H::firstAbove(window, half);
      if (s != bin) switchBin(current, bin, s, left, right);
      const int hi = 16 * s + H::firstAbove(current, H::minus(half, H::lastNotAbove(window, half)));
      const uint8_t m = levels[i];
      const int keep = static_cast<int>(hi > job_.lowLimit[m]) & static_cast<int>(hi < job_.highLimit[m]);
      out[i] = static_cast<uint8_t>(m * keep);
    };
    // Any pixel: the window grows or shrinks by up to two columns.
    auto edge = [&](int32_t i) {
      const int32_t hx = band.hx(i);
      half = H::splat(((2 * int64_t{hx} + 1) * rows) >> 1);
      while (right < i + hx) {
        ++right;
        H::add(window, coarse_[static_cast<size_t>(right)]);
        H::add(current, fine(right, bin));
      }
      while (left < i - hx) {
        H::sub(window, coarse_[static_cast<size_t>(left)]);
        H::sub(current, fine(left, bin));
        ++left;
      }
      test(i);
    };

    // Left edge (hx = i), the middle of the band (hx = rx: one column in, one
    // out, the same pixel count) and the right edge.
    const int32_t rx = band.rx;
    const int32_t middle = std::min(rx, w_), rightEdge = std::max(middle, w_ - rx);
    int32_t i = 0;
    for (; i < middle; ++i) edge(i);
    if (i < rightEdge) edge(i++);
    for (; i < rightEdge; ++i) {
      const int32_t enter = i + rx, leave = i - rx - 1;
      H::add(window, coarse_[static_cast<size_t>(enter)]);
      H::sub(window, coarse_[static_cast<size_t>(leave)]);
      H::add(current, fine(enter, bin));
      H::sub(current, fine(leave, bin));
      right = enter;
      left = leave + 1;
      test(i);
    }
    for (; i < w_; ++i) edge(i);
  }

  // Puts `current` aside as bin `from`'s fine histogram over [left, right]
  // and replaces it by bin `to`'s over the same columns: the columns passed
  // since that one was put aside are dropped on the left and added on the
  // right, or it is summed afresh when that is less work.
  void switchBin(Win& current, int& from, int to, int32_t left, int32_t right) {
    aside_[from] = current;
    from_[from] = left;
    to_[from] = right;
    Win& f = aside_[to];
    if (int64_t{left} - from_[to] + (int64_t{right} - to_[to]) > int64_t{right} - left + 1) {
      f = H::zeroWin();
      for (int32_t c = left; c <= right; ++c) H::add(f, fine(c, to));
    } else {
      for (int32_t c = from_[to]; c < left; ++c) H::sub(f, fine(c, to));
      for (int32_t c = to_[to] + 1; c <= right; ++c) H::add(f, fine(c, to));
    }
    current = f;
    from = to;
  }

  const DetectJob& job_;
  const int32_t w_;
  std::vector<Col> coarse_;  // per column: cumulative coarse histogram
  std::vector<Col> fine_;    // per column and coarse bin: cumulative fine histogram
  Col step_[16];             // step_[i]: 1 in the counters from i up
  Win aside_[16];            // fine histograms of the window put aside ...
  int32_t from_[16];         // ... and the columns they cover
  int32_t to_[16];
};

template <class H>
bool detectRows(const DetectJob& job, int threads) {
  return runRows(job.band.h, threads, job.band.grain(),
                 [&](int32_t first, int32_t end) { MedianRows<H>(job).run(first, end); });
}

// Picks the narrowest counters that hold the largest window and column, or
// wider ones when asked.
inline bool detectBand(const DetectJob& job, int threads, int minCounterBits) {
  const int64_t window = job.band.maxWindow(), column = job.band.maxColumn();
#if defined(__SSE2__)
  if (minCounterBits == 0 && window <= INT16_MAX && column <= UINT8_MAX) return detectRows<Narrow>(job, threads);
#endif
  if (minCounterBits <= 16 && window <= INT16_MAX) return detectRows<Wide<uint16_t>>(job, threads);
  if (minCounterBits <= 32 && window <= INT32_MAX) return detectRows<Wide<uint32_t>>(job, threads);
  return detectRows<Wide<uint64_t>>(job, threads);
}

// ---------------------------------------------------------------------------
// Smoothing

// One thread's share of the band rows: per band column the exact sums of the
// accepted flat values (C channels) and their count over the column's window
// rows; along each row the window sums slide over these.
// The exact sums of the C channels of `pixels` pixels into out[0 .. C-1].
// Rows of a usual synthetic flat need few enough bits to sum exactly in
// doubles, in any order (four running sums here); others take the general
// path.
template <int C>
void exactRowSums(const float* values, size_t pixels, double* out) {
  const exact::Survey s = exact::survey(values, pixels * C);
  if (s.special || exact::bitsNeeded(s, pixels) > exact::kDoubleBits) {
    exact::sumChannels(values, pixels, C, out);
    return;
  }
  double part[4][C] = {};
  size_t i = 0;
  for (; i + 4 <= pixels; i += 4)
    for (size_t k = 0; k < 4; ++k)
      for (int c = 0; c < C; ++c) part[k][c] += static_cast<double>(values[(i + k) * C + c]);
  for (; i < pixels; ++i)
    for (int c = 0; c < C; ++c) part[0][c] += static_cast<double>(values[i * C + c]);
  for (int c = 0; c < C; ++c) out[c] = (part[0][c] + part[1][c]) + (part[2][c] + part[3][c]);
}

template <int C, typename Acc, bool kSpecial>
class BoxRows {
 public:
  using Value = typename Acc::Value;

  explicit BoxRows(const SmoothJob<C>& job)
      : job_(job), w_(job.band.w), sums_(static_cast<size_t>(w_) * C, Value{}), counts_(static_cast<size_t>(w_), 0),
        specials_(kSpecial ? static_cast<size_t>(w_) * C : 0), totals_(static_cast<size_t>(w_) * C),
        divisors_(static_cast<size_t>(w_) * C), accepted_(static_cast<size_t>(w_) * C) {}

  void run(int32_t j0, int32_t j1) {
    const Band& band = job_.band;
    int32_t top = j0 - band.hy(j0), bottom = j0 + band.hy(j0);
    for (int32_t r = top; r <= bottom; ++r) update<false, true>(0, r);
    for (int32_t j = j0; j < j1; ++j) {
      if (j > j0) {
        const int32_t newTop = j - band.hy(j), newBottom = j + band.hy(j);
        for (; top < newTop && bottom < newBottom; ++top, ++bottom) update<true, true>(top, bottom + 1);
        for (; top < newTop; ++top) update<true, false>(top, 0);
        while (bottom < newBottom) update<false, true>(0, ++bottom);
      }
      sweep(j);
    }
  }

 private:
  // Removes the accepted pixels of band row `leaving` and adds those of row
  // `entering` (each when asked).
  template <bool kLeave, bool kEnter>
  void update(int32_t leaving, int32_t entering) {
    const float* oldFlat = job_.flatRow(leaving);
    const uint8_t* oldMap = job_.mapRow(leaving);
    const float* newFlat = job_.flatRow(entering);
    const uint8_t* newMap = job_.mapRow(entering);
    Value* sums = sums_.data();
    int32_t* counts = counts_.data();
    if constexpr (kSpecial) {
      for (int32_t c = 0; c < w_; ++c) {
        if (kLeave && oldMap[c] != 0) {
          --counts[c];
          for (int k = 0; k < C; ++k) removeSpecial(c, k, oldFlat[static_cast<size_t>(c) * C + k]);
        }
        if (kEnter && newMap[c] != 0) {
          ++counts[c];
          for (int k = 0; k < C; ++k) addSpecial(c, k, newFlat[static_cast<size_t>(c) * C + k]);
        }
      }
    } else {
      for (int32_t c = 0; c < w_; ++c) {
        const bool out = kLeave && oldMap[c] != 0, in = kEnter && newMap[c] != 0;
        counts[c] += static_cast<int32_t>(in) - static_cast<int32_t>(out);
        if constexpr (std::is_same_v<Acc, exact::AccDouble>) {
          // Masks as factors 0 and 1 keep the loop free of branches, so that
          // it vectorises. Both values lie on the grid and are finite, so
          // the products, the difference and the new sum are exact.
          const double enters = in ? 1.0 : 0.0, leaves = out ? 1.0 : 0.0;
          for (int k = 0; k < C; ++k) {
            const size_t at = static_cast<size_t>(c) * C + k;
            sums[at] += static_cast<double>(newFlat[at]) * enters - static_cast<double>(oldFlat[at]) * leaves;
          }
        } else {
          for (int k = 0; k < C; ++k) {
            const size_t at = static_cast<size_t>(c) * C + k;
            if (out) Acc::sub(sums[at], Acc::fix(oldFlat[at], job_.grid));
            if (in) Acc::add(sums[at], Acc::fix(newFlat[at], job_.grid));
          }
        }
      }
    }
  }

  void addSpecial(int32_t c, int k, float v) {
    const size_t at = static_cast<size_t>(c) * C + k;
    if (std::isfinite(v)) Acc::add(sums_[at], Acc::fix(v, job_.grid));
    else ++(v != v ? specials_[at].nan : v > 0 ? specials_[at].plus : specials_[at].minus);
  }
  void removeSpecial(int32_t c, int k, float v) {
    const size_t at = static_cast<size_t>(c) * C + k;
    if (std::isfinite(v)) Acc::sub(sums_[at], Acc::fix(v, job_.grid));
    else --(v != v ? specials_[at].nan : v > 0 ? specials_[at].plus : specials_[at].minus);
  }

  void sweep(int32_t j) {
    const Band& band = job_.band;
    const Value* sums = sums_.data();
    const int32_t* counts = counts_.data();
    double* totals = totals_.data();
    float* divisors = divisors_.data();

    // First the exact window sums along the row, rounded once to double, and
    // the accepted counts as floats (one per channel value).
    Value sum[C] = {};
    Specials special[C] = {};
    int64_t count = 0;
    int32_t left = 0, right = -1;
    int32_t* accepted = accepted_.data();
    auto finish = [&](int32_t i) {
      // With no pixel accepted the quotient is not used; dividing by 1 keeps
      // the division harmless.
      const float k = count != 0 ? static_cast<float>(count) : 1.0f;
      const int32_t any = count != 0 ? -1 : 0;
      for (int c = 0; c < C; ++c) {
        double total = Acc::toDouble(sum[c], job_.grid);
        if constexpr (kSpecial) total = special[c].sum(total);
        const size_t at = static_cast<size_t>(i) * C + c;
        totals[at] = total;
        divisors[at] = k;
        accepted[at] = any;
      }
    };
    auto edge = [&](int32_t i) {
      const int32_t hx = band.hx(i);
      while (right < i + hx) {
        ++right;
        count += counts[right];
        for (int c = 0; c < C; ++c) Acc::add(sum[c], sums[static_cast<size_t>(right) * C + c]);
        if constexpr (kSpecial)
          for (int c = 0; c < C; ++c) special[c].add(specials_[static_cast<size_t>(right) * C + c]);
      }
      while (left < i - hx) {
        count -= counts[left];
        for (int c = 0; c < C; ++c) Acc::sub(sum[c], sums[static_cast<size_t>(left) * C + c]);
        if constexpr (kSpecial)
          for (int c = 0; c < C; ++c) special[c].sub(specials_[static_cast<size_t>(left) * C + c]);
        ++left;
      }
      finish(i);
    };
    const int32_t rx = band.rx;
    const int32_t middle = std::min(rx, w_), rightEdge = std::max(middle, w_ - rx);
    int32_t i = 0;
    for (; i < middle; ++i) edge(i);
    if (i < rightEdge) edge(i++);
    if constexpr (!kSpecial) {
      // The middle of the band: one column in, one out.
      for (; i < rightEdge; ++i) {
        const size_t enter = static_cast<size_t>(i + rx), leave = static_cast<size_t>(i - rx - 1);
        count += counts[enter] - counts[leave];
        for (int c = 0; c < C; ++c) {
          Value change = sums[enter * C + c];
          Acc::sub(change, sums[leave * C + c]);
          Acc::add(sum[c], change);
        }
        right = i + rx;
        left = i - rx;
        finish(i);
      }
    }
    for (; i < w_; ++i) edge(i);

    // Then the quotients, sum / k with k as a float, rounded to float; the
    // flat's own value where no pixel was accepted; 255 for an exact 0 (of
    // either sign). The choices are made on the bits, so that the loop has
    // no branch and vectorises.
    const float* flat = job_.flatRow(j);
    float* row = job_.syntheticRow(j);
    float* out = row + static_cast<size_t>(band.x0) * C;
    const size_t values = static_cast<size_t>(w_) * C;
    for (size_t v = 0; v < values; ++v) {
      const float quotient = static_cast<float>(totals[v] / static_cast<double>(divisors[v]));
      int32_t bits = (std::bit_cast<int32_t>(quotient) & accepted[v]) | (std::bit_cast<int32_t>(flat[v]) & ~accepted[v]);
      const int32_t zero = -static_cast<int32_t>((bits & 0x7FFFFFFF) == 0);
      bits = (bits & ~zero) | (std::bit_cast<int32_t>(255.0f) & zero);
      out[v] = std::bit_cast<float>(bits);
    }

    exactRowSums<C>(out, static_cast<size_t>(w_), job_.rowSums + static_cast<size_t>(j) * C);

    // The edge left and right of the band copies the band's first and last
    // pixel of the row.
    for (int32_t x = 0; x < band.x0; ++x) std::memcpy(row + static_cast<size_t>(x) * C, out, sizeof(float) * C);
    const float* last = out + static_cast<size_t>(w_ - 1) * C;
    for (int32_t x = band.x0 + w_; x < band.width; ++x)
      std::memcpy(row + static_cast<size_t>(x) * C, last, sizeof(float) * C);
  }

  const SmoothJob<C>& job_;
  const int32_t w_;
  std::vector<Value> sums_;      // per column and channel
  std::vector<int32_t> counts_;  // per column
  std::vector<Specials> specials_;
  std::vector<double> totals_;    // per pixel and channel of the row being finished:
  std::vector<float> divisors_;   // the sums, the counts as floats (1 for none)
  std::vector<int32_t> accepted_;  // and all ones where the count is not 0
};

template <int C, typename Acc, bool kSpecial>
bool smoothRowsWith(const SmoothJob<C>& job, int threads) {
  return runRows(job.band.h, threads, job.band.grain(),
                 [&](int32_t first, int32_t end) { BoxRows<C, Acc, kSpecial>(job).run(first, end); });
}

// Surveys the flat's band, then picks the narrowest accumulator its values
// need (see gradient_exact.h), or a wider one when asked.
template <int C>
bool smoothBand(SmoothJob<C>& job, int threads, int minSumKind) {
  const Band& band = job.band;
  std::vector<exact::Survey> rows(static_cast<size_t>(band.h));
  parallelRanges(band.h, threads, 64, [&](int64_t first, int64_t end) {
    for (int64_t j = first; j < end; ++j)
      rows[static_cast<size_t>(j)] =
          exact::survey(job.flatRow(static_cast<int32_t>(j)), static_cast<size_t>(band.w) * C);
  });
  exact::Survey s;
  for (const exact::Survey& row : rows) s.merge(row);
  job.survey = s;
  job.grid = exact::Grid(s);

  const int64_t window = band.maxWindow(), column = band.maxColumn();
  // Double sums must also hold the sliding intermediates: the window plus
  // the two columns that enter or leave it at once.
  if (minSumKind == 0 && exact::bitsNeeded(s, static_cast<uint64_t>(window + 2 * column)) <= exact::kDoubleBits) {
    return s.special ? smoothRowsWith<C, exact::AccDouble, true>(job, threads)
                     : smoothRowsWith<C, exact::AccDouble, false>(job, threads);
  }
  const int bits = exact::bitsNeeded(s, static_cast<uint64_t>(window));
  if (minSumKind <= 1 && bits <= 64)
    return s.special ? smoothRowsWith<C, exact::Acc64, true>(job, threads)
                     : smoothRowsWith<C, exact::Acc64, false>(job, threads);
  if (minSumKind <= 2 && bits <= 128)
    return s.special ? smoothRowsWith<C, exact::Acc128, true>(job, threads)
                     : smoothRowsWith<C, exact::Acc128, false>(job, threads);
  return s.special ? smoothRowsWith<C, exact::AccWide, true>(job, threads)
                   : smoothRowsWith<C, exact::AccWide, false>(job, threads);
}

}  // namespace STELP_KERNEL_NS
