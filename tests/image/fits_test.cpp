#include "image/fits.h"

#include <bit>
#include <cmath>
#include <random>

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

// A FITS file: the given cards after SIMPLE, then END (unless `end` is false), padded to whole blocks, then `data`.
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

// BITPIX, NAXIS and the two axes, then `extra`.
std::vector<std::string> imageCards(int bitpix, int width, int height, const std::vector<std::string>& extra = {}) {
  std::vector<std::string> cards = {valueCard("BITPIX", std::to_string(bitpix)), valueCard("NAXIS", "2"),
                                    valueCard("NAXIS1", std::to_string(width)),
                                    valueCard("NAXIS2", std::to_string(height))};
  cards.insert(cards.end(), extra.begin(), extra.end());
  return cards;
}

Bytes bigEndian(int bitpix, const std::vector<int64_t>& values) {
  Bytes bytes;
  for (int64_t v : values)
    for (int shift = bitpix - 8; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(v >> shift));
  return bytes;
}

bool readBytes(const Bytes& bytes, PixelFormat format, ImageSlot& slot, std::string* why = nullptr) {
  MemoryInput input(bytes.data(), bytes.size());
  return readFits(input, format, slot, why, FitsScale::BrightestPixel);
}

TEST(FitsReadTest, AcceptanceTestRefusalsAndTheSameValuesInEveryFormatByBothConversionRoutes) {
  // One 2 x 2 plane, then brighter values past it that must change nothing.
  const Bytes data = bigEndian(16, {1, 2, 3, 4, 900, 900, 900, 900});
  const std::vector<std::string> ok = imageCards(16, 2, 2);
  Bytes cutShort = fitsFile(ok, {});  // holds the bottom row only
  cutShort.insert(cutShort.end(), data.begin(), data.begin() + 4);
  Bytes endless = fitsFile(ok, {}, /*end=*/false);  // blank cards past any real header
  endless.resize(10000 * 2880 + 1, ' ');
  // A refusal of nullptr: the file is accepted with `pixels` (the first file row is the bottom).
  const struct { const char* name; Bytes file; const char* refusal; Bytes pixels = {191, 255, 63, 127}; } cases[] = {
      {"BITPIX written as 16.0", fitsFile({valueCard("BITPIX", "16.0"), ok[1], ok[2], ok[3]}, data), nullptr},
      {"later card wins, unparsable value ignored",
       fitsFile({ok[0], ok[1], valueCard("NAXIS1", "7"), ok[2], ok[3], valueCard("BZERO", "'text'")}, data), nullptr},
      {"data cut short read black", cutShort, nullptr, {0, 0, 127, 255}},
      {"DATAMIN / BSCALE is the null value without BLANK",
       fitsFile(imageCards(16, 2, 2, {valueCard("DATAMIN", "4"), valueCard("BSCALE", "2")}), data), nullptr,
       {191, 255, 63, 0}},
      {"header without END runs to the end: no data", fitsFile(ok, {}, /*end=*/false), nullptr, {0, 0, 0, 0}},
      {"64-bit float data: 1, 2, 3, 0",
       fitsFile(imageCards(-64, 2, 2), bigEndian(64, {0x3FF0LL << 48, 0x4000LL << 48, 0x4008LL << 48, 0})), nullptr,
       {255, 0, 85, 170}},
      {"one axis", fitsFile({ok[0], valueCard("NAXIS", "1"), ok[2]}, data), "NAXIS 1 is not supported"},
      {"1000 axes", fitsFile({ok[0], valueCard("NAXIS", "1000"), ok[2], ok[3]}, data), "NAXIS 1000 is not valid"},
      {"no END in 10000 blocks", endless, "no END card in the first 10000 header blocks"},
      {"zero width", fitsFile(imageCards(16, 0, 2), data), "NAXIS1 0"},
      {"fractional width", fitsFile({ok[0], ok[1], valueCard("NAXIS1", "0.5"), ok[3]}, data), "empty"},
      {"equals sign in column 8", fitsFile({card("BITPIX = 16"), ok[1], ok[2], ok[3]}, data), "BITPIX is missing"},
      {"value beyond column 30", fitsFile({ok[0], ok[1], card("NAXIS1  =                         2"), ok[3]}, data),
       "NAXIS1 -1"},
      {"zero BSCALE", fitsFile(imageCards(16, 2, 2, {valueCard("BSCALE", "0")}), data), "BSCALE 0"},
      {"empty file", Bytes{}, "not a FITS file"},
      {"absurd axes", fitsFile({ok[0], ok[1], valueCard("NAXIS1", "1E20"), ok[3]}, data), "too large"},
      {"data far beyond the file", fitsFile(imageCards(32, 60000, 60000), data), "declares 14400000000 data bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto read = [&](ImageSlot& slot, std::string* why) { return readBytes(c.file, PixelFormat::Gray8, slot, why); };
    if (c.refusal) {
      test::expectRefused(read, c.refusal);
      continue;
    }
    ImageSlot slot;
    std::string why;
    ASSERT_TRUE(read(slot, &why)) << why;
    EXPECT_EQ(test::pixelBytes(*slot), c.pixels);
  }

  // Small images convert value by value, large 8- and 16-bit ones through a table of every raw code. In each file the
  // first value (bottom left) is the brightest, the second 0 or the null value, the top row half as bright.
  std::vector<int64_t> large8(32 * 32, 100), large16(512 * 512, 100 - 32768);
  large8[0] = 200;
  large8[1] = 0;
  large16[0] = 200 - 32768;
  large16[1] = 1000 - 32768;
  const auto cards16 = imageCards(16, 512, 512, {valueCard("BZERO", "32768"), valueCard("BLANK", "1000")});
  const struct { const char* name; Bytes file; int32_t height; } files[] = {
      {"small", fitsFile(imageCards(8, 2, 2), bigEndian(8, {200, 0, 100, 100})), 2},
      {"large 8-bit", fitsFile(imageCards(8, 32, 32), bigEndian(8, large8)), 32},
      {"large 16-bit, offset and null", fitsFile(cards16, bigEndian(16, large16)), 512},
  };
  const struct { PixelFormat format; double full, half; } formats[] = {
      {PixelFormat::Gray8, 255, 127}, {PixelFormat::Gray16, 65535, 32767}, {PixelFormat::GrayFloat, 255, 127.5},
      {PixelFormat::Gray32, 4294901760.0, 2147450880.0}, {PixelFormat::Bgr24, 255, 127},
      {PixelFormat::BgrFloat, 255, 127.5}};
  for (const auto& f : files)
    for (const auto& c : formats) {
      SCOPED_TRACE(testing::Message() << f.name << ", format " << static_cast<int>(c.format));
      ImageSlot slot;
      ASSERT_TRUE(readBytes(f.file, c.format, slot) && slot->format == c.format);
      for (int ch = 0; ch < (isColourFormat(c.format) ? 3 : 1); ++ch)
        EXPECT_EQ(std::tuple(test::sampleAt(*slot, 0, f.height - 1, ch), test::sampleAt(*slot, 1, f.height - 1, ch),
                             test::sampleAt(*slot, 1, 0, ch)), std::tuple(c.full, 0.0, c.half));
    }
  test::expectRefused([&](ImageSlot& slot, std::string* why) {
    return readBytes(files[0].file, static_cast<PixelFormat>(9), slot, why);
  }, "pixel format 9 is not supported");
}

// Adding a file to a sum equals adding its read image on every route: 16-bit files large enough for the table, with a
// plain offset by the arithmetic of the camera's scale or of the brightest pixel, which a colour read checks.
TEST(FitsReadTest, AddingToASumEqualsAddingTheReadImage) {
  test::TempDir dir;
  std::mt19937 rng(3);
  std::vector<int64_t> spread(512 * 512);
  for (int64_t& v : spread) v = std::uniform_int_distribution<int64_t>(-32768, 30000)(rng);
  Bytes cutShort = fitsFile(imageCards(8, 3, 2), {});
  cutShort.insert(cutShort.end(), {9, 200, 0, 4});
  const auto cube = {valueCard("BITPIX", "8"), valueCard("NAXIS", "3"), valueCard("NAXIS1", "2"),
                     valueCard("NAXIS2", "1"), valueCard("NAXIS3", "3")};
  const auto offset = fitsFile(imageCards(16, 512, 512, {valueCard("BZERO", "32768")}), bigEndian(16, spread));
  const struct { const char* name; Bytes file; PixelFormat format; FitsScale scale = FitsScale::Camera; } cases[] = {
      {"16-bit, offset", offset, PixelFormat::GrayFloat},
      {"16-bit, offset, brightest pixel", offset, PixelFormat::GrayFloat, FitsScale::BrightestPixel},
      {"16-bit, scaled, null value, mosaic", fitsFile(imageCards(16, 512, 512, {valueCard("BSCALE", "3"),
       valueCard("BLANK", "7"), valueCard("BAYERPAT", "'GRBG'")}), bigEndian(16, spread)), PixelFormat::GrayFloat},
      {"grey into colour, cut short", cutShort, PixelFormat::BgrFloat},
      {"three planes", fitsFile(cube, bigEndian(8, {1, 2, 30, 40, 250, 251})), PixelFormat::BgrFloat},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.file("frame.fits");
    test::writeFile(path, c.file);
    ImageSlot read, colour;  // the colour read takes the table
    ASSERT_TRUE(readFits(path, c.format, read, nullptr, c.scale) &&
                readFits(path, PixelFormat::BgrFloat, colour, nullptr, c.scale));
    EXPECT_EQ(test::pixelAt<float>(*read, 1, 0), test::pixelAt<float>(*colour, 1, 0));
    test::expectAddsLikeTheRead(*read, [&](ImageBuffer& sum) { return addFits(path, sum, c.scale); });
  }
}

// BAYERPAT names the pattern from the first row stored, Stelp's bottom row, unless ROWORDER 'BOTTOM-UP' gives it from
// the top; XBAYROFF and YBAYROFF shift it. A grey read carries the pattern at Stelp's top-left pixel. Written back, the
// mosaic's BAYERPAT (in the source card's place) names its first row written, without offsets or row order, and
// reads as the same pattern; a colour picture is written without the mosaic cards.
TEST(FitsWriteTest, CopiesTheCardsItMayAndWritesUnitFloatsInWholeBlocks) {
  const struct { std::vector<std::string> cards; int height; BayerPattern expected; } cases[] = {
      {{card("BAYERPAT= 'RGGB'")}, 2, BayerPattern::Gbrg}, {{card("BAYERPAT= 'RGGB'")}, 3, BayerPattern::Rggb},
      {{card("BAYERPAT= 'rggb    '"), card("ROWORDER= 'TOP-DOWN'")}, 2, BayerPattern::Gbrg},
      {{card("BAYERPAT= 'RGGB'"), card("ROWORDER= 'BOTTOM-UP'")}, 2, BayerPattern::Rggb},
      {{card("BAYERPAT= 'GRBG'"), valueCard("XBAYROFF", "1"), card("ROWORDER= 'BOTTOM-UP'")}, 2, BayerPattern::Rggb},
      {{card("BAYERPAT= 'GRBG'"), valueCard("YBAYROFF", "1")}, 3, BayerPattern::Bggr},
      {{card("BAYERPAT= 'CMYG'")}, 2, BayerPattern::None},
  };
  test::TempDir dir;
  const std::string path = dir.file("out.fits");
  // The mosaic cards of the written file (its data of small integers holds no such text).
  auto mosaicKeywords = [&] {
    const std::string file = test::readText(path);
    std::string found;
    for (const char* keyword : {"BAYERPAT", "XBAYROFF", "YBAYROFF", "ROWORDER"})
      if (file.find(keyword) != std::string::npos) found += keyword;
    return found;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cards[0] + " height " + std::to_string(c.height));
    const Bytes file = fitsFile(imageCards(8, 2, c.height, c.cards), Bytes(2 * c.height, 9));
    ImageSlot grey, colour;
    ASSERT_TRUE(readBytes(file, PixelFormat::GrayFloat, grey) && readBytes(file, PixelFormat::BgrFloat, colour));
    EXPECT_EQ(std::pair(grey->bayer, colour->bayer), std::pair(c.expected, BayerPattern::None));
    if (c.expected == BayerPattern::None) continue;

    MemoryInput input(file.data(), file.size());
    const FitsCards cards = readFitsObservationCards(input);
    ASSERT_TRUE(writeFits(path, *grey, FitsDepth::Int16, nullptr, cards));
    ImageSlot again;
    ASSERT_TRUE(readFits(path, PixelFormat::Gray8, again));
    EXPECT_EQ(std::pair(again->bayer, mosaicKeywords()), std::pair(c.expected, std::string("BAYERPAT")));
    ASSERT_TRUE(writeFits(path, *colour, FitsDepth::Float32, nullptr, cards));
    EXPECT_EQ(mosaicKeywords(), c.cards.back().starts_with("ROWORDER") ? "ROWORDER" : "");
  }

  // Observation cards are copied where the standard allows them.
  const std::vector<std::string> kept = {
      card("DATE-OBS= '2026-01-01T20:00:00' / start"),  card("EXPTIME =                 30.0"),
      card("FILTER  = 'It''s Ha '"),                     card("COMMENT   anything: at all"),
      card("HISTORY taken with care"),                   card("        blank keyword text"),
      card("COOLED  =                    T"),            card("PHASE   = (1.5, -2E3)"),
      card("GAIN    =                 -1.5D2"),          card("NOTE    = 'a long &'"),
      card("CONTINUE  'string'"),                        card("UNKNOWN =  / no value given"),
  };
  const std::vector<std::string> dropped = {
      valueCard("BZERO", "0"), valueCard("NAXIS3", "1"), valueCard("DATE", "'2020-01-01'"),
      card("IMAGETYP= 'Light Frame'"), card("CHECKSUM= 'abc'"), card("exptime =                  1"),
      card("OBJECT  = 'M42"), card("FOCUS   =              1.2.3"), card("SCALE   =                 1e5"),
      card("EXPTIME =                 60.0"), card("CONTINUE  'orphan'"), card("TEXT    = 'tab\there'"),
  };
  std::vector<std::string> header = imageCards(8, 1, 1);
  header.insert(header.end(), kept.begin(), kept.begin() + 9);
  header.insert(header.end(), dropped.begin(), dropped.end());
  header.insert(header.end(), kept.begin() + 9, kept.end());
  const Bytes file = fitsFile(header, {7});
  MemoryInput input(file.data(), file.size());
  EXPECT_EQ(readFitsObservationCards(input), kept);
  EXPECT_TRUE(readFitsObservationCards("/nonexistent/missing.fits").empty());

  // Writers' cards: strings quoted and padded to eight characters, long history broken at blanks.
  EXPECT_EQ(fitsStringCard("OBJECT", "M'42"), card("OBJECT  = 'M''42    '"));
  EXPECT_EQ(fitsIntegerCard("NCOMBINE", 12), valueCard("NCOMBINE", "12"));
  const FitsCards history = fitsHistoryCards(std::string(70, 'a') + " bbb ccc");
  EXPECT_EQ(history, (FitsCards{card("HISTORY " + std::string(70, 'a')), card("HISTORY bbb ccc")}));

  // Written files: floats as unit values, data in whole blocks, the cards asked for.
  auto outOfRange = test::floatImage(2, 2, {300.0f, std::nanf(""), -1.0f, 127.5f});
  auto blocks = test::floatImage(720, 576, std::vector<float>(720 * 576, 0.0f));
  auto unit = [](double v) { return static_cast<int64_t>(std::bit_cast<uint32_t>(static_cast<float>(v / 255))); };
  // The cards after SIMPLE that describe the data, and the data without padding.
  const struct { const char* name; const ImageBuffer& image; FitsDepth depth; std::vector<std::string> structure;
                 Bytes data; } writes[] = {
      {"float: value / 255 within 0..1", *outOfRange, FitsDepth::Float32, imageCards(-32, 2, 2),
       bigEndian(32, {0, unit(127.5), unit(255), 0})},
      {"whole blocks of data, no padding block", *blocks, FitsDepth::Int16,
       imageCards(16, 720, 576, {valueCard("BZERO", "32768"), valueCard("BSCALE", "1")}),
       bigEndian(16, std::vector<int64_t>(720 * 576, -32768))},
  };
  for (const auto& c : writes) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(writeFits(path, c.image, c.depth, nullptr, {fitsIntegerCard("NCOMBINE", 12)}));
    const Bytes file = test::readFile(path);
    const size_t date = 80 * (c.structure.size() + 1);  // DATE, the time of writing, is the one card that varies
    ASSERT_GT(file.size(), date + 80);
    const std::string dateCard(file.begin() + date, file.begin() + date + 80);
    EXPECT_EQ(dateCard.substr(0, 13), "DATE    = '20");
    std::vector<std::string> cards = c.structure;
    cards.insert(cards.end(), {dateCard, fitsStringCard("CREATOR", kCreatorText), fitsIntegerCard("NCOMBINE", 12)});
    EXPECT_EQ(test::firstDifference(file, fitsFile(cards, c.data)), -1);
  }
  EXPECT_FALSE(writeFits(dir.file("empty.fits"), ImageBuffer(), FitsDepth::Int16));
  std::string why;  // through FileOutput, which refuses what is not a regular file
  std::filesystem::create_directory(dir.file("folder.fits"));
  EXPECT_FALSE(writeFits(dir.file("folder.fits"), *outOfRange, FitsDepth::Int16, &why));
  EXPECT_NE(why.find("not a regular file"), std::string::npos) << why;
}

}  // namespace
}  // namespace stelp
