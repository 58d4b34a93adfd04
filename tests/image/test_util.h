#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "image/image_buffer.h"

namespace stelp::test {

using Bytes = std::vector<uint8_t>;

// A fresh directory under the system's temporary folder, removed afterwards.
struct TempDir {
  TempDir() : path((std::filesystem::temp_directory_path() / "stelp-XXXXXX").string()) { ::mkdtemp(path.data()); }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string file(const std::string& name) const { return (std::filesystem::path(path) / name).string(); }
  std::string path;
};

inline Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}
inline void writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::ssize(bytes));
}
inline std::string readText(const std::string& path) { const Bytes b = readFile(path); return {b.begin(), b.end()}; }
inline void writeText(const std::string& path, const std::string& text) {
  writeFile(path, Bytes(text.begin(), text.end()));
}

// The first offset at which two files differ, -1 when they are the same.
inline int64_t firstDifference(const Bytes& a, const Bytes& b) {
  const auto [x, y] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
  return x == a.end() && y == b.end() ? -1 : x - a.begin();
}

// Runs `write` with files limited to `bytes`, so that a write past the limit fails (SIGXFSZ is ignored). Nothing is
// asserted inside: test output may go to a file.
template <typename Write> auto underFileSizeLimit(rlim_t bytes, Write write) {
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  const rlimit lowered{bytes, saved.rlim_max};
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  const bool limited = setrlimit(RLIMIT_FSIZE, &lowered) == 0;
  const auto result = write();
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_TRUE(limited) << "the file size limit could not be lowered";
  return result;
}

inline std::unique_ptr<ImageBuffer> makeImage(PixelFormat format, int32_t width, int32_t height) {
  auto image = std::make_unique<ImageBuffer>();
  image->setFormat(format);
  image->width = width, image->height = height;
  EXPECT_TRUE(image->allocate());
  return image;
}

// A float image from values listed top row first (blue, green, red of each pixel in colour).
inline std::unique_ptr<ImageBuffer> floatImage(int32_t width, int32_t height, const std::vector<float>& values,
                                               PixelFormat format = PixelFormat::GrayFloat) {
  auto image = makeImage(format, width, height);
  std::memcpy(image->pixels.get(), values.data(), values.size() * sizeof(float));
  return image;
}

template <typename T> T pixelAt(const ImageBuffer& image, int32_t x, int32_t y, int channel = 0) {
  T value;
  std::memcpy(&value, image.row(y) + x * image.bytesPerPixel + channel * sizeof(T), sizeof(T));
  return value;
}

// Channel `channel` of pixel (x, y) in whatever type the format stores.
inline double sampleAt(const ImageBuffer& image, int32_t x, int32_t y, int channel = 0) {
  switch (image.format) {
    case PixelFormat::Gray16: return pixelAt<uint16_t>(image, x, y);
    case PixelFormat::Gray32: return pixelAt<uint32_t>(image, x, y);
    case PixelFormat::GrayFloat:
    case PixelFormat::BgrFloat: return pixelAt<float>(image, x, y, channel);
    default: return pixelAt<uint8_t>(image, x, y, channel);
  }
}

// Every pixel byte of a buffer, top row first.
inline Bytes pixelBytes(const ImageBuffer& image) {
  return Bytes(image.pixels.get(), image.pixels.get() + image.pixelBytes());
}

// Checks that add(sum) adds `frame`, the image a read of the same frame gives, to a sum of random fractions: each sum
// becomes sum + value in single precision, to the bit. A sum of another size or mosaic is left alone.
template <typename Add> void expectAddsLikeTheRead(const ImageBuffer& frame, Add add) {
  auto sum = makeImage(frame.format, frame.width, frame.height);
  auto expected = makeImage(frame.format, frame.width, frame.height);
  sum->bayer = frame.bayer;
  auto at = [](const ImageBuffer& image, size_t i) -> float& {
    return reinterpret_cast<float*>(image.pixels.get())[i];
  };
  std::mt19937 rng(frame.width);
  for (size_t i = 0; i < frame.pixelBytes() / sizeof(float); ++i) {
    at(*sum, i) = std::uniform_real_distribution<float>(0.0f, 300.0f)(rng);
    at(*expected, i) = at(*sum, i) + at(frame, i);
  }
  ASSERT_TRUE(add(*sum));
  EXPECT_EQ(pixelBytes(*sum), pixelBytes(*expected));
  auto wider = makeImage(frame.format, frame.width + 1, frame.height);
  sum->bayer = frame.bayer == BayerPattern::None ? BayerPattern::Rggb : BayerPattern::None;
  for (ImageBuffer* other : {wider.get(), sum.get()}) {
    const Bytes before = pixelBytes(*other);
    EXPECT_FALSE(add(*other));
    EXPECT_EQ(pixelBytes(*other), before);
  }
}

// Checks that `read(slot, why)` refuses with a reason containing `reason` and keeps the buffer that was in the slot;
// failures name the case `what`.
template <typename Read> void expectRefused(Read read, const std::string& reason, const char* what = "") {
  SCOPED_TRACE(what);
  ImageSlot slot = makeImage(PixelFormat::Gray8, 1, 1);
  const ImageBuffer* before = slot.get();
  std::string why;
  EXPECT_FALSE(read(slot, &why));
  EXPECT_EQ(slot.get(), before) << "a refused file must leave the slot alone";
  EXPECT_NE(why.find(reason), std::string::npos) << why;
}

// Little-endian bytes in order: n() a number of 1 to 8 bytes, s() text such as a fourcc, add() bytes made elsewhere.
struct Le {
  Le& n(uint64_t v, int bytes = 4) {
    for (int i = 0; i < bytes; ++i) b.push_back(static_cast<uint8_t>(v >> 8 * i));
    return *this;
  }
  Le& s(const char* text) { return add(Bytes(text, text + std::strlen(text))); }
  Le& zeros(size_t count) { return add(Bytes(count, 0)); }
  Le& add(const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); return *this; }
  Bytes b;
};

// A RIFF chunk, padded to an even size, and a list (or RIFF) of `type`.
inline Bytes chunk(const char* id, const Bytes& data) {
  Bytes c = Le().s(id).n(data.size()).add(data).b;
  if (data.size() & 1) c.push_back(0);
  return c;
}
inline Bytes list(const char* id, const char* type, const Bytes& content) {
  return chunk(id, Le().s(type).add(content).b);
}

// The 40-byte info header of bitmap files and AVI video formats.
inline Bytes dibInfo(int32_t width, int32_t height, int bitCount, uint32_t compression = 0,
                     uint32_t colorsUsed = 0, uint32_t sizeImage = 0) {
  return Le().n(40).n(static_cast<uint32_t>(width)).n(static_cast<uint32_t>(height)).n(1, 2).n(bitCount, 2)
      .n(compression).n(sizeImage).n(0).n(0).n(colorsUsed).n(0).b;
}

}  // namespace stelp::test
