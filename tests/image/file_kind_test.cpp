#include "image/file_kind.h"

#include <tuple>

#include "image/avi.h"
#include "image/bitmap.h"
#include "image/fits.h"
#include "image/image_source.h"
#include "image/ser_writer.h"
#include "test_util.h"

namespace stelp {
namespace {

// The window's import, project opening and every stelp-cli command take a file's kind, reader and frames from
// entriesOfFile or the table under it; this is the one place that says which files they accept.
TEST(FileKindTest, EntriesOfFileAcceptAndRefuseByTheTableAndExtensionsNameKinds) {
  test::TempDir dir;
  const auto picture = test::floatImage(3, 2, {10, 20, 30, 40, 50, 60});
  // Frame k of a video starts with 10 + k.
  auto video = [&](const char* name) {
    const bool ser = std::string(name).ends_with("SER");
    AviWriter avi;
    SerWriter serWriter;
    ASSERT_TRUE(ser ? openSerWriter(serWriter, dir.file(name), serLayoutOf(*picture, SerDepth::Eight))
                    : openAviWriter(avi, dir.file(name), *picture));
    for (float k = 0; k < 3; ++k) {
      const auto frame = test::floatImage(3, 2, {10 + k, 20, 30, 40, 50, 60});
      ASSERT_TRUE(ser ? writeSerFrame(serWriter, *frame) : writeAviFrame(avi, *frame));
    }
    ASSERT_TRUE(ser ? closeSerWriter(serWriter) : closeAviWriter(avi));
  };
  for (const char* name : {"a.bmp", "UPPER.DIB", "bitmap.fit", "bitmap.png"}) writeBitmap(dir.file(name), *picture);
  for (const char* name : {"b.FTS", "fits.avi"}) writeFits(dir.file(name), *picture, FitsDepth::Int16);
  for (const char* name : {"clip.AvI", "video.bmp", "clip.SER", "ser.avi.SER"}) video(name);
  std::filesystem::rename(dir.file("ser.avi.SER"), dir.file("ser.avi"));
  for (const char* name : {"notes.txt", "text.fits", "text.avi"}) test::writeText(dir.file(name), "notes");
  std::filesystem::create_directory(dir.file("folder.bmp"));

  // Each file's kind, the frame codes of its entries in order, and why it is refused.
  const struct { const char* name; FileKind kind; std::vector<int32_t> codes; const char* why; } cases[] = {
      {"a.bmp", FileKind::Bitmap, {FrameBitmap}, ""}, {"UPPER.DIB", FileKind::Bitmap, {FrameBitmap}, ""},
      {"b.FTS", FileKind::Fits, {FrameFits}, ""},     {"clip.AvI", FileKind::Avi, {0, 1, 2}, ""},
      {"clip.SER", FileKind::Ser, {0, 1, 2}, ""},
      {"ser.avi", FileKind::Unknown, {}, "a ser video must be named .ser to be read by its frames"},
      // The content decides where it is a known signature, the name otherwise.
      {"bitmap.fit", FileKind::Bitmap, {FrameBitmap}, ""}, {"bitmap.png", FileKind::Bitmap, {FrameBitmap}, ""},
      {"fits.avi", FileKind::Fits, {FrameFits}, ""},       {"video.bmp", FileKind::Avi, {0, 1, 2}, ""},
      {"notes.txt", FileKind::Unknown, {}, "not a bitmap, FITS, AVI or SER file (.bmp, .dib, .fit, .fts, .fits, .avi, .ser)"},
      {"text.fits", FileKind::Unknown, {}, "not a FITS file (no SIMPLE card)"},
      {"missing.bmp", FileKind::Unknown, {}, "not found"}, {"folder.bmp", FileKind::Unknown, {}, "not a regular file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.file(c.name);
    const FileEntries file = entriesOfFile(path);
    std::vector<int32_t> codes;
    for (const auto& entry : file.entries) {
      EXPECT_TRUE(entry->path == path && entry->enabled && !entry->missing);
      codes.push_back(entry->frameCode);
    }
    EXPECT_EQ(std::tuple(file.kind, codes, file.why), std::tuple(c.kind, c.codes, std::string(c.why)));
    if (!file) continue;
    EXPECT_EQ(std::tuple(file.width, file.height, file.frames), std::tuple(3, 2, static_cast<int32_t>(c.codes.size())));
    // Each entry's code leads loadFrame to the reader that accepted the file, and to its own frame.
    ImageSlot slot;
    ASSERT_TRUE(loadFrame(file.entries.back().get(), slot, PixelFormat::Gray8));
    EXPECT_EQ(slot->row(0)[0], 10 + std::max(c.codes.back(), 0));
  }
  // A video's entries stop at the number asked for; its own count stays.
  const FileEntries cut = entriesOfFile(dir.file("clip.AvI"), 2);
  EXPECT_EQ(std::pair(cut.entries.size(), cut.frames), std::pair(size_t{2}, 3));
  // A file that is no video has nothing for the AVI reader.
  EXPECT_FALSE(entriesOfFile(dir.file("text.avi")));

  // No entry empties the slot; one of no frame, or whose file is gone since, leaves it as it was.
  ImageSlot slot = test::makeImage(PixelFormat::Gray8, 1, 1);
  const ImageBuffer* kept = slot.get();
  ImageSource unset;
  EXPECT_FALSE(loadFrame(&unset, slot, PixelFormat::Gray8));
  const FileEntries gone = entriesOfFile(dir.file("a.bmp"));
  std::filesystem::remove(dir.file("a.bmp"));
  EXPECT_FALSE(loadFrame(gone.entries.at(0).get(), slot, PixelFormat::Gray8));
  EXPECT_EQ(slot.get(), kept);
  EXPECT_TRUE(loadFrame(nullptr, slot, PixelFormat::Gray8));
  EXPECT_EQ(slot, nullptr);

  // The kind each name's extension gives, and the kind written under it.
  using enum FileKind;
  const struct { const char* path; FileKind named, written; } names[] = {
      {"/d/a.fit", Fits, Fits}, {"/d/a.FTS", Fits, Fits}, {"x.Fits", Fits, Fits}, {"x.bmp", Bitmap, Bitmap},
      {"x.dib", Bitmap, Unknown}, {"x.AVI", Avi, Avi}, {"/d/a.fitsx", Unknown, Unknown}, {"/d.bmp/a", Unknown, Unknown},
      {"C:\\d.bmp\\a", Unknown, Unknown}, {"D:x.bmp", Bitmap, Bitmap}, {"x.raw", Unknown, Unknown},
  };
  for (const auto& c : names)
    EXPECT_EQ(std::pair(kindFromExtension(c.path), writtenKindOf(c.path)), std::pair(c.named, c.written)) << c.path;
  EXPECT_EQ(extensionList(FileKind::Fits, "*.", ";"), "*.fit;*.fts;*.fits") << "a file dialog's patterns for one kind";

  // A list shows the file name: what follows the last '/', '\' or ':' before the last three characters.
  for (const auto& [path, offset] : std::initializer_list<std::pair<const char*, int32_t>>{
           {"C:\\images\\m42.bmp", 10}, {"D:m42.bmp", 2}, {"/home/sky/m42.fits", 10}, {"C:\\dir\\ab\\", 7},
           {"/x/y.avi", 3}, {"/a/", 0}, {"m42.bmp", 0}, {"", 0}}) {
    ImageSource source;
    source.setPath(path, FrameBitmap);
    EXPECT_EQ(source.nameOffset, offset) << path;
  }
}

}  // namespace
}  // namespace stelp
