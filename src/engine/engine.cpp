#include "engine/engine.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "engine/bayer.h"
#include "engine/gradient.h"
#include "engine/parallel.h"
#include "engine/pipeline.h"
#include "engine/read_ahead.h"
#include "image/fits.h"
#include "image/ser.h"

namespace stelp {
namespace {

// The value a FITS or SER source's integers reach at full white on the
// camera's scale; 0 for any other source or scale, and for float data,
// whose scale depends on the values.
double cameraFullScale(const ImageSource& source, FitsScale scale) {
  if (scale != FitsScale::Camera) return 0;
  if (source.kind() == FileKind::Fits) {
    FileInput input;
    FitsHeader header;
    uint64_t dataOffset = 0;
    if (!input.open(source.path, nullptr) || !readFitsHeader(input, header, dataOffset)) return 0;
    if (header.bitpix == 8) return 255;
    if (header.bitpix == 16) return 65535;
    if (header.bitpix == 32) return 4294967295.0;
    return 0;
  }
  if (source.kind() == FileKind::Ser) {
    SerHeader header;
    if (!readSerHeader(source.path, header)) return 0;
    return static_cast<double>((uint32_t{1} << header.depth) - 1);
  }
  return 0;
}

constexpr char kReady[] = "Ready";

// The status text while a master is made of `what` ("darks", "flats").
std::string combiningText(const CombineGroup& combine, const char* what) {
  switch (combine.method) {
    case CombineMethod::Average: break;
    case CombineMethod::Median: return std::string("Median of ") + what;
    case CombineMethod::SigmaClip: return std::string("Sigma clipping ") + what;
  }
  return std::string("Averaging ") + what;
}

// Why a frame does not join an average begun with a frame of another kind.
std::string mosaicMismatch(BayerPattern frame, BayerPattern first) {
  const std::string name = bayerName(frame), firstName = bayerName(first);
  if (first == BayerPattern::None) return "a Bayer mosaic (" + name + "), unlike the other frames";
  if (frame == BayerPattern::None) return "not a Bayer mosaic like the other frames (" + firstName + ")";
  return "Bayer pattern " + name + ", not the " + firstName + " of the other frames";
}

// Shows the wait cursor for as long as it lives.
class WaitCursor {
 public:
  explicit WaitCursor(Progress& progress) : progress_(progress) { progress_.BeginWait(); }
  ~WaitCursor() { progress_.EndWait(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;

 private:
  Progress& progress_;
};

}  // namespace

// Marks `bit` as the product being made while it lives; the product made
// around it before (an input computed first) is marked again afterwards.
class ComputingScope {
 public:
  ComputingScope(Engine& engine, ProductSet bit) : engine_(engine), previous_(engine.computing_.exchange(bit)) {}
  ~ComputingScope() { engine_.computing_ = previous_; }
  ComputingScope(const ComputingScope&) = delete;
  ComputingScope& operator=(const ComputingScope&) = delete;

