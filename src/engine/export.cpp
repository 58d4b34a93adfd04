#include "engine/export.h"

#include <sys/stat.h>

#include <cctype>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <unordered_set>

#include "engine/parallel.h"
#include "engine/read_ahead.h"
#include "image/avi.h"
#include "image/bitmap.h"
#include "image/byte_io.h"
#include "image/file_kind.h"
#include "image/fits.h"
#include "image/ser.h"

namespace stelp {
namespace {

// How the file system tells two names of one file apart: the name with ".",
// ".." and symbolic links resolved, in lower case, and for an existing file
// its device and inode.
struct FileIdentity {
  std::string name;
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
};

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

FileIdentity identityOf(const std::string& path) {
  namespace fs = std::filesystem;
  FileIdentity id;
  std::error_code error;
  fs::path resolved = fs::absolute(path, error);
  if (error) resolved = path;
  // A name the file system cannot resolve (a loop of links, a name too long)
  // is still compared in its plain form.
  fs::path canonical = fs::weakly_canonical(resolved, error);
  id.name = lowerCase((error ? resolved.lexically_normal() : canonical).string());
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0) {
    id.exists = true;
    id.device = status.st_dev;
    id.inode = status.st_ino;
  }
  return id;
}

struct DeviceInode {
  dev_t device;
  ino_t inode;
  bool operator==(const DeviceInode&) const = default;
};
struct DeviceInodeHash {
  size_t operator()(const DeviceInode& d) const {
    return std::hash<uint64_t>()(static_cast<uint64_t>(d.inode) * 1000003u ^ static_cast<uint64_t>(d.device));
  }
};

std::string levelText(float value) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

std::string fitsScaleHistory(const Engine& engine) {
  return engine.settings().processing.fitsScale == FitsScale::Camera
             ? "FITS scale: Camera scale (linear, fixed by the data type)"
             : "FITS scale: Brightest pixel (each file normalised to its brightest value)";
}

void addHistory(FitsCards& cards, const std::string& text) {
  const FitsCards lines = fitsHistoryCards(text);
  cards.insert(cards.end(), lines.begin(), lines.end());
}

std::string averageOf(const Engine& engine, ListRole role, const char* what) {
  return "master " + std::string(what) + " of " + std::to_string(engine.AveragedCount(role)) + " frames";
}

// The header cards of a processed frame: what it is, the observation cards
// of its source when that is a FITS file, and one HISTORY card per step that
// was applied to it, as Engine::ProcessFrame applies them.
FitsCards processedCards(const Engine& engine, const ImageSource& source, const ImageBuffer& frame) {
  FitsCards cards = {fitsStringCard("IMAGETYP", "LIGHT")};
  if (source.kind() == FileKind::Fits) {
    const FitsCards observed = readFitsObservationCards(source.path);
    cards.insert(cards.end(), observed.begin(), observed.end());
  }
  const ProcessingGroup& p = engine.settings().processing;
  const DarkGroup& dark = engine.settings().dark;
  auto usable = [&](ProductBit bit) {
    const ImageBuffer* product = engine.product(bit);
    return product && product->width == frame.width && product->height == frame.height;
  };
  addHistory(cards, fitsScaleHistory(engine));
  if (p.dark && usable(kMasterDarkBit))
    addHistory(cards, "Dark subtracted: " + averageOf(engine, ListRole::Darks, "dark"));
  if (p.flat && p.synFlat && usable(kSyntheticFlatBit))
    addHistory(cards, "Divided by the synthetic flat of the " + averageOf(engine, ListRole::Flats, "flat"));
  else if (p.flat && !p.synFlat && usable(kMasterFlatBit))
    addHistory(cards, "Flat divided: " + averageOf(engine, ListRole::Flats, "flat"));
  if (p.hot && usable(kHotPixelMapBit))
    addHistory(cards, "Hot pixels repaired: dark above " + std::to_string(dark.hot) + " or below " +
                          std::to_string(dark.cold) + ", spread " + std::to_string(dark.expand));
  switch (p.deInterlace) {
    case DeInterlace::None: break;
    case DeInterlace::LightBlur: addHistory(cards, "De-interlaced: light vertical blur"); break;
    case DeInterlace::StrongBlur: addHistory(cards, "De-interlaced: strong vertical blur"); break;
    case DeInterlace::EqualiseFields: addHistory(cards, "De-interlaced: odd/even field equalisation"); break;
  }
  switch (p.stretch) {
    case StretchMode::None: break;
    case StretchMode::Percent:
      addHistory(cards, "Stretched: " + levelText(p.stretchFromRel) + "% to " + levelText(p.stretchToRel) +
                            "% of the pixels");
      break;
    case StretchMode::Levels:
      addHistory(cards, "Stretched: levels " + levelText(p.stretchFromAbs) + " to " + levelText(p.stretchToAbs));
      break;
  }
  return cards;
}

FitsCards masterCards(const Engine& engine, MasterProduct product) {
  FitsCards cards;
  switch (product) {
    case MasterProduct::Dark:
      cards = {fitsStringCard("IMAGETYP", "MASTER DARK"),
               fitsIntegerCard("NCOMBINE", engine.AveragedCount(ListRole::Darks))};
      addHistory(cards, "Combined: " + describeCombine(engine.settings().dark.combine));
      break;
    case MasterProduct::Flat:
      cards = {fitsStringCard("IMAGETYP", "MASTER FLAT"),
               fitsIntegerCard("NCOMBINE", engine.AveragedCount(ListRole::Flats))};
      addHistory(cards, "Combined: " + describeCombine(engine.settings().flat.combine));
      break;
    case MasterProduct::SyntheticFlat:
      cards = {fitsStringCard("IMAGETYP", "SYNTHETIC FLAT")};
      addHistory(cards, "Smoothed gradient of the " + averageOf(engine, ListRole::Flats, "flat"));
      break;
    case MasterProduct::HotPixels:
      cards = {fitsStringCard("IMAGETYP", "HOT PIXEL MAP")};
      addHistory(cards, "Bad pixels of the " + averageOf(engine, ListRole::Darks, "dark"));
      break;
    case MasterProduct::Gradient:
      cards = {fitsStringCard("IMAGETYP", "GRADIENT MAP")};
      addHistory(cards, "Gradient of the " + averageOf(engine, ListRole::Flats, "flat"));
      break;
  }
  addHistory(cards, fitsScaleHistory(engine));
  return cards;
}

// Whether the file of `entry` stores more than 8 bits a value: a SER video
// of 9 to 16 bits or a FITS file of any BITPIX but 8. Bitmaps and AVI
// videos hold bytes; a file that cannot be read counts as 8-bit.
bool deeperThanEightBits(const ImageSource& entry) {
  switch (entry.kind()) {
    case FileKind::Ser: {
      SerHeader header;
      return readSerHeader(entry.path, header) && header.bytesPerValue() == 2;
    }
    case FileKind::Fits: {
      FileInput input;
      FitsHeader header;
      uint64_t dataOffset = 0;
      return input.open(entry.path, nullptr) && readFitsHeader(input, header, dataOffset) && header.bitpix != 8;
    }
    default: return false;
  }
}

// 16-bit when any enabled image comes from a deeper file, 8-bit otherwise.
// Each file is looked at once, however many frames of it the list holds.
SerDepth serDepthOf(const SourceList& images) {
  std::unordered_set<std::string> seen;
  for (const auto& entry : images.entries)
    if (entry && entry->enabled && !entry->missing && seen.insert(entry->path).second && deeperThanEightBits(*entry))
      return SerDepth::Sixteen;
  return SerDepth::Eight;
}

}  // namespace

