#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "file_kind.h"
#include "fits_options.h"
#include "image_buffer.h"

namespace stelp {

// Frame codes of an entry: 0 or more is a frame of a video; the codes of
// the stills are those a project stores.
constexpr int32_t FrameNone = -1;
constexpr int32_t FrameBitmap = -2;
constexpr int32_t FrameFits = -3;

// Names a list entry for as long as the process runs: every entry made gets
// an id of its own, never used again, so a name kept across edits of a list
// cannot come to mean another entry.
using EntryId = uint64_t;
EntryId newEntryId();

// One entry of a source list: one frame of one file. It keeps no pixels;
// loadFrame reads the frame again whenever it is needed.
struct ImageSource {
  EntryId id = newEntryId();
  std::string path;
  int32_t nameOffset = 0;  // where the file name begins in `path`
  int32_t frameCode = FrameNone;
  bool enabled = true;
  bool missing = false;  // the file was not found when the project was opened
  // The mosaic pattern of the frame, read when the entry was made from its
  // file: the engine calibrates such a frame as the grey mosaic it is.
  BayerPattern bayer = BayerPattern::None;

  void setPath(const std::string& newPath, int32_t code);
  // The kind of file the entry reads (see kindOfEntry); Unknown for FrameNone.
  FileKind kind() const { return kindOfEntry(path, frameCode); }
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

// Whether frames of `source`'s kind can be added to a sum as they are read
// (see FrameAdder), and the adding: false, with `sum` untouched, when the
// frame would not load in sum's format or has another size or mosaic.
bool addsWithoutLoading(const ImageSource& source);
bool addFrameTo(const ImageSource& source, ImageBuffer& sum, FitsScale fitsScale);

// What one file gives a source list.
struct FileEntries {
  FileKind kind = FileKind::Unknown;  // Unknown: refused, and `why` says why
  std::string why;
  int32_t width = 0, height = 0;  // of its first frame
  int32_t frames = 0;             // the file's own count, 1 for a still
  // One enabled entry per frame, frame 0 first (at most `maxFrames`).
  std::vector<std::unique_ptr<ImageSource>> entries;
  explicit operator bool() const { return kind != FileKind::Unknown; }
};

// Probes `path` with the table of file kinds: its kind (see detectFileKind),
// its frame count, and the size of its first frame from the headers, with
// every check a read of that frame makes before it reads pixels (a
// compressed video's first frame is decoded), and the Bayer pattern every
// entry takes. A refused file (unreadable, of no kind, a video without
// frames, a first frame that would be refused) gives no entries and the
// reader's reason. Touches nothing but the file and keeps no state of its
// own, so it may run on any thread; the AVI reader's shared cache is locked.
FileEntries entriesOfFile(const std::string& path, int32_t maxFrames = INT32_MAX);

// The frame size that every entry of a project shares; -1 until the first
// frame admitted fixes it.
struct FrameSize {
  int32_t width = -1;
  int32_t height = -1;
};

// The rule for a frame of `width` x `height` joining a project of `size`:
// the first frame fixes the size, and a frame of another size is refused,
// false with "W x H, not the W0 x H0 of the first frame" in `why`.
bool admitFrameSize(FrameSize& size, int32_t width, int32_t height, std::string* why = nullptr);

}  // namespace stelp
