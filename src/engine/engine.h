#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/combine.h"
#include "engine/paint.h"
#include "engine/processing_settings.h"
#include "engine/progress.h"
#include "engine/source_list.h"
#include "engine/view_render.h"
#include "image/image_buffer.h"

namespace stelp {

// View choices by index, per role.
enum ImagesView : int32_t { ImagesRaw = 0, ImagesProcessed = 1 };
enum FlatsView : int32_t { FlatsRaw = 0, FlatsAveraged = 1, FlatsGradient = 2, FlatsSynthetic = 3 };
enum DarksView : int32_t { DarksRaw = 0, DarksAveraged = 1, DarksHotPixels = 2 };

// A frame of a list entry that could not be loaded, and why.
struct FrameFailure {
  std::string path;
  int32_t frameCode = FrameNone;  // 0 or more: the frame of a video
  std::string why;
};

// The frames and products as a set, for telling which work an edit makes
// stale.
enum ProductBit : uint32_t {
  kRawFrameBit = 1u << 0,
  kProcessedFrameBit = 1u << 1,
  kMasterDarkBit = 1u << 2,
  kMasterFlatBit = 1u << 3,
  kHotPixelMapBit = 1u << 4,
  kGradientMapBit = 1u << 5,
  kSyntheticFlatBit = 1u << 6,
};
using ProductSet = uint32_t;
inline constexpr ProductSet kAllProducts = (1u << 7) - 1;

// What RenderView did besides painting.
struct RenderResult {
  const ImageBuffer* shown = nullptr;  // the buffer painted; none: background only
  bool viewChanged = false;            // role, view or entry changed: show the role's page
  bool complete = true;                // false: stopped before painting; nothing was painted
  // The painted picture as bytes (see MakeDisplayPicture), when asked for:
  // the window paints other places and scales from it without the engine.
  std::shared_ptr<const ImageBuffer> picture;
};

// How RenderView paints: the place and scale, the display stretch (applied
// only to the views that are not processed light frames), whether the
// result keeps the painted picture, and a blink.
struct ViewOptions {
  ViewPlace place;
  DisplayStretch stretch = DisplayStretch::Off;
  bool keepPicture = false;
  // Switching between the views of the same entry for a moment (blink):
  // the frames are kept instead of dropped with the view.
  bool blink = false;
};

// The values of one frame pixel of the shown buffer: blue, green, red on
// the engine's 0..255 scale (grey: one channel), and for FITS and SER
// sources of integer data read on the camera's scale, the values the file
// holds (ADU).
struct PixelValues {
  int32_t channels = 0;  // 0: no value there
  std::array<float, 3> value{};
  bool hasCamera = false;
  std::array<double, 3> camera{};
};

// The calibration engine: the three source lists, the settings and every
// product, computed when somebody asks for it and dropped when something it
// depends on changes. The window owns one and paints what RenderView makes.
// Its state changes only through the calls below; a caller that runs an
// operation on another thread makes no other call until it has returned.
class Engine {
 public:
  explicit Engine(Progress* progress = nullptr);
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // ---- Settings. Each change drops what depends on it.
  const ProcessingSettings& settings() const { return settings_; }
  // The Images page's values: every field but the colour and the FITS scale.
  void ApplyImagesSettings(const ProcessingGroup& values);
  void ApplyFlatsSettings(const FlatGroup& values);
  void ApplyDarksSettings(const DarkGroup& values);
  void ToggleColour();
  // A new FITS scale: every frame and product is read again.
  void SetFitsScale(FitsScale scale);

  // ---- The lists. Entries are named by row, or by their stable id
  // (ImageSource::id) where a name must outlive edits of the list. A change
  // of a list drops the products averaged from it.
  const SourceList& list(ListRole role) const { return lists_[index(role)]; }
  const std::array<SourceList, kRoleCount>& lists() const { return lists_; }
  void AppendEntries(ListRole role, std::vector<std::unique_ptr<ImageSource>> entries);
  // Removes `count` rows from `row` on (fewer at the end of the list).
  void RemoveEntries(ListRole role, int32_t row, int32_t count = 1);
  void SetEnabled(ListRole role, int32_t row, bool enabled);
  // The entry with the keyboard focus, the one the view shows; -1 for none.
  void SetFocus(ListRole role, int32_t row);
  // The size every frame shares; -1 x -1 while none is fixed. It is fixed by
  // the first frame admitted and forgotten once every list is empty.
  FrameSize frameSize() const { return frameSize_; }
  void SetFrameSize(FrameSize size) { frameSize_ = size; }
  // Replaces the whole project: settings, lists (the first entry of each
  // focused) and frame size; every product goes.
  void Replace(const ProcessingSettings& settings, std::array<SourceList, kRoleCount> lists, FrameSize size);

