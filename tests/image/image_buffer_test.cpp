#include "image/image_buffer.h"

#include <tuple>

#include "test_util.h"

namespace stelp {
namespace {

TEST(ImageBufferTest, AllocateGivesUnpaddedRowsOrNothingAndLargeArraysAreReused) {
  const struct { int32_t code, width, height, rowBytes; } cases[] = {  // rowBytes 0: refused
      {5, 3, 1, 9}, {6, 2, 2, 24}, {1, 0, 5, 0}, {1, 5, 0, 0}, {0, 5, 5, 0}, {7, 5, 5, 0}, {-1, 5, 5, 0},
      {1, -3, 5, 0}, {6, 0x7fffffff, 1, 0},  // the last one's row bytes would overflow 32 bits
  };
  for (const auto& c : cases) {
    ImageBuffer image;
    image.setFormat(static_cast<PixelFormat>(c.code));
    image.width = c.width;
    image.height = c.height;
    const bool allocated = image.allocate();
    EXPECT_EQ(std::tuple(allocated, image.rowBytes, image.pixels != nullptr),
              std::tuple(c.rowBytes != 0, c.rowBytes, c.rowBytes != 0)) << c.code << " " << c.width << "x" << c.height;
  }

  // While work runs, the freed array of a large frame serves the next frame of its size; other sizes get their own.
  const ArrayReuse reuse;
  ImageSlot first = test::makeImage(PixelFormat::GrayFloat, 2048, 1024);
  uint8_t* const array = first->pixels.get();
  first.reset();
  EXPECT_NE(test::makeImage(PixelFormat::GrayFloat, 1536, 1024)->pixels.get(), array);
  ImageSlot second = test::makeImage(PixelFormat::GrayFloat, 2048, 1024);
  EXPECT_EQ(std::pair(second->pixels.get(), second->allocated), std::pair(array, size_t{2048} * 1024 * 4));
}

}  // namespace
}  // namespace stelp
