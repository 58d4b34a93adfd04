#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "image/avi.h"
#include "image/numeric.h"
#include "test_util.h"

namespace stelp {
namespace {

using test::Bytes;

// Bounds-checked little-endian reads: a field past the end fails the test
// instead of reading stray memory.
uint32_t u32(const Bytes& file, size_t at) {
  if (at + 4 > file.size()) {
    ADD_FAILURE() << "32-bit field at " << at << " is past the end of the " << file.size() << "-byte file";
    return 0;
  }
  return loadLe32(file.data() + at);
}
uint16_t u16(const Bytes& file, size_t at) {
  if (at + 2 > file.size()) {
    ADD_FAILURE() << "16-bit field at " << at << " is past the end of the file";
    return 0;
  }
  return loadLe16(file.data() + at);
}
uint64_t u64(const Bytes& file, size_t at) { return u32(file, at) | (uint64_t{u32(file, at + 4)} << 32); }
std::string fourccAt(const Bytes& file, size_t at) {
  if (at + 4 > file.size()) return "<end>";
  return std::string(reinterpret_cast<const char*>(file.data() + at), 4);
}
Bytes bytesAt(const Bytes& file, size_t at, size_t count) {
  if (at + count > file.size()) return {};
  return Bytes(file.begin() + static_cast<ptrdiff_t>(at), file.begin() + static_cast<ptrdiff_t>(at + count));
}

// One chunk of a RIFF file. For 'RIFF' and 'LIST', `form` is the list type
// and `data`/`size` cover the children after it.
struct Chunk {
  std::string id;
  std::string form;
  size_t header = 0;
  size_t data = 0;
  size_t size = 0;
  size_t end() const { return data + size; }
};

// The chunks laid end to end in [begin, end); each must fit in the range.
std::vector<Chunk> walk(const Bytes& file, size_t begin, size_t end) {
  std::vector<Chunk> chunks;
  while (begin < end) {
    if (begin + 8 > end) {
      ADD_FAILURE() << "stray bytes at " << begin;
      break;
    }
    Chunk c;
    c.id = fourccAt(file, begin);
    c.header = begin;
    c.data = begin + 8;
    c.size = u32(file, begin + 4);
    if (c.data + c.size > end) {
      ADD_FAILURE() << c.id << " at " << begin << " of " << c.size << " bytes runs past its parent's end " << end;
      break;
    }
    begin = c.data + c.size + (c.size & 1);
    if (c.id == "RIFF" || c.id == "LIST") {
      c.form = fourccAt(file, c.data);
      c.data += 4;
      c.size -= 4;
    }
    chunks.push_back(c);
  }
  return chunks;
}
std::vector<Chunk> children(const Bytes& file, const Chunk& list) { return walk(file, list.data, list.end()); }

// The one child called `name` (a chunk id or a list type).
Chunk only(const std::vector<Chunk>& chunks, const std::string& name) {
  std::vector<Chunk> found;
  for (const Chunk& c : chunks)
    if (c.id == name || c.form == name) found.push_back(c);
  if (found.size() != 1) {
    ADD_FAILURE() << found.size() << " chunks named " << name;
    return {};
  }
  return found[0];
}

// What a written file should hold; `frames` are the chunk contents, rows
// bottom first and padded.
struct Expected {
  int32_t width = 0;
  int32_t height = 0;
  int bitCount = 8;
  std::vector<Bytes> frames;
};

struct Layout {
  std::vector<Chunk> riffs;
  std::vector<std::vector<Chunk>> movis;  // the contents of each segment's 'movi'
  std::vector<size_t> moviTypeAt;         // where each 'movi' fourcc is
  Chunk avih, strh, strf, indx, dmlh, idx1;
};

Layout parse(const Bytes& file) {
  Layout l;
  l.riffs = walk(file, 0, file.size());
  for (const Chunk& riff : l.riffs) {
    const std::vector<Chunk> top = children(file, riff);
    const Chunk movi = only(top, "movi");
    l.movis.push_back(children(file, movi));
    l.moviTypeAt.push_back(movi.data - 4);
    if (&riff != &l.riffs.front()) {
      EXPECT_EQ(top.size(), 1u) << "an extension segment holds only its 'movi' list";
      continue;
    }
    if (top.size() != 3) {
      ADD_FAILURE() << "the first segment holds " << top.size() << " chunks, not hdrl, movi and idx1";
      return l;
    }
    EXPECT_EQ(top[0].form, "hdrl");
    EXPECT_EQ(top[1].form, "movi");
    EXPECT_EQ(top[2].id, "idx1");
    l.idx1 = top[2];
    const std::vector<Chunk> hdrl = children(file, top[0]);
    l.avih = only(hdrl, "avih");
    const std::vector<Chunk> strl = children(file, only(hdrl, "strl"));
    l.strh = only(strl, "strh");
    l.strf = only(strl, "strf");
    l.indx = only(strl, "indx");
    l.dmlh = only(children(file, only(hdrl, "odml")), "dmlh");
  }
  return l;
}

// Checks every header, both indexes and every frame's bytes; returns the
// layout for checks of the segments.
Layout checkFile(const Bytes& file, const Expected& e) {
  const Layout l = parse(file);
  if (l.riffs.empty() || l.riffs.size() != l.movis.size()) {
    ADD_FAILURE() << "no RIFF segments";
    return l;
  }
  const uint32_t total = static_cast<uint32_t>(e.frames.size());
  const uint32_t frameBytes = static_cast<uint32_t>(e.frames.empty() ? 0 : e.frames[0].size());
  const bool grey = e.bitCount == 8;

  // Segments: 'AVI ' then 'AVIX', together exactly the file.
  size_t riffBytes = 0;
  for (size_t i = 0; i < l.riffs.size(); ++i) {
    EXPECT_EQ(l.riffs[i].form, i == 0 ? "AVI " : "AVIX") << "segment " << i;
    riffBytes += l.riffs[i].size + 12;
  }
  EXPECT_EQ(riffBytes, file.size());

  EXPECT_EQ(l.avih.size, 56u);
  EXPECT_EQ(u32(file, l.avih.data), 200000u);
  EXPECT_EQ(u32(file, l.avih.data + 4), frameBytes * 5);
  EXPECT_EQ(u32(file, l.avih.data + 12), 0x10u) << "has an index";
  EXPECT_EQ(u32(file, l.avih.data + 24), 1u) << "streams";
  EXPECT_GE(u32(file, l.avih.data + 28), frameBytes) << "suggested buffer";
  EXPECT_EQ(u32(file, l.avih.data + 32), static_cast<uint32_t>(e.width));
  EXPECT_EQ(u32(file, l.avih.data + 36), static_cast<uint32_t>(e.height));

  EXPECT_EQ(l.strh.size, 56u);
  EXPECT_EQ(fourccAt(file, l.strh.data), "vids");
  EXPECT_EQ(fourccAt(file, l.strh.data + 4), "DIB ");
  EXPECT_EQ(u32(file, l.strh.data + 20), 1u) << "scale";
  EXPECT_EQ(u32(file, l.strh.data + 24), 5u) << "rate";
  EXPECT_EQ(u32(file, l.strh.data + 28), 0u) << "start";
  EXPECT_EQ(u32(file, l.strh.data + 32), total) << "length";
  EXPECT_EQ(u32(file, l.strh.data + 36), frameBytes) << "suggested buffer";
  EXPECT_EQ(u32(file, l.strh.data + 40), 0xFFFFFFFFu) << "quality";
  EXPECT_EQ(u32(file, l.strh.data + 44), 0u) << "sample size";
  EXPECT_EQ(u16(file, l.strh.data + 48), 0u);
  EXPECT_EQ(u16(file, l.strh.data + 50), 0u);
  EXPECT_EQ(u16(file, l.strh.data + 52), e.width);
  EXPECT_EQ(u16(file, l.strh.data + 54), e.height);

  EXPECT_EQ(l.strf.size, grey ? 1064u : 40u);
  EXPECT_EQ(u32(file, l.strf.data), 40u);
  EXPECT_EQ(u32(file, l.strf.data + 4), static_cast<uint32_t>(e.width));
  EXPECT_EQ(u32(file, l.strf.data + 8), static_cast<uint32_t>(e.height)) << "positive: bottom-up rows";
  EXPECT_EQ(u16(file, l.strf.data + 12), 1u);
  EXPECT_EQ(u16(file, l.strf.data + 14), e.bitCount);
  EXPECT_EQ(u32(file, l.strf.data + 16), 0u) << "compression";
  EXPECT_EQ(u32(file, l.strf.data + 20), frameBytes);
  EXPECT_EQ(u32(file, l.strf.data + 32), grey ? 256u : 0u) << "colours used";
  EXPECT_EQ(u32(file, l.strf.data + 36), 0u);
  if (grey) {
    Bytes palette;
    for (int i = 0; i < 256; ++i) palette.insert(palette.end(), {uint8_t(i), uint8_t(i), uint8_t(i), 0});
    EXPECT_EQ(bytesAt(file, l.strf.data + 40, palette.size()), palette);
  }

  // Each 'movi' holds its frames then its 'ix00'; together they are every
  // frame in order.
  std::vector<size_t> frameAt;  // chunk headers, in order
  for (size_t s = 0; s < l.movis.size(); ++s) {
    const std::vector<Chunk>& movi = l.movis[s];
    if (movi.empty() || movi.back().id != "ix00") {
      ADD_FAILURE() << "segment " << s << " does not end with 'ix00'";
      continue;
    }
    for (size_t k = 0; k + 1 < movi.size(); ++k) {
      EXPECT_EQ(movi[k].id, "00db");
      const size_t n = frameAt.size();
      if (n < e.frames.size()) {
        EXPECT_EQ(bytesAt(file, movi[k].data, movi[k].size), e.frames[n]) << "frame " << n;
      }
      frameAt.push_back(movi[k].header);
    }
  }
  EXPECT_EQ(frameAt.size(), e.frames.size());
  if (frameAt.size() != e.frames.size()) return l;

  // 'idx1': the first segment's frames, offsets from its 'movi' fourcc.
  const uint32_t firstFrames = static_cast<uint32_t>(l.movis[0].size() - 1);
  EXPECT_EQ(u32(file, l.avih.data + 16), firstFrames) << "avih counts the first segment";
  EXPECT_EQ(u32(file, l.dmlh.data), total) << "dmlh counts all frames";
  EXPECT_EQ(l.dmlh.size, 248u);
  EXPECT_EQ(l.idx1.size, 16u * firstFrames);
  for (uint32_t k = 0; k < firstFrames; ++k) {
    const size_t entry = l.idx1.data + 16 * k;
    EXPECT_EQ(fourccAt(file, entry), "00db");
    EXPECT_EQ(u32(file, entry + 4), 0x10u) << "key frame";
    EXPECT_EQ(l.moviTypeAt[0] + u32(file, entry + 8), frameAt[k]) << "idx1 entry " << k;
    EXPECT_EQ(u32(file, entry + 12), frameBytes);
  }

  // 'indx' lists one 'ix00' per segment; each lists that segment's frames by
  // the offset of their data from its base.
  EXPECT_EQ(u16(file, l.indx.data), 4u) << "longs per entry";
  EXPECT_EQ(file[l.indx.data + 2], 0u);
  EXPECT_EQ(file[l.indx.data + 3], 0u) << "index of indexes";
  EXPECT_EQ(u32(file, l.indx.data + 4), l.riffs.size()) << "entries in use";
  EXPECT_EQ(fourccAt(file, l.indx.data + 8), "00db");
  size_t next = 0;
  for (size_t s = 0; s < l.riffs.size(); ++s) {
    const size_t entry = l.indx.data + 24 + 16 * s;
    const Chunk& ix = l.movis[s].back();
    EXPECT_EQ(u64(file, entry), ix.header) << "segment " << s;
    EXPECT_EQ(u32(file, entry + 8), ix.size + 8);
    const uint32_t frames = static_cast<uint32_t>(l.movis[s].size() - 1);
    EXPECT_EQ(u32(file, entry + 12), frames) << "duration of segment " << s;

    EXPECT_EQ(u16(file, ix.data), 2u) << "longs per entry";
    EXPECT_EQ(file[ix.data + 3], 1u) << "index of chunks";
    EXPECT_EQ(u32(file, ix.data + 4), frames);
    EXPECT_EQ(fourccAt(file, ix.data + 8), "00db");
    EXPECT_EQ(ix.size, 24u + 8 * frames);
    const uint64_t base = u64(file, ix.data + 12);
    for (uint32_t k = 0; k < frames && next < frameAt.size(); ++k, ++next) {
      const uint32_t offset = u32(file, ix.data + 24 + 8 * k);
      const uint32_t size = u32(file, ix.data + 28 + 8 * k);
      EXPECT_EQ(base + offset, frameAt[next] + 8) << "ix00 entry " << k << " of segment " << s;
      EXPECT_EQ(size, frameBytes) << "bit 31 clear: key frame";
      EXPECT_EQ(bytesAt(file, base + offset, frameBytes), e.frames[next]);
    }
  }
  return l;
}

// Stores samples listed top row first as the format's sample type.
std::unique_ptr<ImageBuffer> imageOf(PixelFormat format, int32_t width, int32_t height,
                                     const std::vector<double>& samples) {
  auto image = test::makeImage(format, width, height);
  const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height) * (isColourFormat(format) ? 3 : 1);
  EXPECT_EQ(samples.size(), count);
  uint8_t* p = image->pixels.get();
  for (size_t i = 0; i < samples.size() && i < count; ++i) {
    switch (format) {
      case PixelFormat::Gray8:
      case PixelFormat::Bgr24: p[i] = static_cast<uint8_t>(samples[i]); break;
      case PixelFormat::Gray16: {
        const uint16_t v = static_cast<uint16_t>(samples[i]);
        std::memcpy(p + 2 * i, &v, 2);
        break;
      }
      case PixelFormat::GrayFloat:
      case PixelFormat::BgrFloat: {
        const float v = static_cast<float>(samples[i]);
        std::memcpy(p + 4 * i, &v, 4);
        break;
      }
      default: ADD_FAILURE() << "no samples for this format";
    }
  }
  return image;
}

TEST(AviWriterTest, WritesOneSegmentFile) {
  const struct {
    const char* name;
    PixelFormat format;
    int32_t width, height;
    std::vector<std::vector<double>> frames;  // samples, top row first
    int bitCount;
    std::vector<Bytes> chunks;                // rows bottom first, padded with zeros
  } cases[] = {
      {"three grey float frames",
       PixelFormat::GrayFloat,
       2,
       2,
       {{1, 2, 3, 4}, {10, 20, 30, 40}, {255, 0, 128.9, 7}},
       8,
       {{3, 4, 0, 0, 1, 2, 0, 0}, {30, 40, 0, 0, 10, 20, 0, 0}, {128, 7, 0, 0, 255, 0, 0, 0}}},
      {"one colour float frame", PixelFormat::BgrFloat, 3, 1, {{1, 2, 3, 4, 5, 6, 7, 8, 9}}, 24,
       {{1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0}}},
      {"16-bit grey keeps the high byte", PixelFormat::Gray16, 3, 2,
       {{0x0100, 0x02FF, 0xFF00, 0x0A00, 0x0B00, 0x0C00}}, 8, {{10, 11, 12, 0, 1, 2, 255, 0}}},
      {"two 24-bit frames", PixelFormat::Bgr24, 1, 2, {{1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12}}, 24,
       {{4, 5, 6, 0, 1, 2, 3, 0}, {10, 11, 12, 0, 7, 8, 9, 0}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const std::string path = dir.file("out.avi");
    test::writeFile(path, Bytes(100000, 0xEE));  // an older, longer file is replaced

    AviWriter writer;
    std::string why;
    std::vector<std::unique_ptr<ImageBuffer>> images;
    for (const auto& samples : c.frames) images.push_back(imageOf(c.format, c.width, c.height, samples));
    ASSERT_TRUE(openAviWriter(writer, path, *images[0], &why)) << why;
    EXPECT_EQ(writer.nextFrame, 0);
    for (size_t i = 0; i < images.size(); ++i) {
      ASSERT_TRUE(writeAviFrame(writer, *images[i], &why)) << why;
      EXPECT_EQ(writer.nextFrame, static_cast<int32_t>(i + 1));
    }
    ASSERT_TRUE(closeAviWriter(writer, &why)) << why;
    EXPECT_EQ(writer.nextFrame, -1);
    EXPECT_FALSE(writer.output);

    const Layout l = checkFile(test::readFile(path), {c.width, c.height, c.bitCount, c.chunks});
    EXPECT_EQ(l.riffs.size(), 1u);
  }
}

TEST(AviWriterTest, WritesFramesLargerThanOneWrite) {
  // Over 1 MiB a frame, rows padded by two bytes.
  constexpr int32_t kWidth = 1030, kHeight = 1100;
  auto image = test::makeImage(PixelFormat::Gray8, kWidth, kHeight);
  Expected expected{kWidth, kHeight, 8, {}};
  test::TempDir dir;
  const std::string path = dir.file("big.avi");
  AviWriter writer;
  std::string why;
  ASSERT_TRUE(openAviWriter(writer, path, *image, &why)) << why;
  for (int k = 0; k < 2; ++k) {
    Bytes chunk;
    for (int32_t y = 0; y < kHeight; ++y)
      for (int32_t x = 0; x < kWidth; ++x) image->row(y)[x] = static_cast<uint8_t>(x + 3 * y + 50 * k);
    for (int32_t y = kHeight - 1; y >= 0; --y) {
      for (int32_t x = 0; x < kWidth; ++x) chunk.push_back(static_cast<uint8_t>(x + 3 * y + 50 * k));
      chunk.insert(chunk.end(), {0, 0});
    }
    expected.frames.push_back(chunk);
    ASSERT_TRUE(writeAviFrame(writer, *image, &why)) << why;
  }
  ASSERT_TRUE(closeAviWriter(writer, &why)) << why;
  checkFile(test::readFile(path), expected);
}

// Frame k of the segment tests: 20 x 10 grey with every row different.
uint8_t segmentSample(size_t k, int32_t x, int32_t y) { return static_cast<uint8_t>(k * 7 + y * 20 + x); }

TEST(AviWriterTest, ContinuesInExtensionSegments) {
  constexpr int32_t kWidth = 20, kHeight = 10;
  constexpr size_t kFrames = 100;
  constexpr uint64_t kLimit = 8192;
  test::TempDir dir;
  const std::string path = dir.file("long.avi");
  Expected expected{kWidth, kHeight, 8, {}};
  auto image = test::makeImage(PixelFormat::Gray8, kWidth, kHeight);

  AviWriter writer;
  writer.riffLimit = kLimit;
  std::string why;
  ASSERT_TRUE(openAviWriter(writer, path, *image, &why)) << why;
  for (size_t k = 0; k < kFrames; ++k) {
    Bytes chunk;
    for (int32_t y = 0; y < kHeight; ++y)
      for (int32_t x = 0; x < kWidth; ++x) {
        image->row(y)[x] = segmentSample(k, x, y);
        chunk.push_back(segmentSample(k, x, kHeight - 1 - y));
      }
    expected.frames.push_back(chunk);
    ASSERT_TRUE(writeAviFrame(writer, *image, &why)) << why;
  }
  ASSERT_TRUE(closeAviWriter(writer, &why)) << why;

  const Layout l = checkFile(test::readFile(path), expected);
  EXPECT_GE(l.riffs.size(), 3u);
  for (const Chunk& riff : l.riffs) EXPECT_LE(riff.size + 12, kLimit) << "segment at " << riff.header;
  ASSERT_FALSE(l.movis.empty());
  EXPECT_GT(l.movis[0].size(), 2u) << "the first segment holds several frames";
}

TEST(AviWriterTest, RefusesMoreSegmentsThanTheSuperIndexHolds) {
  test::TempDir dir;
  const std::string path = dir.file("many.avi");
  auto image = imageOf(PixelFormat::Gray8, 1, 1, {9});
  AviWriter writer;
  writer.riffLimit = 1;  // one frame per segment
  std::string why;
  ASSERT_TRUE(openAviWriter(writer, path, *image, &why)) << why;
  for (int i = 0; i < 256; ++i) ASSERT_TRUE(writeAviFrame(writer, *image, &why)) << "frame " << i << ": " << why;
  EXPECT_FALSE(writeAviFrame(writer, *image, &why));
  EXPECT_NE(why.find("256 RIFF segments"), std::string::npos) << why;
  EXPECT_EQ(writer.nextFrame, 256);
  // The refused frame left the file whole.
  ASSERT_TRUE(closeAviWriter(writer, &why)) << why;
  const Layout l = checkFile(test::readFile(path), {1, 1, 8, std::vector<Bytes>(256, Bytes{9, 0, 0, 0})});
  EXPECT_EQ(l.riffs.size(), 256u);
}

TEST(AviWriterTest, RefusesFramesThatDoNotMatchTheFirst) {
  const struct {
    const char* name;
    PixelFormat firstFormat;
    PixelFormat format;
    int32_t width, height;
  } cases[] = {
      {"wider", PixelFormat::GrayFloat, PixelFormat::GrayFloat, 3, 2},
      {"taller", PixelFormat::Gray8, PixelFormat::Gray8, 2, 3},
      {"colour after grey", PixelFormat::GrayFloat, PixelFormat::BgrFloat, 2, 2},
      {"grey after colour", PixelFormat::Bgr24, PixelFormat::Gray16, 2, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const std::string path = dir.file("out.avi");
    auto first = test::makeImage(c.firstFormat, 2, 2);
    std::memset(first->pixels.get(), 0, first->pixelBytes());
    auto other = test::makeImage(c.format, c.width, c.height);
    std::memset(other->pixels.get(), 0, other->pixelBytes());
    AviWriter writer;
    std::string why;
    ASSERT_TRUE(openAviWriter(writer, path, *first, &why)) << why;
    ASSERT_TRUE(writeAviFrame(writer, *first, &why)) << why;
    why.clear();
    EXPECT_FALSE(writeAviFrame(writer, *other, &why));
    EXPECT_FALSE(why.empty());
    EXPECT_EQ(writer.nextFrame, 1);
    // The refused frame left nothing behind: writing goes on.
    ASSERT_TRUE(writeAviFrame(writer, *first, &why)) << why;
    ASSERT_TRUE(closeAviWriter(writer, &why)) << why;
    const int bitCount = isColourFormat(c.firstFormat) ? 24 : 8;
    const Bytes zeros(bitCount == 24 ? 16 : 8, 0);
    checkFile(test::readFile(path), {2, 2, bitCount, {zeros, zeros}});
  }
}

TEST(AviWriterTest, RefusesCallsWithoutAnOpenFile) {
  auto image = test::makeImage(PixelFormat::Gray8, 1, 1);
  AviWriter writer;
  std::string why;
  EXPECT_FALSE(writeAviFrame(writer, *image, &why));
  EXPECT_FALSE(why.empty());
  why.clear();
  EXPECT_FALSE(closeAviWriter(writer, &why));
  EXPECT_FALSE(why.empty());
  EXPECT_EQ(writer.nextFrame, -1);

  // After closing, the writer is empty again.
  test::TempDir dir;
  ASSERT_TRUE(openAviWriter(writer, dir.file("a.avi"), *image, &why)) << why;
  ASSERT_TRUE(closeAviWriter(writer, &why)) << why;
  EXPECT_FALSE(writeAviFrame(writer, *image, &why));
}

TEST(AviWriterTest, OpenFailuresLeaveTheWriterEmpty) {
  test::TempDir dir;
  auto image = test::makeImage(PixelFormat::Gray8, 2, 2);
  ImageBuffer empty;
  const struct {
    const char* name;
    std::string path;
    const ImageBuffer* first;
  } cases[] = {
      {"missing directory", dir.file("missing/out.avi"), image.get()},
      {"no pixels", dir.file("empty.avi"), &empty},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AviWriter writer;
    std::string why;
    EXPECT_FALSE(openAviWriter(writer, c.path, *c.first, &why));
    EXPECT_FALSE(why.empty());
    EXPECT_FALSE(writer.output);
    EXPECT_FALSE(std::filesystem::exists(c.path));
  }

  // A second open does not disturb the file already being written.
  AviWriter writer;
  std::string why;
  const std::string path = dir.file("first.avi");
  ASSERT_TRUE(openAviWriter(writer, path, *image, &why)) << why;
  EXPECT_FALSE(openAviWriter(writer, dir.file("second.avi"), *image, &why));
  EXPECT_FALSE(std::filesystem::exists(dir.file("second.avi")));
  std::memset(image->pixels.get(), 5, image->pixelBytes());
  ASSERT_TRUE(writeAviFrame(writer, *image, &why)) << why;
  ASSERT_TRUE(closeAviWriter(writer, &why)) << why;
  checkFile(test::readFile(path), {2, 2, 8, {{5, 5, 0, 0, 5, 5, 0, 0}}});
}

TEST(AviWriterTest, FullDeviceIsReportedAndKept) {
  // The header is written at once, so a full device refuses it; the device
  // itself must survive the clean-up.
  const char* device = "/dev/full";
  struct stat before {};
  ASSERT_EQ(stat(device, &before), 0) << device << " is needed by this test";
  auto image = test::makeImage(PixelFormat::Gray8, 2, 2);
  AviWriter writer;
  std::string why;
  EXPECT_FALSE(openAviWriter(writer, device, *image, &why));
  EXPECT_NE(why.find("write failed"), std::string::npos) << why;
  EXPECT_FALSE(writer.output);
  struct stat after {};
  ASSERT_EQ(stat(device, &after), 0);
  EXPECT_TRUE(S_ISCHR(after.st_mode));
}

// Lowers the file size limit so writes past it fail as on a full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ok_ = getrlimit(RLIMIT_FSIZE, &saved_) == 0;
    previous_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = saved_;
    lowered.rlim_cur = bytes;
    ok_ = ok_ && setrlimit(RLIMIT_FSIZE, &lowered) == 0;
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previous_);
  }
  bool ok() const { return ok_; }

 private:
  rlimit saved_{};
  void (*previous_)(int) = SIG_DFL;
  bool ok_ = false;
};

TEST(AviWriterTest, FailedWriteIsReportedAndThePartialFileRemoved) {
  test::TempDir dir;
  const std::string path = dir.file("cut.avi");
  auto image = test::makeImage(PixelFormat::Gray8, 64, 64);  // 4 KiB frames
  std::memset(image->pixels.get(), 1, image->pixelBytes());
  AviWriter writer;
  std::string openWhy, writeWhy, laterWhy, closeWhy;
  bool limited = false, opened = false, closed = true, later = true;
  int written = 0;
  {
    // Nothing is asserted while the limit holds, so the test's own output
    // cannot run into it.
    FileSizeLimit limit(16384);
    limited = limit.ok();
    opened = openAviWriter(writer, path, *image, &openWhy);
    while (opened && written < 10 && writeAviFrame(writer, *image, &writeWhy)) ++written;
    later = writeAviFrame(writer, *image, &laterWhy);
    closed = closeAviWriter(writer, &closeWhy);
  }
  ASSERT_TRUE(limited);
  ASSERT_TRUE(opened) << openWhy;
  EXPECT_EQ(written, 2) << "the third frame passes 16 KiB";
  EXPECT_NE(writeWhy.find("write failed"), std::string::npos) << writeWhy;
  EXPECT_FALSE(later) << "a failed file takes no more frames";
  EXPECT_FALSE(closed);
  EXPECT_NE(closeWhy.find("write failed"), std::string::npos) << closeWhy;
  EXPECT_EQ(writer.nextFrame, -1);
  EXPECT_FALSE(writer.output);
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace stelp
