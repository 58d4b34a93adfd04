#include "image/bitmap.h"

#include "image/numeric.h"
#include "test_util.h"

namespace stelp {
namespace {

using test::Bytes;

struct BitmapLayout {
  int32_t width = 1, height = 1;
  int bitCount = 24;
  uint32_t compression = 0, infoSize = 40, colorsUsed = 0;
  Bytes palette = {};  // four bytes an entry
  Bytes masks = {};    // after the 40-byte header
  Bytes rows = {};     // as stored, padded
};

// A bitmap file with the given headers; bfOffBits points at the rows.
Bytes bitmapFile(const BitmapLayout& s) {
  Bytes info = test::dibInfo(s.width, s.height, s.bitCount, s.compression, s.colorsUsed,
                             static_cast<uint32_t>(s.rows.size()));
  storeLe32(info.data(), s.infoSize);
  const size_t offBits = 14 + info.size() + s.masks.size() + s.palette.size();
  return test::Le().s("BM").n(offBits + s.rows.size()).n(0).n(offBits).add(info).add(s.masks).add(s.palette)
      .add(s.rows).b;
}

bool readBytes(const Bytes& bytes, PixelFormat format, ImageSlot& slot, std::string* why = nullptr) {
  MemoryInput input(bytes.data(), bytes.size());
  return readBitmap(input, format, slot, why);
}

TEST(DibRowTest, DecodesEveryDepthIntoEveryFormatAndEncodesFloatsAsBytes) {
  // A 24-bit and a 32-bit pixel (its fourth byte ignored) of blue 1, green 2, red 6: their grey (1 + 4 + 6) / 4 drops
  // the remainder, and 16- and 32-bit grey hold it on their own scale. Palette rows are checked against these below.
  const uint8_t bgr[] = {1, 2, 6};
  const std::pair<int, Bytes> rows[] = {{24, {1, 2, 6}}, {32, {1, 2, 6, 255}}};
  const std::pair<PixelFormat, double> formats[] = {
      {PixelFormat::Gray8, 2},     {PixelFormat::Gray16, 512}, {PixelFormat::Gray32, 2 << 24},
      {PixelFormat::GrayFloat, 2}, {PixelFormat::Bgr24, 0},    {PixelFormat::BgrFloat, 0}};
  for (const auto& [bitCount, row] : rows)
    for (const auto& [format, grey] : formats) {
      auto image = test::makeImage(format, 1, 1);
      decodeDibRow(row.data(), bitCount, nullptr, 1, format, image->row(0));
      const bool colour = isColourFormat(format);
      for (int c = 0; c < (colour ? 3 : 1); ++c)
        EXPECT_EQ(test::sampleAt(*image, 0, 0, c), colour ? bgr[c] : grey) << bitCount << ", " << int(format);
    }

  // The grey ramp, then palettes of random colours: every index, in a row of random length, decodes to what the
  // 24-bit pixel it names decodes to, in every format.
  uint32_t state = 99;
  auto next = [&] { return static_cast<uint8_t>((state = state * 1664525u + 1013904223u) >> 24); };
  uint8_t palette[kBitmapPaletteBytes];
  std::memcpy(palette, greyPalette().data(), sizeof palette);
  for (int trial = 0; trial < 4; ++trial) {
    if (trial > 0)
      for (uint8_t& b : palette) b = next();
    const int32_t width = 256 + next() % 61;
    Bytes indices(static_cast<size_t>(width)), pixels;
    for (int32_t x = 0; x < width; ++x) {
      indices[x] = static_cast<uint8_t>(x < 256 ? x : next());
      pixels.insert(pixels.end(), palette + 4 * indices[x], palette + 4 * indices[x] + 3);
    }
    for (const auto& [format, grey] : formats) {
      auto fromPalette = test::makeImage(format, width, 1), fromPixels = test::makeImage(format, width, 1);
      const DibRowDecoder decoder(8, palette, format);
      decoder.decode(indices.data(), width, fromPalette->row(0));
      decodeDibRow(pixels.data(), 24, nullptr, width, format, fromPixels->row(0));
      EXPECT_EQ(test::pixelBytes(*fromPalette), test::pixelBytes(*fromPixels)) << "format " << int(format);
    }
  }

  // Floats encode as the low byte of their truncation held to 32-bit integers.
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<float> values = {127.9f, -1.5f, 256.7f, std::nanf(""), 3e9f, -3e9f, inf, -inf, 2147483520.0f};
  const Bytes expected = {127, 255, 0, 0, 255, 0, 255, 0, 128, 0, 0, 0};  // then padding to whole words
  auto image = test::floatImage(static_cast<int32_t>(values.size()), 1, values);
  Bytes row(expected.size(), 99);
  EXPECT_EQ(encodeDibRow(image->row(0), PixelFormat::GrayFloat, image->width, row.data()), expected.size());
  EXPECT_EQ(row, expected);
}

TEST(BitmapReadTest, IndicesPastThePaletteAndRowsCutShortReadBlackAndRefusalsLeaveTheSlotAlone) {
  // 3 x 2 with two palette entries: the bottom row whole, the top row cut after its first pixel.
  const Bytes file = bitmapFile({.width = 3, .height = 2, .bitCount = 8, .colorsUsed = 2,
                                 .palette = {10, 20, 30, 0, 200, 100, 0, 0}, .rows = {1, 0, 255, 0, 1}});
  ImageSlot slot;
  ASSERT_TRUE(readBytes(file, PixelFormat::Bgr24, slot));
  EXPECT_EQ(test::pixelBytes(*slot), (Bytes{200, 100, 0, 0, 0, 0, 0, 0, 0, 200, 100, 0, 10, 20, 30, 0, 0, 0}));

  const Bytes row = {1, 2, 3, 0}, good = bitmapFile({.rows = row});
  Bytes notBm = good, shortHeader(good.begin(), good.begin() + 30);
  notBm[0] = 'X';
  auto bmp = [&](BitmapLayout s) { s.rows = row; return bitmapFile(s); };
  const struct { const char* name; Bytes file; const char* reason; } cases[] = {
      {"no BM", notBm, "not a bitmap file"}, {"header cut short", shortHeader, "cut short"},
      {"negative width", bmp({.width = -4}), "width -4"},
      {"bit fields on 24 bits", bmp({.compression = 3}), "compression 3"},
      {"odd bit field masks", bmp({.bitCount = 32, .compression = 3, .masks = Bytes(12, 0xF0)}), "masks"},
      {"core header", bmp({.infoSize = 12}), "info header of 12 bytes"},
      {"header size 0xFFFFFFFF", bmp({.infoSize = 0xFFFFFFFF}), "info header size (biSize) 4294967295 is not a bitmap"},
      {"header size 41", bmp({.infoSize = 41}), "info header size (biSize) 41 is not a bitmap"},
      {"124-byte header past the end", bmp({.infoSize = 124}), "(biSize) 124 runs past the end of the file"},
      {"zero width", bmp({.width = 0}), "width 0"}, {"zero height", bmp({.height = 0}), "height 0"},
      {"palette over 256", bmp({.bitCount = 8, .colorsUsed = 257}), "palette of 257"},
      {"negative palette count", bmp({.bitCount = 8, .colorsUsed = 0xFFFFFFFF}), "palette of"},
      {"rows far beyond the file", bmp({.width = 30000, .height = 30000}), "header declares"},
  };
  for (const auto& c : cases)
    test::expectRefused([&](ImageSlot& s, std::string* why) { return readBytes(c.file, PixelFormat::Gray8, s, why); },
                        c.reason, c.name);
}

TEST(BitmapWriteTest, WritesHeadersPaletteAndRowsBottomUp) {
  test::TempDir dir;
  const std::string path = dir.file("out.bmp");
  auto grey = test::makeImage(PixelFormat::Gray8, 1, 2);
  grey->pixels[0] = 77, grey->pixels[1] = 78;
  Bytes greyPalette;
  for (int i = 0; i < 256; ++i) greyPalette.insert(greyPalette.end(), {uint8_t(i), uint8_t(i), uint8_t(i), 0});
  ASSERT_TRUE(writeBitmap(path, *grey));
  EXPECT_EQ(test::readFile(path), bitmapFile({.width = 1, .height = 2, .bitCount = 8, .palette = greyPalette,
                                              .rows = {78, 0, 0, 0, 77, 0, 0, 0}}));

  std::string why;  // through FileOutput, which refuses what is not a regular file
  std::filesystem::create_directory(dir.file("folder.bmp"));
  EXPECT_FALSE(writeBitmap(dir.file("folder.bmp"), *grey, &why));
  EXPECT_NE(why.find("not a regular file"), std::string::npos) << why;
}

}  // namespace
}  // namespace stelp
