#include "image_buffer.h"

#include <sys/mman.h>

#include <array>
#include <cstdint>
#include <limits>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

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
  std::unique_ptr<uint8_t[]> array = takeArray(rounded);
  if (!array) return false;
  rowBytes = static_cast<int32_t>(bytesInRow);
  giveBackArray(std::move(pixels), allocated);
  pixels = std::move(array);
  allocated = rounded;
  return true;
}

ImageBuffer::~ImageBuffer() { giveBackArray(std::move(pixels), allocated); }

namespace {

// Smaller arrays are cheap to make anew. Frames of a few hundred KiB are not:
// loaded on one thread and freed on another, their pages go back to the
// system, and the next frame pays a fault for each page again.
constexpr size_t kSmallestKept = size_t{256} << 10;
// At most this much is kept: a few frames of the largest sizes Stelp reads.
constexpr size_t kMostKept = size_t{512} << 20;

struct KeptArrays {
  std::mutex mutex;
  int users = 0;  // ArrayReuse objects alive
  size_t bytes = 0;
  std::vector<std::pair<size_t, std::unique_ptr<uint8_t[]>>> arrays;
};

KeptArrays& kept() {
  static KeptArrays instance;
  return instance;
}

}  // namespace

ArrayReuse::ArrayReuse() {
  KeptArrays& k = kept();
  std::lock_guard<std::mutex> lock(k.mutex);
  ++k.users;
}

ArrayReuse::~ArrayReuse() {
  KeptArrays& k = kept();
  std::vector<std::pair<size_t, std::unique_ptr<uint8_t[]>>> freed;
  {
    std::lock_guard<std::mutex> lock(k.mutex);
    if (--k.users > 0) return;
    freed.swap(k.arrays);
    k.bytes = 0;
  }
}

std::unique_ptr<uint8_t[]> takeArray(size_t bytes) {
  if (bytes >= kSmallestKept) {
    KeptArrays& k = kept();
    std::lock_guard<std::mutex> lock(k.mutex);
    for (auto it = k.arrays.begin(); it != k.arrays.end(); ++it)
      if (it->first == bytes) {
        std::unique_ptr<uint8_t[]> array = std::move(it->second);
        k.arrays.erase(it);
        k.bytes -= bytes;
        return array;
      }
  }
  std::unique_ptr<uint8_t[]> array(new (std::nothrow) uint8_t[bytes]);
  // A frame of many MiB is filled at once: huge pages take one fault where
  // small ones take 512, for the whole 2 MiB blocks the array covers.
  constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
  if (array && bytes >= 2 * kHugePage) {
    const uintptr_t start = (reinterpret_cast<uintptr_t>(array.get()) + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(array.get()) + bytes) & ~(kHugePage - 1);
    ::madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
  }
  return array;
}

void giveBackArray(std::unique_ptr<uint8_t[]> array, size_t bytes) {
  if (!array || bytes < kSmallestKept) return;
  KeptArrays& k = kept();
  std::lock_guard<std::mutex> lock(k.mutex);
  if (k.users == 0 || k.bytes + bytes > kMostKept) return;  // `array` is freed
  k.bytes += bytes;
  k.arrays.emplace_back(bytes, std::move(array));
}

}  // namespace stelp
