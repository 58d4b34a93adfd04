#include "image/fits.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "test_util.h"

namespace stelp {
namespace {

using test::Bytes;

// One 80-column card from its text.
std::string card(const std::string& text) { return text + std::string(80 - text.size(), ' '); }

// "KEYWORD =" followed by `value` right-justified to column 30.
std::string valueCard(const std::string& keyword, const std::string& value) {
  std::string head = keyword + std::string(8 - keyword.size(), ' ') + "=";
  return card(head + std::string(30 - head.size() - value.size(), ' ') + value);
}

// A FITS file: the given cards after SIMPLE, then END (unless `end` is
// false), padded to whole blocks, then `data` padded to a whole block.
Bytes fitsFile(const std::vector<std::string>& cards, const Bytes& data, bool end = true) {
  std::string header = valueCard("SIMPLE", "T");
  for (const std::string& c : cards) header += c;
  if (end) header += card("END");
  header.resize((header.size() + 2879) / 2880 * 2880, ' ');
  Bytes bytes(header.begin(), header.end());
  bytes.insert(bytes.end(), data.begin(), data.end());
  if (end) bytes.resize((bytes.size() + 2879) / 2880 * 2880, 0);
  return bytes;
}

std::vector<std::string> imageCards(int bitpix, int width, int height) {
  return {valueCard("BITPIX", std::to_string(bitpix)), valueCard("NAXIS", "2"),
          valueCard("NAXIS1", std::to_string(width)), valueCard("NAXIS2", std::to_string(height))};
}

Bytes bigEndian(int bitpix, const std::vector<int64_t>& values) {
  Bytes bytes;
  for (int64_t v : values)
    for (int shift = bitpix - 8; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(v >> shift));
  return bytes;
}

bool readBytes(const Bytes& bytes, PixelFormat format, ImageSlot& slot, std::string* why = nullptr) {
  MemoryInput input(bytes.data(), bytes.size());
  return readFits(input, format, slot, why);
}

// The Gray8 pixels of a buffer, top row first.
std::vector<int> grey8(const ImageBuffer& image) {
  std::vector<int> values;
  for (int32_t y = 0; y < image.height; ++y)
    for (int32_t x = 0; x < image.width; ++x) values.push_back(image.row(y)[x]);
  return values;
}

TEST(FitsReadTest, AcceptanceTestAndRefusals) {
  const Bytes data4x16 = bigEndian(16, {1, 2, 3, 4});
  auto with = [](std::vector<std::string> cards, const std::string& extra) {
    cards.push_back(extra);
    return cards;
  };
  const std::vector<std::string> ok = imageCards(16, 2, 2);
  const struct {
    const char* name;
    Bytes file;
    const char* refusal;  // nullptr: accepted
  } cases[] = {
      {"plain 16-bit", fitsFile(ok, data4x16), nullptr},
      {"BITPIX written as 16.0", fitsFile({valueCard("BITPIX", "16.0"), ok[1], ok[2], ok[3]}, data4x16), nullptr},
      {"comment after column 30", fitsFile({card("BITPIX  =                   16 / bits per value"), ok[1], ok[2], ok[3]}, data4x16), nullptr},
      {"NAXIS 3 cube", fitsFile({ok[0], valueCard("NAXIS", "3"), ok[2], ok[3], valueCard("NAXIS3", "2")}, data4x16), nullptr},
      {"header without END", fitsFile(ok, {}, /*end=*/false), nullptr},
      {"floating-point data", fitsFile(imageCards(-32, 2, 2), data4x16), "BITPIX -32 is not supported"},
      {"64-bit data", fitsFile(imageCards(64, 2, 2), data4x16), "BITPIX 64 is not supported"},
      {"one axis", fitsFile({ok[0], valueCard("NAXIS", "1"), ok[2]}, data4x16), "NAXIS 1 is not supported"},
      {"zero width", fitsFile(imageCards(16, 0, 2), data4x16), "NAXIS1 0"},
      {"fractional width", fitsFile({ok[0], ok[1], valueCard("NAXIS1", "0.5"), ok[3]}, data4x16), "empty"},
      {"equals sign in column 8", fitsFile({card("BITPIX = 16"), ok[1], ok[2], ok[3]}, data4x16), "BITPIX is missing"},
      {"value beyond column 30", fitsFile({ok[0], ok[1], card("NAXIS1  =                         2"), ok[3]}, data4x16), "NAXIS1 -1"},
      {"zero BSCALE", fitsFile(with(ok, valueCard("BSCALE", "0")), data4x16), "BSCALE 0"},
      {"no SIMPLE card", Bytes(2880, ' '), "not a FITS file"},
      {"empty file", Bytes{}, "not a FITS file"},
      {"absurd axes", fitsFile({ok[0], ok[1], valueCard("NAXIS1", "1E20"), ok[3]}, data4x16), "too large"},
      {"data far beyond the file", fitsFile(imageCards(32, 60000, 60000), data4x16), "header declares 14400000000 data bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ImageSlot slot = test::sentinelSlot();
    const ImageBuffer* before = slot.get();
    std::string why;
    const bool accepted = readBytes(c.file, PixelFormat::Gray8, slot, &why);
    if (!c.refusal) {
      EXPECT_TRUE(accepted) << why;
      EXPECT_NE(slot.get(), before);
      continue;
    }
    EXPECT_FALSE(accepted);
    EXPECT_EQ(slot.get(), before) << "a refused file must leave the slot alone";
    EXPECT_NE(why.find(c.refusal), std::string::npos) << why;
  }
}

TEST(FitsReadTest, LaterCardOverwritesEarlierAndUnparsableValueIsIgnored) {
  std::vector<std::string> cards = imageCards(16, 2, 1);
  cards.insert(cards.begin() + 2, valueCard("NAXIS1", "7"));  // the later NAXIS1 2 wins
  cards.push_back(valueCard("BZERO", "'text'"));             // left at 0
  ImageSlot slot;
  ASSERT_TRUE(readBytes(fitsFile(cards, bigEndian(16, {10, 20})), PixelFormat::Gray8, slot));
  EXPECT_EQ(slot->width, 2);
  EXPECT_EQ(grey8(*slot), (std::vector<int>{127, 255}));
}

TEST(FitsReadTest, ValuesAreOffsetNulledAndNormalisedToTheBrightest) {
  auto cardsWith = [](int bitpix, int width, std::vector<std::string> extra) {
    std::vector<std::string> cards = imageCards(bitpix, width, 1);
    cards.insert(cards.end(), extra.begin(), extra.end());
    return cards;
  };
  const struct {
    const char* name;
    int bitpix;
    std::vector<std::string> extra;
    std::vector<int64_t> raw;
    std::vector<int> expected;
  } cases[] = {
      {"8-bit, brightest 200", 8, {}, {200, 100, 0, 50}, {255, 127, 0, 63}},
      {"16-bit with BZERO 32768", 16, {valueCard("BZERO", "32768")}, {-32768, 0, 32767}, {0, 127, 255}},
      {"all zero or negative", 16, {}, {0, -5, -32768}, {0, 0, 0}},
      {"BLANK is the null value", 16, {valueCard("BLANK", "1000")}, {1000, 500, 250}, {0, 255, 127}},
      {"BLANK compared after BZERO", 16, {valueCard("BLANK", "1000"), valueCard("BZERO", "32768")}, {-31768, -32268, -32768}, {0, 255, 0}},
      {"DATAMIN stands in for BLANK", 16, {valueCard("DATAMIN", "10"), valueCard("BSCALE", "2")}, {20, 10, 5}, {255, 127, 0}},
      {"BSCALE only divides BZERO", 16, {valueCard("BZERO", "200"), valueCard("BSCALE", "2")}, {-100, 0, 100}, {0, 127, 255}},
      {"unsigned 32-bit data do not wrap", 32, {valueCard("BZERO", "2147483648")}, {-2147483648LL, 0, 2147483647}, {0, 127, 255}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ImageSlot slot;
    const int width = static_cast<int>(c.raw.size());
    ASSERT_TRUE(readBytes(fitsFile(cardsWith(c.bitpix, width, c.extra), bigEndian(c.bitpix, c.raw)),
                          PixelFormat::Gray8, slot));
    EXPECT_EQ(grey8(*slot), c.expected);
  }
}

TEST(FitsReadTest, EveryFormatGetsTheNormalisedValue) {
  const Bytes file = fitsFile(imageCards(8, 2, 1), bigEndian(8, {200, 100}));
  ImageSlot slot;
  ASSERT_TRUE(readBytes(file, PixelFormat::Gray16, slot));
  EXPECT_EQ(test::pixelAt<uint16_t>(*slot, 1, 0), 32767);
  ASSERT_TRUE(readBytes(file, PixelFormat::Gray32, slot));
  EXPECT_EQ(test::pixelAt<uint32_t>(*slot, 0, 0), 4294901760u);
  EXPECT_EQ(test::pixelAt<uint32_t>(*slot, 1, 0), 2147450880u);
  ASSERT_TRUE(readBytes(file, PixelFormat::GrayFloat, slot));
  EXPECT_EQ(test::pixelAt<float>(*slot, 1, 0), 127.5f);
  ASSERT_TRUE(readBytes(file, PixelFormat::Bgr24, slot));
  for (int c = 0; c < 3; ++c) EXPECT_EQ(test::pixelAt<uint8_t>(*slot, 1, 0, c), 127);
  ASSERT_TRUE(readBytes(file, PixelFormat::BgrFloat, slot));
  for (int c = 0; c < 3; ++c) EXPECT_EQ(test::pixelAt<float>(*slot, 0, 0, c), 255.0f);
  EXPECT_EQ(slot->format, static_cast<int32_t>(PixelFormat::BgrFloat));

  std::string why;
  EXPECT_FALSE(readBytes(file, static_cast<PixelFormat>(9), slot, &why));
  EXPECT_EQ(why, "pixel format 9 is not supported");
}

TEST(FitsReadTest, FirstFileRowIsTheBottomAndOnlyTheFirstPlaneCounts) {
  // A 2 x 2 x 2 cube: the second plane is brighter and must not change the
  // normalisation of the first.
  std::vector<std::string> cards = {valueCard("BITPIX", "16"), valueCard("NAXIS", "3"), valueCard("NAXIS1", "2"),
                                    valueCard("NAXIS2", "2"), valueCard("NAXIS3", "2")};
  ImageSlot slot;
  ASSERT_TRUE(readBytes(fitsFile(cards, bigEndian(16, {1, 2, 3, 4, 900, 900, 900, 900})), PixelFormat::Gray8, slot));
  EXPECT_EQ(grey8(*slot), (std::vector<int>{191, 255, 63, 127}));
}

TEST(FitsReadTest, LargeImagesConvertLikeSmallOnes) {
  // Large 8- and 16-bit images take the lookup-table route; the values must
  // match the small-image cases above.
  constexpr int kSide = 512;
  std::vector<int64_t> raw(kSide * kSide, 100 - 32768);
  raw[0] = 200 - 32768;   // the brightest value, bottom-left pixel
  raw[1] = 1000 - 32768;  // the null value after the offset
  std::vector<std::string> cards = imageCards(16, kSide, kSide);
  cards.push_back(valueCard("BZERO", "32768"));
  cards.push_back(valueCard("BLANK", "1000"));
  const Bytes file = fitsFile(cards, bigEndian(16, raw));
  ImageSlot slot;
  ASSERT_TRUE(readBytes(file, PixelFormat::Gray16, slot));
  EXPECT_EQ(test::pixelAt<uint16_t>(*slot, 0, kSide - 1), 65535);
  EXPECT_EQ(test::pixelAt<uint16_t>(*slot, 1, kSide - 1), 0);
  EXPECT_EQ(test::pixelAt<uint16_t>(*slot, 7, 0), 32767);
  ASSERT_TRUE(readBytes(file, PixelFormat::BgrFloat, slot));
  EXPECT_EQ(test::pixelAt<float>(*slot, 7, 3, 2), 127.5f);

  std::vector<int64_t> bytes(kSide * kSide, 50);
  bytes[5] = 200;
  ASSERT_TRUE(readBytes(fitsFile(imageCards(8, kSide, kSide), bigEndian(8, bytes)), PixelFormat::Gray8, slot));
  EXPECT_EQ(test::pixelAt<uint8_t>(*slot, 5, kSide - 1), 255);
  EXPECT_EQ(test::pixelAt<uint8_t>(*slot, 4, kSide - 1), 63);
}

TEST(FitsReadTest, DataCutShortReadsBlack) {
  // Half of a 2 x 2 image: the bottom row is in the file, the top row is not.
  Bytes file = fitsFile(imageCards(16, 2, 2), {});
  const Bytes data = bigEndian(16, {50, 100});
  file.insert(file.end(), data.begin(), data.end());
  ImageSlot slot;
  ASSERT_TRUE(readBytes(file, PixelFormat::Gray8, slot));
  EXPECT_EQ(grey8(*slot), (std::vector<int>{0, 0, 127, 255}));

  // A header without END running to the end of the file has no data at all.
  ASSERT_TRUE(readBytes(fitsFile(imageCards(16, 3, 2), {}, /*end=*/false), PixelFormat::Gray8, slot));
  EXPECT_EQ(grey8(*slot), (std::vector<int>(6, 0)));
}

class FitsWriteTest : public ::testing::Test {
 protected:
  test::TempDir dir;
};

TEST_F(FitsWriteTest, SixteenBitLayout) {
  const std::string path = dir.file("small.fits");
  auto image = test::floatImage(2, 2, {1.5f, 255.0f, 0.0f, 2.0f});
  ASSERT_TRUE(writeFits(path, *image, /*sixteenBit=*/true));
  const Bytes bytes = test::readFile(path);
  ASSERT_EQ(bytes.size(), 5760u);

  const std::string header(bytes.begin(), bytes.begin() + 2880);
  const char* expectedCards[] = {
      "SIMPLE  =                    T", "BITPIX  =                   16", "NAXIS   =                    2",
      "NAXIS1  =                    2", "NAXIS2  =                    2", "BZERO   =             0.000000",
      "BSCALE  =           128.000000", "END",
  };
  for (size_t i = 0; i < std::size(expectedCards); ++i)
    EXPECT_EQ(header.substr(80 * i, 80), card(expectedCards[i])) << "card " << i;
  EXPECT_EQ(header.substr(80 * 8), std::string(2880 - 80 * 8, ' '));

  // Bottom row first, value x 128, big-endian, then zeros to the block end.
  const Bytes data(bytes.begin() + 2880, bytes.begin() + 2888);
  EXPECT_EQ(data, bigEndian(16, {0, 256, 192, 32640}));
  EXPECT_EQ(std::count(bytes.begin() + 2888, bytes.end(), 0), 2872);
}

TEST_F(FitsWriteTest, ThirtyTwoBitAndColourAndExactBlocks) {
  const std::string path = dir.file("colour.fts");
  auto colour = test::makeImage(PixelFormat::BgrFloat, 1, 1);
  const float bgr[3] = {10, 20, 30};
  std::memcpy(colour->pixels.get(), bgr, sizeof bgr);
  ASSERT_TRUE(writeFits(path, *colour, /*sixteenBit=*/false));
  Bytes bytes = test::readFile(path);
  ASSERT_EQ(bytes.size(), 5760u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 80), card("SIMPLE  =                    T"));
  EXPECT_EQ(std::string(bytes.begin() + 80, bytes.begin() + 160), valueCard("BITPIX", "32"));
  EXPECT_EQ(std::string(bytes.begin() + 480, bytes.begin() + 560), valueCard("BSCALE", "32768.000000"));
  EXPECT_EQ(Bytes(bytes.begin() + 2880, bytes.begin() + 2884), bigEndian(32, {20 * 32768}));

  // 720 x 576 16-bit values fill exactly 288 blocks: no padding block.
  auto frame = test::makeImage(PixelFormat::GrayFloat, 720, 576);
  std::memset(frame->pixels.get(), 0, frame->pixelBytes());
  ASSERT_TRUE(writeFits(path, *frame, /*sixteenBit=*/true));
  EXPECT_EQ(test::readFile(path).size(), 2880u * 289);
}

TEST_F(FitsWriteTest, RoundTripKeepsThePictureUpToNormalisation) {
  const std::string path = dir.file("trip.fit");
  auto image = test::floatImage(3, 2, {0, 51, 102, 153, 204, 255});
  for (bool sixteenBit : {true, false}) {
    ASSERT_TRUE(writeFits(path, *image, sixteenBit));
    ImageSlot slot;
    ASSERT_TRUE(readFits(path, PixelFormat::GrayFloat, slot));
    for (int i = 0; i < 6; ++i) EXPECT_EQ(test::pixelAt<float>(*slot, i % 3, i / 3), 51.0f * i);
  }
}

TEST_F(FitsWriteTest, FailuresAreReported) {
  auto image = test::floatImage(1, 1, {1});
  std::string why;
  EXPECT_FALSE(writeFits(dir.file("missing/dir.fits"), *image, true, &why));
  EXPECT_NE(why.find("cannot create"), std::string::npos);
  // A device that takes no bytes: the failed write must not pass as success.
  EXPECT_FALSE(writeFits("/dev/full", *image, true, &why));
  EXPECT_NE(why.find("write failed"), std::string::npos);
  ImageBuffer empty;
  EXPECT_FALSE(writeFits(dir.file("empty.fits"), empty, true));
}

}  // namespace
}  // namespace stelp
