#include "image/image_buffer.h"

#include <gtest/gtest.h>

namespace stelp {
namespace {

TEST(ImageBufferTest, SetFormatGivesBytesPerPixel) {
  const struct {
    int32_t code;
    int32_t bytes;
  } cases[] = {{0, 0}, {1, 1}, {2, 2}, {3, 4}, {4, 4}, {5, 3}, {6, 12}, {7, 0}, {-1, 0}};
  for (const auto& c : cases) {
    ImageBuffer image;
    image.setFormat(c.code);
    EXPECT_EQ(image.format, c.code);
    EXPECT_EQ(image.bytesPerPixel, c.bytes) << "code " << c.code;
  }
}

TEST(ImageBufferTest, AllocateRefusesIncompleteOrImpossibleBuffers) {
  const struct {
    int32_t code, width, height;
  } cases[] = {
      {1, 0, 5}, {1, 5, 0}, {0, 5, 5}, {7, 5, 5}, {1, -3, 5},
      {6, 0x7fffffff, 1},  // row bytes would overflow 32 bits
  };
  for (const auto& c : cases) {
    ImageBuffer image;
    image.setFormat(c.code);
    image.width = c.width;
    image.height = c.height;
    EXPECT_FALSE(image.allocate()) << c.code << " " << c.width << "x" << c.height;
    EXPECT_EQ(image.pixels, nullptr);
    EXPECT_EQ(image.rowBytes, 0);
  }
}

TEST(ImageBufferTest, LayoutOfRowsAndPixels) {
  ImageBuffer bgr;
  bgr.setFormat(PixelFormat::Bgr24);
  bgr.width = 3;
  bgr.height = 1;
  ASSERT_TRUE(bgr.allocate());
  EXPECT_EQ(bgr.rowBytes, 9);

  ImageBuffer floats;
  floats.setFormat(PixelFormat::BgrFloat);
  floats.width = 2;
  floats.height = 2;
  ASSERT_TRUE(floats.allocate());
  EXPECT_EQ(floats.rowBytes, 24);
  EXPECT_EQ(floats.pixelBytes(), 48u);
  EXPECT_EQ(floats.row(1) + 1 * floats.bytesPerPixel - floats.pixels.get(), 36);
}

TEST(ImageBufferTest, LuminanceWeighsGreenTwice) {
  EXPECT_EQ(luminance(10, 20, 30), 20.0f);
  EXPECT_EQ(luminance(1, 0, 0), 0.25f);
  EXPECT_EQ(luminance(255, 255, 255), 255.0f);
}

}  // namespace
}  // namespace stelp
