#include "engine/gradient.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "engine/gradient_choice.h"
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
// coarse bins (level >> 4) and, per coarse bin, 16 fine bins, all kept
// cumulative (counter b counts the levels up to bin b), so that the bin
// holding the median is found by comparing 16 counters with half the window
// at once. Only the fine histogram of the coarse bin that holds the median
// moves with the window; the others are brought up to date when the median
// enters their bin. Only the median bin (hi) is needed: c = hi - 1.
//
// Smoothing keeps, per band column, the exact sums of the accepted flat
// values and their count over the column's window rows, and slides window sums
// along the row the same way (see gradient_exact.h for the exact sums).
//
// Work is split into contiguous ranges of band rows, one per thread; each
// thread builds its own column state from the first row of its range. Since
// every result depends only on the window's contents, the products are the
// same for any number of threads. The row kernels live in gradient_kernels.h,
// compiled twice: for the baseline instruction set and for AVX2.
//
// Settings outside the expected range never take the work outside the frame:
// a negative border counts as 0 and negative filter sizes as 0 (one-pixel
// windows); huge filter sizes are clipped by the band like any window; a
// border that leaves no band gives the flat's levels as the map (nothing is
// tested) and the master flat as the synthetic flat, with a mean of 0. The
// variations may take any value: the comparisons are made in 64 bits.

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
  int64_t maxWindow() const { return std::min<int64_t>(2 * int64_t{rx} + 1, w) * maxColumn(); }
  // The most rows any window spans.
  int64_t maxColumn() const { return std::min<int64_t>(2 * int64_t{ry} + 1, h); }
  // Rows per thread at least: building a thread's column state costs about
  // one window height of row updates.
  int64_t grain() const { return std::max<int64_t>(8, 2 * int64_t{ry} + 1); }
};

const float* floatRow(const ImageBuffer& image, int32_t y) { return reinterpret_cast<const float*>(image.row(y)); }
float* floatRow(ImageBuffer& image, int32_t y) { return reinterpret_cast<float*>(image.row(y)); }

