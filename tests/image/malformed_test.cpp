// Files that once broke a reader, each named for what it exercises, read or refused cleanly (the sanitizers catch any
// stray access).

#include "image/avi.h"
#include "image/bitmap.h"
#include "image/file_kind.h"
#include "image/fits.h"
#include "image/image_source.h"
#include "test_util.h"

namespace stelp {
namespace {

TEST(MalformedFilesTest, EveryFileIsReadOrRefusedCleanly) {
  const std::filesystem::path folder = STELP_MALFORMED_DIR;
  ASSERT_TRUE(std::filesystem::is_directory(folder)) << folder;
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().filename() == "README.md") continue;
    ++files;
    const std::string path = entry.path().string();
    const FileKind kind = kindFromExtension(path);
    ASSERT_NE(kind, FileKind::Unknown) << path << " needs a .bmp, .fits or .avi name";
    // Through the file and from memory: the two reach different corners (a file read never hands out a null buffer).
    const test::Bytes bytes = test::readFile(path);
    MemoryInput memory(bytes.data(), bytes.size());
    for (int code = 1; code <= 6; ++code)
      for (const bool fromMemory : {false, true}) {
        ImageSlot slot;
        std::string why;
        auto readFrom = [&](auto& input) {
          if (kind == FileKind::Bitmap) return readBitmap(input, PixelFormat(code), slot, &why);
          if (kind == FileKind::Fits) return readFits(input, PixelFormat(code), slot, &why);
          return readAviFrame(input, code % 2, PixelFormat(code), slot, &why);
        };
        const bool read = fromMemory ? readFrom(memory) : readFrom(path);
        EXPECT_EQ(read, slot != nullptr) << path;
        EXPECT_TRUE(read ? slot && slot->format == PixelFormat(code) : !why.empty()) << path << ", format " << code;
      }
    // Importing and opening learn the frame size from the headers alone: they must take exactly the files whose first
    // frame reads, at its size, and refuse the others for the reader's reason.
    const FileEntries entries = entriesOfFile(path);
    ImageSlot first;
    std::string why;
    const bool loads = kindInfo(kind)->read(path, 0, PixelFormat::Gray8, first, &why, FitsScale::Camera, nullptr);
    EXPECT_EQ(static_cast<bool>(entries), loads) << path << ": " << entries.why;
    if (entries && first) {
      EXPECT_EQ(std::pair(entries.width, entries.height), std::pair(first->width, first->height)) << path;
    } else if (!entries && !loads) {
      EXPECT_EQ(entries.why, why) << path;
    }
  }
  EXPECT_GT(files, 0) << "the malformed-file folder is empty";
}

}  // namespace
}  // namespace stelp
