// Gradient detection and the synthetic flat on full frames with the default
// settings (101 x 51 window), against two references computed here on the
// same frame's 8-bit levels:
// - OpenCV's medianBlur with a 101-pixel square kernel (a constant-time
//   histogram median), when OpenCV was found at configure time;
// - the straightforward sliding-histogram median of the 101 x 51 window: per
//   row a 256-bin histogram that drops the leaving column and adds the
//   entering one, with the median tracked by the count below it.
// The times are wall-clock times, the CPU times those of all threads; the
// "portable" runs use the kernels for the baseline instruction set (SSE2)
// where the processor would take the AVX2 ones.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "bench_util.h"
#include "engine/gradient.h"
#include "engine/gradient_choice.h"
#include "engine/processing_settings.h"
#include "image/image_buffer.h"

#ifdef STELP_BENCH_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

using stelp::FlatGroup;
using stelp::ImageBuffer;
using stelp::PixelFormat;

using stelp::bench::Lcg;

// A master flat as the camera sees it: vignetting (a smooth fall-off from the
// centre, off-centre and slightly tilted), noise of about one level, and a
// few dust shadows (soft dark discs of 8 to 40 pixels) that detection must
// reject.
ImageBuffer makeFlat(int32_t width, int32_t height, bool colour) {
  ImageBuffer flat;
  flat.setFormat(colour ? PixelFormat::BgrFloat : PixelFormat::GrayFloat);
  flat.width = width;
  flat.height = height;
  flat.allocate();
  struct Dust {
    float x, y, r, depth;
  };
  Lcg rng{12345};
  std::vector<Dust> dust;
  for (int i = 0; i < 12; ++i)
    dust.push_back({rng.unit() * width, rng.unit() * height, 8.0f + 32.0f * rng.unit(), 6.0f + 20.0f * rng.unit()});
  const float cx = 0.55f * width, cy = 0.45f * height, scale = 1.0f / (0.36f * (width * width + height * height));
  const int channels = colour ? 3 : 1;
  const float gain[3] = {0.92f, 1.0f, 0.85f};
  for (int32_t y = 0; y < height; ++y) {
    float* row = reinterpret_cast<float*>(flat.row(y));
    for (int32_t x = 0; x < width; ++x) {
      const float dx = x - cx, dy = y - cy;
      float v = 200.0f * (1.0f - (dx * dx + dy * dy) * scale) + 0.004f * x;
      for (const Dust& d : dust) {
        const float ex = x - d.x, ey = y - d.y, r2 = (ex * ex + ey * ey) / (d.r * d.r);
        if (r2 < 1.0f) v -= d.depth * (1.0f - r2);
      }
      for (int c = 0; c < channels; ++c) row[x * channels + c] = gain[c] * v + 2.0f * (rng.unit() - 0.5f);
    }
  }
  return flat;
}

struct Frame {
  ImageBuffer flat;
  ImageBuffer map;  // detectGradient's result, the input of smoothing
};

// Frames are made once per size and mode and shared by all benchmarks.
const Frame& frame(int32_t width, int32_t height, bool colour) {
  static std::map<std::tuple<int32_t, int32_t, bool>, Frame> frames;
  Frame& f = frames[{width, height, colour}];
  if (!f.flat.pixels) {
    f.flat = makeFlat(width, height, colour);
    stelp::detectGradient(f.flat, FlatGroup{}, f.map, 1);
  }
  return f;
}

int allCores() { return static_cast<int>(std::max(1u, std::thread::hardware_concurrency())); }

// Reported beside the time: frame pixels per second.
void setPixelCounter(benchmark::State& state, int32_t width, int32_t height) {
  state.counters["pixels"] =
      benchmark::Counter(static_cast<double>(width) * height, benchmark::Counter::kIsIterationInvariantRate);
}

// Runs a benchmark with the portable (baseline instruction set) kernels when
// asked, the fastest otherwise.
struct KernelScope {
  explicit KernelScope(bool portable) {
    stelp::gradient_choice::Choice c;
    c.baselineInstructions = portable;
    stelp::gradient_choice::set(c);
  }
  ~KernelScope() { stelp::gradient_choice::set(stelp::gradient_choice::Choice{}); }
};

void BM_Detect(benchmark::State& state, int32_t width, int32_t height, bool colour, int threads, bool portable) {
  const Frame& f = frame(width, height, colour);
  const KernelScope kernels(portable);
  for (auto _ : state) {
    ImageBuffer map;
    stelp::detectGradient(f.flat, FlatGroup{}, map, threads);
    benchmark::DoNotOptimize(map.pixels.get());
  }
  setPixelCounter(state, width, height);
}

void BM_Smooth(benchmark::State& state, int32_t width, int32_t height, bool colour, int threads, bool portable) {
  const Frame& f = frame(width, height, colour);
  const KernelScope kernels(portable);
  for (auto _ : state) {
    ImageBuffer synthetic;
    std::array<float, 3> mean{};
    stelp::smoothGradient(f.flat, f.map, FlatGroup{}, synthetic, mean, threads);
    benchmark::DoNotOptimize(synthetic.pixels.get());
  }
  setPixelCounter(state, width, height);
}

