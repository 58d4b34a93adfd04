#include "engine/gradient.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/gradient_exact.h"
#include "engine/parallel.h"

// Gradient detection and the synthetic flat.
//
// Both operations look at a window around every pixel of the band (the frame
// less `border` pixels at each edge). The window's half-sizes are
//   hx = min(filterWidth >> 1, x - B, W - B - 1 - x),
//   hy = min(filterHeight >> 1, y - B, H - B - 1 - y),
// so hx depends on the column only and hy on the row only. Along a row the
// window's left and right columns never move left (near the band's edges
// the window grows or shrinks by one column on each side per pixel), and down
// the band its top and bottom rows never move up. Everything below slides
// state over these monotone ranges.
//
// Detection keeps, per band column, a histogram of the levels in the
// column's window rows (the constant-time median of Perreault and Hébert):
// going down one row adds the entering rows' levels and removes the leaving
// ones, and going along a row adds the entering column's histogram to the
// window's and subtracts the leaving one's. Histograms have two levels: 16
// coarse bins (level >> 4) and, per coarse bin, 16 fine bins. Both are kept
// cumulative (bin b counts the levels up to b), so the median bin is found by
// comparing 16 counters with half the window at once. The window's fine
// histograms are brought up to date lazily, only for the coarse bin that holds
// the median.
//
// Smoothing keeps, per band column, the exact sums of the accepted flat
// values and their count over the column's window rows, and slides window sums
// along the row the same way (see gradient_exact.h for the exact sums).
//
// Work is split into contiguous ranges of band rows, one per thread; each
// thread builds its own column state from the first row of its range. Since
// every result depends only on the window's contents, the products are the
// same for any number of threads.

namespace stelp {
namespace {

// ---------------------------------------------------------------------------
// Geometry

struct Band {
  int32_t width = 0;   // frame
  int32_t height = 0;
  int32_t x0 = 0;      // first band column and row: the border
  int32_t y0 = 0;
  int32_t w = 0;       // band size; 0 when the border leaves no pixel
  int32_t h = 0;
  int32_t rx = 0;      // half-sizes in the middle of the band
  int32_t ry = 0;

  Band(int32_t frameWidth, int32_t frameHeight, const FlatGroup& s) : width(frameWidth), height(frameHeight) {
    // A negative border leaves nothing out; a negative filter size is a
    // window one pixel wide or high.
    const int64_t b = std::max<int32_t>(s.border, 0);
    if (2 * b < width && 2 * b < height) {
      x0 = y0 = static_cast<int32_t>(b);
      w = static_cast<int32_t>(width - 2 * b);
      h = static_cast<int32_t>(height - 2 * b);
    }
    rx = std::max<int32_t>(s.filterWidth, 0) >> 1;
    ry = std::max<int32_t>(s.filterHeight, 0) >> 1;
  }