  // ---- Products. Absent until made; the operations below make them.
  const ImageBuffer* product(ProductBit bit) const;
  // Mean of each channel of the master flat.
  const std::array<float, 3>& masterFlatMean() const { return masterFlatMean_; }
  // The enabled entries the present masters were averaged without (they did
  // not load or have another size): the darks when dark subtraction or hot
  // pixel removal uses them, the flats when flat division does. Entries
  // already known to be missing are not repeated here.
  std::vector<FrameFailure> MasterFailures() const;
  // What the last averaging of `role`'s list passed over.
  const std::vector<FrameFailure>& PassedOver(ListRole role) const { return passedOver_[index(role)]; }
  // Enabled frames the last averaging of `role`'s list took in.
  int32_t AveragedCount(ListRole role) const { return averaged_[index(role)]; }

  // Reads the frame of a list entry when a test or a benchmark supplies
  // frames from memory; without one, the file readers read it, FITS files on
  // the project's FITS scale. False (with the reason in the string) when the
  // frame could not be read.
  using FrameLoader = std::function<bool(const ImageSource*, ImageSlot&, PixelFormat, std::string*)>;
  void SetLoader(FrameLoader loader) { loader_ = std::move(loader); }
  // Threads a product operation may use.
  void SetThreads(int threads) { threads_ = std::max(threads, 1); }
  // A median or sigma-clipped master works in bands of rows whose frames'
  // values take at most `bytes` (see combineFrames); frames kept between
  // bands go to a nameless temporary file in `folder` (empty: the system's
  // temporary folder).
  void SetCombineMemory(int64_t bytes) { combineMemory_ = std::max<int64_t>(bytes, 1); }
  void SetSpillFolder(std::string folder) { spillFolder_ = std::move(folder); }

  // Background work. An operation run under a stop request (see
  // parallel.h) looks at it between frames and bands of rows; a stopped
  // operation leaves its product absent, to be made again when next needed.
  // A yield asks RenderView to stop at the next product: what is finished is
  // kept. Computing() tells, from any thread, which product is being made.
  ProductSet Computing() const { return computing_.load(); }
  void RequestYield() { yield_ = true; }
  void ClearYield() { yield_ = false; }
  // The frames and products that `view` of `role` shows and is made from,
  // under the present settings.
  ProductSet NeededFor(int32_t role, int32_t view) const;

  // The product operations: each drops its product and makes it anew from
  // its inputs, computing missing inputs first; a product whose inputs are
  // missing stays absent.
  void AverageDarks();
  void AverageFlats();
  void LocateHotPixels();
  void DetectGradient();
  void SmoothGradient();
  // Makes the product of `bit` (a master, the hot-pixel map, the gradient or
  // the synthetic flat) unless it is there already; the product or none.
  const ImageBuffer* Make(ProductBit bit);
  // Loads `source`'s frame and calibrates it into `frame`, making the
  // masters the settings call for first; false, with the loader's reason in
  // `why`, when the frame did not load or the work was stopped. The view's
  // frames are left alone.
  bool ProcessFrame(const ImageSource& source, ImageSlot& frame, std::string* why = nullptr);
  // ProcessFrame in parts, for callers that load frames ahead on another
  // thread: PrepareProcessing makes the masters; LoadForProcessing loads a
  // frame in the format processing takes (it only reads the engine, so it
  // may run beside the other calls); ProcessLoadedFrame calibrates such a
  // frame in place, false when it is empty or the work was stopped.
  void PrepareProcessing();
  bool LoadForProcessing(const ImageSource& source, ImageSlot& frame, std::string* why = nullptr);
  bool ProcessLoadedFrame(ImageSlot& frame, std::string* why = nullptr, int threads = 0);  // 0: threads()
  // ProcessLoadedFrame without the status, the progress and the view's
  // levels, on at most `threads` threads: it only reads the engine, so once
  // PrepareProcessing has made the masters it may run on the loading thread
  // beside the caller's work.
  bool CalibrateLoadedFrame(ImageSlot& frame, int threads, std::string* why = nullptr) const;
  // Threads each step of the work may use.
  int threads() const { return threads_; }
  // Whether the project's frames are small enough that a loop over them runs
  // best on one thread: handing a frame, or part of it, to another core costs
  // more than the work it shares (a master of VGA frames ran slower on two
  // cores than on one). False while no frame has fixed the size.
  bool SmallFrames() const {
    return frameSize_.width > 0 && int64_t{frameSize_.width} * frameSize_.height < (int64_t{1} << 20);
  }

