#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <string>
#include <vector>

#include "image/avi.h"
#include "test_util.h"

namespace stelp {
namespace {

using test::Bytes;
using test::chunk;
using test::Le;
using test::list;

// The file the writer must make of `frames` (rows bottom first, padded),
// perSegment[s] of them in RIFF segment s: headers, then each segment's
// frames and 'ix00', then after the first segment's 'movi' list its 'idx1'.
Bytes expectedAvi(int32_t w, int32_t h, int bitCount, const std::vector<Bytes>& frames,
                  const std::vector<uint32_t>& perSegment) {
  const uint32_t fb = static_cast<uint32_t>(frames[0].size()), total = static_cast<uint32_t>(frames.size());
  const bool grey = bitCount == 8;
  Le strf = Le().add(test::dibInfo(w, h, bitCount, 0, grey ? 256 : 0, fb));
  for (uint32_t i = 0; grey && i < 256; ++i) strf.n(i * 0x010101);
  // Five frames a second, 0x10: the file has an index; the counts cover the
  // first segment in 'avih', the whole file in 'strh' and 'dmlh'.
  auto hdrl = [&](const Bytes& superEntries) {
    const Bytes avih = Le().n(200000).n(fb * 5).n(0).n(0x10).n(perSegment[0]).n(0).n(1).n(fb).n(w).n(h).zeros(16).b;
    const Bytes strh =
        Le().s("vids").s("DIB ").n(0).n(0).n(0).n(1).n(5).n(0).n(total).n(fb).n(~0u).n(0).n(0).n(w, 2).n(h, 2).b;
    const Bytes indx = Le().n(4, 2).n(0, 1).n(0, 1).n(perSegment.size()).s("00db").zeros(12).add(superEntries)
                           .zeros((256 - perSegment.size()) * 16).b;
    const Bytes strl = Le().add(chunk("strh", strh)).add(chunk("strf", strf.b)).add(chunk("indx", indx)).b;
    const Bytes odml = chunk("dmlh", Le().n(total).zeros(244).b);
    return list("LIST", "hdrl",
                Le().add(chunk("avih", avih)).add(list("LIST", "strl", strl)).add(list("LIST", "odml", odml)).b);
  };
  // Offsets in 'idx1' count from the 'movi' fourcc to a frame's chunk, in
  // 'ix00' from a base (that fourcc) to the frame's data.
  std::vector<Bytes> segments;
  Le super;
  uint64_t riffAt = 0;
  size_t next = 0;
  for (size_t s = 0; s < perSegment.size(); ++s) {
    const uint64_t moviAt = riffAt + 12 + (s == 0 ? hdrl(Bytes(16 * perSegment.size())).size() : 0) + 8;
    Le movi, ix, idx1;
    ix.n(2, 2).n(0, 1).n(1, 1).n(perSegment[s]).s("00db").n(moviAt, 8).n(0);
    for (uint32_t k = 0; k < perSegment[s]; ++k) {
      const uint64_t at = 4 + movi.b.size();
      ix.n(at + 8).n(fb);
      idx1.s("00db").n(0x10).n(at).n(fb);
      movi.add(chunk("00db", frames[next++]));
    }
    super.n(moviAt + 4 + movi.b.size(), 8).n(ix.b.size() + 8).n(perSegment[s]);
    movi.add(chunk("ix00", ix.b));
    segments.push_back(Le().add(list("LIST", "movi", movi.b)).add(s == 0 ? chunk("idx1", idx1.b) : Bytes{}).b);
    riffAt = moviAt - 8 + segments.back().size();
  }
  Le file;
  file.add(list("RIFF", "AVI ", Le().add(hdrl(super.b)).add(segments[0]).b));
  for (size_t s = 1; s < segments.size(); ++s) file.add(list("RIFF", "AVIX", segments[s]));
  return file.b;
}

// The first offset at which two files differ, -1 when they are the same.
int64_t firstDifference(const Bytes& a, const Bytes& b) {
  const auto [x, y] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
  return x == a.end() && y == b.end() ? -1 : x - a.begin();
}

// Stores sample `i` (in memory order) so that the writer must turn it into
// the byte `v`, dropping a fraction or low bits where the format has them.
void putSample(ImageBuffer& image, size_t i, uint8_t v) {
  const auto put = [&](auto sample) { std::memcpy(image.pixels.get() + i * sizeof sample, &sample, sizeof sample); };
  switch (image.pixelFormat()) {
    case PixelFormat::GrayFloat:
    case PixelFormat::BgrFloat: return put(v + 0.9f);
    case PixelFormat::Gray16: return put(static_cast<uint16_t>((v << 8) | 0xFF));
    case PixelFormat::Gray32: return put((uint32_t{v} << 24) | 0xFFFFFF);
    default: return put(v);
  }
}

TEST(AviWriterTest, WritesEveryFormatBottomUpAndContinuesInExtensionSegments) {
  const struct {
    const char* name;
    PixelFormat format;
    int32_t width, height;
    uint64_t riffLimit;
    std::vector<uint32_t> perSegment;
  } cases[] = {
      {"grey float", PixelFormat::GrayFloat, 2, 2, kAviRiffLimit, {3}},
      {"16-bit grey", PixelFormat::Gray16, 3, 2, kAviRiffLimit, {1}},
      {"32-bit grey", PixelFormat::Gray32, 1, 1, kAviRiffLimit, {1}},
      {"colour float", PixelFormat::BgrFloat, 3, 1, kAviRiffLimit, {1}},
      {"24-bit colour", PixelFormat::Bgr24, 1, 2, kAviRiffLimit, {2}},
      {"rows padded by two bytes, frames over 1 MiB", PixelFormat::Gray8, 1030, 1100, kAviRiffLimit, {2}},
      // 208-byte frame chunks: the first segment holds 5692 + 232 n bytes, the
      // others 56 + 216 n, as many as stay within 8 KiB.
      {"extension segments", PixelFormat::Gray8, 20, 10, 8192, {10, 37, 37, 16}},
      {"one frame a segment, as many as the super index holds", PixelFormat::Gray8, 1, 1, 1,
       std::vector<uint32_t>(256, 1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const std::string path = dir.file("out.avi");
    test::writeFile(path, Bytes(100000, 0xEE));  // an older, longer file is replaced
    const size_t rowSamples = static_cast<size_t>(c.width) * (isColourFormat(c.format) ? 3 : 1);
    std::vector<Bytes> chunks(std::accumulate(c.perSegment.begin(), c.perSegment.end(), size_t{0}));
    AviWriter writer;
    writer.riffLimit = c.riffLimit;
    std::string why;
    for (int k = 0; k < static_cast<int>(chunks.size()); ++k) {
      const auto image = test::makeImage(c.format, c.width, c.height);
      for (int32_t y = c.height - 1; y >= 0; --y) {
        for (size_t x = 0; x < rowSamples; ++x) {
          const size_t i = static_cast<size_t>(y) * rowSamples + x;
          putSample(*image, i, chunks[k].emplace_back(static_cast<uint8_t>(k * 7 + i)));
        }
        chunks[k].resize((chunks[k].size() + 3) & ~size_t{3}, 0);
      }
      ASSERT_TRUE(k > 0 || openAviWriter(writer, path, *image, &why)) << why;
      ASSERT_TRUE(writeAviFrame(writer, *image, &why)) << why;
    }
    if (c.riffLimit == 1) {
      EXPECT_FALSE(writeAviFrame(writer, *test::makeImage(c.format, 1, 1), &why));
      EXPECT_NE(why.find("256 RIFF segments"), std::string::npos) << why;
    }
    ASSERT_TRUE(closeAviWriter(writer, &why)) << why;
    const Bytes expected = expectedAvi(c.width, c.height, isColourFormat(c.format) ? 24 : 8, chunks, c.perSegment);
    EXPECT_EQ(firstDifference(test::readFile(path), expected), -1);
  }
}

TEST(AviWriterTest, RefusedCallsLeaveNoFileAndDisturbNothing) {
  test::TempDir dir;
  const auto image = test::makeImage(PixelFormat::Gray8, 2, 2);
  std::memset(image->pixels.get(), 5, image->pixelBytes());
  AviWriter writer;
  std::string why;
  const auto refused = [&](bool ok) { return !ok && !std::exchange(why, "").empty(); };
  EXPECT_TRUE(refused(writeAviFrame(writer, *image, &why))) << "nothing is open";
  EXPECT_TRUE(refused(closeAviWriter(writer, &why)));
  EXPECT_TRUE(refused(openAviWriter(writer, dir.file("missing/a.avi"), *image, &why)));
  EXPECT_TRUE(refused(openAviWriter(writer, dir.file("empty.avi"), ImageBuffer(), &why)));
  ASSERT_TRUE(openAviWriter(writer, dir.file("a.avi"), *image, &why)) << why;
  EXPECT_TRUE(refused(openAviWriter(writer, dir.file("b.avi"), *image, &why))) << "one is open already";
  ASSERT_TRUE(writeAviFrame(writer, *image, &why)) << why;
  for (const auto& misfit : {test::makeImage(PixelFormat::Bgr24, 2, 2), test::makeImage(PixelFormat::Gray8, 3, 2),
                             test::makeImage(PixelFormat::Gray8, 2, 3)})
    EXPECT_TRUE(refused(writeAviFrame(writer, *misfit, &why))) << misfit->width << "x" << misfit->height;
  ASSERT_TRUE(closeAviWriter(writer, &why)) << why;
  EXPECT_TRUE(refused(writeAviFrame(writer, *image, &why))) << "closed";
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("")), {}), 1) << "only a.avi was made";
  const Bytes expected = expectedAvi(2, 2, 8, {{5, 5, 0, 0, 5, 5, 0, 0}}, {1});
  EXPECT_EQ(firstDifference(test::readFile(dir.file("a.avi")), expected), -1);
}

TEST(AviWriterTest, OnlyACompleteVideoReplacesThePreviousFile) {
  // Each way a video can end early leaves the previous file byte for byte and
  // no temporary: a write past a 16 KiB size limit (the third 4 KiB frame), a
  // writer dropped unclosed, a folder removed before the close.
  test::TempDir dir;
  const auto image = test::makeImage(PixelFormat::Gray8, 64, 64);
  const Bytes old(300, 0x0D);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const rlimit lowered{16384, saved.rlim_max};
  for (const std::string ending : {"size limit", "dropped", "folder removed"}) {
    SCOPED_TRACE(ending);
    const std::string folder = dir.file(ending), path = folder + "/out.avi";
    std::filesystem::create_directory(folder);
    test::writeFile(path, old);
    std::string why;
    int written = 0;
    bool closed = false;
    {
      AviWriter writer;
      // Nothing is asserted under the limit: test output may go to a file.
      const auto previous = std::signal(SIGXFSZ, SIG_IGN);
      const bool limited = ending != "size limit" || setrlimit(RLIMIT_FSIZE, &lowered) == 0;
      const bool opened = openAviWriter(writer, path, *image, &why);
      while (opened && written < 3 && writeAviFrame(writer, *image, &why)) ++written;
      setrlimit(RLIMIT_FSIZE, &saved);
      std::signal(SIGXFSZ, previous);
      ASSERT_TRUE(limited && opened) << why;
      if (ending == "folder removed") std::filesystem::remove_all(folder);
      if (ending != "dropped") closed = closeAviWriter(writer, &why);
    }
    EXPECT_EQ(written, ending == "size limit" ? 2 : 3);
    EXPECT_FALSE(closed);
    EXPECT_TRUE(ending != "size limit" || why.find("write failed") != std::string::npos) << why;
    if (ending == "folder removed") continue;
    EXPECT_EQ(test::readFile(path), old);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1) << "no temporary file is left";
  }
}

TEST(AviWriterTest, TwoVideosIntoOneFileNeverMix) {
  // Frames of two videos of one name written turn about (frame k goes to
  // video k % 2): each close puts that video in place, whole and alone.
  test::TempDir dir;
  const std::string path = dir.file("out.avi");
  AviWriter writers[2];
  std::vector<Bytes> frames[2];
  for (uint8_t k = 0; k < 5; ++k) {
    const auto image = test::makeImage(PixelFormat::Gray8, 4, 1);
    std::memset(image->pixels.get(), k, image->pixelBytes());
    frames[k % 2].push_back(Bytes(4, k));
    ASSERT_TRUE(k > 1 || openAviWriter(writers[k % 2], path, *image));
    ASSERT_TRUE(writeAviFrame(writers[k % 2], *image));
  }
  for (int w : {1, 0}) {
    ASSERT_TRUE(closeAviWriter(writers[w]));
    const uint32_t count = static_cast<uint32_t>(frames[w].size());
    EXPECT_EQ(firstDifference(test::readFile(path), expectedAvi(4, 1, 8, frames[w], {count})), -1) << w;
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("")), {}), 1);
}

}  // namespace
}  // namespace stelp