bool writeRawPixels(const std::string& path, const ImageBuffer& image, std::string* why) {
  FileOutput out;
  if (!out.create(path, why)) return false;
  out.write(image.pixels.get(), image.pixelBytes());
  return out.close(why);
}

bool checkFileConflict(const std::vector<std::string>& outputs, const std::array<SourceList, kRoleCount>& lists,
                       std::string* conflict) {
  // Each file is resolved once, however many entries (video frames) name it.
  std::unordered_set<std::string> paths, names;
  std::unordered_set<DeviceInode, DeviceInodeHash> files;
  for (const SourceList& list : lists)
    for (const auto& entry : list.entries)
      if (entry && paths.insert(entry->path).second) {
        const FileIdentity id = identityOf(entry->path);
        names.insert(id.name);
        if (id.exists) files.insert({id.device, id.inode});
      }
  for (const std::string& output : outputs) {
    const FileIdentity id = identityOf(output);
    if (names.count(id.name) == 0 && !(id.exists && files.count({id.device, id.inode}) != 0)) continue;
    if (conflict) *conflict = output;
    return true;
  }
  return false;
}

std::vector<std::string> exportFileNames(const ProcessedExport& request, int32_t frames) {
  if (request.kind == OutputKind::None) return {};
  if (!request.sequence || isVideoOutput(request.kind)) return {request.path};
  std::vector<std::string> names;
  uint32_t number = request.firstNumber;
  for (int32_t i = 0; i < frames; ++i) names.push_back(sequenceFileName(request.name, number++, request.kind));
  return names;
}

