#include <numeric>

#include "image/avi.h"
#include "test_util.h"

namespace stelp {
namespace {

using test::Bytes, test::chunk, test::Le, test::list;

// The file the writer must make of `frames` (rows bottom first, padded), perSegment[s] of them in RIFF segment s:
// headers, then each segment's frames and 'ix00', then after the first segment's 'movi' list its 'idx1'.
Bytes expectedAvi(int32_t w, int32_t h, int bitCount, const std::vector<Bytes>& frames,
                  const std::vector<uint32_t>& perSegment) {
  const uint32_t fb = static_cast<uint32_t>(frames[0].size()), total = static_cast<uint32_t>(frames.size());
  const bool grey = bitCount == 8;
  Le strf = Le().add(test::dibInfo(w, h, bitCount, 0, grey ? 256 : 0, fb));
  for (uint32_t i = 0; grey && i < 256; ++i) strf.n(i * 0x010101);
  // Five frames a second, 0x10: the file has an index; the counts cover the first segment in 'avih', the whole file in
  // 'strh' and 'dmlh'.
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
  // Offsets in 'idx1' count from the 'movi' fourcc to a frame's chunk, in 'ix00' from a base (that fourcc) to its data.
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

// Stores sample `i` (in memory order) so that the writer must turn it into the byte `v`, dropping low bits where the
// format has them; a float is 256 more (which wraps) and a fraction (which is truncated).
void putSample(ImageBuffer& image, size_t i, uint8_t v) {
  const auto put = [&](auto sample) { std::memcpy(image.pixels.get() + i * sizeof sample, &sample, sizeof sample); };
  switch (image.format) {
    case PixelFormat::GrayFloat:
    case PixelFormat::BgrFloat: return put(v + 256.9f);
    case PixelFormat::Gray16: return put(static_cast<uint16_t>((v << 8) | 0xFF));
    case PixelFormat::Gray32: return put((uint32_t{v} << 24) | 0xFFFFFF);
    default: return put(v);
  }
}

TEST(AviWriterTest, WritesEveryFormatAcrossSegmentsAndFailuresKeepThePreviousFile) {
  using enum PixelFormat;
  const struct { const char* name; PixelFormat format; int32_t width, height; uint64_t riffLimit;
                 std::vector<uint32_t> perSegment; } cases[] = {
      {"grey float", GrayFloat, 2, 2, kAviRiffLimit, {3}}, {"16-bit grey", Gray16, 3, 2, kAviRiffLimit, {1}},
      {"32-bit grey", Gray32, 1, 1, kAviRiffLimit, {1}},   {"colour float", BgrFloat, 3, 1, kAviRiffLimit, {1}},
      {"24-bit colour", Bgr24, 1, 2, kAviRiffLimit, {2}},
      {"rows padded by two bytes, frames over 1 MiB", Gray8, 1030, 1100, kAviRiffLimit, {2}},
      // 208-byte frame chunks: the first segment holds 5692 + 232 n bytes, the others 56 + 216 n, within 8 KiB.
      {"extension segments", Gray8, 20, 10, 8192, {10, 37, 37, 16}},
      {"one frame a segment, as many as the super index holds", Gray8, 1, 1, 1, std::vector<uint32_t>(256, 1)},
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
        for (size_t i = y * rowSamples; i < (y + 1) * rowSamples; ++i)
          putSample(*image, i, chunks[k].emplace_back(static_cast<uint8_t>(k * 7 + i)));
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
    EXPECT_EQ(test::firstDifference(test::readFile(path), expected), -1);
  }

  // Refused calls and failed writes leave the previous file.
  test::TempDir dir;
  const std::string path = dir.file("a.avi");
  const auto image = test::makeImage(PixelFormat::Gray8, 2, 2);
  std::memset(image->pixels.get(), 5, image->pixelBytes());
  AviWriter writer;
  std::string why;
  const auto refused = [&](bool ok) { return !ok && !std::exchange(why, "").empty(); };
  EXPECT_TRUE(refused(writeAviFrame(writer, *image, &why))) << "nothing is open";
  EXPECT_TRUE(refused(closeAviWriter(writer, &why)));
  EXPECT_TRUE(refused(openAviWriter(writer, dir.file("missing/a.avi"), *image, &why)));
  EXPECT_TRUE(refused(openAviWriter(writer, dir.file("empty.avi"), ImageBuffer(), &why)));
  ASSERT_TRUE(openAviWriter(writer, path, *image, &why)) << why;
  EXPECT_TRUE(refused(openAviWriter(writer, dir.file("b.avi"), *image, &why))) << "one is open already";
  ASSERT_TRUE(writeAviFrame(writer, *image, &why)) << why;
  for (const auto& misfit : {test::makeImage(PixelFormat::Bgr24, 2, 2), test::makeImage(PixelFormat::Gray8, 3, 2),
                             test::makeImage(PixelFormat::Gray8, 2, 3)})
    EXPECT_TRUE(refused(writeAviFrame(writer, *misfit, &why))) << misfit->width << "x" << misfit->height;
  ASSERT_TRUE(closeAviWriter(writer, &why)) << why;
  EXPECT_TRUE(refused(writeAviFrame(writer, *image, &why))) << "closed";

  // A write past a 16 KiB size limit (the third 4 KiB frame) fails that frame and the close; a writer dropped unclosed
  // puts nothing in place. Either leaves the previous file byte for byte and no temporary.
  const auto large = test::makeImage(PixelFormat::Gray8, 64, 64);
  for (const bool limited : {true, false}) {
    auto write = [&] {
      AviWriter again;
      int written = 0;
      if (!openAviWriter(again, path, *large, &why)) return std::pair(-1, false);
      while (written < 3 && writeAviFrame(again, *large, &why)) ++written;
      return std::pair(written, limited && closeAviWriter(again, &why));
    };
    EXPECT_EQ(limited ? test::underFileSizeLimit(16384, write) : write(), std::pair(limited ? 2 : 3, false));
    EXPECT_TRUE(!limited || why.find("write failed") != std::string::npos) << why;
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("")), {}), 1) << "only a.avi was made";
  const Bytes expected = expectedAvi(2, 2, 8, {{5, 5, 0, 0, 5, 5, 0, 0}}, {1});
  EXPECT_EQ(test::firstDifference(test::readFile(path), expected), -1);
}

}  // namespace
}  // namespace stelp
