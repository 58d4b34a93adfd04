#include "image/image_buffer.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace stelp
