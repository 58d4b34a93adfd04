#include "engine/engine.h"

#include "engine/gradient.h"
#include "engine/parallel.h"
#include "engine/pipeline.h"

namespace stelp {
namespace {

constexpr char kReady[] = "Ready";

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
    : threads(defaultThreadCount()), progress_(progress ? progress : &defaultProgress_), status_(kReady) {}

PixelFormat Engine::floatFormat() const {
  return settings.processing.colour ? PixelFormat::BgrFloat : PixelFormat::GrayFloat;
}

// Whether a loaded frame or a product has the common frame size (files can
// change on disk after they were imported).
bool Engine::fitsFrame(const ImageBuffer* image) const {
  if (!image) return false;
  return frameWidth < 0 || (image->width == frameWidth && image->height == frameHeight);
}

bool Engine::Interrupted() const { return stopRequested() || yield_.load(); }

ProductSet Engine::NeededFor(int32_t role, int32_t view) const {
  if (view == 0) return kRawFrameBit;
  const ProcessingGroup& p = settings.processing;
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
  if (loader) return loader(source, slot, format, why);
  return loadFrame(source, slot, format, why, settings.processing.fitsScale);
}

ImageSource* Engine::CurrentSource() {
  const SourceList& current = currentList();
  return current.entry(current.focused);
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

void Engine::AverageList(const SourceList& list, ImageSlot& target, const std::string& statusText) {
  target.reset();
  if (Interrupted()) return;
  ComputingScope computing(*this, &target == &masterDark ? kMasterDarkBit : &target == &masterFlat ? kMasterFlatBit : 0);
  const ptrdiff_t role = &list - lists.data();
  std::vector<FrameFailure>* passedOver =
      role >= 0 && role < kRoleCount ? &passedOver_[static_cast<size_t>(role)] : nullptr;
  if (passedOver) passedOver->clear();
  if (role >= 0 && role < kRoleCount) averaged_[static_cast<size_t>(role)] = 0;
  const int32_t count = list.size();
  if (count == 0) return;
  SetStatus(statusText);
  WaitCursor wait(*progress_);
  const PixelFormat format = floatFormat();
  int32_t n = 0;
  ImageSlot scratch;
  for (int32_t i = 0; i < count; ++i) {
    if (stopRequested()) break;
    progress_->Step(i + 1, count);
    const ImageSource* source = list.entry(i);
    if (!source || !source->enabled) continue;
    // A frame that does not load (or no longer has the frame size) is passed
    // over, does not count, and is listed.
    auto passOver = [&](const std::string& why) {
      if (!source->missing && passedOver) passedOver->push_back({source->path, source->frameCode, why.empty() ? "cannot be read" : why});
    };
    std::string why;
    if (!target) {
      load(source, target, format, &why);
      if (!target) {
        passOver(why);
        continue;
      }
      if (!fitsFrame(target.get())) {
        passOver("the frame is not of the size of the other frames");
        target.reset();
        continue;
      }
    } else {
      scratch.reset();
      load(source, scratch, format, &why);
      if (!scratch) {
        passOver(why);
        continue;
      }
      if (scratch->width != target->width || scratch->height != target->height) {
        passOver("the frame is not of the size of the other frames");
        continue;
      }
      addFrame(*target, *scratch, threads);
    }
    ++n;
  }
  if (n >= 2) scaleByReciprocal(*target, n, threads);
  if (stopRequested()) {
    target.reset();
    if (passedOver) passedOver->clear();
    n = 0;
  }
  if (role >= 0 && role < kRoleCount) averaged_[static_cast<size_t>(role)] = n;
}

std::vector<FrameFailure> Engine::MasterFailures() const {
  const ProcessingGroup& p = settings.processing;
  std::vector<FrameFailure> failures;
  auto add = [&](ListRole role) {
    const auto& list = PassedOver(role);
    failures.insert(failures.end(), list.begin(), list.end());
  };
  if (p.dark || p.hot) add(ListRole::Darks);
  if (p.flat) add(ListRole::Flats);
  return failures;
}

void Engine::AverageDarks() { AverageList(list(ListRole::Darks), masterDark, "Averaging darks"); }

void Engine::AverageFlats() {
  AverageList(list(ListRole::Flats), masterFlat, "Averaging flats");
  if (masterFlat) masterFlatMean = channelMeans(*masterFlat);
}

void Engine::LocateHotPixels() {
  if (!masterDark) AverageDarks();
  if (!masterDark || Interrupted()) return;
  ComputingScope computing(*this, kHotPixelMapBit);
  SetStatus("Locating hot pixels");
  WaitCursor wait(*progress_);
  auto map = std::make_unique<ImageBuffer>();
  locateHotPixels(*masterDark, settings.dark, *map);
  hotPixelMap = map->pixels && !stopRequested() ? std::move(map) : nullptr;
}

void Engine::DetectGradient() {
  if (!masterFlat) AverageFlats();
  if (!masterFlat || Interrupted()) return;
  ComputingScope computing(*this, kGradientMapBit);
  SetStatus("Gradient detection");
  WaitCursor wait(*progress_);
  auto map = std::make_unique<ImageBuffer>();
  detectGradient(*masterFlat, settings.flat, *map, threads);
  gradientMap = map->pixels && !stopRequested() ? std::move(map) : nullptr;
}

void Engine::SmoothGradient() {
  if (!gradientMap) DetectGradient();
  if (!gradientMap || !masterFlat || Interrupted()) return;
  ComputingScope computing(*this, kSyntheticFlatBit);
  SetStatus("Smoothing gradient");
  WaitCursor wait(*progress_);
  auto synthetic = std::make_unique<ImageBuffer>();
  std::array<float, 3> mean{0.0f, 0.0f, 0.0f};
  smoothGradient(*masterFlat, *gradientMap, settings.flat, *synthetic, mean, threads);
  if (!synthetic->pixels || stopRequested()) {
    syntheticFlat.reset();
    return;
  }
  syntheticFlat = std::move(synthetic);
  syntheticFlatMean = mean;
}

bool Engine::ProcessImage(std::string* why) {
  const ProcessingGroup& p = settings.processing;
  if (!masterDark && p.dark) AverageDarks();
  if (!hotPixelMap && p.hot) LocateHotPixels();
  if (!masterFlat && p.flat && !p.synFlat) AverageFlats();
  if (!syntheticFlat && p.flat && p.synFlat) SmoothGradient();
  const ImageBuffer* flat = p.synFlat ? syntheticFlat.get() : masterFlat.get();
  const std::array<float, 3>& means = p.synFlat ? syntheticFlatMean : masterFlatMean;

  processedFrame.reset();
  if (Interrupted()) {
    if (why) *why = "stopped";
    return false;
  }
  ComputingScope computing(*this, kProcessedFrameBit);
  std::string reason;
  load(currentSource, processedFrame, floatFormat(), &reason);
  if (!processedFrame) {
    if (why) *why = reason.empty() ? "the frame could not be loaded" : reason;
    return false;
  }
  ImageBuffer& frame = *processedFrame;
  SetStatus("Processing image");
  WaitCursor wait(*progress_);
  // A product made for other frames (of another size) is not applied.
  auto usable = [&](const ImageBuffer* product) {
    return product && product->width == frame.width && product->height == frame.height ? product : nullptr;
  };
  const ImageBuffer* dark = p.dark ? usable(masterDark.get()) : nullptr;
  const ImageBuffer* divisor = p.flat ? usable(flat) : nullptr;
  const ImageBuffer* map = p.hot ? usable(hotPixelMap.get()) : nullptr;

  constexpr int kSteps = 4;
  progress_->Step(1, kSteps);
  subtractDarkDivideFlat(frame, dark, divisor, means, threads);
  progress_->Step(2, kSteps);
  if (map) repairHotPixels(frame, *map, settings.dark.expand, threads);
  progress_->Step(3, kSteps);
  if (p.deInterlace == 3)
    EqualiseFields(frame);
  else if (p.deInterlace != 0)
    blurRows(frame, p.deInterlace);
  progress_->Step(4, kSteps);
  if (p.stretch == 1) stretchPercent(frame, p.stretchFromRel, p.stretchToRel, threads);
  if (p.stretch == 2) stretchLevels(frame, p.stretchFromAbs, p.stretchToAbs, threads);
  if (stopRequested()) {
    processedFrame.reset();
    if (why) *why = "stopped";
    return false;
  }
  return true;
}

void Engine::DropListProducts() {
  if (currentRole == static_cast<int32_t>(ListRole::Flats)) {
    masterFlat.reset();
    gradientMap.reset();
    syntheticFlat.reset();
  } else if (currentRole == static_cast<int32_t>(ListRole::Darks)) {
    masterDark.reset();
    hotPixelMap.reset();
  }
}

void Engine::ApplyImagesSettings(const ImagesPageValues& values) {
  ProcessingGroup& p = settings.processing;
  p.dark = values.dark;
  p.flat = values.flat;
  p.hot = values.hot;
  p.synFlat = values.synFlat;
  p.stretch = values.stretch;
  p.stretchFromRel = values.stretchFromRel;
  p.stretchToRel = values.stretchToRel;
  p.stretchFromAbs = values.stretchFromAbs;
  p.stretchToAbs = values.stretchToAbs;
  p.deInterlace = values.deInterlace;
  processedFrame.reset();
}

void Engine::ApplyFlatsSettings(const FlatGroup& values) {
  settings.flat = values;
  gradientMap.reset();
  syntheticFlat.reset();
}

void Engine::ApplyDarksSettings(const DarkGroup& values) {
  settings.dark = values;
  hotPixelMap.reset();
}

void Engine::DropAllProducts() {
  rawFrame.reset();
  masterDark.reset();
  masterFlat.reset();
  hotPixelMap.reset();
  gradientMap.reset();
  syntheticFlat.reset();
  processedFrame.reset();
  currentSource = nullptr;
}

void Engine::ToggleColour() {
  settings.processing.colour = !settings.processing.colour;
  DropAllProducts();
}

void Engine::SetFitsScale(FitsScale scale) {
  if (settings.processing.fitsScale == scale) return;
  settings.processing.fitsScale = scale;
  DropAllProducts();
}

void Engine::ReleaseFrameSizeIfEmpty() {
  for (const SourceList& l : lists)
    if (l.size() > 0) return;
  frameWidth = -1;
  frameHeight = -1;
}

RenderResult Engine::RenderView(int32_t role, int32_t view, int32_t width, int32_t height, uint8_t background,
                                Bitmap24& bitmap) {
  RenderResult result;
  currentRole = role;
  if (exportPreview) {
    result.shown = exportPreview;
  } else {
    const ImageSource* source = CurrentSource();
    if (source != currentSource || role != shownRole || view != shownView) {
      // An entry whose file no longer loads shows the background, not the
      // frame of the entry before it.
      currentSource = source;
      rawFrame.reset();
      if (!Interrupted()) {
        ComputingScope computing(*this, kRawFrameBit);
        load(currentSource, rawFrame, settings.processing.colour ? PixelFormat::Bgr24 : PixelFormat::Gray8, nullptr);
      }
      shownView = view;
      shownRole = role;
      processedFrame.reset();
      result.viewChanged = true;
      // A frame not read to its end is read again next time.
      if (Interrupted()) {
        rawFrame.reset();
        currentSource = nullptr;
        shownRole = shownView = -1;
        result.complete = false;
        return result;
      }
    }
    result.shown = nullptr;
    if (view == 0) {
      result.shown = rawFrame.get();
    } else if (role == static_cast<int32_t>(ListRole::Images) && view == ImagesProcessed) {
      if (rawFrame && !processedFrame) ProcessImage();
      result.shown = processedFrame.get();
    } else if (role == static_cast<int32_t>(ListRole::Flats)) {
      if (view == FlatsAveraged) {
        if (!masterFlat) AverageFlats();
        result.shown = masterFlat.get();
      } else if (view == FlatsGradient) {
        if (!gradientMap) DetectGradient();
        result.shown = gradientMap.get();
      } else if (view == FlatsSynthetic) {
        if (!syntheticFlat) SmoothGradient();
        result.shown = syntheticFlat.get();
      }
    } else if (role == static_cast<int32_t>(ListRole::Darks)) {
      if (view == DarksAveraged) {
        if (!masterDark) AverageDarks();
        result.shown = masterDark.get();
      } else if (view == DarksHotPixels) {
        if (!hotPixelMap) LocateHotPixels();
        result.shown = hotPixelMap.get();
      }
    }
    if (role < 0 || role >= kRoleCount) result.shown = nullptr;
    // Stopped before the view's product was made: nothing is painted.
    if (!result.shown && Interrupted()) {
      result.complete = false;
      return result;
    }
  }
  if (result.shown)
    PaintImage(*result.shown, width, height, Reduce::Allowed, Enlarge::NotAllowed, background, bitmap);
  else
    FillBackground(width, height, background, bitmap);
  return result;
}

}  // namespace stelp
