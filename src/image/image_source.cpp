#include "image_source.h"

#include "avi.h"
#include "bitmap.h"
#include "fits.h"

namespace stelp {

int32_t nameOffsetOf(const std::string& path) {
  // The last three characters are never a separator that counts: the scan
  // starts four characters from the end.
  const int64_t n = static_cast<int64_t>(path.size());
  for (int64_t i = n - 4; i >= 0; --i) {
    const char c = path[static_cast<size_t>(i)];
    if (c == '/' || c == '\\' || c == ':') return static_cast<int32_t>(i + 1);
  }
  return 0;
}

void ImageSource::setPath(const std::string& newPath, int32_t code) {
  path = newPath;
  frameCode = code;
  nameOffset = nameOffsetOf(path);
}

void loadFrame(const ImageSource* source, ImageSlot& slot, PixelFormat format) {
  if (!source) {
    slot.reset();
    return;
  }
  if (source->frameCode >= 0)
    readAviFrame(source->path, source->frameCode, format, slot);
  else if (source->frameCode == FrameBitmap)
    readBitmap(source->path, format, slot);
  else if (source->frameCode == FrameFits)
    readFits(source->path, format, slot);
}

}  // namespace stelp
