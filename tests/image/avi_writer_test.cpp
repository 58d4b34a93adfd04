#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "image/avi.h"
#include "image/numeric.h"
#include "test_util.h"

namespace stelp {
namespace {

using test::Bytes;

Bytes slice(const Bytes& f, size_t at, size_t n) {
  const auto from = f.begin() + static_cast<ptrdiff_t>(std::min(at, f.size()));
  return at + n > f.size() ? Bytes{} : Bytes(from, from + static_cast<ptrdiff_t>(n));
}
std::string fourcc(const Bytes& f, size_t at) { const Bytes b = slice(f, at, 4); return {b.begin(), b.end()}; }

// Little-endian bytes that a chunk's contents should equal.
struct Le {
  Le& n(uint64_t v, int bytes = 4) { for (int i = 0; i < bytes; ++i) b.push_back(uint8_t(v >> 8 * i)); return *this; }
  Le& s(const char* id) { b.insert(b.end(), id, id + 4); return *this; }
  Le& zeros(size_t count) { b.insert(b.end(), count, 0); return *this; }
  Bytes b;
};

// `id` of a list is "LIST:" or "RIFF:" and its type; `data` and `size` cover
// the contents after a list's type.
struct Chunk {
  std::string id;
  size_t at = 0, data = 0, size = 0;
};

struct Segment {                 // one RIFF of a file
  size_t bytes = 0, moviAt = 0;  // its size; where its 'movi' fourcc is
  std::vector<Chunk> frames;
  Chunk ix;
};

struct Parsed {
  std::string outline;                // the chunk ids, each list's children in brackets
  std::map<std::string, Chunk> last;  // the last chunk of each id
  std::vector<Segment> segments;
};

// Reads the chunks in [begin, end), depth first; each must fit in its parent.
void walk(const Bytes& f, size_t begin, size_t end, Parsed& p) {
  while (begin < end) {
    Chunk c{fourcc(f, begin), begin, begin + 8, begin + 8 <= end ? loadLe32(&f[begin + 4]) : 0};
    const bool list = c.id == "RIFF" || c.id == "LIST";
    if (begin + 8 > end || c.data + c.size > end || (list && c.size < 4))
      return void(ADD_FAILURE() << c.id << " at " << begin << " runs past " << end);
    begin = c.data + c.size + (c.size & 1);
    if (list) c.id += ":" + fourcc(f, c.data), c.data += 4, c.size -= 4;
    p.last[c.id] = c;
    if (c.id.starts_with("RIFF")) p.segments.emplace_back().bytes = c.size + 12;
    Segment& s = p.segments.empty() ? p.segments.emplace_back() : p.segments.back();
    if (c.id == "LIST:movi") s.moviAt = c.data - 4;
    if (c.id == "ix00") s.ix = c;
    if (c.id == "00db") s.frames.push_back(c);
    p.outline += c.id;
    if (list) p.outline += "[", walk(f, c.data, c.data + c.size, p), p.outline += "]";
    p.outline += " ";
  }
}

// Checks the layout, every header byte, both indexes and every frame against
// the expected frame chunks (rows bottom first, padded); returns the RIFFs.
std::vector<Segment> checkFile(const Bytes& f, int32_t w, int32_t h, int bitCount, const std::vector<Bytes>& frames) {
  Parsed p;
  walk(f, 0, f.size(), p);
  std::string expected;
  size_t n = 0;
  for (const Segment& s : p.segments) {
    std::string movi = "LIST:movi[";
    for (const Chunk& c : s.frames) {
      movi += "00db ";
      EXPECT_EQ(slice(f, c.data, c.size), n < frames.size() ? frames[n] : Bytes()) << "frame " << n;
      ++n;
    }
    expected += expected.empty() ? "RIFF:AVI [LIST:hdrl[avih LIST:strl[strh strf indx ] LIST:odml[dmlh ] ] " + movi +
                                       "ix00 ] idx1 ] "
                                 : "RIFF:AVIX[" + movi + "ix00 ] ] ";
  }
  EXPECT_EQ(p.outline, expected);
  EXPECT_EQ(n, frames.size());
  if (p.outline != expected || n != frames.size() || frames.empty()) return p.segments;

  const auto contents = [&](const std::string& id) { return slice(f, p.last[id].data, p.last[id].size); };
  const uint32_t fb = static_cast<uint32_t>(frames[0].size()), total = static_cast<uint32_t>(n);
  const bool grey = bitCount == 8;
  EXPECT_EQ(contents("avih"), Le().n(200000).n(fb * 5).n(0).n(0x10).n(p.segments[0].frames.size()).n(0).n(1).n(fb)
                                  .n(w).n(h).zeros(16).b);
  EXPECT_EQ(contents("strh"),
            Le().s("vids").s("DIB ").n(0).n(0).n(0).n(1).n(5).n(0).n(total).n(fb).n(~0u).n(0).n(0).n(w, 2).n(h, 2).b);
  Le strf;
  strf.n(40).n(w).n(h).n(1, 2).n(bitCount, 2).n(0).n(fb).n(0).n(0).n(grey ? 256 : 0).n(0);
  for (uint32_t i = 0; grey && i < 256; ++i) strf.n(i * 0x010101);
  EXPECT_EQ(contents("strf"), strf.b);
  EXPECT_EQ(contents("dmlh"), Le().n(total).zeros(244).b);

  // 'idx1' lists the first segment's frame chunks from its 'movi' fourcc;
  // 'indx' one 'ix00' per segment, which lists its frames' data from a base.
  Le idx1, indx;
  indx.n(4, 2).n(0, 1).n(0, 1).n(p.segments.size()).s("00db").zeros(12);
  for (const Segment& s : p.segments) {
    Le ix;
    ix.n(2, 2).n(0, 1).n(1, 1).n(s.frames.size()).s("00db").n(s.moviAt, 8).n(0);
    for (const Chunk& c : s.frames) {
      ix.n(c.data - s.moviAt).n(fb);
      if (&s == &p.segments[0]) idx1.s("00db").n(0x10).n(c.at - s.moviAt).n(fb);
    }
    EXPECT_EQ(slice(f, s.ix.data, s.ix.size), ix.b) << "ix00 at " << s.ix.at;
    indx.n(s.ix.at, 8).n(s.ix.size + 8).n(s.frames.size());
  }
  EXPECT_EQ(contents("idx1"), idx1.b);
  EXPECT_EQ(contents("indx"), indx.zeros((256 - p.segments.size()) * 16).b);
  return p.segments;
}

using Images = std::vector<std::unique_ptr<ImageBuffer>>;

// An image of `format` from samples listed top row first.
std::unique_ptr<ImageBuffer> imageOf(PixelFormat format, int32_t w, int32_t h, const std::vector<double>& samples) {
  auto image = test::makeImage(format, w, h);
  const size_t sampleBytes = static_cast<size_t>(image->bytesPerPixel / (isColourFormat(format) ? 3 : 1));
  EXPECT_EQ(samples.size() * sampleBytes, image->pixelBytes());
  for (size_t i = 0; i < std::min(samples.size(), image->pixelBytes() / sampleBytes); ++i) {
    const auto put = [&](auto v) { std::memcpy(image->pixels.get() + i * sizeof v, &v, sizeof v); };
    if (sampleBytes == 4) put(static_cast<float>(samples[i]));
    if (sampleBytes == 2) put(static_cast<uint16_t>(samples[i]));
    if (sampleBytes == 1) put(static_cast<uint8_t>(samples[i]));
  }
  return image;
}

// Opens `path` with the first image and writes them all.
bool writeAll(AviWriter& writer, const std::string& path, const Images& images, std::string& why) {
  if (!openAviWriter(writer, path, *images[0], &why)) return false;
  for (size_t i = 0; i < images.size(); ++i) {
    if (!writeAviFrame(writer, *images[i], &why)) return false;
    EXPECT_EQ(writer.nextFrame, static_cast<int32_t>(i + 1));
  }
  return true;
}

TEST(AviWriterTest, WritesEachPixelFormatAndRefusesMisfits) {
  const struct {
    const char* name;
    PixelFormat format, misfitFormat;
    int32_t width, height, misfitWidth, misfitHeight, bitCount;
    std::vector<std::vector<double>> frames;  // samples, top row first
    std::vector<Bytes> chunks;                // rows bottom first, padded with zeros
  } cases[] = {
      {"grey float; colour refused", PixelFormat::GrayFloat, PixelFormat::BgrFloat, 2, 2, 2, 2, 8,
       {{1, 2, 3, 4}, {10, 20, 30, 40}, {255, 0, 128.9, 7}},
       {{3, 4, 0, 0, 1, 2, 0, 0}, {30, 40, 0, 0, 10, 20, 0, 0}, {128, 7, 0, 0, 255, 0, 0, 0}}},
      {"colour float; grey refused", PixelFormat::BgrFloat, PixelFormat::Gray8, 3, 1, 3, 1, 24,
       {{1, 2, 3, 4, 5, 6, 7, 8, 9}}, {{1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0}}},
      {"16-bit grey keeps the high byte; wider refused", PixelFormat::Gray16, PixelFormat::Gray16, 3, 2, 4, 2, 8,
       {{0x0100, 0x02FF, 0xFF00, 0x0A00, 0x0B00, 0x0C00}}, {{10, 11, 12, 0, 1, 2, 255, 0}}},
      {"24-bit; taller refused", PixelFormat::Bgr24, PixelFormat::Bgr24, 1, 2, 1, 3, 24,
       {{1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12}}, {{4, 5, 6, 0, 1, 2, 3, 0}, {10, 11, 12, 0, 7, 8, 9, 0}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const std::string path = dir.file("out.avi");
    test::writeFile(path, Bytes(100000, 0xEE));  // an older, longer file is replaced
    Images images;
    for (const auto& samples : c.frames) images.push_back(imageOf(c.format, c.width, c.height, samples));
    const auto misfit = test::makeImage(c.misfitFormat, c.misfitWidth, c.misfitHeight);
    std::memset(misfit->pixels.get(), 0, misfit->pixelBytes());
    AviWriter writer;
    std::string why;
    ASSERT_TRUE(writeAll(writer, path, images, why)) << why;
    EXPECT_TRUE(!writeAviFrame(writer, *misfit, &why) && !why.empty());
    EXPECT_EQ(writer.nextFrame, static_cast<int32_t>(images.size()));
    ASSERT_TRUE(closeAviWriter(writer, &why)) << why;
    EXPECT_EQ(writer.nextFrame, -1);
    EXPECT_EQ(checkFile(test::readFile(path), c.width, c.height, c.bitCount, c.chunks).size(), 1u);
  }
}

TEST(AviWriterTest, WritesLargeFramesAndContinuesInExtensionSegments) {
  const struct {
    int32_t width, height;  // 1030: rows padded by two bytes, frames over 1 MiB
    size_t frames;
    uint64_t riffLimit;
    size_t minSegments, minFirstFrames;
  } cases[] = {{1030, 1100, 2, kAviRiffLimit, 1, 2}, {20, 10, 100, 8192, 3, 3}, {1, 1, 256, 1, 256, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.frames);
    test::TempDir dir;
    Images images;  // frame k: a grey k * 7 + y * 20 + x
    std::vector<Bytes> chunks;
    const size_t stride = static_cast<size_t>(c.width + 3) & ~size_t{3};
    for (size_t k = 0; k < c.frames; ++k) {
      images.push_back(test::makeImage(PixelFormat::Gray8, c.width, c.height));
      chunks.emplace_back(stride * static_cast<size_t>(c.height), 0);
      for (int32_t y = 0; y < c.height; ++y)
        for (int32_t x = 0; x < c.width; ++x)
          images[k]->row(y)[x] = chunks[k][static_cast<size_t>(c.height - 1 - y) * stride + static_cast<size_t>(x)] =
              static_cast<uint8_t>(k * 7 + static_cast<size_t>(y * 20 + x));
    }
    AviWriter writer;
    writer.riffLimit = c.riffLimit;
    std::string why;
    ASSERT_TRUE(writeAll(writer, dir.file("a.avi"), images, why)) << why;
    if (c.riffLimit == 1) {  // one frame a segment: the super index has room for no more
      EXPECT_FALSE(writeAviFrame(writer, *images[0], &why));
      EXPECT_NE(why.find("256 RIFF segments"), std::string::npos) << why;
      EXPECT_EQ(writer.nextFrame, 256);
    }
    ASSERT_TRUE(closeAviWriter(writer, &why)) << why;
    const std::vector<Segment> segments = checkFile(test::readFile(dir.file("a.avi")), c.width, c.height, 8, chunks);
    ASSERT_GE(segments.size(), c.minSegments);
    EXPECT_GE(segments[0].frames.size(), c.minFirstFrames);
    for (const Segment& s : segments) EXPECT_TRUE(s.bytes <= c.riffLimit || s.frames.size() == 1) << s.bytes;
  }
}

TEST(AviWriterTest, RefusedCallsLeaveNoFileAndDisturbNothing) {
  test::TempDir dir;
  const auto image = imageOf(PixelFormat::Gray8, 2, 2, {5, 5, 5, 5});
  AviWriter writer;
  std::string why;
  const auto refused = [&](bool ok) { return !ok && !std::exchange(why, "").empty(); };
  EXPECT_TRUE(refused(writeAviFrame(writer, *image, &why))) << "nothing is open";
  EXPECT_TRUE(refused(closeAviWriter(writer, &why)));
  EXPECT_TRUE(refused(openAviWriter(writer, dir.file("missing/a.avi"), *image, &why)));
  EXPECT_TRUE(refused(openAviWriter(writer, dir.file("empty.avi"), ImageBuffer(), &why)));
  ASSERT_TRUE(openAviWriter(writer, dir.file("a.avi"), *image, &why)) << why;
  EXPECT_TRUE(refused(openAviWriter(writer, dir.file("b.avi"), *image, &why))) << "one is open already";
  ASSERT_TRUE(writeAviFrame(writer, *image, &why) && closeAviWriter(writer, &why)) << why;
  EXPECT_TRUE(refused(writeAviFrame(writer, *image, &why))) << "closed";
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("")), {}), 1) << "only a.avi was made";
  checkFile(test::readFile(dir.file("a.avi")), 2, 2, 8, {{5, 5, 0, 0, 5, 5, 0, 0}});
}

TEST(AviWriterTest, FailedWriteIsReportedAndOnlyACreatedFileRemoved) {
  // /dev/full refuses the headers, which go out at once, and must survive; a
  // new file takes two 4 KiB frames under a 16 KiB size limit and is removed.
  test::TempDir dir;
  const auto image = test::makeImage(PixelFormat::Gray8, 64, 64);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit lowered = saved;
  lowered.rlim_cur = 16384;
  for (const std::string& path : {std::string("/dev/full"), dir.file("cut.avi")}) {
    const bool device = path == "/dev/full";
    AviWriter writer;
    std::string why;
    int written = 0;
    // Nothing is asserted under the limit: test output may go to a file.
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    const bool limited = setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    const bool opened = openAviWriter(writer, path, *image, &why);
    while (opened && written < 10 && writeAviFrame(writer, *image, &why)) ++written;
    const bool closed = closeAviWriter(writer);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    ASSERT_TRUE(limited);
    EXPECT_EQ(opened, !device) << path;
    EXPECT_EQ(written, device ? 0 : 2) << "the third frame passes 16 KiB";
    EXPECT_NE(why.find("write failed"), std::string::npos) << why;
    EXPECT_FALSE(closed);
    EXPECT_EQ(std::filesystem::exists(path), device);
  }
}

}  // namespace
}  // namespace stelp
