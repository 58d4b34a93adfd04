#include "image/avi.h"
#include "image/avi_container.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "image/bitmap.h"
#include "image/byte_io.h"
#include "image/numeric.h"
#include "test_util.h"

namespace stelp {
namespace {

using test::Bytes;

Bytes le32(uint32_t v) {
  Bytes b(4);
  storeLe32(b.data(), v);
  return b;
}
Bytes le64(uint64_t v) {
  Bytes b = le32(static_cast<uint32_t>(v));
  const Bytes high = le32(static_cast<uint32_t>(v >> 32));
  b.insert(b.end(), high.begin(), high.end());
  return b;
}
Bytes text(const char* s) { return Bytes(s, s + std::strlen(s)); }
Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}
Bytes chunk(const char* id, const Bytes& data) {
  Bytes c = cat({text(id), le32(static_cast<uint32_t>(data.size())), data});
  if (data.size() & 1) c.push_back(0);
  return c;
}
Bytes list(const char* id, const char* type, const Bytes& content) { return chunk(id, cat({text(type), content})); }

enum class IndexKind { OldRelative, OldAbsolute, OpenDml, None, RecordListsWithoutIndex };

// A small AVI 1.0 file: an optional audio stream first, then one video
// stream of `frames` (an empty frame is a dropped one), indexed as asked.
struct AviLayout {
  int32_t width = 2;
  int32_t height = 2;
  int bitCount = 24;
  uint32_t compression = 0;
  Bytes palette;
  std::vector<Bytes> frames;
  IndexKind index = IndexKind::OldRelative;
  bool audioFirst = false;
};

Bytes buildAvi(const AviLayout& s) {
  const std::string video = s.audioFirst ? "01db" : "00db";
  auto streamList = [&](const char* type, const Bytes& format, const Bytes& indx) {
    Bytes header = cat({text(type), s.compression ? le32(s.compression) : text("DIB ")});
    header.resize(56, 0);
    return list("LIST", "strl", cat({chunk("strh", header), chunk("strf", format), indx}));
  };
  Bytes info(40, 0);
  storeLe32(&info[0], 40);
  storeLe32(&info[4], static_cast<uint32_t>(s.width));
  storeLe32(&info[8], static_cast<uint32_t>(s.height));
  storeLe16(&info[12], 1);
  storeLe16(&info[14], static_cast<uint16_t>(s.bitCount));
  storeLe32(&info[16], s.compression);
  storeLe32(&info[32], static_cast<uint32_t>(s.palette.size() / 4));
  const Bytes videoFormat = cat({info, s.palette});

  // Frames first, so their offsets are known; the header's size does not
  // depend on the values in it.
  Bytes movi;
  std::vector<uint32_t> at;  // chunk header offsets from the 'movi' type field
  for (const Bytes& f : s.frames) {
    if (s.audioFirst) movi = cat({movi, chunk("00wb", Bytes(4, 7))});
    at.push_back(static_cast<uint32_t>(4 + movi.size()));
    const Bytes c = chunk(video.c_str(), f);
    movi = cat({movi, s.index == IndexKind::RecordListsWithoutIndex ? list("LIST", "rec ", c) : c});
  }
  auto header = [&](uint64_t ix00At) {
    Bytes indx;
    if (s.index == IndexKind::OpenDml) {
      Bytes super = cat({Bytes{4, 0, 0, 0}, le32(1), text(video.c_str()), Bytes(12, 0), le64(ix00At), le32(0),
                         le32(static_cast<uint32_t>(s.frames.size()))});
      indx = chunk("indx", super);
    }
    const Bytes audio = streamList("auds", Bytes(16, 0), {});
    const Bytes videoList = streamList("vids", videoFormat, indx);
    return list("LIST", "hdrl", cat({chunk("avih", Bytes(56, 0)), s.audioFirst ? audio : Bytes{}, videoList}));
  };
  const size_t moviFourCc = 12 + header(0).size() + 8;
  if (s.index == IndexKind::OpenDml) {
    // The standard index sits at the end of the movi list; offsets count
    // from its base to each frame's data.
    Bytes entries;
    for (size_t i = 0; i < s.frames.size(); ++i)
      entries = cat({entries, le32(at[i] + 8), le32(static_cast<uint32_t>(s.frames[i].size()))});
    const Bytes ix = chunk("ix00", cat({Bytes{2, 0, 0, 1}, le32(static_cast<uint32_t>(s.frames.size())),
                                        text(video.c_str()), le64(moviFourCc), le32(0), entries}));
    const uint64_t ixAt = moviFourCc + 4 + movi.size();
    movi = cat({movi, ix});
    return list("RIFF", "AVI ", cat({header(ixAt), list("LIST", "movi", movi)}));
  }
  Bytes idx1;
  for (size_t i = 0; i < s.frames.size(); ++i) {
    const uint32_t offset = s.index == IndexKind::OldAbsolute ? static_cast<uint32_t>(moviFourCc + at[i]) : at[i];
    idx1 = cat({idx1, text(video.c_str()), le32(0x10), le32(offset), le32(static_cast<uint32_t>(s.frames[i].size()))});
  }
  const bool withIndex = s.index == IndexKind::OldRelative || s.index == IndexKind::OldAbsolute;
  return list("RIFF", "AVI ", cat({header(0), list("LIST", "movi", movi), withIndex ? chunk("idx1", idx1) : Bytes{}}));
}

// Three 2 x 2 24-bit frames, bottom row first, each pixel a different value.
std::vector<Bytes> threeFrames() {
  std::vector<Bytes> frames;
  for (uint8_t f = 0; f < 3; ++f) {
    Bytes rows;
    for (uint8_t i = 0; i < 4; ++i) {
      rows.insert(rows.end(), {uint8_t(10 * f + i), uint8_t(100 + i), uint8_t(200 + f)});
      if (i % 2 == 1) rows.insert(rows.end(), {0, 0});
    }
    frames.push_back(rows);
  }
  return frames;
}

bool readBytes(const Bytes& file, int32_t frame, PixelFormat format, ImageSlot& slot, std::string* why = nullptr) {
  MemoryInput input(file.data(), file.size());
  return readAviFrame(input, frame, format, slot, why);
}

// Blue of the top-left pixel: 10 x frame + 2 (the file's second row is the top).
int topLeftBlue(const ImageBuffer& image) { return image.row(0)[0]; }

TEST(AviReadTest, EveryIndexKindFindsTheSameFrames) {
  const struct {
    const char* name;
    IndexKind index;
    bool audioFirst;
  } cases[] = {
      {"idx1 relative to movi", IndexKind::OldRelative, false},
      {"idx1 from the file start", IndexKind::OldAbsolute, false},
      {"OpenDML index only", IndexKind::OpenDml, false},
      {"no index", IndexKind::None, false},
      {"rec lists, no index", IndexKind::RecordListsWithoutIndex, false},
      {"audio stream first", IndexKind::OldRelative, true},
      {"audio first, OpenDML", IndexKind::OpenDml, true},
      {"audio first, no index", IndexKind::None, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AviLayout layout;
    layout.frames = threeFrames();
    layout.index = c.index;
    layout.audioFirst = c.audioFirst;
    const Bytes file = buildAvi(layout);
    for (int32_t f = 0; f < 3; ++f) {
      ImageSlot slot;
      std::string why;
      ASSERT_TRUE(readBytes(file, f, PixelFormat::Bgr24, slot, &why)) << why;
      EXPECT_EQ(slot->width, 2);
      EXPECT_EQ(topLeftBlue(*slot), 10 * f + 2);
      EXPECT_EQ(slot->row(1)[3 * 1 + 2], 200 + f);  // red of the bottom-right pixel
    }
  }
}

TEST(AviReadTest, DroppedFramesRepeatThePreviousOne) {
  AviLayout layout;
  layout.frames = threeFrames();
  layout.frames.insert(layout.frames.begin() + 2, Bytes{});  // frame 2 dropped
  for (IndexKind index : {IndexKind::OldRelative, IndexKind::OpenDml, IndexKind::None}) {
    layout.index = index;
    const Bytes file = buildAvi(layout);
    ImageSlot slot;
    ASSERT_TRUE(readBytes(file, 2, PixelFormat::Bgr24, slot));
    EXPECT_EQ(topLeftBlue(*slot), 12);
    ASSERT_TRUE(readBytes(file, 3, PixelFormat::Bgr24, slot));
    EXPECT_EQ(topLeftBlue(*slot), 22);
  }
  layout.frames[0].clear();  // nothing before a dropped first frame
  layout.index = IndexKind::OldRelative;
  ImageSlot slot = test::sentinelSlot();
  const ImageBuffer* before = slot.get();
  EXPECT_FALSE(readBytes(buildAvi(layout), 0, PixelFormat::Bgr24, slot));
  EXPECT_EQ(slot.get(), before);
}

TEST(AviReadTest, FramesOutsideTheVideoAndBrokenFilesAreRefused) {
  AviLayout layout;
  layout.frames = threeFrames();
  const Bytes good = buildAvi(layout);
  Bytes notRiff = good;
  notRiff[0] = 'X';
  AviLayout sixteenBit = layout;
  sixteenBit.bitCount = 16;
  sixteenBit.compression = fourCc("XXXX");
  const struct {
    const char* name;
    Bytes file;
    int32_t frame;
    const char* reason;
  } cases[] = {
      {"frame -1", good, -1, "frame -1 does not exist"},
      {"frame after the last", good, 3, "frame 3 does not exist (the video has 3 frames)"},
      {"not RIFF", notRiff, 0, "not an AVI file"},
      {"no video stream", list("RIFF", "AVI ", list("LIST", "movi", {})), 0, "no video stream"},
      {"unknown codec", buildAvi(sixteenBit), 0, "video codec 'XXXX' is not supported"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ImageSlot slot = test::sentinelSlot();
    const ImageBuffer* before = slot.get();
    std::string why;
    EXPECT_FALSE(readBytes(c.file, c.frame, PixelFormat::Gray8, slot, &why));
    EXPECT_EQ(slot.get(), before);
    EXPECT_NE(why.find(c.reason), std::string::npos) << why;
  }
}

TEST(AviReadTest, PaletteFramesAndFramesCutShort) {
  AviLayout layout;
  layout.width = 3;
  layout.height = 2;
  layout.bitCount = 8;
  layout.palette = {10, 20, 30, 0, 200, 100, 0, 0};  // two entries; index 5 is past them
  layout.frames = {Bytes{1, 0, 5, 0, 0, 1}};         // bottom row, then the top row cut short
  ImageSlot slot;
  ASSERT_TRUE(readBytes(buildAvi(layout), 0, PixelFormat::Bgr24, slot));
  EXPECT_EQ(Bytes(slot->row(1), slot->row(1) + 9), (Bytes{200, 100, 0, 10, 20, 30, 0, 0, 0}));
  EXPECT_EQ(Bytes(slot->row(0), slot->row(0) + 9), (Bytes{10, 20, 30, 200, 100, 0, 0, 0, 0}));
  ASSERT_TRUE(readBytes(buildAvi(layout), 0, PixelFormat::Gray8, slot));
  EXPECT_EQ(Bytes(slot->row(1), slot->row(1) + 3), (Bytes{100, 20, 0}));
}

TEST(AviReadTest, CodecFramesGoThroughTheDecoder) {
  // Y800: grey bytes, top row first, delivered as 8-bit grey.
  AviLayout grey;
  grey.bitCount = 8;
  grey.compression = fourCc("Y800");
  grey.frames = {Bytes{0, 50, 200, 255}};
  ImageSlot slot;
  std::string why;
  ASSERT_TRUE(readBytes(buildAvi(grey), 0, PixelFormat::Gray8, slot, &why)) << why;
  EXPECT_EQ(Bytes(slot->pixels.get(), slot->pixels.get() + 4), (Bytes{0, 50, 200, 255}));

  // YUY2 without colour, top row first: video black (16) becomes 0 and video
  // white (235) full white, within libswscale's fixed-point rounding.
  AviLayout yuy2;
  yuy2.bitCount = 16;
  yuy2.compression = fourCc("YUY2");
  yuy2.frames = {Bytes{16, 128, 16, 128, 235, 128, 235, 128}};
  ASSERT_TRUE(readBytes(buildAvi(yuy2), 0, PixelFormat::Bgr24, slot, &why)) << why;
  for (int i = 0; i < 6; ++i) EXPECT_EQ(slot->row(0)[i], 0);
  for (int i = 0; i < 6; ++i) EXPECT_GE(slot->row(1)[i], 250);
}

class AviFileTest : public ::testing::Test {
 protected:
  void TearDown() override { clearAviReadCache(); }
  test::TempDir dir;
};

TEST_F(AviFileTest, CountsAndReadsWhatTheWriterWrote) {
  const std::string path = dir.file("three.avi");
  AviWriter writer;
  for (float f = 0; f < 3; ++f) {
    auto frame = test::floatImage(2, 2, {f, 10 + f, 20 + f, 30 + f});
    ASSERT_TRUE(f > 0 || openAviWriter(writer, path, *frame));
    ASSERT_TRUE(writeAviFrame(writer, *frame));
  }
  ASSERT_TRUE(closeAviWriter(writer));
  EXPECT_EQ(aviFrameCount(path), 3);
  ImageSlot slot;
  ASSERT_TRUE(readAviFrame(path, 2, PixelFormat::Gray8, slot));
  EXPECT_EQ(Bytes(slot->pixels.get(), slot->pixels.get() + 4), (Bytes{2, 12, 22, 32}));

  // The cached index must follow a file that changed under the same name.
  ASSERT_TRUE(openAviWriter(writer, path, *slot));
  ASSERT_TRUE(writeAviFrame(writer, *slot));
  ASSERT_TRUE(closeAviWriter(writer));
  EXPECT_EQ(aviFrameCount(path), 1);
  EXPECT_FALSE(readAviFrame(path, 2, PixelFormat::Gray8, slot));

  const std::string bitmap = dir.file("frame.bmp");
  ASSERT_TRUE(writeBitmap(bitmap, *slot));
  EXPECT_EQ(aviFrameCount(bitmap), 0);
  EXPECT_EQ(aviFrameCount(dir.file("missing.avi")), 0);
}

TEST_F(AviFileTest, InterFrameVideoReadsTheSameInAnyOrder) {
  // An MPEG-4 video with a key frame every fourth frame: reading in a jumbled
  // order (reusing the kept decoder) must give what a fresh decode gives.
  const std::string path = dir.file("gop.avi");
  const std::string command = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=32x24:rate=5 -frames:v 10 "
                              "-c:v mpeg4 -g 4 -bf 0 '" + path + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << "ffmpeg is needed for this test";
  ASSERT_EQ(aviFrameCount(path), 10);
  std::vector<Bytes> fresh;
  for (int32_t f = 0; f < 10; ++f) {
    clearAviReadCache();
    ImageSlot slot;
    ASSERT_TRUE(readAviFrame(path, f, PixelFormat::Bgr24, slot));
    fresh.emplace_back(slot->pixels.get(), slot->pixels.get() + slot->pixelBytes());
  }
  EXPECT_NE(fresh[1], fresh[2]);
  for (int32_t f : {0, 1, 2, 3, 4, 5, 9, 6, 7, 7, 2, 8, 5, 4}) {
    ImageSlot slot;
    ASSERT_TRUE(readAviFrame(path, f, PixelFormat::Bgr24, slot));
    EXPECT_EQ(Bytes(slot->pixels.get(), slot->pixels.get() + slot->pixelBytes()), fresh[f]) << "frame " << f;
  }
}

}  // namespace
}  // namespace stelp