 private:
  Engine& engine_;
  ProductSet previous_;
};

Engine::Engine(Progress* progress)
    : threads_(defaultThreadCount()), progress_(progress ? progress : &defaultProgress_), status_(kReady) {}

PixelFormat Engine::floatFormat() const {
  return settings_.processing.colour ? PixelFormat::BgrFloat : PixelFormat::GrayFloat;
}

PixelFormat Engine::calibrationFormat(const ImageSource* source) const {
  return source && source->bayer != BayerPattern::None ? PixelFormat::GrayFloat : floatFormat();
}

// Whether a loaded frame or a product has the common frame size (files can
// change on disk after they were imported).
bool Engine::fitsFrame(const ImageBuffer* image) const {
  if (!image) return false;
  return frameSize_.width < 0 || (image->width == frameSize_.width && image->height == frameSize_.height);
}

bool Engine::Interrupted() const { return stopRequested() || yield_.load(); }

ProductSet Engine::NeededFor(int32_t role, int32_t view) const {
  if (view == 0) return kRawFrameBit;
  const ProcessingGroup& p = settings_.processing;
  switch (role) {
    case static_cast<int32_t>(ListRole::Images): {
      if (view != ImagesProcessed) return 0;
      ProductSet needed = kRawFrameBit | kProcessedFrameBit;
      if (p.dark || p.hot) needed |= kMasterDarkBit;
      if (p.hot) needed |= kHotPixelMapBit;
      if (p.flat) needed |= p.synFlat ? kMasterFlatBit | kGradientMapBit | kSyntheticFlatBit : kMasterFlatBit;
      return needed;
    }
    case static_cast<int32_t>(ListRole::Flats):
      if (view == FlatsAveraged) return kMasterFlatBit;
      if (view == FlatsGradient) return kMasterFlatBit | kGradientMapBit;
      if (view == FlatsSynthetic) return kMasterFlatBit | kGradientMapBit | kSyntheticFlatBit;
      return 0;
    case static_cast<int32_t>(ListRole::Darks):
      if (view == DarksAveraged) return kMasterDarkBit;
      if (view == DarksHotPixels) return kMasterDarkBit | kHotPixelMapBit;
      return 0;
    default:
      return 0;
  }
}

bool Engine::load(const ImageSource* source, ImageSlot& slot, PixelFormat format, std::string* why) {
  if (loader_) return loader_(source, slot, format, why);
  return loadFrame(source, slot, format, why, settings_.processing.fitsScale);
}

const ImageBuffer* Engine::product(ProductBit bit) const {
  switch (bit) {
    case kRawFrameBit: return rawFrame_.get();
    case kProcessedFrameBit: return processedFrame_.get();
    case kMasterDarkBit: return masterDark_.get();
    case kMasterFlatBit: return masterFlat_.get();
    case kHotPixelMapBit: return hotPixelMap_.get();
    case kGradientMapBit: return gradientMap_.get();
    case kSyntheticFlatBit: return syntheticFlat_.get();
  }
  return nullptr;
}

void Engine::SetStatus(const std::string& text) {
  if (text.empty()) {
    status_ = kReady;
  } else {
    if (status_ != kReady) return;
    status_ = text;
  }
  progress_->ShowStatus(status_);
}

void Engine::averageList(ListRole role, ImageSlot& target, ProductBit bit, const std::string& statusText) {
  target.reset();
  if (Interrupted()) return;
  ComputingScope computing(*this, bit);
  const SourceList& list = lists_[index(role)];
  std::vector<FrameFailure>& passedOver = passedOver_[index(role)];
  passedOver.clear();
  averaged_[index(role)] = 0;
  const int32_t count = list.size();
  if (count == 0) return;
  SetStatus(statusText);
  WaitCursor wait(*progress_);
  const CombineGroup& combine = role == ListRole::Darks ? settings_.dark.combine : settings_.flat.combine;
  if (combine.method != CombineMethod::Average) {
    combineList(role, target, combine);
    return;
  }
  // The enabled frames are loaded in list order, a few ahead on a thread of
  // their own when more than one thread may work and the frames are not
  // small, while the caller adds up the frames already loaded (on the
  // threads the loader leaves); the sum keeps the list order.
  std::vector<int32_t> enabled;
  for (int32_t i = 0; i < count; ++i)
    if (const ImageSource* source = list.entry(i); source && source->enabled) enabled.push_back(i);
  auto loadEntry = [&](int32_t i, ImageSlot& slot, std::string& why) {
    const ImageSource* source = list.entry(i);
    load(source, slot, calibrationFormat(source), &why);
  };
  // Frames whose reader can add them to the sum as it reads them (FITS,
  // AVI, SER) are added that way after the first, on this thread: the sum
  // then takes one pass over memory per frame instead of a stored frame's
  // three, and the sums are the same. A frame the reader does not add is
  // loaded, and passed over or added as before.
  const bool adding = !loader_ && std::all_of(enabled.begin(), enabled.end(), [&](int32_t i) {
    return addsWithoutLoading(*list.entry(i));
  });
  // Frames of one size follow each other: their arrays are reused.
  const ArrayReuse reuse;
  std::optional<FrameReadAhead> ahead;
  const bool small = SmallFrames();
  if (threads_ > 1 && enabled.size() > 1 && !small && !adding) ahead.emplace(enabled, kFramesAhead, loadEntry);
  const int addThreads = small ? 1 : ahead ? std::max(1, threads_ - 1) : threads_;
  int32_t n = 0;
  for (int32_t i = 0; i < count; ++i) {
    if (stopRequested()) break;
    progress_->Step(i + 1, count);
    const ImageSource* source = list.entry(i);
    if (!source || !source->enabled) continue;
    if (adding && target && calibrationFormat(source) == target->format &&
        addFrameTo(*source, *target, settings_.processing.fitsScale)) {
      ++n;
      continue;
    }
    FrameReadAhead::Loaded loaded;
    if (ahead) {
      if (!ahead->next(loaded)) break;  // stopped
    } else {
      loadEntry(i, loaded.frame, loaded.why);
    }
    // A frame that does not load (or no longer has the frame size) is passed
    // over, does not count, and is listed.
    auto passOver = [&](const std::string& why) {
      if (!source->missing) passedOver.push_back({source->path, source->frameCode, why.empty() ? "cannot be read" : why});
    };
    ImageSlot& frame = loaded.frame;
    if (!frame) {
      passOver(loaded.why);
      continue;
    }
    if (!target) {
      if (!fitsFrame(frame.get())) {
        passOver("the frame is not of the size of the other frames");
        continue;
      }
      target = std::move(frame);
    } else {
      if (frame->width != target->width || frame->height != target->height) {
        passOver("the frame is not of the size of the other frames");
        continue;
      }
      if (frame->format != target->format || frame->bayer != target->bayer) {
        passOver(mosaicMismatch(frame->bayer, target->bayer));
        continue;
      }
      addFrame(*target, *frame, addThreads);
    }
    ++n;
  }
  ahead.reset();
  if (n >= 2) scaleByReciprocal(*target, n, threads_);
  if (stopRequested()) {
    target.reset();
    passedOver.clear();
    n = 0;
  }
  averaged_[index(role)] = n;
}

void Engine::combineList(ListRole role, ImageSlot& target, const CombineGroup& combine) {
  const ArrayReuse reuse;
  CombineJob job;
  for (const auto& entry : lists_[index(role)].entries)
    if (entry && entry->enabled) job.frames.push_back(entry.get());
  job.frameSize = frameSize_;
  job.combine = combine;
  job.memory = combineMemory_;
  job.spillFolder = spillFolder_;
  job.threads = threads_;
  job.progress = progress_;
  job.load = [this](const ImageSource* source, ImageSlot& slot, std::string* why) {
    return load(source, slot, calibrationFormat(source), why);
  };
  job.mismatch = mosaicMismatch;
  CombineOutcome outcome = combineFrames(job);
  if (stopRequested()) return;
  std::vector<FrameFailure>& passedOver = passedOver_[index(role)];
  for (const CombineFailure& failure : outcome.passedOver) {
    const ImageSource* source = job.frames[static_cast<size_t>(failure.frame)];
    if (!source->missing)
      passedOver.push_back({source->path, source->frameCode, failure.why.empty() ? "cannot be read" : failure.why});
  }
  target = std::move(outcome.master);
  averaged_[index(role)] = target ? outcome.combined : 0;
}

std::vector<FrameFailure> Engine::MasterFailures() const {
  const ProcessingGroup& p = settings_.processing;
  std::vector<FrameFailure> failures;
  auto add = [&](ListRole role) {
    const auto& list = PassedOver(role);
    failures.insert(failures.end(), list.begin(), list.end());
  };
  if (p.dark || p.hot) add(ListRole::Darks);
  if (p.flat) add(ListRole::Flats);
  return failures;
}

void Engine::AverageDarks() {
  processedFrame_.reset();
  averageList(ListRole::Darks, masterDark_, kMasterDarkBit, combiningText(settings_.dark.combine, "darks"));
}

void Engine::AverageFlats() {
  processedFrame_.reset();
  averageList(ListRole::Flats, masterFlat_, kMasterFlatBit, combiningText(settings_.flat.combine, "flats"));
  if (masterFlat_) masterFlatMean_ = channelMeans(*masterFlat_);
}

void Engine::LocateHotPixels() {
  hotPixelMap_.reset();
  if (!masterDark_) AverageDarks();
  if (!masterDark_ || Interrupted()) return;
  ComputingScope computing(*this, kHotPixelMapBit);
  SetStatus("Locating hot pixels");
  WaitCursor wait(*progress_);
  auto map = std::make_unique<ImageBuffer>();
  locateHotPixels(*masterDark_, settings_.dark, *map);
  hotPixelMap_ = map->pixels && !stopRequested() ? std::move(map) : nullptr;
}

void Engine::DetectGradient() {
  gradientMap_.reset();
  if (!masterFlat_) AverageFlats();
  if (!masterFlat_ || Interrupted()) return;
  ComputingScope computing(*this, kGradientMapBit);
  SetStatus("Gradient detection");
  WaitCursor wait(*progress_);
  auto map = std::make_unique<ImageBuffer>();
  if (masterFlat_->bayer != BayerPattern::None)
    detectMosaicGradient(*masterFlat_, settings_.flat, *map, threads_);
  else
    detectGradient(*masterFlat_, settings_.flat, *map, threads_);
  gradientMap_ = map->pixels && !stopRequested() ? std::move(map) : nullptr;
}

void Engine::SmoothGradient() {
  syntheticFlat_.reset();
  if (!gradientMap_) DetectGradient();
  if (!gradientMap_ || !masterFlat_ || Interrupted()) return;
  ComputingScope computing(*this, kSyntheticFlatBit);
  SetStatus("Smoothing gradient");
  WaitCursor wait(*progress_);
  auto synthetic = std::make_unique<ImageBuffer>();
  std::array<float, 3> mean{0.0f, 0.0f, 0.0f};
  if (masterFlat_->bayer != BayerPattern::None)
    smoothMosaicGradient(*masterFlat_, *gradientMap_, settings_.flat, *synthetic, mean, threads_);
  else
    smoothGradient(*masterFlat_, *gradientMap_, settings_.flat, *synthetic, mean, threads_);
  if (!synthetic->pixels || stopRequested()) return;
  syntheticFlat_ = std::move(synthetic);
  syntheticFlatMean_ = mean;
}

const ImageBuffer* Engine::Make(ProductBit bit) {
  if (!product(bit)) {
    switch (bit) {
      case kMasterDarkBit: AverageDarks(); break;
      case kMasterFlatBit: AverageFlats(); break;
      case kHotPixelMapBit: LocateHotPixels(); break;
      case kGradientMapBit: DetectGradient(); break;
      case kSyntheticFlatBit: SmoothGradient(); break;
      case kRawFrameBit:
      case kProcessedFrameBit: break;
    }
  }
  return product(bit);
}

void Engine::PrepareProcessing() {
  const ProcessingGroup& p = settings_.processing;
  if (!masterDark_ && p.dark) AverageDarks();
  if (!hotPixelMap_ && p.hot) LocateHotPixels();
  if (!masterFlat_ && p.flat && !p.synFlat) AverageFlats();
  if (!syntheticFlat_ && p.flat && p.synFlat) SmoothGradient();
}

bool Engine::LoadForProcessing(const ImageSource& source, ImageSlot& frame, std::string* why) {
  std::string reason;
  // A load that fails leaves the slot as it was: emptied first, the slot
  // cannot pass the previous frame off as this one.
  frame.reset();
  load(&source, frame, calibrationFormat(&source), &reason);
  if (frame) return true;
  if (why) *why = reason.empty() ? "the frame could not be loaded" : reason;
  return false;
}

bool Engine::ProcessFrame(const ImageSource& source, ImageSlot& out, std::string* why) {
  PrepareProcessing();
  out.reset();
  if (Interrupted()) {
    if (why) *why = "stopped";
    return false;
  }
  ComputingScope computing(*this, kProcessedFrameBit);
  return LoadForProcessing(source, out, why) && ProcessLoadedFrame(out, why);
}

bool Engine::ProcessLoadedFrame(ImageSlot& out, std::string* why, int threads) {
  if (!out || Interrupted()) {
    out.reset();
    if (why) *why = "stopped";
    return false;
  }
  ComputingScope computing(*this, kProcessedFrameBit);
  SetStatus("Processing image");
  WaitCursor wait(*progress_);
  // The view's processed frame keeps its levels before the stretch, for the
  // histogram that shows where the stretch cuts.
  return calibrate(out, why, threads > 0 ? threads : threads_, progress_,
                   &out == &processedFrame_ ? &processedLevels_ : nullptr);
}

bool Engine::CalibrateLoadedFrame(ImageSlot& out, int threads, std::string* why) const {
  if (!out || Interrupted()) {
    out.reset();
    if (why) *why = "stopped";
    return false;
  }
  return calibrate(out, why, threads, nullptr, nullptr);
}

bool Engine::calibrate(ImageSlot& out, std::string* why, int threads, Progress* progress,
                       std::array<uint32_t, 256>* levels) const {
  const ProcessingGroup& p = settings_.processing;
  const ImageBuffer* flat = p.synFlat ? syntheticFlat_.get() : masterFlat_.get();
  const std::array<float, 3>& means = p.synFlat ? syntheticFlatMean_ : masterFlatMean_;
  ImageBuffer& frame = *out;
  // A product made for other frames is not applied: of another size, or a
  // mosaic master in a night that mixes mosaics with colour frames.
  auto usable = [&](const ImageBuffer* product) {
    return product && product->width == frame.width && product->height == frame.height ? product : nullptr;
  };
  auto sameFormat = [&](const ImageBuffer* product) {
    return product && product->format == frame.format ? usable(product) : nullptr;
  };
  const ImageBuffer* dark = p.dark ? sameFormat(masterDark_.get()) : nullptr;
  const ImageBuffer* divisor = p.flat ? sameFormat(flat) : nullptr;
  const ImageBuffer* map = p.hot ? usable(hotPixelMap_.get()) : nullptr;
  const bool mosaic = frame.bayer != BayerPattern::None;
  auto noMemory = [&] {
    out.reset();
    if (why) *why = "not enough memory to process the frame";
    return false;
  };

  constexpr int kSteps = 4;
  auto step = [progress](int done) {
    if (progress) progress->Step(done, kSteps);
  };
  step(1);
  subtractDarkDivideFlat(frame, dark, divisor, means, threads);
  step(2);
  if (map && !mosaic) repairHotPixels(frame, *map, settings_.dark.expand, threads);
  if (map && mosaic && !repairMosaicHotPixels(frame, *map, settings_.dark.expand, threads)) return noMemory();
  // A mosaic is calibrated as it is; the steps after work on its colours.
  if (mosaic && p.colour) {
    ImageSlot colour = std::make_unique<ImageBuffer>();
    if (!demosaicBilinear(frame, *colour, threads)) return noMemory();
    out = std::move(colour);
  }
  step(3);
  switch (p.deInterlace) {
    case DeInterlace::None: break;
    case DeInterlace::LightBlur: blurRows(*out, /*strong=*/false); break;
    case DeInterlace::StrongBlur: blurRows(*out, /*strong=*/true); break;
    case DeInterlace::EqualiseFields: EqualiseFields(*out); break;
  }
  step(4);
  if (levels) {
    *levels = {};
    const int channels = isColourFormat(out->format) ? 3 : 1;
    for (int32_t y = 0; y < out->height; ++y) {
      const float* row = reinterpret_cast<const float*>(out->row(y));
      for (int32_t x = 0; x < out->width; ++x, row += channels) {
        const float level = channels == 1 ? row[0] : luminance(row[0], row[1], row[2]);
        ++(*levels)[static_cast<size_t>(std::clamp(truncSaturate<int32_t>(level), 0, 255))];
      }
    }
  }
  switch (p.stretch) {
    case StretchMode::None: break;
    case StretchMode::Percent: stretchPercent(*out, p.stretchFromRel, p.stretchToRel, threads); break;
    case StretchMode::Levels: stretchLevels(*out, p.stretchFromAbs, p.stretchToAbs, threads); break;
  }
  if (stopRequested()) {
    out.reset();
    if (why) *why = "stopped";
    return false;
  }
  return true;
}

void Engine::dropListProducts(ListRole role) {
  if (role == ListRole::Flats) {
    masterFlat_.reset();
    gradientMap_.reset();
    syntheticFlat_.reset();
    processedFrame_.reset();
  } else if (role == ListRole::Darks) {
    masterDark_.reset();
    hotPixelMap_.reset();
    processedFrame_.reset();
  }
}

void Engine::forgetShown() {
  shownColour_.reset();
  rawValues_.reset();
  cameraMax_ = 0;
  rawFrame_.reset();
  processedFrame_.reset();
  shownEntry_ = 0;
  shownRole_ = shownView_ = -1;
}

void Engine::AppendEntries(ListRole role, std::vector<std::unique_ptr<ImageSource>> entries) {
  SourceList& l = lists_[index(role)];
  for (auto& entry : entries) l.entries.push_back(std::move(entry));
  dropListProducts(role);
}

void Engine::RemoveEntries(ListRole role, int32_t row, int32_t count) {
  SourceList& l = lists_[index(role)];
  const int32_t end = std::min(row + count, l.size());
  if (row < 0 || row >= end) return;
  // The entries are released from the last to the first.
  for (int32_t i = end - 1; i >= row; --i) l.entries[static_cast<size_t>(i)].reset();
  l.entries.erase(l.entries.begin() + row, l.entries.begin() + end);
  if (l.focused >= end)
    l.focused -= end - row;
  else if (l.focused >= row)
    l.focused = -1;
  dropListProducts(role);
  for (const SourceList& other : lists_)
    if (other.size() > 0) return;
  frameSize_ = FrameSize();
}

void Engine::SetEnabled(ListRole role, int32_t row, bool enabled) {
  SourceList& l = lists_[index(role)];
  if (row < 0 || row >= l.size() || !l.entries[static_cast<size_t>(row)]) return;
  l.entries[static_cast<size_t>(row)]->enabled = enabled;
  dropListProducts(role);
}

void Engine::SetFocus(ListRole role, int32_t row) {
  SourceList& l = lists_[index(role)];
  l.focused = row >= 0 && row < l.size() ? row : -1;
}

void Engine::Replace(const ProcessingSettings& settings, std::array<SourceList, kRoleCount> lists, FrameSize size) {
  DropAllProducts();
  settings_ = settings;
  // The old entries go from the last to the first.
  for (SourceList& l : lists_)
    while (!l.entries.empty()) l.entries.pop_back();
  lists_ = std::move(lists);
  for (SourceList& l : lists_) l.focused = l.size() > 0 ? 0 : -1;
  frameSize_ = size;
}

void Engine::ApplyImagesSettings(const ProcessingGroup& values) {
  ProcessingGroup& p = settings_.processing;
  const bool colour = p.colour;
  const FitsScale scale = p.fitsScale;
  p = values;
  p.colour = colour;
  p.fitsScale = scale;
  processedFrame_.reset();
}

void Engine::ApplyFlatsSettings(const FlatGroup& values) {
  if (!values.combine.sameMaster(settings_.flat.combine)) dropListProducts(ListRole::Flats);
  settings_.flat = values;
  gradientMap_.reset();
  syntheticFlat_.reset();
  processedFrame_.reset();
}

void Engine::ApplyDarksSettings(const DarkGroup& values) {
  if (!values.combine.sameMaster(settings_.dark.combine)) dropListProducts(ListRole::Darks);
  settings_.dark = values;
  hotPixelMap_.reset();
  processedFrame_.reset();
}

void Engine::DropAllProducts() {
  forgetShown();
  masterDark_.reset();
  masterFlat_.reset();
  hotPixelMap_.reset();
  gradientMap_.reset();
  syntheticFlat_.reset();
}

void Engine::ToggleColour() {
  settings_.processing.colour = !settings_.processing.colour;
  DropAllProducts();
}

void Engine::SetFitsScale(FitsScale scale) {
  if (settings_.processing.fitsScale == scale) return;
  settings_.processing.fitsScale = scale;
  DropAllProducts();
}

RenderResult Engine::RenderView(int32_t role, int32_t view, int32_t width, int32_t height, uint8_t background,
                                Bitmap24& bitmap, const ViewOptions& options) {
  RenderResult result;
  if (role < 0 || role >= kRoleCount) {
    FillBackground(width, height, background, bitmap);
    return result;
  }
  const SourceList& shownList = lists_[static_cast<size_t>(role)];
  const ImageSource* source = shownList.entry(shownList.focused);
  const EntryId entry = source ? source->id : 0;
  // A blink shows another view of the same entry and keeps its frames, so
  // that switching back computes nothing again.
  if (options.blink && entry == shownEntry_ && entry != 0 && role == shownRole_ && view != shownView_) {
    shownView_ = view;
    result.viewChanged = true;
  }
  if (entry != shownEntry_ || role != shownRole_ || view != shownView_) {
    // An entry whose file no longer loads shows the background, not the
    // frame of the entry before it.
    forgetShown();
    if (!Interrupted()) {
      ComputingScope computing(*this, kRawFrameBit);
      // A mosaic is read as it is, to be shown in its colours below.
      PixelFormat format = settings_.processing.colour ? PixelFormat::Bgr24 : PixelFormat::Gray8;
      if (format == PixelFormat::Bgr24 && source && source->bayer != BayerPattern::None)
        format = PixelFormat::GrayFloat;
      load(source, rawFrame_, format, nullptr);
    }
    result.viewChanged = true;
    // A frame not read to its end is read again next time.
    if (Interrupted()) {
      forgetShown();
      result.complete = false;
      return result;
    }
    shownEntry_ = entry;
    shownRole_ = role;
    shownView_ = view;
    cameraMax_ = source ? cameraFullScale(*source, settings_.processing.fitsScale) : 0;
  }
  // The exact values behind a raw frame shown in bytes, for reading camera
  // values under the cursor.
  if (view == 0 && cameraMax_ > 0 && rawFrame_ && !rawValues_ && !Interrupted() &&
      (rawFrame_->format == PixelFormat::Gray8 || rawFrame_->format == PixelFormat::Bgr24)) {
    ComputingScope computing(*this, kRawFrameBit);
    load(source, rawValues_, rawFrame_->format == PixelFormat::Gray8 ? PixelFormat::GrayFloat : PixelFormat::BgrFloat,
         nullptr);
  }
  if (view == 0) {
    result.shown = rawFrame_.get();
  } else if (role == static_cast<int32_t>(ListRole::Images) && view == ImagesProcessed) {
    if (rawFrame_ && !processedFrame_) ProcessFrame(*source, processedFrame_);
    result.shown = processedFrame_.get();
  } else if (role == static_cast<int32_t>(ListRole::Flats)) {
    if (view == FlatsAveraged) result.shown = Make(kMasterFlatBit);
    if (view == FlatsGradient) result.shown = Make(kGradientMapBit);
    if (view == FlatsSynthetic) result.shown = Make(kSyntheticFlatBit);
  } else if (role == static_cast<int32_t>(ListRole::Darks)) {
    if (view == DarksAveraged) result.shown = Make(kMasterDarkBit);
    if (view == DarksHotPixels) result.shown = Make(kHotPixelMapBit);
  }
  // In colour mode a mosaic (a raw frame or a master, which stays a mosaic
  // for the frames it calibrates) is shown in its colours.
  shownColour_.reset();
  if (result.shown && result.shown->bayer != BayerPattern::None && settings_.processing.colour) {
    auto colour = std::make_unique<ImageBuffer>();
    // Colours cut short by a stop are not painted.
    if (demosaicBilinear(*result.shown, *colour, threads_) && !stopRequested()) shownColour_ = std::move(colour);
    result.shown = shownColour_.get();
  }
  // Stopped before the view's product was made: nothing is painted.
  if (!result.shown && Interrupted()) {
    result.complete = false;
    return result;
  }
  if (!result.shown) {
    FillBackground(width, height, background, bitmap);
    return result;
  }
  const DisplayStretch stretch = StretchApplies(role, view) ? options.stretch : DisplayStretch::Off;
  if (!options.keepPicture && stretch == DisplayStretch::Off) {
    PaintView(*result.shown, width, height, options.place, background, bitmap);
    return result;
  }
  auto picture = std::make_shared<ImageBuffer>();
  if (!MakeDisplayPicture(*result.shown, stretch, *picture)) throw std::bad_alloc();
  PaintView(*picture, width, height, options.place, background, bitmap);
  if (options.keepPicture) result.picture = std::move(picture);
  return result;
}

std::optional<std::pair<float, float>> Engine::ProcessedStretchBounds() const {
  const ProcessingGroup& p = settings_.processing;
  if (!processedFrame_ || p.stretch == StretchMode::None) return std::nullopt;
  if (p.stretch == StretchMode::Levels) return std::pair(p.stretchFromAbs, p.stretchToAbs);
  // The levels below which the Images page's percentages of the pixels lie,
  // counted as the percent stretch counts them.
  double pixels = 0;
  for (const uint32_t n : processedLevels_) pixels += n;
  const double percent = static_cast<double>(0.01f);
  const int64_t lowCount = truncSaturate<int64_t>(pixels * p.stretchFromRel * percent);
  const int64_t highCount = truncSaturate<int64_t>(pixels * p.stretchToRel * percent);
  int lo = 0, hi = 255;
  int64_t running = 0;
  for (int b = 0; b < 256; ++b) {
    if (running < lowCount) lo = b;
    running += processedLevels_[static_cast<size_t>(b)];
    if (running < highCount) hi = b;
  }
  return std::pair(static_cast<float>(lo), static_cast<float>(hi));
}

bool Engine::StretchApplies(int32_t role, int32_t view) {
  return !(role == static_cast<int32_t>(ListRole::Images) && view == ImagesProcessed);
}

PixelValues Engine::ValueAt(int32_t role, int32_t view, int32_t x, int32_t y) const {
  PixelValues values;
  if (role != shownRole_ || view != shownView_) return values;
  const ImageBuffer* shown = nullptr;
  bool raw = false;
  if (shownColour_) {
    shown = shownColour_.get();
  } else if (view == 0) {
    shown = rawValues_ ? rawValues_.get() : rawFrame_.get();
    raw = true;
  } else if (role == static_cast<int32_t>(ListRole::Images)) {
    shown = processedFrame_.get();
  } else if (role == static_cast<int32_t>(ListRole::Flats)) {
    shown = view == FlatsAveraged ? masterFlat_.get() : view == FlatsGradient ? gradientMap_.get()
                                                                              : syntheticFlat_.get();
  } else if (role == static_cast<int32_t>(ListRole::Darks)) {
    shown = view == DarksAveraged ? masterDark_.get() : hotPixelMap_.get();
  }
  if (!shown || !shown->pixels || x < 0 || y < 0 || x >= shown->width || y >= shown->height) return values;
  values.channels = isColourFormat(shown->format) ? 3 : 1;
  values.value = PixelValueAt(*shown, x, y);
  // Camera values belong to frames and to masters averaged from them, not
  // to maps.
  const bool cameraUnits = raw || (view == DarksAveraged && role == static_cast<int32_t>(ListRole::Darks)) ||
                           (view == FlatsAveraged && role == static_cast<int32_t>(ListRole::Flats));
  if (cameraMax_ > 0 && cameraUnits) {
    values.hasCamera = true;
    for (size_t c = 0; c < 3; ++c)
      values.camera[c] = std::round(static_cast<double>(values.value[c]) * cameraMax_ / 255.0);
  }
  return values;
}

}  // namespace stelp
