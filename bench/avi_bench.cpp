// Compares reading every frame of an AVI file through readAviFrame with a bare
// loop that does only the work any frame reader must do for the same file:
//  - 8-bit uncompressed: fread each frame's bytes from one open file and turn
//    every palette index into a float grey value, bottom row last;
//  - MJPEG: feed each packet to one open decoder, convert the picture to
//    24-bit BGR with libswscale and take the float grey value of each pixel.
// The bare loops know where the frames lie (the index is parsed once, outside
// the timing); the readers find that out themselves, once per file after the
// cache is cleared. Both sides allocate a new output buffer for every frame.
// The files stay in the page cache after they are written, so the ratio shows
// the readers' own overhead.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include "bench_util.h"
#include "image/avi.h"
#include "image/avi_container.h"
#include "image/byte_io.h"
#include "image/image_buffer.h"
#include "image/numeric.h"

namespace {

constexpr int32_t kWidth = 640;
constexpr int32_t kHeight = 480;
constexpr int32_t kFrames = 2000;
constexpr size_t kPixels = size_t{kWidth} * kHeight;
constexpr size_t kPaletteBytes = 1024;
constexpr int kIterations = 3;
constexpr size_t kAlignment = 32;

using stelp::bench::Lcg;

// Where the frames of a file lie, and for 8-bit frames the stream's palette.
struct FrameLayout {
  std::vector<stelp::AviFrameEntry> frames;
  std::vector<uint8_t> palette;  // 256 entries of blue, green, red, unused
};

bool parseLayout(const std::string& path, FrameLayout& layout, std::string& error) {
  stelp::FileInput input;
  stelp::AviStreamIndex index;
  std::string why;
  if (!input.open(path, &why) || !stelp::parseAvi(input, index, &why)) {
    error = path + ": " + why;
    return false;
  }
  layout.frames = index.frames;
  layout.palette.assign(kPaletteBytes, 0);
  if (index.format.size() >= 40) {
    const size_t headerSize = stelp::loadLe32(index.format.data());
    if (index.format.size() > headerSize)
      std::memcpy(layout.palette.data(), index.format.data() + headerSize,
                  std::min(kPaletteBytes, index.format.size() - headerSize));
  }
  if (layout.frames.size() != kFrames) {
    error = path + ": " + std::to_string(layout.frames.size()) + " frames instead of " + std::to_string(kFrames);
    return false;
  }
  return true;
}

// 2000 grey frames written with our own writer. Each frame is a window into
// a long noise strip, one row further down than the frame before it.
bool writeGrayAvi(const std::string& path, std::string& error) {
  std::vector<uint8_t> strip(kPixels + size_t{kWidth} * kFrames);
  Lcg rng{24680};
  for (uint8_t& v : strip) v = static_cast<uint8_t>(rng.next());

  stelp::ImageBuffer frame;
  frame.setFormat(stelp::PixelFormat::Gray8);
  frame.width = kWidth;
  frame.height = kHeight;
  if (!frame.allocate()) {
    error = "cannot allocate a frame";
    return false;
  }
  stelp::AviWriter writer;
  std::string why;
  for (int32_t k = 0; k < kFrames; ++k) {
    std::memcpy(frame.pixels.get(), strip.data() + size_t{kWidth} * k, kPixels);
    const bool ok = k == 0 ? stelp::openAviWriter(writer, path, frame, &why) && stelp::writeAviFrame(writer, frame, &why)
                           : stelp::writeAviFrame(writer, frame, &why);
    if (!ok) {
      error = "writing " + path + ": " + why;
      return false;
    }
  }
  if (!stelp::closeAviWriter(writer, &why)) {
    error = "closing " + path + ": " + why;
    return false;
  }
  return true;
}

bool makeMjpegAvi(const std::string& path, std::string& error) {
  const std::string command =
      "ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=" + std::to_string(kWidth) + "x" + std::to_string(kHeight) +
      ":rate=25 -frames:v " + std::to_string(kFrames) + " -c:v mjpeg -q:v 5 '" + path + "' </dev/null";
  if (std::system(command.c_str()) != 0) {
    error = "ffmpeg could not make " + path;
    return false;
  }
  return true;
}

// The bare per-frame work for the uncompressed file: one open file, frame
// bytes read into one reused buffer, palette lookup and (b + 2g + r) / 4 as
// the reader computes it.
class BareUncompressed {
 public:
  explicit BareUncompressed(const FrameLayout& layout) : layout_(layout), bytes_(kPixels) {}
  ~BareUncompressed() {
    if (file_) std::fclose(file_);
  }
  bool open(const std::string& path) {
    file_ = std::fopen(path.c_str(), "rb");
    return file_ != nullptr;
  }
  // Fills `out` (kWidth x kHeight floats, top row first) with frame `k`.
  bool frame(int32_t k, float* out) {
    const stelp::AviFrameEntry& entry = layout_.frames[k];
    if (entry.size != kPixels || fseeko(file_, static_cast<off_t>(entry.offset), SEEK_SET) != 0 ||
        std::fread(bytes_.data(), 1, kPixels, file_) != kPixels)
      return false;
    const uint8_t* palette = layout_.palette.data();
    for (int32_t r = 0; r < kHeight; ++r) {
      const uint8_t* in = bytes_.data() + size_t{kWidth} * r;
      float* o = out + size_t{kWidth} * (kHeight - 1 - r);
      for (int32_t x = 0; x < kWidth; ++x) {
        const uint8_t* p = palette + 4 * in[x];
        o[x] = static_cast<float>((p[0] + 2 * p[1] + p[2]) / 4);
      }
    }
    return true;
  }