  bool empty() const { return w == 0; }
  int32_t hx(int32_t i) const { return std::min(std::min(rx, i), w - 1 - i); }  // i: band column
  int32_t hy(int32_t j) const { return std::min(std::min(ry, j), h - 1 - j); }  // j: band row
  int64_t pixels() const { return int64_t{w} * h; }
  // The most pixels any window holds.
  int64_t maxWindow() const {
    return std::min<int64_t>(2 * int64_t{rx} + 1, w) * std::min<int64_t>(2 * int64_t{ry} + 1, h);
  }
  // Rows per thread at least: building a thread's column state costs about
  // one window height of row updates.
  int64_t grain() const { return std::max<int64_t>(8, 2 * int64_t{ry} + 1); }
};

const float* floatRow(const ImageBuffer& image, int32_t y) { return reinterpret_cast<const float*>(image.row(y)); }
float* floatRow(ImageBuffer& image, int32_t y) { return reinterpret_cast<float*>(image.row(y)); }

bool isFlatFormat(const ImageBuffer& image) {
  return (image.pixelFormat() == PixelFormat::GrayFloat || image.pixelFormat() == PixelFormat::BgrFloat) &&
         image.bytesPerPixel == bytesPerPixelOf(image.pixelFormat()) && image.width > 0 && image.height > 0 &&
         image.pixels && image.rowBytes == image.width * image.bytesPerPixel;
}

// Runs work(first, end) over row ranges; false when some range ran out of
// memory for its scratch state.
template <typename Work>
bool runRows(int64_t rows, int threads, int64_t grain, Work work) {
  std::atomic<bool> failed{false};
  parallelRanges(rows, threads, grain, [&](int64_t first, int64_t end) {
    try {
      work(static_cast<int32_t>(first), static_cast<int32_t>(end));
    } catch (const std::bad_alloc&) {
      failed = true;
    }
  });
  return !failed;
}

// ---------------------------------------------------------------------------
// Levels

// The low eight bits of the grey level truncated toward zero, 0 stored as 1.
// From 2^31 up a float is a multiple of 256, so its low byte is 0; NaN has no
// integer part and is treated the same way.
inline uint8_t levelOf(float g) {
  const float inRange = std::fabs(g) < 2147483648.0f ? g : 0.0f;
  const uint8_t low = static_cast<uint8_t>(static_cast<int32_t>(inRange));
  return low != 0 ? low : 1;
}

void writeLevels(const ImageBuffer& flat, ImageBuffer& map, int threads) {
  const bool colour = flat.pixelFormat() == PixelFormat::BgrFloat;
  const int32_t width = flat.width;
  parallelRanges(flat.height, threads, 64, [&](int64_t first, int64_t end) {
    for (int32_t y = static_cast<int32_t>(first); y < end; ++y) {
      const float* in = floatRow(flat, y);
      uint8_t* out = map.row(y);
      if (colour) {
        for (int32_t x = 0; x < width; ++x) out[x] = levelOf(luminance(in[3 * x], in[3 * x + 1], in[3 * x + 2]));
      } else {
        for (int32_t x = 0; x < width; ++x) out[x] = levelOf(in[x]);
      }
    }
  });
}

// ---------------------------------------------------------------------------
// Detection: two-level cumulative column histograms

// Sixteen counters of an unsigned type, in 16-byte vectors. Counts wrap
// modulo the type's range on the way (a lazily updated window may subtract a
// column before adding it back); every count that is compared is a true count
// and fits the signed range of the type.
template <typename T>
struct Lanes {
  typedef T Vec __attribute__((vector_size(16)));
  static constexpr int kPerVec = 16 / static_cast<int>(sizeof(T));
  static constexpr int kVecs = 16 / kPerVec;
  Vec v[kVecs];

  void clear() {
    for (Vec& x : v) x = Vec{};
  }
  void operator+=(const Lanes& o) {
    for (int k = 0; k < kVecs; ++k) v[k] += o.v[k];
  }
  void operator-=(const Lanes& o) {
    for (int k = 0; k < kVecs; ++k) v[k] -= o.v[k];
  }
  T lane(int i) const { return v[i / kPerVec][i % kPerVec]; }
};

// Index of the first counter above `limit`. The counters are cumulative, so
// they rise with the index; the caller guarantees that the last one is above.
template <typename T>
inline int firstAbove(const Lanes<T>& a, T limit) {
  using S = std::make_signed_t<T>;
  typedef S SVec __attribute__((vector_size(16)));
  const SVec l = SVec{} + static_cast<S>(limit);
#if defined(__SSE2__)
  if constexpr (sizeof(T) == 2) {
    const SVec g0 = reinterpret_cast<const SVec&>(a.v[0]) > l;
    const SVec g1 = reinterpret_cast<const SVec&>(a.v[1]) > l;
    const int mask = _mm_movemask_epi8(_mm_packs_epi16(reinterpret_cast<const __m128i&>(g0),
                                                       reinterpret_cast<const __m128i&>(g1)));
    return __builtin_ctz(static_cast<unsigned>(mask));
  } else if constexpr (sizeof(T) == 4) {
    SVec g[4];
    for (int k = 0; k < 4; ++k) g[k] = reinterpret_cast<const SVec&>(a.v[k]) > l;
    const __m128i p0 = _mm_packs_epi32(reinterpret_cast<const __m128i&>(g[0]), reinterpret_cast<const __m128i&>(g[1]));
    const __m128i p1 = _mm_packs_epi32(reinterpret_cast<const __m128i&>(g[2]), reinterpret_cast<const __m128i&>(g[3]));
    return __builtin_ctz(static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(p0, p1))));
  }
#endif
  int index = 0;
  for (int i = 0; i < 16; ++i) index += static_cast<S>(a.lane(i)) <= static_cast<S>(limit) ? 1 : 0;
  return index;
}

