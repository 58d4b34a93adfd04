#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "fits_options.h"
#include "image_buffer.h"

namespace stelp {

enum class FileKind { Unknown, Bitmap, Fits, Avi, Ser };

// One extension of a kind: lower case, without its dot, and whether Stelp
// writes files of the kind under it (".dib" is read but never written).
struct KindExtension {
  std::string_view text;
  bool written;
};

// Bytes that every file of a kind holds at `offset`.
struct Signature {
  size_t offset;
  std::string_view bytes;
};

// Reads frame `frame` of the file (a still has only frame 0 and ignores the
// number) into a new buffer of `format`. False, with `slot` untouched and the
// reader's reason in `why`, when it cannot. FITS values are read on `scale`,
// and `scaleNote` receives how they were scaled.
using FrameReader = bool (*)(const std::string& path, int32_t frame, PixelFormat format, ImageSlot& slot,
                             std::string* why, FitsScale scale, std::string* scaleNote);

// Adds frame `frame` of the file, as a FrameReader reads it in the format of
// `sum` (GrayFloat or BgrFloat), value by value to `sum` without storing the
// frame. False, with `sum` untouched, where the reader would refuse the frame
// or it has another size or mosaic than `sum`.
using FrameAdder = bool (*)(const std::string& path, int32_t frame, ImageBuffer& sum, FitsScale scale);

// Everything Stelp knows of one kind of file it reads. The window's import,
// project opening and every stelp-cli command take their answers from this
// one table, so they accept and refuse the same files.
struct FileKindInfo {
  FileKind kind;
  const char* name;   // as `stelp-cli info` prints it: "bmp", "fits", "avi", "ser"
  const char* label;  // for a file dialog: "Bitmap files"
  std::span<const KindExtension> extensions;
  std::span<const Signature> signature;  // every part must match
  // A video gives one list entry per frame, numbered from 0; a still gives
  // one entry with this frame code, the value a project stores.
  bool video;
  int32_t stillCode;
  FrameReader read;
  // The frames of the file; 0, with the reason, when it is not a readable
  // video. Null for a still, which has one.
  int32_t (*frameCount)(const std::string& path, std::string* why);
  // The size of the first frame, from the headers with every check `read`
  // makes before it reads pixels, and the Bayer pattern a grey read gives
  // it; false, with the reason, where `read` would refuse frame 0.
  bool (*frameSize)(const std::string& path, int32_t& width, int32_t& height, BayerPattern& bayer, std::string* why);
  // Null for kinds whose frames are only read whole.
  FrameAdder add;
};

// The rows of the table: bitmap, FITS, AVI, SER.
std::span<const FileKindInfo> fileKinds();

// The row of `kind`; null for Unknown.
const FileKindInfo* kindInfo(FileKind kind);

// The extensions of `kind` (of every kind for Unknown), in the table's
// order, each after `prefix` and joined by `separator`: "*.bmp;*.dib" for a
// file dialog's patterns, ".bmp, .dib" for a message.
std::string extensionList(FileKind kind, std::string_view prefix, std::string_view separator);

// Whether two texts are equal when ASCII letters are compared without case.
bool equalsIgnoringCase(std::string_view a, std::string_view b);

// The extension of the file name in `path` (text after its last dot), lower
// case; empty when the name has none.
std::string lowerExtension(const std::string& path);

// The kind a file name's extension names, compared without regard to case:
// the text after the last '.' of the last path part.
FileKind kindFromExtension(std::string_view path);

// The kind Stelp writes under the extension of `path`; Unknown when it
// writes none there.
FileKind writtenKindOf(std::string_view path);

// The kind of the file at `path`: what its first bytes say when they are a
// known signature, else what its extension names, so that the reader of
// that kind can say what is wrong with the file. Unknown, with the reason,
// when the file cannot be opened or neither names a kind.
FileKind detectFileKind(const std::string& path, std::string* why = nullptr);

// The kind whose entries carry `frameCode`: AVI (the first video kind) for 0
// or more, the still whose code it is otherwise; Unknown for a code no kind
// uses.
FileKind kindOfFrameCode(int32_t frameCode);

// The kind of a list entry of the file `path` with `frameCode`. Frames of
// every video kind carry codes of 0 or more, so a video frame's kind comes
// from the file's name: the video kind its extension names, AVI for any
// other name. A still's comes from its code alone.
FileKind kindOfEntry(std::string_view path, int32_t frameCode);

const char* kindName(FileKind kind);

}  // namespace stelp