 private:
  const FrameLayout& layout_;
  std::vector<uint8_t> bytes_;
  std::FILE* file_ = nullptr;
};

// The bare per-frame work for the MJPEG file: one open file, one open
// decoder, a packet per frame, libswscale to BGR24 with the reader's scaler
// flags, then (b + 2g + r) / 4 per pixel.
class BareMjpeg {
 public:
  explicit BareMjpeg(const FrameLayout& layout) : layout_(layout) {}
  ~BareMjpeg() {
    if (file_) std::fclose(file_);
    sws_freeContext(scaler_);
    av_frame_free(&picture_);
    av_packet_free(&packet_);
    avcodec_free_context(&context_);
  }
  bool open(const std::string& path) {
    file_ = std::fopen(path.c_str(), "rb");
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    if (!file_ || !codec) return false;
    context_ = avcodec_alloc_context3(codec);
    packet_ = av_packet_alloc();
    picture_ = av_frame_alloc();
    if (!context_ || !packet_ || !picture_) return false;
    context_->width = kWidth;
    context_->height = kHeight;
    context_->thread_count = 1;
    // Rows start 32-byte aligned, as in the reader.
    bgr_.resize(size_t{kWidth} * 3 * kHeight + kAlignment);
    const uintptr_t address = reinterpret_cast<uintptr_t>(bgr_.data());
    bgrOffset_ = (kAlignment - address % kAlignment) % kAlignment;
    return avcodec_open2(context_, codec, nullptr) >= 0;
  }
  bool frame(int32_t k, float* out) {
    const stelp::AviFrameEntry& entry = layout_.frames[k];
    packetBytes_.resize(entry.size + AV_INPUT_BUFFER_PADDING_SIZE);
    std::memset(packetBytes_.data() + entry.size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    if (fseeko(file_, static_cast<off_t>(entry.offset), SEEK_SET) != 0 ||
        std::fread(packetBytes_.data(), 1, entry.size, file_) != entry.size)
      return false;
    packet_->data = packetBytes_.data();
    packet_->size = static_cast<int>(entry.size);
    if (avcodec_send_packet(context_, packet_) < 0 || avcodec_receive_frame(context_, picture_) < 0) return false;
    scaler_ = sws_getCachedContext(scaler_, picture_->width, picture_->height,
                                   static_cast<AVPixelFormat>(picture_->format), kWidth, kHeight, AV_PIX_FMT_BGR24,
                                   SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!scaler_ || picture_->width != kWidth || picture_->height != kHeight) return false;
    uint8_t* planes[4] = {bgr_.data() + bgrOffset_, nullptr, nullptr, nullptr};
    int strides[4] = {kWidth * 3, 0, 0, 0};
    sws_scale(scaler_, picture_->data, picture_->linesize, 0, kHeight, planes, strides);
    av_frame_unref(picture_);
    const uint8_t* p = bgr_.data() + bgrOffset_;
    for (size_t i = 0; i < kPixels; ++i, p += 3) out[i] = static_cast<float>((p[0] + 2 * p[1] + p[2]) / 4);
    return true;
  }

 private:
  const FrameLayout& layout_;
  std::FILE* file_ = nullptr;
  AVCodecContext* context_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* picture_ = nullptr;
  SwsContext* scaler_ = nullptr;
  std::vector<uint8_t> packetBytes_;
  std::vector<uint8_t> bgr_;
  size_t bgrOffset_ = 0;
};

// Whether the reader and the bare loop give the same floats for frame `k`,
// so that both sides are known to do the same work.
template <typename Bare>
bool sameResult(const std::string& path, const FrameLayout& layout, int32_t k, std::string& error) {
  stelp::clearAviReadCache();
  stelp::ImageSlot slot;
  std::string why;
  if (!stelp::readAviFrame(path, k, stelp::PixelFormat::GrayFloat, slot, &why)) {
    error = path + ": " + why;
    return false;
  }
  Bare bare(layout);
  std::unique_ptr<float[]> out(new float[kPixels]);
  if (!bare.open(path) || !bare.frame(k, out.get())) {
    error = path + ": the bare loop failed on frame " + std::to_string(k);
    return false;
  }
  stelp::clearAviReadCache();
  if (slot->width != kWidth || slot->height != kHeight ||
      std::memcmp(slot->pixels.get(), out.get(), kPixels * sizeof(float)) != 0) {
    error = path + ": the reader and the bare loop disagree on frame " + std::to_string(k);
    return false;
  }
  return true;
}

// The two test files, made once per process in a private temp folder and
// removed again at exit. `error` is set when they could not be made.
class BenchFiles {
 public:
  BenchFiles() {
    dir_ = std::filesystem::temp_directory_path() / ("stelp_avi_bench_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    uncompressed_ = (dir_ / "gray8.avi").string();
    mjpeg_ = (dir_ / "mjpeg.avi").string();
    const int32_t probe = kFrames / 2 + 1;
    (void)(writeGrayAvi(uncompressed_, error_) && makeMjpegAvi(mjpeg_, error_) &&
           parseLayout(uncompressed_, uncompressedLayout_, error_) && parseLayout(mjpeg_, mjpegLayout_, error_) &&
           sameResult<BareUncompressed>(uncompressed_, uncompressedLayout_, probe, error_) &&
           sameResult<BareMjpeg>(mjpeg_, mjpegLayout_, probe, error_));
  }
  ~BenchFiles() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  const std::string& error() const { return error_; }
  const std::string& uncompressed() const { return uncompressed_; }
  const std::string& mjpeg() const { return mjpeg_; }
  const FrameLayout& uncompressedLayout() const { return uncompressedLayout_; }
  const FrameLayout& mjpegLayout() const { return mjpegLayout_; }

 private:
  std::filesystem::path dir_;
  std::string uncompressed_;
  std::string mjpeg_;
  FrameLayout uncompressedLayout_;
  FrameLayout mjpegLayout_;
  std::string error_;
};

const BenchFiles& files() {
  static const BenchFiles instance;
  return instance;
}

// Every frame through the reader, starting each pass with an empty cache so
// that the index is parsed (and a decoder opened) once per pass.
void readAllFrames(benchmark::State& state, const std::string& path) {
  if (!files().error().empty()) {
    state.SkipWithError(files().error().c_str());
    return;
  }
  for (auto _ : state) {
    stelp::clearAviReadCache();
    for (int32_t k = 0; k < kFrames; ++k) {
      stelp::ImageSlot slot;
      std::string why;
      if (!stelp::readAviFrame(path, k, stelp::PixelFormat::GrayFloat, slot, &why)) {
        state.SkipWithError(("readAviFrame failed: " + why).c_str());
        return;
      }
      benchmark::DoNotOptimize(slot->pixels.get());
      benchmark::ClobberMemory();
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kFrames);
}

template <typename Bare>
void bareLoop(benchmark::State& state, const std::string& path, const FrameLayout& layout) {
  if (!files().error().empty()) {
    state.SkipWithError(files().error().c_str());
    return;
  }
  for (auto _ : state) {
    Bare bare(layout);
    if (!bare.open(path)) {
      state.SkipWithError("the bare loop cannot open the file");
      return;
    }
    for (int32_t k = 0; k < kFrames; ++k) {
      std::unique_ptr<float[]> out(new float[kPixels]);
      if (!bare.frame(k, out.get())) {
        state.SkipWithError(("the bare loop failed on frame " + std::to_string(k)).c_str());
        return;
      }
      benchmark::DoNotOptimize(out.get());
      benchmark::ClobberMemory();
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kFrames);
}

void BM_ReadAviUncompressed(benchmark::State& state) { readAllFrames(state, files().uncompressed()); }

void BM_BareUncompressedLoop(benchmark::State& state) {
  bareLoop<BareUncompressed>(state, files().uncompressed(), files().uncompressedLayout());
}

void BM_ReadAviMjpeg(benchmark::State& state) { readAllFrames(state, files().mjpeg()); }

void BM_BareMjpegLoop(benchmark::State& state) {
  bareLoop<BareMjpeg>(state, files().mjpeg(), files().mjpegLayout());
}

BENCHMARK(BM_ReadAviUncompressed)->Unit(benchmark::kMillisecond)->Iterations(kIterations);
BENCHMARK(BM_BareUncompressedLoop)->Unit(benchmark::kMillisecond)->Iterations(kIterations);
BENCHMARK(BM_ReadAviMjpeg)->Unit(benchmark::kMillisecond)->Iterations(kIterations);
BENCHMARK(BM_BareMjpegLoop)->Unit(benchmark::kMillisecond)->Iterations(kIterations);

}  // namespace
