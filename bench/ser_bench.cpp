// SER reading against the bare minimum of work, and against AVI:
//  - every frame of a 2000-frame 640 x 480 16-bit SER video through
//    readSerFrame into GrayFloat, against a bare loop that freads each
//    frame's bytes from one open file and turns every little-endian word into
//    the same float (value x 255 / 65535, the camera's scale);
//  - a master dark of 1000 frames of 1920 x 1080 read from an 8-bit SER
//    video, against the same master from the equivalent uncompressed 8-bit
//    AVI video, through the engine's own loader and averaging.
// Both sides allocate a new output buffer for every frame. The files stay in
// the page cache after they are written, so the ratios show the readers' own
// overhead. The files are written to a private folder under the temporary
// folder and removed at exit.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <unistd.h>

#include "bench_util.h"
#include "engine/engine.h"
#include "image/avi.h"
#include "image/image_buffer.h"
#include "image/numeric.h"
#include "image/ser.h"
#include "image/ser_writer.h"

namespace {

using stelp::bench::Lcg;

constexpr int32_t kReadWidth = 640;
constexpr int32_t kReadHeight = 480;
constexpr int32_t kReadFrames = 2000;
constexpr size_t kReadPixels = size_t{kReadWidth} * kReadHeight;
constexpr size_t kReadFrameBytes = kReadPixels * 2;

constexpr int32_t kMasterWidth = 1920;
constexpr int32_t kMasterHeight = 1080;
constexpr int32_t kMasterFrames = 1000;
constexpr size_t kMasterPixels = size_t{kMasterWidth} * kMasterHeight;

constexpr int kRepetitions = 3;  // one pass each; the median is the figure

// A 16-bit mono SER video written field by field: the header (LittleEndian
// 0, as capture programs write it for little-endian data), then random
// words, without time stamps.
bool writeSer16(const std::string& path, std::string& error) {
  std::vector<uint8_t> header(stelp::kSerHeaderSize, 0);
  std::memcpy(header.data(), "LUCAM-RECORDER", 14);
  // Width, height, depth and frame count; colour id 0 (mono).
  stelp::storeLe32(header.data() + 26, kReadWidth);
  stelp::storeLe32(header.data() + 30, kReadHeight);
  stelp::storeLe32(header.data() + 34, 16);
  stelp::storeLe32(header.data() + 38, kReadFrames);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  bool ok = f && std::fwrite(header.data(), 1, header.size(), f) == header.size();
  std::vector<uint8_t> frame(kReadFrameBytes);
  Lcg rng{13579};
  for (int32_t k = 0; ok && k < kReadFrames; ++k) {
    for (uint8_t& b : frame) b = static_cast<uint8_t>(rng.next());
    ok = std::fwrite(frame.data(), 1, frame.size(), f) == frame.size();
  }
  if (f && std::fclose(f) != 0) ok = false;
  if (!ok) error = "cannot write " + path;
  return ok;
}

// The same 1000 grey frames as an 8-bit SER video and as an uncompressed
// 8-bit AVI video, both written by Stelp's writers. Each frame is a window
// into a long noise strip, one row further down than the frame before it.
bool writeMasterVideos(const std::string& ser, const std::string& avi, std::string& error) {
  std::vector<uint8_t> strip(kMasterPixels + size_t{kMasterWidth} * kMasterFrames);
  Lcg rng{24680};
  for (uint8_t& v : strip) v = static_cast<uint8_t>(rng.next());
  stelp::ImageBuffer frame;
  frame.setFormat(stelp::PixelFormat::Gray8);
  frame.width = kMasterWidth;
  frame.height = kMasterHeight;
  if (!frame.allocate()) {
    error = "cannot allocate a frame";
    return false;
  }
  stelp::SerWriter serWriter;
  stelp::AviWriter aviWriter;
  std::string why;
  if (!stelp::openSerWriter(serWriter, ser, stelp::serLayoutOf(frame, stelp::SerDepth::Eight), {}, &why)) {
    error = ser + ": " + why;
    return false;
  }
  for (int32_t k = 0; k < kMasterFrames; ++k) {
    std::memcpy(frame.pixels.get(), strip.data() + size_t{kMasterWidth} * k, kMasterPixels);
    if ((k == 0 && !stelp::openAviWriter(aviWriter, avi, frame, &why)) ||
        !stelp::writeAviFrame(aviWriter, frame, &why) || !stelp::writeSerFrame(serWriter, frame, &why)) {
      error = "writing the master videos: " + why;
      return false;
    }
  }
  if (!stelp::closeSerWriter(serWriter, {}, &why) || !stelp::closeAviWriter(aviWriter, &why)) {
    error = "closing the master videos: " + why;
    return false;
  }
  return true;
}

// The bare per-frame work for the 16-bit file: one open file, each frame's
// bytes read into one reused buffer, each word turned into a float as the
// reader computes it.
class BareSer16 {
 public:
  BareSer16() : bytes_(kReadFrameBytes) {}
  ~BareSer16() {
    if (file_) std::fclose(file_);
  }
  bool open(const std::string& path) {
    file_ = std::fopen(path.c_str(), "rb");
    return file_ != nullptr;
  }
  bool frame(int32_t k, float* out) {
    const off_t offset = static_cast<off_t>(stelp::kSerHeaderSize + kReadFrameBytes * static_cast<size_t>(k));
    if (fseeko(file_, offset, SEEK_SET) != 0 || std::fread(bytes_.data(), 1, kReadFrameBytes, file_) != kReadFrameBytes)
      return false;
    const uint8_t* p = bytes_.data();
    for (size_t i = 0; i < kReadPixels; ++i, p += 2)
      out[i] = static_cast<float>(static_cast<double>(stelp::loadLe16(p)) * 255.0 / 65535.0);
    return true;
  }

