#pragma once

// Frames and list entries shared by the engine tests.

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "image/bitmap.h"
#include "image/test_util.h"

namespace stelp::test {

// A copy of `image`'s pixels, size, format and mosaic pattern.
inline std::unique_ptr<ImageBuffer> copyOf(const ImageBuffer& image) {
  auto copy = makeImage(image.format, image.width, image.height);
  copy->bayer = image.bayer;
  std::memcpy(copy->pixels.get(), image.pixels.get(), image.pixelBytes());
  return copy;
}

// Appends an entry for frame `code` of `path` to a list; returns it.
inline ImageSource* appendEntry(Engine& engine, ListRole role, const std::string& path, int32_t code = FrameBitmap) {
  std::vector<std::unique_ptr<ImageSource>> entries;
  ImageSource* entry = entries.emplace_back(std::make_unique<ImageSource>()).get();
  entry->setPath(path, code);
  engine.AppendEntries(role, std::move(entries));
  return entry;
}

// Writes a grey bitmap of one level to `path` and appends its entry.
inline ImageSource* appendLevelBitmap(Engine& engine, ListRole role, const std::string& path, int32_t width,
                                      int32_t height, uint8_t level) {
  auto image = makeImage(PixelFormat::Gray8, width, height);
  std::memset(image->pixels.get(), level, image->pixelBytes());
  EXPECT_TRUE(writeBitmap(path, *image));
  return appendEntry(engine, role, path);
}

}  // namespace stelp::test
