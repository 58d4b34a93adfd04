#include "engine/paint.h"

#include <gtest/gtest.h>

#include <array>

#include "image/test_util.h"

namespace stelp {
namespace {

int at(const Bitmap24& bitmap, int32_t x, int32_t y, int channel = 0) {
  return bitmap.bytes[bitmap.rowBytes * static_cast<size_t>(y) + 3 * static_cast<size_t>(x) + channel];
}

TEST(PaintImageTest, ScalesToFitAroundTheCentresAndCutsFloatsToBytes) {
  constexpr uint8_t kBackground = 255;
  Bitmap24 bitmap;
  // 640 x 480 holding x + y into 320 x 240: every second pixel of every second row.
  auto ramp = test::makeImage(PixelFormat::Gray8, 640, 480);
  for (int32_t y = 0; y < 480; ++y)
    for (int32_t x = 0; x < 640; ++x) ramp->row(y)[x] = static_cast<uint8_t>(x + y);
  PaintImage(*ramp, 320, 240, Reduce::Allowed, Enlarge::NotAllowed, kBackground, bitmap);
  EXPECT_EQ((std::array{at(bitmap, 0, 0), at(bitmap, 1, 0), at(bitmap, 1, 1)}), (std::array{0, 2, 4}));

  // The first and last column and row that show a uniform frame of 7 in a 400 x 400 bitmap.
  const struct { int32_t width, height; std::array<int, 4> shown; } cases[] = {
      {640, 480, {0, 399, 50, 349}},   // reduced by 1.6
      {320, 240, {40, 359, 80, 319}},  // not enlarged
  };
  for (const auto& c : cases) {
    auto frame = test::makeImage(PixelFormat::Gray8, c.width, c.height);
    std::memset(frame->pixels.get(), 7, frame->pixelBytes());
    PaintImage(*frame, 400, 400, Reduce::Allowed, Enlarge::NotAllowed, kBackground, bitmap);
    std::array<int, 4> shown{400, -1, 400, -1};
    for (int32_t y = 0; y < 400; ++y)
      for (int32_t x = 0; x < 400; ++x) {
        if (at(bitmap, x, y) == kBackground) continue;
        EXPECT_EQ(at(bitmap, x, y), 7);
        shown = {std::min(shown[0], x), std::max(shown[1], x), std::min(shown[2], y), std::max(shown[3], y)};
      }
    EXPECT_EQ(shown, c.shown) << c.width << " x " << c.height;
  }

  // Nothing to draw into.
  PaintImage(*ramp, 0, 10, Reduce::Allowed, Enlarge::NotAllowed, kBackground, bitmap);
  EXPECT_TRUE(bitmap.bytes.empty());

  // Floats are truncated and cut to eight bits, in rows padded to whole words.
  PaintImage(*test::floatImage(3, 1, {300.0f, 256.0f, 12.9f}), 3, 1, Reduce::Allowed, Enlarge::NotAllowed, 0, bitmap);
  EXPECT_EQ(bitmap.bytes, (std::vector<uint8_t>{44, 44, 44, 0, 0, 0, 12, 12, 12, 0, 0, 0}));
  const auto colour = test::floatImage(1, 1, {1.5f, 2.5f, 258.0f}, PixelFormat::BgrFloat);
  PaintImage(*colour, 1, 1, Reduce::Allowed, Enlarge::NotAllowed, 0, bitmap);
  EXPECT_EQ(bitmap.bytes, (std::vector<uint8_t>{1, 2, 2, 0}));
}

}  // namespace
}  // namespace stelp