int32_t enabledCount(const SourceList& list) {
  int32_t n = 0;
  for (const auto& entry : list.entries)
    if (entry && entry->enabled) ++n;
  return n;
}

ProcessedExporter::ProcessedExporter(Engine& engine, ProcessedExport request)
    : engine_(engine), request_(std::move(request)), number_(request_.firstNumber) {}

ProcessedExporter::~ProcessedExporter() = default;

void ProcessedExporter::fail(const std::string& path, const std::string& why) {
  result_.ok = false;
  result_.failedPath = path;
  result_.why = why;
}

const SerCapture* ProcessedExporter::serCaptureOf(const ImageSource& entry) {
  if (entry.kind() != FileKind::Ser) return nullptr;
  auto [at, added] = serCaptures_.try_emplace(entry.path);
  if (added) {
    SerCapture capture;
    if (readSerCapture(entry.path, capture)) at->second = std::move(capture);
  }
  return at->second ? &*at->second : nullptr;
}

std::optional<uint64_t> ProcessedExporter::timeStampOf(const ImageSource& entry) {
  const SerCapture* capture = serCaptureOf(entry);
  if (!capture || entry.frameCode < 0 || static_cast<size_t>(entry.frameCode) >= capture->timeStamps.size())
    return std::nullopt;
  return capture->timeStamps[static_cast<size_t>(entry.frameCode)];
}

bool ProcessedExporter::openSer(const ImageSource& entry, const ImageBuffer& frame, std::string* why) {
  const SerCapture* capture = serCaptureOf(entry);
  return openSerWriter(ser_, request_.path, serLayoutOf(frame, serDepth_), capture ? capture->details : SerDetails{},
                       why);
}

bool ProcessedExporter::write(const ImageSource& entry, const ImageBuffer& frame) {
  std::string path = request_.path;
  if (request_.sequence && !isVideoOutput(request_.kind))
    path = sequenceFileName(request_.name, number_, request_.kind);
  std::string why;
  bool written = true;
  switch (request_.kind) {
    case OutputKind::Avi:
      if (!aviOpen_) {
        if (!openAviWriter(avi_, request_.path, frame, &why)) {
          result_.aviNotOpened = true;
          fail(request_.path, why);
          return false;
        }
        aviOpen_ = true;
      }
      written = writeAviFrame(avi_, frame, &why);
      break;
    case OutputKind::Ser:
      if (!ser_.output && !openSer(entry, frame, &why)) {
        fail(request_.path, why);
        return false;
      }
      written = writeSerFrame(ser_, frame, &why);
      if (!written || !serTimesComplete_) break;
      // One frame without a stamp and the video has none: a trailer holds
      // a stamp for every frame or is left out.
      if (const std::optional<uint64_t> stamp = timeStampOf(entry)) {
        serTimeStamps_.push_back(*stamp);
      } else {
        serTimesComplete_ = false;
        serTimeStamps_.clear();
      }
      break;
    case OutputKind::Bitmap: written = writeBitmap(path, frame, &why); break;
    case OutputKind::Fits:
      written = writeFits(path, frame, request_.depth, &why, processedCards(engine_, entry, frame));
      break;
    case OutputKind::Raw: written = writeRawPixels(path, frame, &why); break;
    case OutputKind::None: break;
  }
  if (!written) {
    fail(path, why);
    return false;
  }
  if (request_.kind != OutputKind::None) ++result_.written;
  if (request_.kind != OutputKind::None && !isVideoOutput(request_.kind)) result_.files.push_back(path);
  if (request_.sequence) ++number_;
  return true;
}

