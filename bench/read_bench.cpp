// Compares the FITS and bitmap readers with a bare loop that does only what
// any reader has to do for the same file: fread the data and turn every value
// into a float. Both sides allocate their buffers inside the timed loop, and
// the files stay in the page cache after the first iteration, so the ratio
// shows the readers' own overhead.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <unistd.h>

#include "bench_util.h"
#include "image/bitmap.h"
#include "image/fits.h"
#include "image/image_buffer.h"

namespace {

constexpr int32_t kWidth = 4096;
constexpr int32_t kHeight = 4096;
constexpr size_t kFitsBlock = 2880;
constexpr size_t kFitsDataBytes = size_t{kWidth} * kHeight * 2;
constexpr int32_t kBzero = 32768;
constexpr size_t kBitmapHeaderBytes = 54;
constexpr size_t kBitmapRowBytes = size_t{kWidth} * 3;  // a multiple of 4: no padding
constexpr size_t kBitmapPixelBytes = kBitmapRowBytes * kHeight;

using stelp::bench::Lcg;

void writeWhole(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) throw std::runtime_error("cannot create " + path.string());
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (std::fclose(f) != 0 || !ok) throw std::runtime_error("cannot write " + path.string());
}

void putCard(std::vector<uint8_t>& out, size_t index, const std::string& text) {
  std::memcpy(out.data() + 80 * index, text.data(), text.size());
}

std::string valueCard(const char* keyword, const std::string& value) {
  std::string card = keyword;
  card.resize(8, ' ');
  card += "= ";
  card += std::string(20 - value.size(), ' ') + value;  // right-justified to column 30
  return card;
}

// 16-bit FITS: one header block, big-endian values stored with BZERO 32768,
// data padded to a whole block.
std::vector<uint8_t> makeFits() {
  std::vector<uint8_t> file(kFitsBlock, ' ');
  putCard(file, 0, valueCard("SIMPLE", "T"));
  putCard(file, 1, valueCard("BITPIX", "16"));
  putCard(file, 2, valueCard("NAXIS", "2"));
  putCard(file, 3, valueCard("NAXIS1", std::to_string(kWidth)));
  putCard(file, 4, valueCard("NAXIS2", std::to_string(kHeight)));
  putCard(file, 5, valueCard("BZERO", "32768"));
  putCard(file, 6, "END");
  file.resize(kFitsBlock + (kFitsDataBytes + kFitsBlock - 1) / kFitsBlock * kFitsBlock, 0);
  Lcg rng{12345};
  uint8_t* p = file.data() + kFitsBlock;
  for (size_t i = 0; i < size_t{kWidth} * kHeight; ++i, p += 2) {
    const uint16_t stored = static_cast<uint16_t>(rng.next());  // value - 32768, two's complement
    p[0] = static_cast<uint8_t>(stored >> 8);
    p[1] = static_cast<uint8_t>(stored);
  }
  return file;
}

