// The calibration steps against bare loops that do only the arithmetic:
// ProcessFrame (dark, flat, hot-pixel repair and a stretch, colour) against a
// plain (p - d) x (m / f) loop, and AverageDarks over 100 frames against a
// plain loop that turns the same 8-bit frames into floats and sums them.
// Frames come from memory, so file reading does not blur the comparison.

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench_util.h"
#include "engine/engine.h"
#include "engine/parallel.h"
#include "image/bitmap.h"

namespace {

using namespace stelp;

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;
constexpr int kAveragedFrames = 100;

using stelp::bench::Lcg;

// An 8-bit grey or 24-bit frame as stored in a file: DIB rows, bottom up.
struct StoredFrame {
  int bitCount;
  std::vector<uint8_t> rows;
};

StoredFrame makeStored(int bitCount, uint32_t seed, int base, int spread) {
  Lcg random{seed};
  StoredFrame frame{bitCount, std::vector<uint8_t>(dibRowBytes(bitCount, kWidth) * kHeight)};
  for (uint8_t& b : frame.rows) b = static_cast<uint8_t>(base + random.next() % spread);
  return frame;
}

// Loads a stored frame the way a reader does: a new buffer, rows decoded.
void decodeStored(const StoredFrame& stored, const uint8_t* palette, PixelFormat format, ImageSlot& slot) {
  auto image = std::make_unique<ImageBuffer>();
  image->setFormat(format);
  image->width = kWidth;
  image->height = kHeight;
  image->allocate();
  const size_t rowBytes = dibRowBytes(stored.bitCount, kWidth);
  for (int32_t y = 0; y < kHeight; ++y)
    decodeDibRow(stored.rows.data() + rowBytes * (kHeight - 1 - y), stored.bitCount, palette, kWidth, format,
                 image->row(y));
  slot = std::move(image);
}

// An engine whose entries are frames in memory; entry path "n" is frame n.
struct MemoryEngine {
  std::vector<StoredFrame> frames;
  std::vector<uint8_t> palette = greyPalette();
  Engine engine;

  const ImageSource* add(ListRole role, StoredFrame frame) {
    frames.push_back(std::move(frame));
    std::vector<std::unique_ptr<ImageSource>> entries;
    entries.push_back(std::make_unique<ImageSource>());
    entries.back()->setPath(std::to_string(frames.size() - 1), FrameBitmap);
    engine.AppendEntries(role, std::move(entries));
    return engine.list(role).entries.back().get();
  }

  explicit MemoryEngine(int threads) {
    engine.SetThreads(threads);
    engine.SetFrameSize({kWidth, kHeight});
    engine.SetLoader([this](const ImageSource* source, ImageSlot& slot, PixelFormat format, std::string*) {
      if (source) decodeStored(frames[std::stoul(source->path)], palette.data(), format, slot);
      return true;
    });
  }
};

void BM_ProcessFrameColour(benchmark::State& state) {
  MemoryEngine memory(static_cast<int>(state.range(0)));
  Engine& engine = memory.engine;
  const ImageSource* light = memory.add(ListRole::Images, makeStored(24, 1, 20, 200));
  memory.add(ListRole::Darks, makeStored(24, 2, 0, 30));
  memory.add(ListRole::Flats, makeStored(24, 3, 150, 60));
  ProcessingGroup p = engine.settings().processing;
  p.dark = p.flat = p.hot = true;
  p.stretch = StretchMode::Levels;
  p.stretchFromAbs = 10;
  p.stretchToAbs = 240;
  engine.ApplyImagesSettings(p);
  DarkGroup dark = engine.settings().dark;
  dark.hot = 40;  // a sprinkling of bad pixels in the dark
  engine.ApplyDarksSettings(dark);
  ImageSlot frame;
  engine.ProcessFrame(*light, frame);  // products made once, outside the timing
  for (auto _ : state) {
    engine.ProcessFrame(*light, frame);
    benchmark::DoNotOptimize(frame->pixels.get());
  }
  state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}

void BM_BareCalibrationLoop(benchmark::State& state) {
  const size_t values = size_t{kWidth} * kHeight * 3;
  std::vector<float> frame(values), dark(values), flat(values);
  Lcg random{4};
  for (size_t i = 0; i < values; ++i) {
    frame[i] = static_cast<float>(random.next() % 220);
    dark[i] = static_cast<float>(random.next() % 30);
    flat[i] = static_cast<float>(150 + random.next() % 60);
  }
  const float means[3] = {180, 181, 182};
  std::vector<float> out(values);
  for (auto _ : state) {
    for (size_t i = 0; i < values; i += 3) {
      for (int c = 0; c < 3; ++c) {
        float p = (frame[i + c] - dark[i + c]) * (means[c] / flat[i + c]);
        p = p > 255 ? 255 : p;
        out[i + c] = p < 0 ? 0 : p;
      }
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}

void BM_AverageDarks(benchmark::State& state) {
  MemoryEngine memory(static_cast<int>(state.range(0)));
  memory.engine.ToggleColour();  // grey
  for (int i = 0; i < kAveragedFrames; ++i) memory.add(ListRole::Darks, makeStored(8, 10 + i, 0, 250));
  for (auto _ : state) {
    memory.engine.AverageDarks();
    benchmark::DoNotOptimize(memory.engine.product(kMasterDarkBit)->pixels.get());
  }
  state.SetItemsProcessed(state.iterations() * kAveragedFrames * kWidth * kHeight);
}

void BM_BareSummingLoop(benchmark::State& state) {
  std::vector<StoredFrame> frames;
  for (int i = 0; i < kAveragedFrames; ++i) frames.push_back(makeStored(8, 10 + i, 0, 250));
  const std::vector<uint8_t> palette = greyPalette();
  const size_t rowBytes = dibRowBytes(8, kWidth);
  std::vector<float> sum(size_t{kWidth} * kHeight);
  for (auto _ : state) {
    std::fill(sum.begin(), sum.end(), 0.0f);
    for (const StoredFrame& frame : frames)
      for (int32_t y = 0; y < kHeight; ++y) {
        const uint8_t* row = frame.rows.data() + rowBytes * (kHeight - 1 - y);
        float* out = sum.data() + size_t{kWidth} * y;
        for (int32_t x = 0; x < kWidth; ++x) {
          const uint8_t* entry = palette.data() + 4 * row[x];
          out[x] += static_cast<float>((entry[0] + 2 * entry[1] + entry[2]) / 4);
        }
      }
    benchmark::DoNotOptimize(sum.data());
  }
  state.SetItemsProcessed(state.iterations() * kAveragedFrames * kWidth * kHeight);
}

}  // namespace

BENCHMARK(BM_ProcessFrameColour)->Arg(1)->Arg(defaultThreadCount())->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareCalibrationLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AverageDarks)->Arg(1)->Arg(defaultThreadCount())->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_BareSummingLoop)->Unit(benchmark::kMillisecond)->Iterations(3);