ExportResult ProcessedExporter::Run() {
  const ArrayReuse reuse;  // every frame is read and processed at one size
  Progress& progress = engine_.progress();
  progress.BeginWait();
  const SourceList& images = engine_.list(ListRole::Images);
  const int32_t frames = enabledCount(images);
  result_ = ExportResult();
  result_.frames = frames;
  std::string conflict;
  if (checkFileConflict(exportFileNames(request_, frames), engine_.lists(), &conflict)) {
    result_.conflict = true;
    fail(conflict, "is a source of the project");
    progress.EndWait();
    return result_;
  }
  if (request_.kind == OutputKind::Ser) serDepth_ = serDepthOf(images);

  int32_t counter = 1;
  // The masters first; then the frames are loaded and calibrated a few ahead
  // on a thread of their own while the current one is written.
  engine_.PrepareProcessing();
  std::vector<int32_t> present;
  for (int32_t i = 0; i < images.size(); ++i)
    if (const ImageSource* entry = images.entry(i); entry && entry->enabled && !entry->missing) present.push_back(i);
  const bool small = engine_.SmallFrames();
  std::optional<FrameReadAhead> ahead;
  if (engine_.threads() > 1 && present.size() > 1 && !small)
    ahead.emplace(present, kFramesAhead, [this, &images](int32_t i, ImageSlot& slot, std::string& why) {
      // The calling thread encodes and writes meanwhile: the calibration
      // takes the other threads.
      if (engine_.LoadForProcessing(*images.entry(i), slot, &why))
        engine_.CalibrateLoadedFrame(slot, std::max(1, engine_.threads() - 1), &why);
    });
  ImageSlot frame;
  for (int32_t i = 0; i < images.size(); ++i) {
    if (stopRequested()) break;
    const ImageSource* entry = images.entry(i);
    if (!entry || !entry->enabled) continue;
    engine_.SetStatus();
    engine_.SetStatus("Writing frame " + std::to_string(counter) + " of " + std::to_string(frames));
    progress.Step(counter, frames);
    ++counter;
    std::string loadWhy = "the file was not found when the project was opened";
    bool processed = false;
    if (!entry->missing) {
      FrameReadAhead::Loaded loaded;
      if (ahead) {
        if (!ahead->next(loaded)) break;  // stopped
        frame = std::move(loaded.frame);
        if (!frame) loadWhy = loaded.why;
        processed = frame != nullptr;
      } else {
        processed = engine_.LoadForProcessing(*entry, frame, &loadWhy) &&
                    engine_.ProcessLoadedFrame(frame, &loadWhy, small ? 1 : engine_.threads());
      }
    }
    if (!processed) {
      if (stopRequested()) break;
      result_.failures.push_back({entry->path, entry->frameCode, loadWhy});
      continue;
    }
    if (request_.showFrame) request_.showFrame(*frame);
    if (!write(*entry, *frame)) break;
  }
  result_.stopped = stopRequested();
  // A video whose frame could not be written, or whose export was stopped,
  // is dropped unclosed, so the file that was there before stays as it was.
  if (aviOpen_ && result_.ok && !result_.stopped) {
    std::string why;
    if (closeAviWriter(avi_, &why))
      result_.files.push_back(request_.path);
    else
      fail(request_.path, why);
  }
  if (ser_.output && result_.ok && !result_.stopped) {
    std::string why;
    if (closeSerWriter(ser_, serTimeStamps_, &why))
      result_.files.push_back(request_.path);
    else
      fail(request_.path, why);
  }
  result_.masterFailures = engine_.MasterFailures();
  progress.EndWait();
  return result_;
}

ExportResult saveProcessed(Engine& engine, const ProcessedExport& request) {
  return ProcessedExporter(engine, request).Run();
}

std::string describeFailures(const std::vector<FrameFailure>& failures, size_t maxLines) {
  std::string text;
  for (size_t i = 0; i < failures.size(); ++i) {
    if (i == maxLines) {
      text += "  ... and " + std::to_string(failures.size() - i) + " more\n";
      break;
    }
    const FrameFailure& f = failures[i];
    text += "  " + f.path;
    if (f.frameCode >= 0) text += " frame " + std::to_string(f.frameCode);
    text += ": " + f.why + "\n";
  }
  return text;
}

std::string describeFailures(const ExportResult& result, size_t maxLines) {
  std::string text;
  if (!result.failures.empty())
    text += std::to_string(result.failures.size()) + " of " + std::to_string(result.frames) +
            " frames could not be loaded:\n" + describeFailures(result.failures, maxLines);
  if (!result.masterFailures.empty())
    text += "The masters were made without these darks and flats:\n" +
            describeFailures(result.masterFailures, maxLines);
  return text;
}

bool saveMasterFrame(const Engine& engine, MasterProduct product, const ImageBuffer& image, const std::string& path,
                     FitsDepth depth, std::string* why) {
  switch (outputKindOf(path)) {
    case OutputKind::Bitmap: return writeBitmap(path, image, why);
    case OutputKind::Fits: return writeFits(path, image, depth, why, masterCards(engine, product));
    default: return refuse(why, "Unknown file format");
  }
}

}  // namespace stelp
