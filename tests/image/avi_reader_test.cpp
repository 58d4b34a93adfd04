#include "image/avi.h"
#include "image/avi_container.h"
#include "image/avi_decode.h"

#include <atomic>
#include <cstdlib>
#include <latch>
#include <thread>

#include "image/bitmap.h"
#include "image/byte_io.h"
#include "test_util.h"

namespace stelp {
namespace {

using test::Bytes, test::chunk, test::Le, test::list;

enum class IndexKind { OldRelative, OldAbsolute, OpenDml, RecordListsWithoutIndex };

// A small AVI 1.0 file: an optional audio stream first, then one video stream of `frames` (an empty frame is a dropped
// one), indexed as asked.
struct AviLayout {
  int32_t width = 2, height = 2;
  int bitCount = 24;
  uint32_t compression = 0;
  Bytes palette = {};
  std::vector<Bytes> frames = {};
  IndexKind index = IndexKind::OldRelative;
  bool audioFirst = false;
  int recordDepth = 1;         // 'rec ' lists around each frame, for RecordListsWithoutIndex
  uint32_t superEntries = 1;   // OpenDML super index entries, all naming the one standard index
};

// `content` inside `depth` nested 'rec ' lists, built without copying it per level.
Bytes inRecordLists(const Bytes& content, int depth) {
  Le out;
  for (int d = depth - 1; d >= 0; --d) out.s("LIST").n(4 + 12 * size_t(d) + content.size()).s("rec ");
  return out.add(content).b;
}

Bytes buildAvi(const AviLayout& s) {
  const char* video = s.audioFirst ? "01db" : "00db";
  const uint32_t count = static_cast<uint32_t>(s.frames.size());
  auto streamList = [&](const char* type, const Bytes& format, const Bytes& indx) {
    const Bytes header = Le().s(type).n(s.compression ? s.compression : fourCc("DIB ")).zeros(48).b;
    return list("LIST", "strl", Le().add(chunk("strh", header)).add(chunk("strf", format)).add(indx).b);
  };
  const Bytes videoFormat =
      Le().add(test::dibInfo(s.width, s.height, s.bitCount, s.compression, s.palette.size() / 4)).add(s.palette).b;

  // Frames first, so their offsets are known; the header's size does not depend on the values in it.
  Le movi;
  std::vector<uint32_t> at;  // chunk header offsets from the 'movi' type field
  for (const Bytes& f : s.frames) {
    if (s.audioFirst) movi.add(chunk("00wb", Bytes(4, 7)));
    at.push_back(static_cast<uint32_t>(4 + movi.b.size()));
    movi.add(s.index == IndexKind::RecordListsWithoutIndex ? inRecordLists(chunk(video, f), s.recordDepth)
                                                           : chunk(video, f));
  }
  auto header = [&](uint64_t ix00At) {
    Le super;
    super.n(4, 2).n(0, 1).n(0, 1).n(s.superEntries).s(video).zeros(12);
    for (uint32_t e = 0; e < s.superEntries; ++e) super.n(ix00At, 8).n(0).n(count);
    const Bytes indx = s.index == IndexKind::OpenDml ? chunk("indx", super.b) : Bytes{};
    const Bytes audio = s.audioFirst ? streamList("auds", Bytes(16, 0), {}) : Bytes{};
    const Bytes videoList = streamList("vids", videoFormat, indx);
    return list("LIST", "hdrl", Le().add(chunk("avih", Bytes(56, 0))).add(audio).add(videoList).b);
  };
  const size_t moviFourCc = 12 + header(0).size() + 8;
  if (s.index == IndexKind::OpenDml) {
    // The standard index sits at the end of the movi list; offsets count from its base to each frame's data.
    Le ix;
    ix.n(2, 2).n(0, 1).n(1, 1).n(count).s(video).n(moviFourCc, 8).n(0);
    for (uint32_t i = 0; i < count; ++i) ix.n(at[i] + 8).n(s.frames[i].size());
    const uint64_t ixAt = moviFourCc + 4 + movi.b.size();
    movi.add(chunk("ix00", ix.b));
    return list("RIFF", "AVI ", Le().add(header(ixAt)).add(list("LIST", "movi", movi.b)).b);
  }
  Le idx1;
  for (uint32_t i = 0; i < count; ++i)
    idx1.s(video).n(0x10).n(at[i] + (s.index == IndexKind::OldAbsolute ? moviFourCc : 0)).n(s.frames[i].size());
  const bool withIndex = s.index == IndexKind::OldRelative || s.index == IndexKind::OldAbsolute;
  return list("RIFF", "AVI ",
              Le().add(header(0)).add(list("LIST", "movi", movi.b)).add(withIndex ? chunk("idx1", idx1.b) : Bytes{}).b);
}

// Three 2 x 2 24-bit frames, bottom row first, each pixel a different value.
std::vector<Bytes> threeFrames() {
  std::vector<Bytes> frames(3);
  for (uint8_t f = 0; f < 3; ++f)
    for (uint8_t i = 0; i < 4; ++i) {
      frames[f].insert(frames[f].end(), {uint8_t(10 * f + i), uint8_t(100 + i), uint8_t(200 + f)});
      if (i % 2 == 1) frames[f].insert(frames[f].end(), {0, 0});
    }
  return frames;
}

bool readBytes(const Bytes& file, int32_t frame, ImageSlot& slot, std::string* why = nullptr) {
  MemoryInput input(file.data(), file.size());
  return readAviFrame(input, frame, PixelFormat::Bgr24, slot, why);
}

class AviFileTest : public ::testing::Test {
 protected:
  void TearDown() override { clearAviReadCache(); }
  // Writes `out` from ffmpeg's lavfi source `source` (with output options).
  static void ffmpeg(const std::string& source, const std::string& out) {
    const std::string command = "ffmpeg -nostdin -v error -y -f lavfi -i " + source + " '" + out + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << "ffmpeg is needed for this test";
  }
  test::TempDir dir;
};

TEST_F(AviFileTest, BrokenFilesAreRefusedFilesAreCountedAndAChangedFileIsFollowed) {
  Bytes notRiff = buildAvi({.frames = threeFrames()});
  notRiff[0] = 'X';
  // A 4 x 4 MJPEG stream carrying a larger JPEG: the size checks were made on 4 x 4. A picture far larger is stopped
  // inside the decoder, before it allocates for it; one it can hold is refused when it comes out.
  auto mjpeg = [&](const std::string& size) {
    const std::string jpeg = dir.file(size + ".jpg");
    ffmpeg("testsrc=size=" + size + " -frames:v 1", jpeg);
    return buildAvi({.width = 4, .height = 4, .compression = fourCc("MJPG"), .frames = {test::readFile(jpeg)}});
  };
  const struct { const char* name; Bytes file; const char* reason; } cases[] = {
      {"not RIFF", notRiff, "not an AVI file"},
      {"no video stream", list("RIFF", "AVI ", list("LIST", "movi", {})), "no video stream"},
      {"unknown codec", buildAvi({.bitCount = 16, .compression = fourCc("XXXX"), .frames = threeFrames()}), "'XXXX'"},
      {"frame far larger than its chunk", buildAvi({.width = 10000, .height = 10000, .frames = threeFrames()}),
       "frame of 300000000 bytes is stored in 16"},
      {"nothing before a dropped first frame", buildAvi({.frames = {Bytes{}, threeFrames()[1]}}), "has no picture"},
      {"compressed frame no file this small could hold",
       buildAvi({.width = 2048, .height = 2048, .compression = fourCc("MJPG"), .frames = threeFrames()}), "2048"},
      {"larger picture than declared", mjpeg("64x48"), "picture of 64 x 48 differs from the declared 4 x 4"},
      {"far larger picture than declared", mjpeg("1280x1088"), "does not decode"},
  };
  for (const auto& c : cases)
    test::expectRefused([&](ImageSlot& slot, std::string* why) { return readBytes(c.file, 0, slot, why); }, c.reason,
                        c.name);

  const std::string path = dir.file("video.avi"), bitmap = dir.file("frame.bmp");
  test::writeFile(path, buildAvi({.frames = threeFrames()}));
  ImageSlot slot;
  EXPECT_EQ(aviFrameCount(path), 3);
  // The cached index must follow a file that changed under the same name.
  test::writeFile(path, buildAvi({.frames = {threeFrames()[1]}}));
  EXPECT_EQ(aviFrameCount(path), 1);
  EXPECT_FALSE(readAviFrame(path, 2, PixelFormat::Bgr24, slot));
  ASSERT_TRUE(readAviFrame(path, 0, PixelFormat::Bgr24, slot));
  EXPECT_EQ(slot->row(0)[0], 12);
  ASSERT_TRUE(writeBitmap(bitmap, *slot));
  EXPECT_EQ(aviFrameCount(bitmap) + aviFrameCount(dir.file("missing.avi")), 0);
}

// Frame `frame` of an AVI as libavcodec's raw decoder gives it, as grey bytes top row first; empty when it refuses it.
Bytes libavcodecGrey(const Bytes& file, int32_t frame) {
  MemoryInput input(file.data(), file.size());
  AviStreamIndex index;
  VideoFormat format;
  if (!parseAvi(input, index) || !parseVideoFormat(index.format, format, nullptr)) return {};
  const std::unique_ptr<VideoDecoder> decoder = VideoDecoder::create(format, index.handler, nullptr);
  const AviFrameEntry& entry = index.frames.at(static_cast<size_t>(frame));
  Bytes packet(entry.size);
  packet.resize(input.readAt(entry.offset, packet.data(), packet.size()));
  DibFrame picture;
  bool got = false;
  if (!decoder || !decoder->decode(packet.data(), packet.size(), got, picture, nullptr) || !got) return {};
  EXPECT_EQ(picture.bitCount, 8);
  Bytes grey;
  for (int32_t y = 0; y < picture.height; ++y) {
    const uint8_t* row = picture.rows() + picture.rowBytes * size_t(picture.topDown ? y : picture.height - 1 - y);
    grey.insert(grey.end(), row, row + picture.width);
  }
  return grey;
}

// Grey frames under the codes ffmpeg writes raw grey video with are read by Stelp's own code: every frame must give
// the bytes libavcodec gives, or be refused where it refuses, whatever the padding, length and row order.
TEST(AviReadTest, PaletteAndRawGreyFramesReadAsLibavcodecDoesAndEveryIndexKindFindsTheSameFrames) {
  // Two palette entries, index 5 past them; the bottom row, then the top row cut short.
  const Bytes palette = buildAvi({.width = 3, .bitCount = 8, .palette = {10, 20, 30, 0, 200, 100, 0, 0},
                                  .frames = {Bytes{1, 0, 5, 0, 0, 1}}});
  ImageSlot slot;
  ASSERT_TRUE(readBytes(palette, 0, slot));
  EXPECT_EQ(test::pixelBytes(*slot), (Bytes{10, 20, 30, 200, 100, 0, 0, 0, 0, 200, 100, 0, 10, 20, 30, 0, 0, 0}));

  uint32_t state = 5;
  auto next = [&] { return static_cast<uint8_t>((state = state * 1664525u + 1013904223u) >> 24); };
  const char codes[][5] = {"Y800", "GREY", "Y8  "};
  for (const auto& code : codes)
    for (const int32_t width : {1, 3, 8, 13})
      for (const int32_t height : {1, 7, -2}) {
        SCOPED_TRACE(testing::Message() << code << " " << width << "x" << height);
        // Frames of exactly width x height bytes, of rows padded to 4 bytes, of a few bytes more or fewer.
        const size_t rows = static_cast<size_t>(std::abs(height)), plain = size_t(width) * rows;
        const size_t padded = ((size_t(width) + 3) & ~size_t{3}) * rows;
        std::vector<Bytes> frames;
        for (const size_t size : {plain, padded, padded + 3, plain + 1, plain - 1, rows - 1})
          std::generate_n(std::back_inserter(frames.emplace_back()), size, next);
        const Bytes codecData = height == 7 ? Bytes{'B', 'o', 't', 't', 'o', 'm', 'U', 'p', 0} : Bytes{};
        const Bytes file = buildAvi({.width = width, .height = height, .bitCount = 8, .compression = fourCc(code),
                                     .palette = codecData, .frames = frames});
        MemoryInput input(file.data(), file.size());
        AviStreamIndex index;
        ASSERT_TRUE(parseAvi(input, index));
        for (int32_t f = 0; f < static_cast<int32_t>(frames.size()); ++f) {
          if (frames[f].empty()) continue;  // a dropped frame, which shows the one before
          ImageSlot slot;
          const bool read = readAviFrame(input, f, PixelFormat::Gray8, slot);
          EXPECT_EQ(read ? test::pixelBytes(*slot) : Bytes{}, libavcodecGrey(file, f)) << "frame " << f;
        }
      }

  // The last two layouts only large files reach: walked in bounded time and stack, an index named twice read once.
  using enum IndexKind;
  const struct { const char* name; AviLayout layout; } cases[] = {
      {"idx1 relative to movi", {.index = OldRelative}}, {"idx1 from the file start", {.index = OldAbsolute}},
      {"rec lists", {.index = RecordListsWithoutIndex}}, {"OpenDML", {.index = OpenDml, .audioFirst = true}},
      {"frames inside 100000 nested rec lists", {.index = RecordListsWithoutIndex, .recordDepth = 100000}},
      {"a super index naming one standard index three times", {.index = OpenDml, .superEntries = 3}},
  };
  for (auto c : cases) {
    SCOPED_TRACE(c.name);
    c.layout.frames = threeFrames();
    c.layout.frames.insert(c.layout.frames.begin() + 2, 2, Bytes{});  // frames 2 and 3 show picture 1
    const Bytes file = buildAvi(c.layout);
    MemoryInput input(file.data(), file.size());
    AviStreamIndex index;
    ASSERT_TRUE(parseAvi(input, index));
    EXPECT_EQ(index.frames.size(), 5u);
    for (int32_t f = 0; f < 5; ++f) {
      const int picture = f < 2 ? f : f < 4 ? 1 : 2;
      ImageSlot slot;
      std::string why;
      ASSERT_TRUE(readBytes(file, f, slot, &why)) << why;
      // Blue of the top-left pixel (the file's second row is the top) and red of the bottom-right one.
      EXPECT_EQ(std::tuple(slot->width, int{slot->row(0)[0]}, int{slot->row(1)[5]}),
                std::tuple(2, 10 * picture + 2, 200 + picture));
    }
  }
}

// Adding a frame to a sum equals adding its read image: palette frames cut short and raw grey frames, into grey and
// colour sums.
TEST_F(AviFileTest, AddingToASumEqualsAddingTheReadFrame) {
  const Bytes grey = {0, 17, 34, 51, 68, 85, 102, 119, 136, 153, 170, 187, 204, 221, 238};
  const Bytes files[] = {
      buildAvi({.width = 3, .bitCount = 8, .palette = {10, 20, 30, 0, 200, 100, 0, 0},
                .frames = {Bytes{1, 0, 5, 0, 0, 1}}}),
      buildAvi({.width = 5, .height = 3, .bitCount = 8, .compression = fourCc("Y800"), .frames = {grey}}),
  };
  for (size_t f = 0; f < std::size(files); ++f)
    for (const PixelFormat format : {PixelFormat::GrayFloat, PixelFormat::BgrFloat}) {
      SCOPED_TRACE(testing::Message() << "file " << f << ", format " << static_cast<int>(format));
      const std::string path = dir.file(std::to_string(f) + ".avi");
      test::writeFile(path, files[f]);
      ImageSlot read;
      ASSERT_TRUE(readAviFrame(path, 0, format, read));
      test::expectAddsLikeTheRead(*read, [&](ImageBuffer& sum) { return addAviFrame(path, 0, sum); });
    }
}

TEST_F(AviFileTest, InterFrameVideosReadTheSameInAnyOrderAndFromManyThreads) {
  // Two MPEG-4 videos with a key frame every fourth frame. Reading in a jumbled order (reusing the kept decoder), from
  // one thread or from four at once, must give what a fresh decode of each frame gives.
  std::string paths[2];
  std::vector<Bytes> fresh[2];
  auto read = [&](int v, int32_t f) {
    ImageSlot slot;
    return readAviFrame(paths[v], f, PixelFormat::Bgr24, slot) ? test::pixelBytes(*slot) : Bytes{};
  };
  for (int v = 0; v < 2; ++v) {
    paths[v] = dir.file(std::to_string(v) + ".avi");
    ffmpeg(std::string(v ? "testsrc2" : "testsrc") + "=size=32x24:rate=5 -frames:v 10 -c:v mpeg4 -g 4 -bf 0", paths[v]);
    ASSERT_EQ(aviFrameCount(paths[v]), 10);
    for (int32_t f = 0; f < 10; ++f) {
      clearAviReadCache();
      ASSERT_EQ(fresh[v].emplace_back(read(v, f)).size(), 32u * 24 * 3);
    }
  }
  EXPECT_NE(fresh[0][1], fresh[0][2]);
  for (int32_t f : {0, 1, 2, 3, 4, 5, 9, 6, 7, 7, 2, 8, 5, 4}) EXPECT_EQ(read(0, f), fresh[0][f]) << "frame " << f;

  clearAviReadCache();
  std::latch start(4);
  std::atomic<int> wrong = 0;  // reads that gave another picture or none
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        for (int k = 0, v = t % 2, f = 3 * t % 10; k < 20; ++k, v = 1 - v, f = (f + 7) % 10)
          wrong += read(v, f) != fresh[v][f];
      });
  }
  EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace stelp