  // Drops the raw frame and every product: memory is given back and every
  // product is made again when next needed.
  void DropAllProducts();

  // The status line: an empty text shows "Ready"; any other text shows only
  // while the line reads "Ready", so the outermost operation's text stays.
  void SetStatus(const std::string& text = std::string());
  const std::string& statusText() const { return status_; }
  Progress& progress() { return *progress_; }

  // Paints what `role` and `view` choose into `bitmap` (width x height):
  // the focused entry's raw frame, or a product, reloading the frame and
  // computing the product as needed.
  RenderResult RenderView(int32_t role, int32_t view, int32_t width, int32_t height, uint8_t background,
                          Bitmap24& bitmap, const ViewOptions& options = ViewOptions());
  // The view's processed frame: the pixel counts of its grey levels before
  // the stretch (0..255), and the levels the stretch takes to black and
  // white (none without a stretch or a processed frame).
  const std::array<uint32_t, 256>& ProcessedLevels() const { return processedLevels_; }
  std::optional<std::pair<float, float>> ProcessedStretchBounds() const;
  // Whether the display stretch applies to `view` of `role`: every view but
  // the processed light frame, which shows exactly what an export writes.
  static bool StretchApplies(int32_t role, int32_t view);
  // The values at frame pixel (x, y) of what the last RenderView of `role`
  // and `view` showed, read from the product buffers; nothing is computed.
  PixelValues ValueAt(int32_t role, int32_t view, int32_t x, int32_t y) const;

 private:
  static size_t index(ListRole role) { return static_cast<size_t>(role); }
  PixelFormat floatFormat() const;
  // The format `source`'s frames are calibrated in: the float format of the
  // mode, or GrayFloat for a Bayer mosaic, which is made colour afterwards.
  PixelFormat calibrationFormat(const ImageSource* source) const;
  // A stop or yield was asked for: no further product is started.
  bool Interrupted() const;
  // The calibration steps on `frame` on at most `threads` threads, reporting
  // each step to `progress` and counting the levels before the stretch into
  // `levels` when they are given.
  bool calibrate(ImageSlot& frame, std::string* why, int threads, Progress* progress,
                 std::array<uint32_t, 256>* levels) const;
  bool load(const ImageSource* source, ImageSlot& slot, PixelFormat format, std::string* why);
  bool fitsFrame(const ImageBuffer* image) const;
  // Makes the master of `role`'s list by the list's combine setting.
  void averageList(ListRole role, ImageSlot& target, ProductBit bit, const std::string& statusText);
  // The median or sigma-clipped part of averageList.
  void combineList(ListRole role, ImageSlot& target, const CombineGroup& combine);
  // Drops the products averaged from `role`'s list and what is made from
  // them.
  void dropListProducts(ListRole role);
  // The view shows nothing yet: the next RenderView loads its frame.
  void forgetShown();

  ProcessingSettings settings_;
  std::array<SourceList, kRoleCount> lists_;
  FrameSize frameSize_;

  // What the view shows: the raw frame of entry `shownEntry_` (0: none) and
  // the processed frame made from it, for `shownRole_` and `shownView_`.
  EntryId shownEntry_ = 0;
  int32_t shownRole_ = -1;
  int32_t shownView_ = -1;
  ImageSlot rawFrame_;
  ImageSlot processedFrame_;
  // The colours of the mosaic product the view shows in colour mode.
  ImageSlot shownColour_;
  // The raw frame's values in float, for reading exact camera values, and
  // the camera's full scale of the shown entry (0: not a camera scale).
  ImageSlot rawValues_;
  double cameraMax_ = 0;
  std::array<uint32_t, 256> processedLevels_{};

  ImageSlot masterDark_;
  ImageSlot masterFlat_;
  ImageSlot hotPixelMap_;
  ImageSlot gradientMap_;
  ImageSlot syntheticFlat_;
  std::array<float, 3> masterFlatMean_{0.0f, 0.0f, 0.0f};
  std::array<float, 3> syntheticFlatMean_{0.0f, 0.0f, 0.0f};

  // Per role: what the last averaging of that list passed over.
  std::array<std::vector<FrameFailure>, kRoleCount> passedOver_;
  std::array<int32_t, kRoleCount> averaged_{};

  FrameLoader loader_;
  int threads_;
  int64_t combineMemory_ = kDefaultCombineMemory;
  std::string spillFolder_;
  std::atomic<ProductSet> computing_{0};
  std::atomic<bool> yield_{false};
  friend class ComputingScope;
  Progress defaultProgress_;
  Progress* progress_;
  std::string status_;
};

}  // namespace stelp
