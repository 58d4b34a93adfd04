#include "image_source.h"

#include <algorithm>
#include <atomic>

#include "byte_io.h"

namespace stelp {

EntryId newEntryId() {
  static std::atomic<EntryId> next{1};
  return next++;
}

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
  const FileKindInfo* kind = kindInfo(source->kind());
  if (!kind) return refuse(why, "no reader for frame code " + std::to_string(source->frameCode));
  return kind->read(source->path, std::max(source->frameCode, 0), format, slot, why, fitsScale, nullptr);
}

bool addsWithoutLoading(const ImageSource& source) {
  const FileKindInfo* kind = kindInfo(source.kind());
  return kind && kind->add;
}

bool addFrameTo(const ImageSource& source, ImageBuffer& sum, FitsScale fitsScale) {
  const FileKindInfo* kind = kindInfo(source.kind());
  return kind && kind->add && kind->add(source.path, std::max(source.frameCode, 0), sum, fitsScale);
}

FileEntries entriesOfFile(const std::string& path, int32_t maxFrames) {
  FileEntries result;
  const FileKind kind = detectFileKind(path, &result.why);
  const FileKindInfo* info = kindInfo(kind);
  if (!info) return result;
  auto refused = [&result](std::string why) {
    result.why = why.empty() ? "the file cannot be read" : std::move(why);
    return std::move(result);
  };
  // A video's entries find their reader by the file's name (kindOfEntry): a
  // video under the name of another video kind could not be read again.
  if (info->video && kindOfEntry(path, 0) != kind)
    return refused(std::string("a ") + info->name + " video must be named ." + std::string(info->extensions[0].text) +
                   " to be read by its frames");
  std::string why;
  const int32_t frames = info->frameCount ? info->frameCount(path, &why) : 1;
  if (frames <= 0) return refused(why.empty() ? "the video has no frames" : why);
  // The headers give the frame size; the pixels are read when needed.
  int32_t width = 0, height = 0;
  BayerPattern bayer = BayerPattern::None;
  if (!info->frameSize(path, width, height, bayer, &why)) return refused(why);
  result.kind = kind;
  result.width = width;
  result.height = height;
  result.frames = frames;
  const int32_t count = std::clamp(maxFrames, 0, frames);
  result.entries.reserve(static_cast<size_t>(count));
  for (int32_t frame = 0; frame < count; ++frame) {
    auto entry = std::make_unique<ImageSource>();
    entry->setPath(path, info->video ? frame : info->stillCode);
    entry->bayer = bayer;
    result.entries.push_back(std::move(entry));
  }
  return result;
}

bool admitFrameSize(FrameSize& size, int32_t width, int32_t height, std::string* why) {
  if (size.width < 0 || size.height < 0) {
    size = FrameSize{width, height};
    return true;
  }
  if (width == size.width && height == size.height) return true;
  return refuse(why, std::to_string(width) + " x " + std::to_string(height) + ", not the " +
                         std::to_string(size.width) + " x " + std::to_string(size.height) + " of the first frame");
}

}  // namespace stelp