struct DetectJob {
  Band band;
  const uint8_t* levels;  // the frame's levels, `band.width` per row
  uint8_t* out;           // band-sized results, `band.w` per row
  int32_t lowLimit[256];  // rejected when hi <= lowLimit[m] ...
  int32_t highLimit[256]; // ... or hi >= highLimit[m]

  explicit DetectJob(const Band& b, const FlatGroup& s) : band(b), levels(nullptr), out(nullptr) {
    // m > c + varHi with c = hi - 1 is hi <= m - varHi; m < c - varLo is
    // hi >= m + varLo + 2. Clamped just past the range of hi (1..255) so the
    // comparisons keep their outcome; 64-bit so no setting overflows.
    for (int m = 0; m < 256; ++m) {
      lowLimit[m] = static_cast<int32_t>(std::clamp<int64_t>(int64_t{m} - s.varHi, -1, 256));
      highLimit[m] = static_cast<int32_t>(std::clamp<int64_t>(int64_t{m} + s.varLo + 2, -1, 257));
    }
  }
  const uint8_t* levelRow(int32_t j) const {
    return levels + (static_cast<size_t>(band.y0) + j) * static_cast<size_t>(band.width) + band.x0;
  }
};

template <typename T>
class MedianRows {
 public:
  explicit MedianRows(const DetectJob& job)
      : job_(job), w_(job.band.w), coarse_(static_cast<size_t>(w_)), fine_(static_cast<size_t>(w_) * 16) {
    for (int i = 0; i < 16; ++i) {
      T ramp[16];
      for (int b = 0; b < 16; ++b) ramp[b] = b >= i ? 1 : 0;
      std::memcpy(step_[i].v, ramp, sizeof ramp);
    }
    for (Lanes<T>& l : coarse_) l.clear();
    for (Lanes<T>& l : fine_) l.clear();
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
  Lanes<T>& fine(int32_t column, int segment) { return fine_[static_cast<size_t>(column) * 16 + segment]; }

  void addRow(const uint8_t* levels) {
    for (int32_t c = 0; c < w_; ++c) {
      const int v = levels[c];
      coarse_[c] += step_[v >> 4];
      fine(c, v >> 4) += step_[v & 15];
    }
  }
  void removeRow(const uint8_t* levels) {
    for (int32_t c = 0; c < w_; ++c) {
      const int v = levels[c];
      coarse_[c] -= step_[v >> 4];
      fine(c, v >> 4) -= step_[v & 15];
    }
  }
  void replaceRow(const uint8_t* leaving, const uint8_t* entering) {
    for (int32_t c = 0; c < w_; ++c) {
      const int o = leaving[c], n = entering[c];
      Lanes<T>& col = coarse_[c];
      col -= step_[o >> 4];
      col += step_[n >> 4];
      fine(c, o >> 4) -= step_[o & 15];
      fine(c, n >> 4) += step_[n & 15];
    }
  }

  void sweep(int32_t j) {
    const Band& band = job_.band;
    const int64_t rows = 2 * int64_t{band.hy(j)} + 1;
    const uint8_t* levels = job_.levelRow(j);
    uint8_t* out = job_.out + static_cast<size_t>(j) * static_cast<size_t>(w_);

    Lanes<T> window;  // cumulative coarse histogram of the window
    window.clear();
    for (Lanes<T>& f : windowFine_) f.clear();
    for (int s = 0; s < 16; ++s) {
      from_[s] = 0;
      to_[s] = -1;
    }
    int32_t left = 0, right = -1;
    for (int32_t i = 0; i < w_; ++i) {
      const int32_t hx = band.hx(i);
      while (right < i + hx) window += coarse_[++right];
      while (left < i - hx) window -= coarse_[left++];
      const T half = static_cast<T>(((2 * int64_t{hx} + 1) * rows) >> 1);

      const int s = firstAbove(window, half);
      const T below = s != 0 ? window.lane(s - 1) : T{0};
      Lanes<T>& f = windowFine_[s];
      // Bring the fine histogram of bin s from the columns it last covered to
      // [left, right]: drop the columns passed on the left, add the new ones on
      // the right, or start afresh when that is less work.
      if (int64_t{left} - from_[s] + (int64_t{right} - to_[s]) > int64_t{right} - left + 1) {
        f.clear();
        for (int32_t c = left; c <= right; ++c) f += fine(c, s);
      } else {
        for (int32_t c = from_[s]; c < left; ++c) f -= fine(c, s);
        for (int32_t c = to_[s] + 1; c <= right; ++c) f += fine(c, s);
      }
      from_[s] = left;
      to_[s] = right;
      const int hi = 16 * s + firstAbove(f, static_cast<T>(half - below));

      const uint8_t m = levels[i];
      out[i] = hi <= job_.lowLimit[m] || hi >= job_.highLimit[m] ? 0 : m;
    }
  }

  const DetectJob& job_;
  const int32_t w_;
  std::vector<Lanes<T>> coarse_;  // per column: cumulative coarse histogram
  std::vector<Lanes<T>> fine_;    // per column and coarse bin: cumulative fine histogram
  Lanes<T> step_[16];             // step_[i]: 1 in the counters from i up
  Lanes<T> windowFine_[16];
  int32_t from_[16];              // columns windowFine_[s] covers
  int32_t to_[16];
};

template <typename T>
bool detectWith(const DetectJob& job, int threads) {
  return runRows(job.band.h, threads, job.band.grain(), [&](int32_t first, int32_t end) {
    MedianRows<T>(job).run(first, end);
  });
}

// ---------------------------------------------------------------------------
// Smoothing: exact masked box sums

template <int C>
struct SmoothJob {
  Band band;
  const ImageBuffer* flat;
  const ImageBuffer* map;
  ImageBuffer* synthetic;
  exact::Grid grid;
  double* rowSums;  // C per band row: the exact sums of the finished band pixels

