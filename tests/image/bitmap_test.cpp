#include "image/bitmap.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image/numeric.h"
#include "test_util.h"

namespace stelp {
namespace {

using test::Bytes;

struct BitmapLayout {
  int32_t width = 1;
  int32_t height = 1;
  int bitCount = 24;
  uint32_t compression = 0;
  uint32_t infoSize = 40;
  uint32_t colorsUsed = 0;
  Bytes palette;     // four bytes an entry
  Bytes masks;       // written after a 40-byte header, or inside a larger one
  Bytes rows;        // as stored, padded
  int64_t offBitsDelta = 0;  // added to the honest bfOffBits
};

// A bitmap file with the given headers; bfOffBits points at the rows.
Bytes bitmapFile(const BitmapLayout& s) {
  Bytes info(std::max<uint32_t>(s.infoSize, 40), 0);
  storeLe32(info.data(), s.infoSize);
  storeLe32(info.data() + 4, static_cast<uint32_t>(s.width));
  storeLe32(info.data() + 8, static_cast<uint32_t>(s.height));
  storeLe16(info.data() + 12, 1);
  storeLe16(info.data() + 14, static_cast<uint16_t>(s.bitCount));
  storeLe32(info.data() + 16, s.compression);
  storeLe32(info.data() + 32, s.colorsUsed);
  Bytes afterInfo;
  if (s.infoSize > 40)
    std::copy(s.masks.begin(), s.masks.end(), info.begin() + 40);
  else
    afterInfo = s.masks;
  afterInfo.insert(afterInfo.end(), s.palette.begin(), s.palette.end());
  const uint32_t offBits = static_cast<uint32_t>(14 + info.size() + afterInfo.size() + s.offBitsDelta);
  Bytes file(14, 0);
  file[0] = 'B';
  file[1] = 'M';
  storeLe32(file.data() + 10, offBits);
  file.insert(file.end(), info.begin(), info.end());
  file.insert(file.end(), afterInfo.begin(), afterInfo.end());
  file.resize(offBits, 0);
  file.insert(file.end(), s.rows.begin(), s.rows.end());
  storeLe32(file.data() + 2, static_cast<uint32_t>(file.size()));
  return file;
}

bool readBytes(const Bytes& bytes, PixelFormat format, ImageSlot& slot, std::string* why = nullptr) {
  MemoryInput input(bytes.data(), bytes.size());
  return readBitmap(input, format, slot, why);
}

// The blue, green, red bytes of a Bgr24 buffer, top row first.
Bytes bgrPixels(const ImageBuffer& image) {
  Bytes bytes;
  for (int32_t y = 0; y < image.height; ++y) bytes.insert(bytes.end(), image.row(y), image.row(y) + image.rowBytes);
  return bytes;
}

TEST(DibRowTest, DecodesEveryDepthIntoEveryFormat) {
  uint8_t palette[kBitmapPaletteBytes] = {};
  const uint8_t entry7[4] = {200, 100, 0, 99};
  std::memcpy(palette + 4 * 7, entry7, 4);
  const uint8_t row8[] = {7};
  const uint8_t row24[] = {10, 20, 30};
  const uint8_t row32[] = {10, 20, 30, 255};
  const struct {
    const char* name;
    const uint8_t* row;
    int bitCount;
    uint8_t blue, green, red, grey;
  } rows[] = {
      {"8-bit palette", row8, 8, 200, 100, 0, 100},
      {"24-bit", row24, 24, 10, 20, 30, 20},
      {"32-bit, fourth byte ignored", row32, 32, 10, 20, 30, 20},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    uint8_t out[12];
    decodeDibRow(r.row, r.bitCount, palette, 1, PixelFormat::Gray8, out);
    EXPECT_EQ(out[0], r.grey);
    decodeDibRow(r.row, r.bitCount, palette, 1, PixelFormat::Gray16, out);
    EXPECT_EQ(loadLe16(out), r.grey * 256);
    decodeDibRow(r.row, r.bitCount, palette, 1, PixelFormat::Gray32, out);
    EXPECT_EQ(loadLe32(out), r.grey * 16777216u);
    decodeDibRow(r.row, r.bitCount, palette, 1, PixelFormat::GrayFloat, out);
    float grey;
    std::memcpy(&grey, out, 4);
    EXPECT_EQ(grey, r.grey);
    decodeDibRow(r.row, r.bitCount, palette, 1, PixelFormat::Bgr24, out);
    EXPECT_EQ(Bytes(out, out + 3), (Bytes{r.blue, r.green, r.red}));
    decodeDibRow(r.row, r.bitCount, palette, 1, PixelFormat::BgrFloat, out);
    float bgr[3];
    std::memcpy(bgr, out, sizeof bgr);
    EXPECT_EQ(bgr[0], r.blue);
    EXPECT_EQ(bgr[1], r.green);
    EXPECT_EQ(bgr[2], r.red);
  }
  // Grey drops the remainder: (1 + 2 * 1 + 2) / 4 = 1.
  const uint8_t odd[] = {1, 1, 2};
  uint8_t out = 0;
  decodeDibRow(odd, 24, palette, 1, PixelFormat::Gray8, &out);
  EXPECT_EQ(out, 1);
}

TEST(DibRowTest, EncodeTruncatesFloatsAndPadsRows) {
  const float floats[] = {254.9f, 0.7f, 300.0f};  // 300 keeps its low 8 bits
  uint8_t out[8];
  std::memset(out, 0xEE, sizeof out);
  EXPECT_EQ(encodeDibRow(reinterpret_cast<const uint8_t*>(floats), PixelFormat::GrayFloat, 3, out), 4u);
  EXPECT_EQ(Bytes(out, out + 4), (Bytes{254, 0, 44, 0}));

  EXPECT_EQ(encodeDibRow(reinterpret_cast<const uint8_t*>(floats), PixelFormat::BgrFloat, 1, out), 4u);
  EXPECT_EQ(Bytes(out, out + 4), (Bytes{254, 0, 44, 0}));

  const uint16_t words[] = {0x1234, 0xFF00};
  EXPECT_EQ(encodeDibRow(reinterpret_cast<const uint8_t*>(words), PixelFormat::Gray16, 2, out), 4u);
  EXPECT_EQ(Bytes(out, out + 4), (Bytes{0x12, 0xFF, 0, 0}));
}

TEST(BitmapReadTest, LayoutsReadRightSideUp) {
  // 2 x 2 pixels, picture top row (1,2,3)(4,5,6), bottom row (7,8,9)(10,11,12).
  const Bytes top = {1, 2, 3, 4, 5, 6}, bottom = {7, 8, 9, 10, 11, 12};
  const Bytes picture = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  auto rows24 = [](const Bytes& first, const Bytes& second) {
    Bytes rows = first;
    rows.insert(rows.end(), {0, 0});
    rows.insert(rows.end(), second.begin(), second.end());
    rows.insert(rows.end(), {0, 0});
    return rows;
  };
  auto rows32 = [](const Bytes& first, const Bytes& second) {
    Bytes rows;
    for (const Bytes* r : {&first, &second})
      for (size_t i = 0; i < r->size(); i += 3) rows.insert(rows.end(), {(*r)[i], (*r)[i + 1], (*r)[i + 2], 0xAA});
    return rows;
  };
  const Bytes standardMasks = {0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0};
  BitmapLayout s;
  s.width = 2;
  s.height = 2;
  const struct {
    const char* name;
    BitmapLayout layout;
  } cases[] = {
      {"bottom-up 24-bit", [&] { auto c = s; c.rows = rows24(bottom, top); return c; }()},
      {"top-down 24-bit", [&] { auto c = s; c.height = -2; c.rows = rows24(top, bottom); return c; }()},
      {"32-bit", [&] { auto c = s; c.bitCount = 32; c.rows = rows32(bottom, top); return c; }()},
      {"32-bit bit fields", [&] { auto c = s; c.bitCount = 32; c.compression = 3; c.masks = standardMasks; c.rows = rows32(bottom, top); return c; }()},
      {"124-byte header with bit fields", [&] { auto c = s; c.bitCount = 32; c.compression = 3; c.infoSize = 124; c.masks = standardMasks; c.rows = rows32(bottom, top); return c; }()},
      {"108-byte header, gap before rows", [&] { auto c = s; c.infoSize = 108; c.offBitsDelta = 6; c.rows = rows24(bottom, top); return c; }()},
      {"24-bit with an unused palette", [&] { auto c = s; c.colorsUsed = 2; c.palette = Bytes(8, 0x55); c.rows = rows24(bottom, top); return c; }()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ImageSlot slot;
    std::string why;
    ASSERT_TRUE(readBytes(bitmapFile(c.layout), PixelFormat::Bgr24, slot, &why)) << why;
    EXPECT_EQ(slot->width, 2);
    EXPECT_EQ(slot->height, 2);
    EXPECT_EQ(bgrPixels(*slot), picture);
  }
}

TEST(BitmapReadTest, PaletteIndicesBeyondThePaletteAreBlack) {
  BitmapLayout s;
  s.width = 3;
  s.bitCount = 8;
  s.colorsUsed = 2;
  s.palette = {10, 20, 30, 0, 200, 100, 0, 0};
  s.rows = {1, 0, 255, 0};
  ImageSlot slot;
  ASSERT_TRUE(readBytes(bitmapFile(s), PixelFormat::Bgr24, slot));
  EXPECT_EQ(bgrPixels(*slot), (Bytes{200, 100, 0, 10, 20, 30, 0, 0, 0}));
  ASSERT_TRUE(readBytes(bitmapFile(s), PixelFormat::Gray8, slot));
  EXPECT_EQ(Bytes(slot->row(0), slot->row(0) + 3), (Bytes{100, 20, 0}));
}

TEST(BitmapReadTest, RefusalsLeaveTheSlotAlone) {
  BitmapLayout ok;
  ok.rows = {1, 2, 3, 0};
  auto with = [&](auto change) {
    BitmapLayout s = ok;
    change(s);
    return bitmapFile(s);
  };
  Bytes notBm = bitmapFile(ok);
  notBm[0] = 'X';
  Bytes shortHeader = bitmapFile(ok);
  shortHeader.resize(30);
  const struct {
    const char* name;
    Bytes file;
    const char* reason;
  } cases[] = {
      {"no BM", notBm, "not a bitmap file"},
      {"header cut short", shortHeader, "cut short"},
      {"16-bit", with([](BitmapLayout& s) { s.bitCount = 16; }), "16-bit bitmaps are not supported"},
      {"4-bit", with([](BitmapLayout& s) { s.bitCount = 4; }), "4-bit bitmaps are not supported"},
      {"RLE8", with([](BitmapLayout& s) { s.bitCount = 8; s.compression = 1; }), "compression 1"},
      {"bit fields on 24 bits", with([](BitmapLayout& s) { s.compression = 3; }), "compression 3"},
      {"odd bit field masks", with([](BitmapLayout& s) { s.bitCount = 32; s.compression = 3; s.masks = Bytes(12, 0xF0); }), "masks"},
      {"core header", with([](BitmapLayout& s) { s.infoSize = 12; }), "info header of 12 bytes"},
      {"zero width", with([](BitmapLayout& s) { s.width = 0; }), "width 0"},
      {"negative width", with([](BitmapLayout& s) { s.width = -4; }), "width -4"},
      {"zero height", with([](BitmapLayout& s) { s.height = 0; }), "height 0"},
      {"palette over 256", with([](BitmapLayout& s) { s.bitCount = 8; s.colorsUsed = 257; }), "palette of 257"},
      {"negative palette count", with([](BitmapLayout& s) { s.bitCount = 8; s.colorsUsed = 0xFFFFFFFF; }), "palette of"},
      {"rows far beyond the file", with([](BitmapLayout& s) { s.width = 30000; s.height = 30000; }), "header declares"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ImageSlot slot = test::sentinelSlot();
    const ImageBuffer* before = slot.get();
    std::string why;
    EXPECT_FALSE(readBytes(c.file, PixelFormat::Gray8, slot, &why));
    EXPECT_EQ(slot.get(), before);
    EXPECT_NE(why.find(c.reason), std::string::npos) << why;
  }
}

TEST(BitmapReadTest, RowsCutShortReadBlack) {
  BitmapLayout s;
  s.width = 2;
  s.height = 2;
  s.bitCount = 8;
  s.colorsUsed = 1;
  s.palette = {90, 90, 90, 0};
  s.rows = {0, 0, 0, 0, 0};  // the bottom row and one pixel of the top row
  ImageSlot slot;
  ASSERT_TRUE(readBytes(bitmapFile(s), PixelFormat::Gray8, slot));
  EXPECT_EQ(Bytes(slot->row(0), slot->row(0) + 2), (Bytes{90, 0}));
  EXPECT_EQ(Bytes(slot->row(1), slot->row(1) + 2), (Bytes{90, 90}));
}

class BitmapWriteTest : public ::testing::Test {
 protected:
  test::TempDir dir;
};

TEST_F(BitmapWriteTest, GreyFileLayout) {
  const std::string path = dir.file("one.bmp");
  auto image = test::makeImage(PixelFormat::Gray8, 1, 1);
  image->pixels[0] = 77;
  ASSERT_TRUE(writeBitmap(path, *image));
  const Bytes bytes = test::readFile(path);
  ASSERT_EQ(bytes.size(), 1082u);
  EXPECT_EQ(bytes[0], 'B');
  EXPECT_EQ(bytes[1], 'M');
  EXPECT_EQ(loadLe32(&bytes[2]), 1082u);
  EXPECT_EQ(loadLe32(&bytes[10]), 1078u);
  EXPECT_EQ(loadLe32(&bytes[14]), 40u);
  EXPECT_EQ(loadLe16(&bytes[26]), 1);
  EXPECT_EQ(loadLe16(&bytes[28]), 8);
  EXPECT_EQ(loadLe32(&bytes[34]), 4u);  // biSizeImage
  for (int i : {0, 7, 255}) EXPECT_EQ(Bytes(&bytes[54 + 4 * i], &bytes[58 + 4 * i]), (Bytes{uint8_t(i), uint8_t(i), uint8_t(i), 0}));
  EXPECT_EQ(Bytes(bytes.end() - 4, bytes.end()), (Bytes{77, 0, 0, 0}));
}

TEST_F(BitmapWriteTest, ColourFileIsBottomUpAndPadded) {
  const std::string path = dir.file("colour.bmp");
  auto image = test::makeImage(PixelFormat::BgrFloat, 3, 2);
  float* f = reinterpret_cast<float*>(image->pixels.get());
  for (int i = 0; i < 18; ++i) f[i] = static_cast<float>(i) + 0.9f;
  ASSERT_TRUE(writeBitmap(path, *image));
  const Bytes bytes = test::readFile(path);
  ASSERT_EQ(bytes.size(), 78u);
  EXPECT_EQ(loadLe32(&bytes[10]), 54u);
  EXPECT_EQ(loadLe16(&bytes[28]), 24);
  EXPECT_EQ(loadLe32(&bytes[34]), 24u);
  const Bytes rows(bytes.begin() + 54, bytes.end());
  EXPECT_EQ(rows, (Bytes{9, 10, 11, 12, 13, 14, 15, 16, 17, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0}));
}

TEST_F(BitmapWriteTest, RoundTripsAndFailures) {
  const std::string path = dir.file("trip.bmp");
  for (PixelFormat format : {PixelFormat::Gray8, PixelFormat::Bgr24}) {
    auto image = test::makeImage(format, 5, 3);
    for (size_t i = 0; i < image->pixelBytes(); ++i) image->pixels[i] = static_cast<uint8_t>(i * 37);
    ASSERT_TRUE(writeBitmap(path, *image));
    ImageSlot slot;
    ASSERT_TRUE(readBitmap(path, format, slot));
    EXPECT_EQ(Bytes(slot->pixels.get(), slot->pixels.get() + slot->pixelBytes()),
              Bytes(image->pixels.get(), image->pixels.get() + image->pixelBytes()));
  }
  auto image = test::makeImage(PixelFormat::Gray8, 1, 1);
  std::string why;
  EXPECT_FALSE(writeBitmap(dir.file("no/such/dir.bmp"), *image, &why));
  EXPECT_FALSE(writeBitmap("/dev/full", *image, &why));
  EXPECT_NE(why.find("write failed"), std::string::npos);
  ImageSlot slot;
  EXPECT_FALSE(readBitmap(dir.file("absent.bmp"), PixelFormat::Gray8, slot, &why));
  EXPECT_EQ(why, "not found");
}

}  // namespace
}  // namespace stelp