bool isFlatFormat(const ImageBuffer& image) {
  return isFloatFormat(image.format) &&
         image.bytesPerPixel == bytesPerPixelOf(image.format) && image.width > 0 && image.height > 0 &&
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

// ---------------------------------------------------------------------------
// Shared state of the row kernels (gradient_kernels.h)

struct DetectJob {
  Band band;
  const uint8_t* levels = nullptr;  // the frame's levels, `band.width` per row
  uint8_t* results = nullptr;       // the map being made, the same layout
  int32_t lowLimit[256];            // rejected when hi <= lowLimit[m] ...
  int32_t highLimit[256];           // ... or hi >= highLimit[m]

  DetectJob(const Band& b, const FlatGroup& s) : band(b) {
    // m > c + varHi with c = hi - 1 is hi <= m - varHi; m < c - varLo is
    // hi >= m + varLo + 2. Clamped just past the range of hi (1..255) so the
    // comparisons keep their outcome; 64-bit so no setting overflows.
    for (int m = 0; m < 256; ++m) {
      lowLimit[m] = static_cast<int32_t>(std::clamp<int64_t>(int64_t{m} - s.varHi, -1, 256));
      highLimit[m] = static_cast<int32_t>(std::clamp<int64_t>(int64_t{m} + s.varLo + 2, -1, 257));
    }
  }
  // Band row j from the band's first column.
  size_t offset(int32_t j) const {
    return (static_cast<size_t>(band.y0) + static_cast<size_t>(j)) * static_cast<size_t>(band.width) +
           static_cast<size_t>(band.x0);
  }
  const uint8_t* levelRow(int32_t j) const { return levels + offset(j); }
  uint8_t* resultRow(int32_t j) const { return results + offset(j); }
};

template <int C>
struct SmoothJob {
  Band band;
  const ImageBuffer* flat;
  const ImageBuffer* map;
  ImageBuffer* synthetic;
  exact::Survey survey;  // of the flat's band, made by smoothBand
  exact::Grid grid;
  double* rowSums;  // C per band row: the exact sums of the finished band pixels

  const float* flatRow(int32_t j) const {
    return floatRow(*flat, band.y0 + j) + static_cast<size_t>(band.x0) * C;
  }
  const uint8_t* mapRow(int32_t j) const { return map->row(band.y0 + j) + band.x0; }
  float* syntheticRow(int32_t j) const { return floatRow(*synthetic, band.y0 + j); }
};

// Infinities and NaNs among the accepted values, counted apart from the sums
// (only for flats that hold any).
struct Specials {
  int64_t nan = 0, plus = 0, minus = 0;
  void add(const Specials& o) { nan += o.nan, plus += o.plus, minus += o.minus; }
  void sub(const Specials& o) { nan -= o.nan, plus -= o.plus, minus -= o.minus; }
  // What any order of double additions gives.
  double sum(double finite) const {
    if (nan != 0 || (plus != 0 && minus != 0)) return __builtin_nan("");
    if (plus != 0) return __builtin_inf();
    if (minus != 0) return -__builtin_inf();
    return finite;
  }
};

#define STELP_KERNEL_NS kernels_base
#define STELP_KERNEL_AVX2 0
#include "engine/gradient_kernels.h"
#undef STELP_KERNEL_NS
#undef STELP_KERNEL_AVX2

#if defined(__x86_64__) && (defined(__clang__) || defined(__GNUC__))
#define STELP_HAVE_AVX2_KERNELS 1
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
#define STELP_KERNEL_NS kernels_avx2
#define STELP_KERNEL_AVX2 1
#include "engine/gradient_kernels.h"
#undef STELP_KERNEL_NS
#undef STELP_KERNEL_AVX2
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif

gradient_choice::Choice choice;  // see gradient_choice.h

bool useAvx2() { return gradient_choice::avx2Available() && !choice.baselineInstructions; }

void writeLevels(const ImageBuffer& flat, ImageBuffer& map, int threads) {
  parallelRanges(flat.height, threads, 64, [&flat, &map](int64_t first, int64_t end) {
#ifdef STELP_HAVE_AVX2_KERNELS
    if (useAvx2()) return kernels_avx2::writeLevels(flat, map, static_cast<int32_t>(first), static_cast<int32_t>(end));
#endif
    kernels_base::writeLevels(flat, map, static_cast<int32_t>(first), static_cast<int32_t>(end));
  });
}

bool detectBand(const DetectJob& job, int threads) {
#ifdef STELP_HAVE_AVX2_KERNELS
  if (useAvx2()) return kernels_avx2::detectBand(job, threads, choice.minCounterBits);
#endif
  return kernels_base::detectBand(job, threads, choice.minCounterBits);
}

template <int C>
bool smoothChannels(const Band& band, const ImageBuffer& flat, const ImageBuffer& map, ImageBuffer& synthetic,
                    std::array<float, 3>& mean, int threads) {
  std::vector<double> rowSums(static_cast<size_t>(band.h) * C);
  SmoothJob<C> job{band, &flat, &map, &synthetic, exact::Survey{}, exact::Grid(exact::Survey{}), rowSums.data()};
  bool ok;
#ifdef STELP_HAVE_AVX2_KERNELS
  if (useAvx2()) ok = kernels_avx2::smoothBand<C>(job, threads, choice.minSumKind);
  else
#endif
    ok = kernels_base::smoothBand<C>(job, threads, choice.minSumKind);
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

namespace gradient_choice {

void set(const Choice& c) { choice = c; }
Choice get() { return choice; }

bool avx2Available() {
#ifdef STELP_HAVE_AVX2_KERNELS
  static const bool yes = __builtin_cpu_supports("avx2");
  return yes;
#else
  return false;
#endif
}

}  // namespace gradient_choice

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

  // Every test reads the levels as they are, so the results go to a second
  // buffer, which takes the levels outside the band.
  ImageBuffer result;
  result.setFormat(PixelFormat::Gray8);
  result.width = masterFlat.width;
  result.height = masterFlat.height;
  if (!result.allocate()) return;
  DetectJob job(band, flat);
  job.levels = levels.pixels.get();
  job.results = result.pixels.get();
  if (!detectBand(job, threads)) return;
  const size_t width = static_cast<size_t>(band.width);
  for (int32_t y = 0; y < band.height; ++y) {
    if (y < band.y0 || y >= band.y0 + band.h) {
      std::memcpy(result.row(y), levels.row(y), width);
    } else {
      std::memcpy(result.row(y), levels.row(y), static_cast<size_t>(band.x0));
      const size_t after = static_cast<size_t>(band.x0) + static_cast<size_t>(band.w);
      std::memcpy(result.row(y) + after, levels.row(y) + after, width - after);
    }
  }
  map = std::move(result);
}

void smoothGradient(const ImageBuffer& masterFlat, const ImageBuffer& map, const FlatGroup& flat,
                    ImageBuffer& synthetic, std::array<float, 3>& mean, int threads) {
  synthetic = ImageBuffer{};
  mean = {0.0f, 0.0f, 0.0f};
  if (!isFlatFormat(masterFlat) || map.format != PixelFormat::Gray8 || map.width != masterFlat.width ||
      map.height != masterFlat.height || !map.pixels || map.rowBytes != map.width)
    return;
  ImageBuffer out;
  out.setFormat(masterFlat.format);
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
  const bool ok = masterFlat.format == PixelFormat::BgrFloat
                      ? smoothChannels<3>(band, masterFlat, map, out, mean, threads)
                      : smoothChannels<1>(band, masterFlat, map, out, mean, threads);
  if (!ok) {
    mean = {0.0f, 0.0f, 0.0f};
    return;
  }
  synthetic = std::move(out);
}

}  // namespace stelp
