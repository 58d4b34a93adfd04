#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "image/image_buffer.h"

namespace stelp::test {

using Bytes = std::vector<uint8_t>;

// A fresh directory under the system's temporary folder, removed afterwards.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "stelp-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string file(const std::string& name) const { return (std::filesystem::path(path_) / name).string(); }

 private:
  std::string path_;
};

inline Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline void writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::unique_ptr<ImageBuffer> makeImage(PixelFormat format, int32_t width, int32_t height) {
  auto image = std::make_unique<ImageBuffer>();
  image->setFormat(format);
  image->width = width;
  image->height = height;
  EXPECT_TRUE(image->allocate());
  return image;
}

// A float image from values listed top row first.
inline std::unique_ptr<ImageBuffer> floatImage(int32_t width, int32_t height, const std::vector<float>& values) {
  auto image = makeImage(PixelFormat::GrayFloat, width, height);
  std::memcpy(image->pixels.get(), values.data(), values.size() * sizeof(float));
  return image;
}

template <typename T>
T pixelAt(const ImageBuffer& image, int32_t x, int32_t y, int channel = 0) {
  T value;
  std::memcpy(&value, image.row(y) + x * image.bytesPerPixel + channel * sizeof(T), sizeof(T));
  return value;
}

// A sentinel buffer for checking that a refused read leaves the slot alone.
inline ImageSlot sentinelSlot() { return makeImage(PixelFormat::Gray8, 1, 1); }

}  // namespace stelp::test
