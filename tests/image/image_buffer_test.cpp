#include "image/image_buffer.h"

#include <gtest/gtest.h>

#include <memory>

namespace stelp {
namespace {

TEST(ImageBufferTest, AllocateGivesUnpaddedRowsOrRefusesLeavingNothing) {
  const struct { int32_t code, width, height, rowBytes; } cases[] = {  // rowBytes 0: refused
      {5, 3, 1, 9}, {6, 2, 2, 24}, {1, 0, 5, 0}, {1, 5, 0, 0}, {0, 5, 5, 0}, {7, 5, 5, 0}, {-1, 5, 5, 0},
      {1, -3, 5, 0},
      {6, 0x7fffffff, 1, 0},  // row bytes would overflow 32 bits
  };
  for (const auto& c : cases) {
    ImageBuffer image;
    image.setFormat(static_cast<PixelFormat>(c.code));
    image.width = c.width;
    image.height = c.height;
    EXPECT_EQ(image.allocate(), c.rowBytes != 0) << c.code << " " << c.width << "x" << c.height;
    EXPECT_EQ(image.rowBytes, c.rowBytes);
    EXPECT_EQ(image.pixels != nullptr, c.rowBytes != 0);
  }
}

// While work runs, the array of a large frame that is freed serves the next
// frame of its size; other sizes get arrays of their own.
TEST(ImageBufferTest, LargeArraysAreReusedWhileWorkRuns) {
  auto make = [](int32_t width) {
    auto image = std::make_unique<ImageBuffer>();
    image->setFormat(PixelFormat::GrayFloat);
    image->width = width;
    image->height = 1024;
    EXPECT_TRUE(image->allocate());
    return image;
  };
  const ArrayReuse reuse;
  ImageSlot first = make(2048);
  const uint8_t* array = first->pixels.get();
  first.reset();
  EXPECT_NE(make(1536)->pixels.get(), array);
  ImageSlot second = make(2048);
  EXPECT_EQ(second->pixels.get(), array);
  EXPECT_EQ(second->allocated, size_t{2048} * 1024 * 4);
}

}  // namespace
}  // namespace stelp