  const float* flatRow(int32_t j) const { return stelp::floatRow(*flat, band.y0 + j) + static_cast<size_t>(band.x0) * C; }
  const uint8_t* mapRow(int32_t j) const { return map->row(band.y0 + j) + band.x0; }
};

// Infinities and NaNs among the accepted values, counted apart from the sums
// (only for flats that hold any).
struct Specials {
  int64_t nan = 0, plus = 0, minus = 0;
  void add(const Specials& o) { nan += o.nan, plus += o.plus, minus += o.minus; }
  void sub(const Specials& o) { nan -= o.nan, plus -= o.plus, minus -= o.minus; }
  double sum(double finite) const {
    if (nan != 0 || (plus != 0 && minus != 0)) return __builtin_nan("");
    if (plus != 0) return __builtin_inf();
    if (minus != 0) return -__builtin_inf();
    return finite;
  }
};

template <int C, typename Acc, bool kSpecial>
class BoxRows {
 public:
  using Value = typename Acc::Value;
  struct Column {
    Value sum[C];
    int64_t count;
  };

  explicit BoxRows(const SmoothJob<C>& job)
      : job_(job), w_(job.band.w), columns_(static_cast<size_t>(w_)),
        specials_(kSpecial ? static_cast<size_t>(w_) * C : 0) {
    for (Column& col : columns_) col = Column{};
  }

  void run(int32_t j0, int32_t j1) {
    const Band& band = job_.band;
    int32_t top = j0 - band.hy(j0), bottom = j0 + band.hy(j0);
    for (int32_t r = top; r <= bottom; ++r) apply<+1>(r);
    for (int32_t j = j0; j < j1; ++j) {
      if (j > j0) {
        const int32_t newTop = j - band.hy(j), newBottom = j + band.hy(j);
        for (; top < newTop; ++top) apply<-1>(top);
        while (bottom < newBottom) apply<+1>(++bottom);
      }
      sweep(j);
    }
  }

 private:
  // Adds (+1) or removes (-1) the accepted pixels of band row r.
  template <int kSign>
  void apply(int32_t r) {
    const float* flat = job_.flatRow(r);
    const uint8_t* map = job_.mapRow(r);
    for (int32_t c = 0; c < w_; ++c) {
      if (map[c] == 0) continue;
      Column& col = columns_[c];
      col.count += kSign;
      for (int k = 0; k < C; ++k) {
        const float v = flat[static_cast<size_t>(c) * C + k];
        if constexpr (kSpecial) {
          if (!std::isfinite(v)) {
            Specials& s = specials_[static_cast<size_t>(c) * C + k];
            int64_t& n = v != v ? s.nan : v > 0 ? s.plus : s.minus;
            n += kSign;
            continue;
          }
        }
        if constexpr (kSign > 0) {
          Acc::add(col.sum[k], Acc::fix(v, job_.grid));
        } else {
          Acc::sub(col.sum[k], Acc::fix(v, job_.grid));
        }
      }
    }
  }

