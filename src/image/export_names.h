#pragma once

#include <cstdint>
#include <string>

#include "fits_options.h"

namespace stelp {

// What an export writes, from the chosen file name's extension (any case):
// "bmp"; "fit", "fts", "fits"; "avi"; "ser". Raw float dumps are asked for by
// the command line only.
enum class OutputKind { None, Bitmap, Fits, Avi, Raw, Ser };
OutputKind outputKindOf(const std::string& path);

// A video takes every frame of an export into one file; the other kinds
// write a file per frame.
inline bool isVideoOutput(OutputKind kind) { return kind == OutputKind::Avi || kind == OutputKind::Ser; }

// The export dialogs' filter index decides only the FITS depth: the third
// filter is 32-bit FITS, the float filter (added after "All Files", so the
// indices stored before keep their meaning: 6 for processed frames, 5 for
// masters) 32-bit float, every other one 16-bit.
inline constexpr int kProcessedFloatFilter = 6;
inline constexpr int kMasterFloatFilter = 5;
inline FitsDepth fitsDepthOfFilter(int filterIndex, int floatFilter) {
  if (filterIndex == 3) return FitsDepth::Int32;
  return filterIndex == floatFilter ? FitsDepth::Float32 : FitsDepth::Int16;
}

// A numbered sequence made from a chosen name: "moon.bmp" gives base "moon",
// separator "_" and initial number 0; "m42.bmp" gives base "m", no separator
// and 42. The extension is kept as typed.
struct SequenceName {
  std::string base;
  std::string separator;
  uint32_t initialNumber = 0;
  std::string extension;  // without the dot
};
SequenceName sequenceNameOf(const std::string& path);

// The file of sequence number `number`: "%s%s%03u.bmp" for bitmaps, the
// extension as typed for every other kind.
std::string sequenceFileName(const SequenceName& name, uint32_t number, OutputKind kind);

}  // namespace stelp
