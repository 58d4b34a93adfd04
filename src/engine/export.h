#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/engine.h"
#include "image/export_names.h"

namespace stelp {

// Whether `path` is, in any case, the path of an entry of `images`: an AVI
// written there would overwrite a source.
bool checkFileConflict(const std::string& path, const SourceList& images);

// Writes the buffer's pixel bytes as they are (top row first, machine byte
// order): the exact form for checking results.
bool writeRawPixels(const std::string& path, const ImageBuffer& image, std::string* why);

// Number of enabled entries of a list.
int32_t enabledCount(const SourceList& list);

// What the export loop is to write.
struct ProcessedExport {
  OutputKind kind = OutputKind::None;  // None: process and show every frame, write nothing
  std::string path;                    // the one file (single frame, AVI)
  bool sequence = false;               // several frames: numbered files from `name`
  SequenceName name;
  uint32_t firstNumber = 0;
  bool sixteenBit = true;              // FITS depth
  // Called with exportPreview set, so the window shows the frame being written.
  std::function<void()> showFrame;
};

struct ExportResult {
  bool ok = true;
  int32_t written = 0;      // frames written
  std::string failedPath;   // the file that could not be written
  std::string why;
  bool aviNotOpened = false;  // the AVI file could not be created
};

// Processes every enabled entry of the Images list in turn (each entry,
// disabled ones too, becomes currentSource) and writes the frames. Stops at
// the first file that cannot be written and says which.
ExportResult saveProcessed(Engine& engine, const ProcessedExport& request);

// Writes one master frame by the extension of `path`: bitmap or FITS.
// `why` says "Unknown file format" for any other extension.
bool saveMasterFrame(const ImageBuffer& image, const std::string& path, bool sixteenBit, std::string* why);

}  // namespace stelp
