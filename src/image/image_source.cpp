#include "image_source.h"

#include "avi.h"
#include "byte_io.h"
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

bool loadFrame(const ImageSource* source, ImageSlot& slot, PixelFormat format, std::string* why,
               FitsScale fitsScale) {
  if (!source) {
    slot.reset();
    return true;
  }
  if (source->frameCode >= 0) return readAviFrame(source->path, source->frameCode, format, slot, why);
  if (source->frameCode == FrameBitmap) return readBitmap(source->path, format, slot, why);
  if (source->frameCode == FrameFits) return readFits(source->path, format, slot, why, fitsScale);
  return refuse(why, "no reader for frame code " + std::to_string(source->frameCode));
}

}  // namespace stelp
