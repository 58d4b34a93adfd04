#include "engine/export.h"

#include <cctype>
#include <cstdio>

#include "image/avi.h"
#include "image/bitmap.h"
#include "image/byte_io.h"
#include "image/file_kind.h"
#include "image/fits.h"

namespace stelp {
namespace {

// Ends the export loop's state however it ends: no preview, cursor back.
class ExportScope {
 public:
  ExportScope(Engine& engine, Progress& progress) : engine_(engine), progress_(progress) { progress_.BeginWait(); }
  ~ExportScope() {
    engine_.exportPreview = nullptr;
    progress_.EndWait();
  }
  ExportScope(const ExportScope&) = delete;
  ExportScope& operator=(const ExportScope&) = delete;

 private:
  Engine& engine_;
  Progress& progress_;
};

}  // namespace

bool writeRawPixels(const std::string& path, const ImageBuffer& image, std::string* why) {
  FileOutput out;
  if (!out.create(path, why)) return false;
  out.write(image.pixels.get(), image.pixelBytes());
  return out.close(why);
}

bool checkFileConflict(const std::string& path, const SourceList& images) {
  for (const auto& entry : images.entries)
    if (entry && equalsIgnoringCase(entry->path, path)) return true;
  return false;
}

int32_t enabledCount(const SourceList& list) {
  int32_t n = 0;
  for (const auto& entry : list.entries)
    if (entry && entry->enabled) ++n;
  return n;
}

ExportResult saveProcessed(Engine& engine, const ProcessedExport& request) {
  ExportResult result;
  SourceList& images = engine.list(ListRole::Images);
  const int32_t frames = enabledCount(images);
  ExportScope scope(engine, engine.progress());
  AviWriter avi;
  bool aviOpen = false;
  uint32_t number = request.firstNumber;
  int32_t counter = 1;
  auto fail = [&](const std::string& path, const std::string& why) {
    result.ok = false;
    result.failedPath = path;
    result.why = why;
  };

  for (const auto& entry : images.entries) {
    engine.currentSource = entry.get();
    if (!entry || !entry->enabled) continue;
    engine.SetStatus();
    engine.SetStatus("Writing frame " + std::to_string(counter) + " of " + std::to_string(frames));
    engine.progress().Step(counter, frames);
    engine.ProcessImage();
    if (!engine.processedFrame) continue;
    const ImageBuffer& frame = *engine.processedFrame;
    engine.exportPreview = &frame;
    if (request.showFrame) request.showFrame();

    std::string path = request.path;
    if (request.sequence && request.kind != OutputKind::Avi) path = sequenceFileName(request.name, number, request.kind);
    std::string why;
    bool written = true;
    switch (request.kind) {
      case OutputKind::Avi:
        if (!aviOpen) {
          if (!openAviWriter(avi, request.path, frame, &why)) {
            result.aviNotOpened = true;
            fail(request.path, why);
            return result;
          }
          aviOpen = true;
        }
        written = writeAviFrame(avi, frame, &why);
        break;
      case OutputKind::Bitmap: written = writeBitmap(path, frame, &why); break;
      case OutputKind::Fits: written = writeFits(path, frame, request.sixteenBit, &why); break;
      case OutputKind::Raw: written = writeRawPixels(path, frame, &why); break;
      case OutputKind::None: break;
    }
    engine.exportPreview = nullptr;
    if (!written) {
      fail(path, why);
      break;
    }
    if (request.kind != OutputKind::None) ++result.written;
    if (request.sequence) ++number;
    ++counter;
  }
  if (aviOpen) {
    std::string why;
    // A failed frame has already ended the export; the file is still closed
    // so that the frames before it stay readable.
    if (!closeAviWriter(avi, &why) && result.ok) fail(request.path, why);
  }
  if (request.showFrame) request.showFrame();
  return result;
}

bool saveMasterFrame(const ImageBuffer& image, const std::string& path, bool sixteenBit, std::string* why) {
  switch (outputKindOf(path)) {
    case OutputKind::Bitmap: return writeBitmap(path, image, why);
    case OutputKind::Fits: return writeFits(path, image, sixteenBit, why);
    default: return refuse(why, "Unknown file format");
  }
}

}  // namespace stelp
