#include "image_buffer.h"

#include <array>
#include <limits>
#include <new>

#include "file_kind.h"

namespace stelp {
namespace {

constexpr std::array<const char*, 4> kBayerNames = {"RGGB", "GRBG", "GBRG", "BGGR"};

}  // namespace

const char* bayerName(BayerPattern pattern) {
  if (pattern == BayerPattern::None) return "none";
  return kBayerNames[static_cast<size_t>(static_cast<int32_t>(pattern) - 1) & 3];
}

BayerPattern bayerFromName(std::string_view name) {
  for (size_t i = 0; i < kBayerNames.size(); ++i)
    if (equalsIgnoringCase(name, kBayerNames[i])) return static_cast<BayerPattern>(i + 1);
  return BayerPattern::None;
}

int32_t bytesPerPixelOf(PixelFormat format) {
  switch (format) {
    case PixelFormat::Gray8: return 1;
    case PixelFormat::Gray16: return 2;
    case PixelFormat::Gray32: return 4;
    case PixelFormat::GrayFloat: return 4;
    case PixelFormat::Bgr24: return 3;
    case PixelFormat::BgrFloat: return 12;
    case PixelFormat::None: break;
  }
  return 0;
}

void ImageBuffer::setFormat(PixelFormat f) {
  format = f;
  bytesPerPixel = bytesPerPixelOf(f);
}

bool ImageBuffer::allocate() {
  if (bytesPerPixel == 0 || width <= 0 || height <= 0) return false;
  const int64_t bytesInRow = int64_t{bytesPerPixel} * width;
  if (bytesInRow > std::numeric_limits<int32_t>::max()) return false;
  const uint64_t total = static_cast<uint64_t>(bytesInRow) * static_cast<uint64_t>(height);
  if (total > std::numeric_limits<size_t>::max() - 3) return false;
  const size_t rounded = (static_cast<size_t>(total) + 3) & ~size_t{3};
  std::unique_ptr<uint8_t[]> array(new (std::nothrow) uint8_t[rounded]);
  if (!array) return false;
  rowBytes = static_cast<int32_t>(bytesInRow);
  pixels = std::move(array);
  return true;
}

}  // namespace stelp
