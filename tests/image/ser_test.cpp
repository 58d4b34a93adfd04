#include "image/ser.h"

#include "image/fits.h"
#include "image/image_source.h"
#include "test_util.h"

namespace stelp {
namespace {

using test::Bytes;
using Values = std::vector<uint32_t>;
const Values kRgb = {10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120, 130, 140, 150, 160, 170, 180};

// A SER file from the format's public description: the 178-byte header, the frames top row first with planes
// interleaved, 16-bit words in the byte order `bigEndian` names.
struct SerLayout {
  int32_t width = 3, height = 2, depth = 8, colourId = 0;
  bool bigEndian = false;
  std::vector<Values> frames;
  int32_t declaredFrames = -1;  // FrameCount; -1: the number of frames
};

Bytes serFile(const SerLayout& s) {
  test::Le out;
  out.s("LUCAM-RECORDER").n(0).n(s.colourId).n(s.bigEndian).n(s.width).n(s.height).n(s.depth)
      .n(s.declaredFrames >= 0 ? s.declaredFrames : s.frames.size()).zeros(136);
  for (const Values& frame : s.frames)
    for (uint32_t v : frame)
      if (s.depth <= 8) out.n(v, 1);
      else out.n(s.bigEndian ? ((v & 0xFF) << 8 | v >> 8) : v, 2);
  return out.b;
}

bool readFrame(const Bytes& file, int32_t frame, PixelFormat format, ImageSlot& slot, std::string* why = nullptr,
               FitsScale scale = FitsScale::Camera) {
  MemoryInput input(file.data(), file.size());
  return readSerFrame(input, frame, format, slot, why, scale);
}

SerHeader headerOf(const Bytes& file) {
  MemoryInput input(file.data(), file.size());
  SerHeader header;
  EXPECT_TRUE(readSerHeader(input, header));
  return header;
}

// Frame 1 of each file, as bytes or floats; frame 0 is all zeros, so reading the wrong frame shows. The interop tests
// compare layouts and byte orders with ffmpeg; these cases pin the scales and conversions.
TEST(SerTest, FramesReadInEveryLayoutAndSixteenBitValuesAsFitsReadsThem) {
  const Values zeros6(6, 0), zeros18(18, 0);
  const struct { const char* what; SerLayout layout; PixelFormat format; FitsScale scale; std::vector<float> expected; }
      cases[] = {
      {"8-bit stays as it is on the brightest scale", {3, 2, 8, 0, false, {zeros6, {0, 1, 2, 3, 4, 100}}},
       PixelFormat::Gray8, FitsScale::BrightestPixel, {0, 1, 2, 3, 4, 100}},
      {"mono fills every channel", {1, 2, 8, 0, false, {{0, 0}, {7, 200}}}, PixelFormat::Bgr24,
       FitsScale::Camera, {7, 7, 7, 200, 200, 200}},
      {"16-bit little-endian (field 0)", {3, 2, 16, 0, false, {zeros6, {0, 257, 65535, 32768, 514, 1000}}},
       PixelFormat::Gray8, FitsScale::Camera, {0, 1, 255, 127, 2, 3}},
      // 2^12 - 1 is full white; a value past the depth is clamped in bytes.
      {"12-bit on the camera scale", {3, 2, 12, 0, true, {zeros6, {0, 16, 2048, 4095, 4096, 65535}}},
       PixelFormat::Gray8, FitsScale::Camera, {0, 0, 127, 255, 255, 255}},
      {"12-bit kept past full white in floats", {3, 2, 12, 0, false, {zeros6, {0, 819, 4095, 8190, 0, 0}}},
       PixelFormat::GrayFloat, FitsScale::Camera, {0, 51, 255, 510, 0, 0}},
      {"16-bit brightest value reads as 255", {3, 2, 12, 0, false, {zeros6, {0, 100, 200, 300, 400, 1000}}},
       PixelFormat::Gray8, FitsScale::BrightestPixel, {0, 25, 51, 76, 102, 255}},
      {"RGB into blue, green, red", {3, 2, 8, 100, false, {zeros18, kRgb}}, PixelFormat::Bgr24, FitsScale::Camera,
       {30, 20, 10, 60, 50, 40, 90, 80, 70, 120, 110, 100, 150, 140, 130, 180, 170, 160}},
      // (blue + 2 green + red) / 4, truncated as an AVI frame's grey is.
      {"RGB as luminance in grey", {3, 2, 8, 100, false, {zeros18, {1, 2, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 255}}},
       PixelFormat::Gray8, FitsScale::Camera, {2, 0, 0, 0, 0, 63}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes file = serFile(c.layout);
    ImageSlot slot;
    std::string why;
    ASSERT_TRUE(readFrame(file, 1, c.format, slot, &why, c.scale)) << why;
    EXPECT_EQ(std::pair(slot->width, slot->height), std::pair(c.layout.width, c.layout.height));
    const int n = isColourFormat(c.format) ? 3 : 1;
    std::vector<float> got;
    for (int i = 0; i < static_cast<int>(c.expected.size()); ++i)
      got.push_back(static_cast<float>(test::sampleAt(*slot, i / n % slot->width, i / n / slot->width, i % n)));
    EXPECT_EQ(got, c.expected);
    EXPECT_EQ(headerOf(file).frames, 2);
  }

  // A 16-bit SER and a 16-bit FITS of the same values read to the same bits, on both scales and in every format.
  const int32_t width = 4, height = 3;
  Values values;
  for (uint32_t i = 0; i < width * height; ++i) values.push_back((i * 7919u + 13u) % 65536u);
  values[5] = 65535;
  const Bytes ser = serFile({width, height, 16, 0, false, {values}});
  // FITS: unsigned values as signed with BZERO 32768, bottom row first.
  FitsHeader h;
  h.bitpix = 16, h.naxis = 2, h.naxis1 = width, h.naxis2 = height, h.bzero = 32768, h.bscale = 1;
  std::vector<uint8_t> fits;
  writeFitsHeader(h, {}, fits);
  for (int32_t y = height - 1; y >= 0; --y)
    for (int32_t x = 0; x < width; ++x)
      fits.insert(fits.end(), {uint8_t((values[y * width + x] ^ 0x8000u) >> 8), uint8_t(values[y * width + x])});
  for (FitsScale scale : {FitsScale::Camera, FitsScale::BrightestPixel})
    for (int code = 1; code <= 6; ++code) {  // every pixel format
      ImageSlot fromSer, fromFits;
      MemoryInput input(fits.data(), fits.size());
      ASSERT_TRUE(readFrame(ser, 0, PixelFormat(code), fromSer, nullptr, scale));
      ASSERT_TRUE(readFits(input, PixelFormat(code), fromFits, nullptr, scale));
      EXPECT_EQ(test::pixelBytes(*fromSer), test::pixelBytes(*fromFits)) << code << ", scale " << int(scale);
    }
}

TEST(SerTest, HeadersThatAreRefusedOrCutAndEntriesAndGreyFramesCarryTheBayerPattern) {
  const SerLayout good{3, 2, 8, 0, false, {Values(6, 1), Values(6, 2)}};
  const Bytes whole = serFile(good);
  // The good file with header fields replaced (the test machine is little-endian) and `extra` bytes after it.
  auto withFields = [&](std::initializer_list<std::pair<size_t, int32_t>> fields, size_t extra = 0) {
    Bytes file = whole;
    for (auto [offset, value] : fields) std::memcpy(file.data() + offset, &value, 4);
    file.resize(file.size() + extra);
    return file;
  };
  auto withField = [&](size_t offset, int32_t value) { return withFields({{offset, value}}); };
  const struct { const char* what; Bytes file; const char* why; } refused[] = {
      {"wrong id", withField(0, 'X'), "not a SER file (no LUCAM-RECORDER id)"},
      {"empty", {}, "not a SER file (no LUCAM-RECORDER id)"},
      {"header cut short", Bytes(whole.begin(), whole.begin() + 100), "SER header is cut short (100 of 178 bytes)"},
      {"CYYM colour", withField(18, 16), "colour id 16 is not supported"},
      {"depth 0", withField(34, 0), "pixel depth 0 is not supported (1 to 16 bits)"},
      {"depth 17", withField(34, 17), "pixel depth 17 is not supported (1 to 16 bits)"},
      {"no width", withField(26, 0), "image of 0 x 2 pixels is empty"},
      {"negative height", withField(30, -2), "image of 3 x -2 pixels is empty"},
      {"no frames", withField(38, 0), "frame count 0: no frames"},
      {"frame larger than the file", withField(26, 1000), "frame of 1000 x 2 x 1 bytes is more than the file's 12 data bytes"},
      // 16-bit RGB frames of this size take 2^64 + 32 bytes.
      {"frame size past 64 bits", withFields({{26, 1684887088}, {30, 1824726041}, {18, 100}, {34, 16}}, 20),
       "frame of 1684887088 x 1824726041 x 6 bytes is more than the file's 32 data bytes"},
  };
  for (const auto& c : refused)
    test::expectRefused([&](ImageSlot& s, std::string* w) { return readFrame(c.file, 0, PixelFormat::Gray8, s, w); },
                        c.why, c.what);
  // FrameCount may claim more than the file holds: the complete frames are the video, a frame cut short is not one.
  // What follows the frames it declares (a trailer of time stamps) is no frame.
  const struct { const char* what; int32_t declared; size_t cut; int32_t frames; } shortfalls[] = {
      {"FrameCount huge", INT32_MAX, 0, 2}, {"last frame cut short", 2, 1, 1}, {"more declared", 5, 0, 2},
      {"data past the declared frames", 1, 0, 1}};
  for (const auto& c : shortfalls) {
    SCOPED_TRACE(c.what);
    SerLayout layout = good;
    layout.declaredFrames = c.declared;
    Bytes file = serFile(layout);
    file.resize(file.size() - c.cut);
    const SerHeader header = headerOf(file);
    EXPECT_EQ(std::pair(header.declaredFrames, header.frames), std::pair(c.declared, c.frames));
    ImageSlot slot;
    ASSERT_TRUE(readFrame(file, c.frames - 1, PixelFormat::Gray8, slot));
    EXPECT_EQ(slot->row(0)[0], c.frames);
    const std::string frames = std::to_string(c.frames);
    test::expectRefused(
        [&](ImageSlot& s, std::string* why) { return readFrame(file, c.frames, PixelFormat::Gray8, s, why); },
        "frame " + frames + " does not exist (the video has " + frames + " frames)");
  }

  // The entries of a mosaic SER and their grey frames carry the Bayer pattern of its colour id; colour frames do not.
  test::TempDir dir;
  test::writeFile(dir.file("clip.ser"), serFile({3, 2, 8, /*GBRG*/ 10, false, {Values(6, 10), Values(6, 11)}}));
  const FileEntries entries = entriesOfFile(dir.file("clip.ser"));
  ASSERT_EQ(entries.entries.size(), 2u) << entries.why;
  for (const auto& e : entries.entries) {
    ImageSlot grey, colour;
    ASSERT_TRUE(loadFrame(e.get(), grey, PixelFormat::Gray8) && loadFrame(e.get(), colour, PixelFormat::Bgr24));
    EXPECT_EQ(std::tuple(e->bayer, grey->bayer, colour->bayer),
              std::tuple(BayerPattern::Gbrg, BayerPattern::Gbrg, BayerPattern::None));
  }
}

// Adding frame 1 to a sum equals adding its read image, on both scales, for mosaic, mono and RGB frames.
TEST(SerTest, AddingToASumEqualsAddingTheReadFrame) {
  test::TempDir dir;
  const struct { SerLayout layout; PixelFormat format; FitsScale scale; } cases[] = {
      {{3, 2, 12, /*RGGB*/ 8, true, {Values(6), {0, 819, 4095, 8190, 7, 1}}}, PixelFormat::GrayFloat, FitsScale::Camera},
      {{3, 2, 16, 0, false, {Values(6), {9, 100, 65535, 3, 7, 1}}}, PixelFormat::BgrFloat, FitsScale::BrightestPixel},
      {{3, 2, 8, 100, false, {Values(18), kRgb}}, PixelFormat::BgrFloat, FitsScale::Camera},
  };
  for (size_t k = 0; k < std::size(cases); ++k) {
    SCOPED_TRACE(k);
    const std::string path = dir.file(std::to_string(k) + ".ser");
    test::writeFile(path, serFile(cases[k].layout));
    ImageSlot read;
    ASSERT_TRUE(readSerFrame(path, 1, cases[k].format, read, nullptr, cases[k].scale));
    test::expectAddsLikeTheRead(*read, [&](ImageBuffer& sum) { return addSerFrame(path, 1, sum, cases[k].scale); });
  }
}

}  // namespace
}  // namespace stelp
