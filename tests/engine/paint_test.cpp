#include "engine/paint.h"

#include <gtest/gtest.h>

#include "image/test_util.h"

namespace stelp {
namespace {

// A W x H Gray8 buffer whose pixel (x, y) holds x + y (mod 256).
std::unique_ptr<ImageBuffer> ramp(int32_t width, int32_t height) {
  auto image = test::makeImage(PixelFormat::Gray8, width, height);
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x) image->row(y)[x] = static_cast<uint8_t>(x + y);
  return image;
}

int at(const Bitmap24& bitmap, int32_t x, int32_t y, int channel = 0) {
  return bitmap.bytes[bitmap.rowBytes * static_cast<size_t>(y) + 3 * static_cast<size_t>(x) + channel];
}

// The rows and columns of the bitmap that show the image (not the background).
std::pair<int, int> drawnRows(const Bitmap24& bitmap, uint8_t background) {
  int first = -1, last = -1;
  for (int32_t y = 0; y < bitmap.height; ++y)
    for (int32_t x = 0; x < bitmap.width; ++x)
      if (at(bitmap, x, y) != background) {
        if (first < 0) first = y;
        last = y;
      }
  return {first, last};
}

TEST(PaintImageTest, ScalesToFitAroundTheCentres) {
  constexpr uint8_t kBackground = 255;  // the ramps below never reach 255 where drawn
  Bitmap24 bitmap;
  // 640 x 480 into 320 x 240: every second pixel of every second row.
  PaintImage(*ramp(640, 480), 320, 240, Reduce::Allowed, Enlarge::NotAllowed, kBackground, bitmap);
  EXPECT_EQ(at(bitmap, 0, 0), 0);
  EXPECT_EQ(at(bitmap, 1, 0), 2);
  EXPECT_EQ(at(bitmap, 1, 1), 4);

  // 640 x 480 into 400 x 400: s = 1.6, rows 50..349 show the frame.
  auto dim = test::makeImage(PixelFormat::Gray8, 640, 480);
  std::memset(dim->pixels.get(), 7, dim->pixelBytes());
  PaintImage(*dim, 400, 400, Reduce::Allowed, Enlarge::NotAllowed, kBackground, bitmap);
  EXPECT_EQ(drawnRows(bitmap, kBackground), (std::pair<int, int>{50, 349}));

  // 320 x 240 into 400 x 400 is not enlarged: columns 40..359, rows 80..319.
  auto small = test::makeImage(PixelFormat::Gray8, 320, 240);
  std::memset(small->pixels.get(), 7, small->pixelBytes());
  PaintImage(*small, 400, 400, Reduce::Allowed, Enlarge::NotAllowed, kBackground, bitmap);
  EXPECT_EQ(drawnRows(bitmap, kBackground), (std::pair<int, int>{80, 319}));
  EXPECT_EQ(at(bitmap, 39, 200), kBackground);
  EXPECT_EQ(at(bitmap, 40, 200), 7);
  EXPECT_EQ(at(bitmap, 359, 200), 7);
  EXPECT_EQ(at(bitmap, 360, 200), kBackground);

  // Nothing to draw into.
  PaintImage(*small, 0, 10, Reduce::Allowed, Enlarge::NotAllowed, kBackground, bitmap);
  EXPECT_TRUE(bitmap.bytes.empty());
}

TEST(PaintImageTest, FloatsAreTruncatedAndCutToEightBitsInPaddedRows) {
  Bitmap24 bitmap;
  PaintImage(*test::floatImage(3, 1, {300.0f, 256.0f, 12.9f}), 3, 1, Reduce::Allowed, Enlarge::NotAllowed, 0, bitmap);
  EXPECT_EQ(bitmap.bytes, (std::vector<uint8_t>{44, 44, 44, 0, 0, 0, 12, 12, 12, 0, 0, 0}));
  auto colour = test::makeImage(PixelFormat::BgrFloat, 1, 1);
  const float bgr[3] = {1.5f, 2.5f, 258.0f};
  std::memcpy(colour->pixels.get(), bgr, sizeof bgr);
  PaintImage(*colour, 1, 1, Reduce::Allowed, Enlarge::NotAllowed, 0, bitmap);
  EXPECT_EQ(bitmap.bytes, (std::vector<uint8_t>{1, 2, 2, 0}));
}

}  // namespace
}  // namespace stelp