void BM_DetectAndSmooth(benchmark::State& state, int32_t width, int32_t height, bool colour, int threads, bool portable) {
  const Frame& f = frame(width, height, colour);
  const KernelScope kernels(portable);
  for (auto _ : state) {
    ImageBuffer map, synthetic;
    std::array<float, 3> mean{};
    stelp::detectGradient(f.flat, FlatGroup{}, map, threads);
    stelp::smoothGradient(f.flat, map, FlatGroup{}, synthetic, mean, threads);
    benchmark::DoNotOptimize(synthetic.pixels.get());
  }
  setPixelCounter(state, width, height);
}

// The grey levels of the flat (as detection stores them), 8 bits per pixel.
std::vector<uint8_t> levels(int32_t width, int32_t height) {
  const ImageBuffer& flat = frame(width, height, false).flat;
  std::vector<uint8_t> out(static_cast<size_t>(width) * height);
  for (size_t i = 0; i < out.size(); ++i) {
    const int32_t v = static_cast<int32_t>(reinterpret_cast<const float*>(flat.pixels.get())[i]);
    out[i] = static_cast<uint8_t>(v) != 0 ? static_cast<uint8_t>(v) : 1;
  }
  return out;
}

// Reference: the straightforward sliding-histogram median with the window
// shrinking at the frame's edges, one thread. Stores the median level.
void slidingMedian(const std::vector<uint8_t>& in, std::vector<uint8_t>& out, int32_t width, int32_t height, int rx,
                   int ry) {
  for (int32_t y = 0; y < height; ++y) {
    const int hy = std::min({ry, y, height - 1 - y});
    int32_t hist[256] = {};
    int32_t count = 0, left = 0, right = -1;
    int median = 0, below = 0;  // below: pixels with a level under `median`
    for (int32_t x = 0; x < width; ++x) {
      const int hx = std::min({rx, x, width - 1 - x});
      auto column = [&](int32_t c, int sign) {
        for (int32_t r = y - hy; r <= y + hy; ++r) {
          const int v = in[static_cast<size_t>(r) * width + c];
          hist[v] += sign;
          below += v < median ? sign : 0;
        }
        count += sign * (2 * hy + 1);
      };
      while (right < x + hx) column(++right, +1);
      while (left < x - hx) column(left++, -1);
      const int half = count >> 1;
      while (below > half) below -= hist[--median];
      while (below + hist[median] <= half) below += hist[median++];
      out[static_cast<size_t>(y) * width + x] = static_cast<uint8_t>(median);
    }
  }
}

void BM_SlidingHistogramMedian(benchmark::State& state, int32_t width, int32_t height) {
  const std::vector<uint8_t> in = levels(width, height);
  std::vector<uint8_t> out(in.size());
  for (auto _ : state) {
    slidingMedian(in, out, width, height, 50, 25);
    benchmark::DoNotOptimize(out.data());
  }
  setPixelCounter(state, width, height);
}

#ifdef STELP_BENCH_HAVE_OPENCV
void BM_OpenCvMedianBlur101(benchmark::State& state, int32_t width, int32_t height, int threads) {
  const std::vector<uint8_t> in = levels(width, height);
  const cv::Mat src(height, width, CV_8UC1, const_cast<uint8_t*>(in.data()));
  cv::Mat dst;
  const int before = cv::getNumThreads();
  cv::setNumThreads(threads);
  for (auto _ : state) {
    cv::medianBlur(src, dst, 101);
    benchmark::DoNotOptimize(dst.data);
  }
  cv::setNumThreads(before);
  setPixelCounter(state, width, height);
}
#endif

void registerAll() {
  struct Size {
    int32_t width, height;
  };
  const Size sizes[] = {{1920, 1080}, {4096, 4096}};
  std::vector<int> threadCounts{1};
  if (allCores() > 1) threadCounts.push_back(allCores());
  for (const Size& s : sizes) {
    const std::string size = std::to_string(s.width) + "x" + std::to_string(s.height);
    for (bool colour : {false, true}) {
      const std::string mode = colour ? "colour" : "grey";
      for (int threads : threadCounts) {
        for (bool portable : {false, true}) {
          // The portable kernels only where they differ, on one thread.
          if (portable && (threads != 1 || !stelp::gradient_choice::avx2Available())) continue;
          const std::string suffix = "/" + mode + "/" + size + "/threads:" + std::to_string(threads) +
                                     (portable ? "/portable" : "");
          const struct {
            const char* name;
            void (*run)(benchmark::State&, int32_t, int32_t, bool, int, bool);
          } operations[] = {{"DetectGradient", BM_Detect},
                            {"SmoothGradient", BM_Smooth},
                            {"DetectAndSmooth", BM_DetectAndSmooth}};
          for (const auto& op : operations)
            benchmark::RegisterBenchmark((op.name + suffix).c_str(), op.run, s.width, s.height, colour, threads,
                                         portable)
                ->Unit(benchmark::kMillisecond)
                ->MeasureProcessCPUTime()
                ->UseRealTime();
        }
      }
    }
#ifdef STELP_BENCH_HAVE_OPENCV
    for (int threads : threadCounts) {
      benchmark::RegisterBenchmark(
          ("Reference/OpenCvMedianBlur101/grey/" + size + "/threads:" + std::to_string(threads)).c_str(),
          BM_OpenCvMedianBlur101, s.width, s.height, threads)
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime();
    }
#endif
    benchmark::RegisterBenchmark(("Reference/SlidingHistogramMedian/grey/" + size + "/threads:1").c_str(),
                                 BM_SlidingHistogramMedian, s.width, s.height)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  }
}

const bool registered = (registerAll(), true);

}  // namespace
