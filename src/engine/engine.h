#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/paint.h"
#include "engine/processing_settings.h"
#include "engine/progress.h"
#include "engine/source_list.h"
#include "image/image_buffer.h"

namespace stelp {

// The values the Images page hands over.
struct ImagesPageValues {
  bool dark = false;
  bool flat = false;
  bool hot = false;
  bool synFlat = false;
  int32_t stretch = 0;
  float stretchFromRel = 0.0f;
  float stretchToRel = 100.0f;
  float stretchFromAbs = 0.0f;
  float stretchToAbs = 255.0f;
  int32_t deInterlace = 0;
};

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
};

// The calibration engine: the three source lists, the settings and every
// product, computed when somebody asks for it and dropped when something it
// depends on changes. The window owns one and paints what RenderView makes.
class Engine {
 public:
  explicit Engine(Progress* progress = nullptr);
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  ProcessingSettings settings;
  std::array<SourceList, kRoleCount> lists;
  int32_t currentRole = 0;  // the role chosen in the role selector
  int32_t frameWidth = -1;  // the size every frame shares; -1 while none is fixed
  int32_t frameHeight = -1;

  const ImageSource* currentSource = nullptr;  // whose frame rawFrame holds
  const ImageBuffer* exportPreview = nullptr;  // while set, the view shows it
  int32_t shownRole = -1;
  int32_t shownView = -1;

  ImageSlot rawFrame;
  ImageSlot masterDark;
  ImageSlot masterFlat;
  ImageSlot hotPixelMap;
  ImageSlot gradientMap;
  ImageSlot syntheticFlat;
  ImageSlot processedFrame;
  std::array<float, 3> masterFlatMean{0.0f, 0.0f, 0.0f};
  std::array<float, 3> syntheticFlatMean{0.0f, 0.0f, 0.0f};

  int threads;  // threads a product operation may use

  // The enabled entries the present masters were averaged without (they did
  // not load or have another size): the darks when dark subtraction or hot
  // pixel removal uses them, the flats when flat division does. Entries
  // already known to be missing are not repeated here.
  std::vector<FrameFailure> MasterFailures() const;
  // What the last averaging of `role`'s list passed over.
  const std::vector<FrameFailure>& PassedOver(ListRole role) const { return passedOver_[static_cast<size_t>(role)]; }

  // Reads the frame of a list entry when a test or a benchmark supplies
  // frames from memory; without one, the file readers read it, FITS files on
  // the project's FITS scale. False (with the reason in the string) when the
  // frame could not be read.
  using FrameLoader = std::function<bool(const ImageSource*, ImageSlot&, PixelFormat, std::string*)>;
  FrameLoader loader;

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

  // Enabled frames the last averaging of `role`'s list took in.
  int32_t AveragedCount(ListRole role) const { return averaged_[static_cast<size_t>(role)]; }

  SourceList& list(ListRole role) { return lists[static_cast<size_t>(role)]; }
  SourceList& currentList() { return lists[static_cast<size_t>(std::clamp(currentRole, 0, kRoleCount - 1))]; }

  // The source of the focused entry of the current list, or none.
  ImageSource* CurrentSource();

  // The product operations: each drops its product and makes it anew from
  // its inputs, computing missing inputs first; a product whose inputs are
  // missing stays absent.
  void AverageList(const SourceList& list, ImageSlot& target, const std::string& statusText);
  void AverageDarks();
  void AverageFlats();
  void LocateHotPixels();
  void DetectGradient();
  void SmoothGradient();
  // Loads and calibrates the frame of currentSource into processedFrame;
  // false, with the loader's reason in `why`, when the frame did not load.
  bool ProcessImage(std::string* why = nullptr);

  // After entries of the current list were added, removed or toggled.
  void DropListProducts();
  // The settings pages' values; each drops what depends on them.
  void ApplyImagesSettings(const ImagesPageValues& values);
  void ApplyFlatsSettings(const FlatGroup& values);
  void ApplyDarksSettings(const DarkGroup& values);
  void ToggleColour();
  // A new FITS scale: every frame and product is read again.
  void SetFitsScale(FitsScale scale);
  // Drops the raw frame and every product and forgets the current source:
  // after a colour toggle, a new project or an opened one.
  void DropAllProducts();
  // Forgets the frame size once every list is empty.
  void ReleaseFrameSizeIfEmpty();

  // The status line: an empty text shows "Ready"; any other text shows only
  // while the line reads "Ready", so the outermost operation's text stays.
  void SetStatus(const std::string& text = std::string());
  const std::string& statusText() const { return status_; }
  Progress& progress() { return *progress_; }

  // Paints what `role` and `view` choose into `bitmap` (width x height),
  // reloading the raw frame and computing the product as needed.
  RenderResult RenderView(int32_t role, int32_t view, int32_t width, int32_t height, uint8_t background,
                          Bitmap24& bitmap);

 private:
  PixelFormat floatFormat() const;
  // A stop or yield was asked for: no further product is started.
  bool Interrupted() const;
  bool load(const ImageSource* source, ImageSlot& slot, PixelFormat format, std::string* why);
  bool fitsFrame(const ImageBuffer* image) const;

  // Per role: what the last averaging of that list passed over.
  std::array<std::vector<FrameFailure>, kRoleCount> passedOver_;
  std::array<int32_t, kRoleCount> averaged_{};
  std::atomic<ProductSet> computing_{0};
  std::atomic<bool> yield_{false};
  friend class ComputingScope;
  Progress defaultProgress_;
  Progress* progress_;
  std::string status_;
};

}  // namespace stelp