void storeLe(uint8_t* p, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// 24-bit bottom-up bitmap with the classic 54-byte header.
std::vector<uint8_t> makeBitmap() {
  std::vector<uint8_t> file(kBitmapHeaderBytes + kBitmapPixelBytes);
  uint8_t* h = file.data();
  h[0] = 'B';
  h[1] = 'M';
  storeLe(h + 2, static_cast<uint32_t>(file.size()), 4);
  storeLe(h + 10, kBitmapHeaderBytes, 4);
  storeLe(h + 14, 40, 4);
  storeLe(h + 18, kWidth, 4);
  storeLe(h + 22, kHeight, 4);
  storeLe(h + 26, 1, 2);
  storeLe(h + 28, 24, 2);
  storeLe(h + 30, 0, 4);
  storeLe(h + 34, static_cast<uint32_t>(kBitmapPixelBytes), 4);
  storeLe(h + 38, 2835, 4);
  storeLe(h + 42, 2835, 4);
  Lcg rng{67890};
  for (size_t i = kBitmapHeaderBytes; i < file.size(); ++i) file[i] = static_cast<uint8_t>(rng.next());
  return file;
}

// The two test files, written once per process into a private temp folder
// and removed again at exit.
class BenchFiles {
 public:
  BenchFiles() {
    dir_ = std::filesystem::temp_directory_path() / ("stelp_read_bench_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    fits_ = (dir_ / "gray16.fits").string();
    bitmap_ = (dir_ / "bgr24.bmp").string();
    writeWhole(fits_, makeFits());
    writeWhole(bitmap_, makeBitmap());
  }
  ~BenchFiles() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  const std::string& fits() const { return fits_; }
  const std::string& bitmap() const { return bitmap_; }

 private:
  std::filesystem::path dir_;
  std::string fits_;
  std::string bitmap_;
};

const BenchFiles& files() {
  static const BenchFiles instance;
  return instance;
}

void BM_ReadFitsGrayFloat(benchmark::State& state) {
  const std::string& path = files().fits();
  for (auto _ : state) {
    stelp::ImageSlot slot;
    std::string why;
    if (!stelp::readFits(path, stelp::PixelFormat::GrayFloat, slot, &why)) {
      state.SkipWithError(("readFits failed: " + why).c_str());
      break;
    }
    benchmark::DoNotOptimize(slot->pixels.get());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kFitsDataBytes));
}

void BM_BareFitsLoop(benchmark::State& state) {
  const std::string& path = files().fits();
  constexpr size_t count = size_t{kWidth} * kHeight;
  for (auto _ : state) {
    std::unique_ptr<uint8_t[]> data(new uint8_t[kFitsDataBytes]);
    std::unique_ptr<float[]> out(new float[count]);
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f || std::fseek(f, kFitsBlock, SEEK_SET) != 0 || std::fread(data.get(), 1, kFitsDataBytes, f) != kFitsDataBytes) {
      if (f) std::fclose(f);
      state.SkipWithError("reading the FITS data failed");
      break;
    }
    std::fclose(f);
    const uint8_t* p = data.get();
    for (size_t i = 0; i < count; ++i, p += 2) {
      const int16_t raw = static_cast<int16_t>((p[0] << 8) | p[1]);
      out[i] = static_cast<float>(int32_t{raw} + kBzero);
    }
    benchmark::DoNotOptimize(out.get());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kFitsDataBytes));
}

void BM_ReadBitmapBgrFloat(benchmark::State& state) {
  const std::string& path = files().bitmap();
  for (auto _ : state) {
    stelp::ImageSlot slot;
    std::string why;
    if (!stelp::readBitmap(path, stelp::PixelFormat::BgrFloat, slot, &why)) {
      state.SkipWithError(("readBitmap failed: " + why).c_str());
      break;
    }
    benchmark::DoNotOptimize(slot->pixels.get());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kBitmapPixelBytes));
}

void BM_BareBitmapLoop(benchmark::State& state) {
  const std::string& path = files().bitmap();
  constexpr size_t samplesPerRow = size_t{kWidth} * 3;
  for (auto _ : state) {
    std::unique_ptr<uint8_t[]> rows(new uint8_t[kBitmapPixelBytes]);
    std::unique_ptr<float[]> out(new float[samplesPerRow * kHeight]);
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f || std::fseek(f, kBitmapHeaderBytes, SEEK_SET) != 0 ||
        std::fread(rows.get(), 1, kBitmapPixelBytes, f) != kBitmapPixelBytes) {
      if (f) std::fclose(f);
      state.SkipWithError("reading the bitmap rows failed");
      break;
    }
    std::fclose(f);
    // The file stores the bottom row first; the buffer wants the top row first.
    for (int32_t fileRow = 0; fileRow < kHeight; ++fileRow) {
      const uint8_t* in = rows.get() + kBitmapRowBytes * static_cast<size_t>(fileRow);
      float* o = out.get() + samplesPerRow * static_cast<size_t>(kHeight - 1 - fileRow);
      for (size_t i = 0; i < samplesPerRow; ++i) o[i] = static_cast<float>(in[i]);
    }
    benchmark::DoNotOptimize(out.get());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kBitmapPixelBytes));
}

BENCHMARK(BM_ReadFitsGrayFloat)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareFitsLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadBitmapBgrFloat)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareBitmapLoop)->Unit(benchmark::kMillisecond);

}  // namespace