  void sweep(int32_t j) {
    const Band& band = job_.band;
    const float* flat = job_.flatRow(j);
    float* row = floatRow(*job_.synthetic, band.y0 + j);
    float* out = row + static_cast<size_t>(band.x0) * C;

    Value sum[C] = {};
    Specials special[C] = {};
    int64_t count = 0;
    int32_t left = 0, right = -1;
    for (int32_t i = 0; i < w_; ++i) {
      const int32_t hx = band.hx(i);
      while (right < i + hx) {
        const Column& col = columns_[++right];
        count += col.count;
        for (int k = 0; k < C; ++k) Acc::add(sum[k], col.sum[k]);
        if constexpr (kSpecial)
          for (int k = 0; k < C; ++k) special[k].add(specials_[static_cast<size_t>(right) * C + k]);
      }
      while (left < i - hx) {
        const Column& col = columns_[left];
        count -= col.count;
        for (int k = 0; k < C; ++k) Acc::sub(sum[k], col.sum[k]);
        if constexpr (kSpecial)
          for (int k = 0; k < C; ++k) special[k].sub(specials_[static_cast<size_t>(left) * C + k]);
        ++left;
      }
      float* o = out + static_cast<size_t>(i) * C;
      if (count != 0) {
        // sum / k with k as a float, the quotient rounded to float.
        const double k = static_cast<double>(static_cast<float>(count));
        for (int c = 0; c < C; ++c) {
          double total = Acc::toDouble(sum[c]) * job_.grid.down;
          if constexpr (kSpecial) total = special[c].sum(total);
          const float q = static_cast<float>(total / k);
          o[c] = q == 0.0f ? 255.0f : q;
        }
      } else {
        for (int c = 0; c < C; ++c) {
          const float q = flat[static_cast<size_t>(i) * C + c];
          o[c] = q == 0.0f ? 255.0f : q;
        }
      }
    }

    exact::sumChannels(out, static_cast<size_t>(w_), C, job_.rowSums + static_cast<size_t>(j) * C);

    // The edge left and right of the band copies the band's first and last
    // pixel of the row.
    for (int32_t x = 0; x < band.x0; ++x) std::memcpy(row + static_cast<size_t>(x) * C, out, sizeof(float) * C);
    const float* last = out + static_cast<size_t>(w_ - 1) * C;
    for (int32_t x = band.x0 + w_; x < band.width; ++x)
      std::memcpy(row + static_cast<size_t>(x) * C, last, sizeof(float) * C);
  }

  const SmoothJob<C>& job_;
  const int32_t w_;
  std::vector<Column> columns_;
  std::vector<Specials> specials_;
};

template <int C>
bool smoothChannels(const Band& band, const ImageBuffer& flat, const ImageBuffer& map, ImageBuffer& synthetic,
                    std::array<float, 3>& mean, int threads) {
  // Survey the flat's exponents, row by row in parallel (it reads the whole
  // band), for the grid of the exact sums.
  std::vector<exact::Survey> rowSurveys(static_cast<size_t>(band.h));
  parallelRanges(band.h, threads, 64, [&](int64_t first, int64_t end) {
    for (int64_t j = first; j < end; ++j)
      rowSurveys[static_cast<size_t>(j)] =
          exact::survey(floatRow(flat, band.y0 + static_cast<int32_t>(j)) + static_cast<size_t>(band.x0) * C,
                        static_cast<size_t>(band.w) * C);
  });
  exact::Survey s;
  for (const exact::Survey& row : rowSurveys) s.merge(row);

  std::vector<double> rowSums(static_cast<size_t>(band.h) * C);
  SmoothJob<C> job{band, &flat, &map, &synthetic, exact::Grid(s), rowSums.data()};
  auto runWith = [&](auto acc, auto special) {
    using Acc = decltype(acc);
    return runRows(band.h, threads, band.grain(), [&](int32_t first, int32_t end) {
      BoxRows<C, Acc, decltype(special)::value>(job).run(first, end);
    });
  };
  bool ok;
  const int kind = exact::accKind(exact::bitsNeeded(s, static_cast<uint64_t>(band.maxWindow())));
  if (s.special) {
    ok = kind == 0 ? runWith(exact::Acc64{}, std::true_type{})
       : kind == 1 ? runWith(exact::Acc128{}, std::true_type{})
                   : runWith(exact::AccWide{}, std::true_type{});
  } else {
    ok = kind == 0 ? runWith(exact::Acc64{}, std::false_type{})
       : kind == 1 ? runWith(exact::Acc128{}, std::false_type{})
                   : runWith(exact::AccWide{}, std::false_type{});
  }
  if (!ok) return false;

  // The rows above and below the band copy its first and last row.
  const size_t rowBytes = static_cast<size_t>(synthetic.rowBytes);
  for (int32_t y = 0; y < band.y0; ++y) std::memcpy(synthetic.row(y), synthetic.row(band.y0), rowBytes);
  for (int32_t y = band.y0 + band.h; y < band.height; ++y)
    std::memcpy(synthetic.row(y), synthetic.row(band.y0 + band.h - 1), rowBytes);

  // Each row's exact sum is added to a float field, rounded after each row.
  float field[C] = {};
  for (int32_t j = 0; j < band.h; ++j)
    for (int c = 0; c < C; ++c)
      field[c] = static_cast<float>(static_cast<double>(field[c]) + rowSums[static_cast<size_t>(j) * C + c]);
  const float pixels = static_cast<float>(band.pixels());
  mean = {0.0f, 0.0f, 0.0f};
  for (int c = 0; c < C; ++c) mean[static_cast<size_t>(c)] = field[c] / pixels;
  return true;
}

}  // namespace

