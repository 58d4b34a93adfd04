#pragma once

#include <cstdint>
#include <string>

#include "fits_options.h"
#include "image_buffer.h"

namespace stelp {

// Frame codes of an entry: 0 or more is a frame of an AVI file.
constexpr int32_t FrameNone = -1;
constexpr int32_t FrameBitmap = -2;
constexpr int32_t FrameFits = -3;

// One entry of a source list: one frame of one file. It keeps no pixels;
// loadFrame reads the frame again whenever it is needed.
struct ImageSource {
  std::string path;
  int32_t nameOffset = 0;  // where the file name begins in `path`
  int32_t frameCode = FrameNone;
  bool enabled = true;
  bool missing = false;  // the file was not found when the project was opened

  void setPath(const std::string& newPath, int32_t code);
  std::string fileName() const { return path.substr(static_cast<size_t>(nameOffset)); }
};

// Index at which the file name of `path` begins: after the last '/', '\' or
// ':' before the last three characters, or 0 when there is none.
int32_t nameOffsetOf(const std::string& path);

// Loads the frame `source` names into `slot` in `format`. Without a source
// the slot is emptied; when the file cannot be read, or the frame code names
// no reader, the slot keeps what it held and the result is false, with the
// reader's reason in `why`. FITS files are read on `fitsScale`.
bool loadFrame(const ImageSource* source, ImageSlot& slot, PixelFormat format, std::string* why = nullptr,
               FitsScale fitsScale = FitsScale::Camera);

}  // namespace stelp
