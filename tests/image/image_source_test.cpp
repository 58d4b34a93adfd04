#include "image/image_source.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "image/bitmap.h"
#include "test_util.h"

namespace stelp {
namespace {

TEST(ImageSourceTest, NameOffsetSkipsTheLastThreeCharacters) {
  const struct {
    const char* path;
    int32_t offset;
  } cases[] = {
      {"C:\\images\\m42.bmp", 10}, {"D:m42.bmp", 2},   {"m42.bmp", 0},       {"abc", 0},
      {"C:\\dir\\ab\\", 7},        {"/home/sky/m42.fits", 10}, {"/a/", 0}, {"ab", 0},
      {"", 0},                     {"/x/y.avi", 3},
  };
  for (const auto& c : cases) {
    ImageSource source;
    source.setPath(c.path, FrameBitmap);
    EXPECT_EQ(source.nameOffset, c.offset) << c.path;
    EXPECT_EQ(source.frameCode, FrameBitmap);
    EXPECT_TRUE(source.enabled);
  }
}

TEST(LoadFrameTest, SlotRulesWithoutAFrame) {
  test::TempDir dir;
  ImageSlot slot = test::sentinelSlot();
  loadFrame(nullptr, slot, PixelFormat::Gray8);
  EXPECT_EQ(slot, nullptr) << "no source empties the slot";

  ImageSource unset;  // FrameNone: nothing is read, the slot stays as it is
  loadFrame(&unset, slot, PixelFormat::Gray8);
  EXPECT_EQ(slot, nullptr);
  slot = test::sentinelSlot();
  const ImageBuffer* kept = slot.get();
  loadFrame(&unset, slot, PixelFormat::Gray8);
  EXPECT_EQ(slot.get(), kept);

  // A file deleted since it was imported leaves the previous frame in place.
  const std::string bmp = dir.file("gone.bmp");
  ASSERT_TRUE(writeBitmap(bmp, *test::floatImage(1, 1, {3})));
  ImageSource source;
  source.setPath(bmp, FrameBitmap);
  loadFrame(&source, slot, PixelFormat::Gray8);
  ASSERT_NE(slot.get(), kept);
  kept = slot.get();
  std::filesystem::remove(bmp);
  loadFrame(&source, slot, PixelFormat::Gray8);
  EXPECT_EQ(slot.get(), kept);
}

}  // namespace
}  // namespace stelp
