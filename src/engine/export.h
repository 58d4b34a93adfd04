#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/engine.h"
#include "image/avi.h"
#include "image/export_names.h"
#include "image/ser_writer.h"

namespace stelp {

// Whether writing any of `outputs` would overwrite the file of an entry of
// one of `lists` (images, flats and darks). Names are compared as the file
// system resolves them: after making them absolute and resolving ".", ".."
// and symbolic links, ignoring case; two names of one existing file (the
// same device and inode) conflict too. `conflict`, when given, receives the
// first output that conflicts.
bool checkFileConflict(const std::vector<std::string>& outputs, const std::array<SourceList, kRoleCount>& lists,
                       std::string* conflict = nullptr);

// Writes the buffer's pixel bytes as they are (top row first, machine byte
// order): the exact form for checking results.
bool writeRawPixels(const std::string& path, const ImageBuffer& image, std::string* why);

// Number of enabled entries of a list.
int32_t enabledCount(const SourceList& list);

// What the export loop is to write.
struct ProcessedExport {
  OutputKind kind = OutputKind::None;  // None: process and show every frame, write nothing
  std::string path;                    // the one file (single frame, AVI, SER)
  bool sequence = false;               // several frames: numbered files from `name`
  SequenceName name;
  uint32_t firstNumber = 0;
  FitsDepth depth = FitsDepth::Int16;
  // Called with each frame once it is processed, before it is written, on
  // the thread that runs the export: the window shows it.
  std::function<void(const ImageBuffer&)> showFrame;
};

// Every file `request` writes for `frames` frames: the one file, or the
// numbered files of a sequence.
std::vector<std::string> exportFileNames(const ProcessedExport& request, int32_t frames);

struct ExportResult {
  bool ok = true;
  int32_t written = 0;      // frames written
  int32_t frames = 0;       // enabled entries
  std::string failedPath;   // the file that could not be written
  std::string why;
  bool aviNotOpened = false;  // the AVI file could not be created
  bool conflict = false;      // failedPath is a source of the project: nothing was written
  bool stopped = false;       // stopped on request: `files` lists what was completed
  std::vector<std::string> files;  // the files written, in order (a video once it is complete)
  // Enabled entries whose frame could not be loaded and so was not written,
  // in list order.
  std::vector<FrameFailure> failures;
  // Enabled darks and flats that the masters had to be averaged without.
  std::vector<FrameFailure> masterFailures;

  // Every enabled frame was written, from masters of every enabled frame.
  bool complete() const { return ok && !stopped && failures.empty() && masterFailures.empty(); }
};

// One export of the processed frames: processes every enabled entry of the
// Images list in turn into a frame of its own (the engine makes the masters
// and keeps them; the frames the view shows are left alone) and writes the
// frames. A frame that does not load (or whose entry is missing) is passed
// over and listed in `failures`. Writes nothing when an output would
// overwrite a source, and stops at the first file that cannot be written and
// says which. Under a stop request (see parallel.h) it stops before the next
// frame; a video is then dropped, so the file that was there before stays.
//
// A SER video is mono in grey mode and RGB in colour mode. It is 16-bit
// (engine value x 257, rounded) when any enabled image comes from a file of
// more than 8 bits a value (a SER file of 9 to 16 bits, a FITS file of any
// BITPIX but 8), so that a deep camera's frames keep their precision, and
// 8-bit (engine value rounded) otherwise. The frames of SER sources keep
// their time stamps when every frame written has one, and the video takes
// the observer, instrument, telescope and dates of the first frame's SER
// source.
class ProcessedExporter {
 public:
  ProcessedExporter(Engine& engine, ProcessedExport request);
  ~ProcessedExporter();
  ProcessedExporter(const ProcessedExporter&) = delete;
  ProcessedExporter& operator=(const ProcessedExporter&) = delete;

  ExportResult Run();

 private:
  // Writes one processed frame of `entry` to its file or to the video;
  // false, with the failure in the result, when it could not.
  bool write(const ImageSource& entry, const ImageBuffer& frame);
  void fail(const std::string& path, const std::string& why);

  Engine& engine_;
  const ProcessedExport request_;
  ExportResult result_;
  // Opens the SER video on its first frame.
  bool openSer(const ImageSource& entry, const ImageBuffer& frame, std::string* why);
  // The time stamp of `entry`'s frame, when its file is a SER video with
  // time stamps.
  std::optional<uint64_t> timeStampOf(const ImageSource& entry);
  // The details and time stamps of the SER video `entry` reads; none for
  // another kind of file or one that cannot be read. Each file is read once.
  const SerCapture* serCaptureOf(const ImageSource& entry);

  AviWriter avi_;
  bool aviOpen_ = false;
  SerWriter ser_;
  std::vector<uint64_t> serTimeStamps_;  // one per SER frame written while every one had a stamp
  bool serTimesComplete_ = true;
  SerDepth serDepth_ = SerDepth::Eight;
  std::unordered_map<std::string, std::optional<SerCapture>> serCaptures_;  // by path
  uint32_t number_;  // of the next file of a sequence
};

ExportResult saveProcessed(Engine& engine, const ProcessedExport& request);

// Frames passed over, one indented line each ("PATH frame F: WHY" for a
// video frame, "PATH: WHY" otherwise), at most `maxLines` of them and then
// "... and K more".
std::string describeFailures(const std::vector<FrameFailure>& failures, size_t maxLines = SIZE_MAX);
// The frames an export passed over, as text for a message: a line
// "N of M frames could not be loaded:" and its frames, then the darks and
// flats the masters were made without. Empty without failures.
std::string describeFailures(const ExportResult& result, size_t maxLines = SIZE_MAX);

// The products a master command writes.
enum class MasterProduct { Dark, Flat, SyntheticFlat, HotPixels, Gradient };

// Writes one master frame by the extension of `path`: bitmap or FITS, a
// FITS file with the header cards of `product` as `engine` made it.
// `why` says "Unknown file format" for any other extension.
bool saveMasterFrame(const Engine& engine, MasterProduct product, const ImageBuffer& image, const std::string& path,
                     FitsDepth depth, std::string* why);

}  // namespace stelp