void detectGradient(const ImageBuffer& masterFlat, const FlatGroup& flat, ImageBuffer& map, int threads) {
  map = ImageBuffer{};
  if (!isFlatFormat(masterFlat)) return;
  ImageBuffer levels;
  levels.setFormat(PixelFormat::Gray8);
  levels.width = masterFlat.width;
  levels.height = masterFlat.height;
  if (!levels.allocate()) return;
  writeLevels(masterFlat, levels, threads);

  const Band band(masterFlat.width, masterFlat.height, flat);
  if (band.empty()) {
    map = std::move(levels);
    return;
  }

  // Every test reads the levels as they are; the results go to a band-sized
  // buffer and replace the band's levels once all rows are done.
  std::unique_ptr<uint8_t[]> results(new (std::nothrow) uint8_t[static_cast<size_t>(band.pixels())]);
  if (!results) return;
  DetectJob job(band, flat);
  job.levels = levels.pixels.get();
  job.out = results.get();
  const int64_t n = band.maxWindow();
  const bool ok = n <= INT16_MAX   ? detectWith<uint16_t>(job, threads)
                : n <= INT32_MAX ? detectWith<uint32_t>(job, threads)
                                 : detectWith<uint64_t>(job, threads);
  if (!ok) return;
  parallelRanges(band.h, threads, 256, [&](int64_t first, int64_t end) {
    for (int64_t j = first; j < end; ++j)
      std::memcpy(levels.row(band.y0 + static_cast<int32_t>(j)) + band.x0,
                  results.get() + static_cast<size_t>(j) * static_cast<size_t>(band.w), static_cast<size_t>(band.w));
  });
  map = std::move(levels);
}

void smoothGradient(const ImageBuffer& masterFlat, const ImageBuffer& map, const FlatGroup& flat,
                    ImageBuffer& synthetic, std::array<float, 3>& mean, int threads) {
  synthetic = ImageBuffer{};
  mean = {0.0f, 0.0f, 0.0f};
  if (!isFlatFormat(masterFlat) || map.pixelFormat() != PixelFormat::Gray8 || map.width != masterFlat.width ||
      map.height != masterFlat.height || !map.pixels || map.rowBytes != map.width)
    return;
  ImageBuffer out;
  out.setFormat(masterFlat.pixelFormat());
  out.width = masterFlat.width;
  out.height = masterFlat.height;
  if (!out.allocate()) return;

  const Band band(masterFlat.width, masterFlat.height, flat);
  if (band.empty()) {
    // No band: nothing is smoothed, the master flat stands as it is.
    std::memcpy(out.pixels.get(), masterFlat.pixels.get(), masterFlat.pixelBytes());
    synthetic = std::move(out);
    return;
  }
  const bool ok = masterFlat.pixelFormat() == PixelFormat::BgrFloat
                      ? smoothChannels<3>(band, masterFlat, map, out, mean, threads)
                      : smoothChannels<1>(band, masterFlat, map, out, mean, threads);
  if (!ok) {
    mean = {0.0f, 0.0f, 0.0f};
    return;
  }
  synthetic = std::move(out);
}

}  // namespace stelp