 private:
  std::vector<uint8_t> bytes_;
  std::FILE* file_ = nullptr;
};

// The test files, made once per process. `error` is set when they could not
// be made, or when the reader and the bare loop disagree on a frame.
class BenchFiles {
 public:
  BenchFiles() {
    dir_ = std::filesystem::temp_directory_path() / ("stelp_ser_bench_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    ser16_ = (dir_ / "gray16.ser").string();
    ser8_ = (dir_ / "gray8.ser").string();
    avi8_ = (dir_ / "gray8.avi").string();
    (void)(writeSer16(ser16_, error_) && sameResult(kReadFrames / 2 + 1) &&
           writeMasterVideos(ser8_, avi8_, error_));
  }
  ~BenchFiles() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  const std::string& error() const { return error_; }
  const std::string& ser16() const { return ser16_; }
  const std::string& ser8() const { return ser8_; }
  const std::string& avi8() const { return avi8_; }

 private:
  bool sameResult(int32_t k) {
    stelp::ImageSlot slot;
    std::string why;
    if (!stelp::readSerFrame(ser16_, k, stelp::PixelFormat::GrayFloat, slot, &why)) {
      error_ = ser16_ + ": " + why;
      return false;
    }
    BareSer16 bare;
    std::unique_ptr<float[]> out(new float[kReadPixels]);
    if (!bare.open(ser16_) || !bare.frame(k, out.get()) ||
        std::memcmp(slot->pixels.get(), out.get(), kReadPixels * sizeof(float)) != 0) {
      error_ = "the reader and the bare loop disagree on frame " + std::to_string(k);
      return false;
    }
    return true;
  }

  std::filesystem::path dir_;
  std::string ser16_, ser8_, avi8_;
  std::string error_;
};

const BenchFiles& files() {
  static const BenchFiles instance;
  return instance;
}

void BM_ReadSer16(benchmark::State& state) {
  if (!files().error().empty()) {
    state.SkipWithError(files().error().c_str());
    return;
  }
  for (auto _ : state) {
    for (int32_t k = 0; k < kReadFrames; ++k) {
      stelp::ImageSlot slot;
      std::string why;
      if (!stelp::readSerFrame(files().ser16(), k, stelp::PixelFormat::GrayFloat, slot, &why)) {
        state.SkipWithError(("readSerFrame failed: " + why).c_str());
        return;
      }
      benchmark::DoNotOptimize(slot->pixels.get());
      benchmark::ClobberMemory();
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kReadFrames);
}

void BM_BareSer16Loop(benchmark::State& state) {
  if (!files().error().empty()) {
    state.SkipWithError(files().error().c_str());
    return;
  }
  for (auto _ : state) {
    BareSer16 bare;
    if (!bare.open(files().ser16())) {
      state.SkipWithError("the bare loop cannot open the file");
      return;
    }
    for (int32_t k = 0; k < kReadFrames; ++k) {
      std::unique_ptr<float[]> out(new float[kReadPixels]);
      if (!bare.frame(k, out.get())) {
        state.SkipWithError(("the bare loop failed on frame " + std::to_string(k)).c_str());
        return;
      }
      benchmark::DoNotOptimize(out.get());
      benchmark::ClobberMemory();
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kReadFrames);
}

// A grey project whose darks are every frame of `path`, averaged on one
// thread (the engine's loader reads the file, as a project's would).
void masterDark(benchmark::State& state, const std::string& path) {
  if (!files().error().empty()) {
    state.SkipWithError(files().error().c_str());
    return;
  }
  stelp::Engine engine;
  engine.ToggleColour();
  engine.SetThreads(1);
  engine.SetFrameSize({kMasterWidth, kMasterHeight});
  std::vector<std::unique_ptr<stelp::ImageSource>> entries;
  for (int32_t k = 0; k < kMasterFrames; ++k) {
    entries.push_back(std::make_unique<stelp::ImageSource>());
    entries.back()->setPath(path, k);
  }
  engine.AppendEntries(stelp::ListRole::Darks, std::move(entries));
  for (auto _ : state) {
    stelp::clearAviReadCache();
    engine.AverageDarks();
    const stelp::ImageBuffer* master = engine.product(stelp::kMasterDarkBit);
    if (!master || engine.AveragedCount(stelp::ListRole::Darks) != kMasterFrames) {
      state.SkipWithError("the master dark was not made of every frame");
      return;
    }
    benchmark::DoNotOptimize(master->pixels.get());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kMasterFrames);
}

void BM_MasterDarkSer8(benchmark::State& state) { masterDark(state, files().ser8()); }
void BM_MasterDarkAvi8(benchmark::State& state) { masterDark(state, files().avi8()); }

BENCHMARK(BM_ReadSer16)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(kRepetitions);
BENCHMARK(BM_BareSer16Loop)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(kRepetitions);
BENCHMARK(BM_MasterDarkSer8)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(kRepetitions);
BENCHMARK(BM_MasterDarkAvi8)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(kRepetitions);

}  // namespace
