// stelp-cli process, master, render and demo: the engine on a project.
#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <utility>

#include "cli_common.h"
#include "demo.h"
#include "engine/engine.h"
#include "engine/export.h"
#include "engine/setting_ranges.h"
#include "image/bitmap.h"
#include "image/file_kind.h"
#include "persist/project.h"

namespace stelp::cli {
namespace {

constexpr char kProcessUsage[] =
    "usage: stelp-cli process PROJECT OUTPUT [--fits32|--fits-float] [--start N] [--memory MIB] [--quiet]\n"
    "  calibrate every enabled image of PROJECT and write it by OUTPUT's extension:\n"
    "  .bmp, .fit/.fts/.fits (unsigned 16-bit; 32-bit with --fits32, 32-bit float of\n"
    "  0..1 with --fits-float), .avi or .ser (one video; the SER is 16-bit when an\n"
    "  image comes from a deeper file) or .raw (the float pixels); several images\n"
    "  make a numbered sequence starting at N\n"
    "  --memory: MiB a median or sigma-clipped master may hold at once (default 1024,\n"
    "  or STELP_COMBINE_MEMORY)\n";
constexpr char kMasterUsage[] =
    "usage: stelp-cli master dark|flat|synthetic|hotpixels|gradient PROJECT OUTPUT [--fits32|--fits-float]\n"
    "                 [--combine average|median|sigma] [--kappa-low K] [--kappa-high K] [--memory MIB]\n"
    "                 [--quiet]\n"
    "  compute one product of PROJECT and write it by OUTPUT's extension: .bmp,\n"
    "  .fit/.fts/.fits (as for process) or .raw (the pixel bytes); --combine and the\n"
    "  kappas (1 to 100) replace how the project combines the darks or flats it is\n"
    "  made from; --memory as for process\n";
constexpr char kRenderUsage[] =
    "usage: stelp-cli render PROJECT ROLE VIEW OUTPUT.bmp [--size WxH] [--scale S] [--center X,Y]\n"
    "                 [--display-stretch] [--quiet]\n"
    "  paint what the image view shows for the first entry of ROLE (images, flats,\n"
    "  darks) with VIEW (raw, processed, averaged, grad, synthetic, hot) into a\n"
    "  bitmap of WxH pixels (default 640x480), at scale S (fit, the default, or\n"
    "  1/8, 1/4, 1/2, 1, 2, 4, 8) with frame pixel X,Y (top left 0,0; default the\n"
    "  frame's centre) in the middle; --display-stretch as the view's toggle\n";
constexpr char kDemoUsage[] =
    "usage: stelp-cli demo DIR\n"
    "  write a small synthetic night (darks, flats, light frames) and DIR/demo.sjx\n";

// The grey of the view's background (the button-shadow colour).
constexpr uint8_t kViewBackground = 160;

// How a project opened for a command.
enum class Opened {
  Failed,      // reported; nothing to do
  Complete,    // every entry and setting as the project says
  Incomplete,  // reported: files missing or passed over
};

// Opens a project for a command and names, even when quiet (they are not
// progress), every file that is missing or was passed over and every setting
// brought into range. A missing entry of the Images list is left to the
// export loop when `imagesReportedLater`, which names it with its frame.
Opened openForCommand(const std::string& path, Engine& engine, bool imagesReportedLater) {
  const OpenProjectResult opened = openProject(path, engine);
  switch (opened.status) {
    case OpenStatus::Opened: break;
    case OpenStatus::NotAProject: fileError(path, "not a Stelp project (" + opened.why + ")"); return Opened::Failed;
    case OpenStatus::NotFound:
    case OpenStatus::Unreadable:
    case OpenStatus::Stopped: fileError(path, opened.why); return Opened::Failed;
  }
  // Settings brought into range are worth a word but leave the work whole.
  for (const std::string& change : opened.settingChanges)
    std::fprintf(stderr, "stelp-cli: %s: setting brought into range: %s\n", path.c_str(), change.c_str());
  bool complete = opened.problems.empty();
  for (const std::string& problem : opened.problems) std::fprintf(stderr, "stelp-cli: %s: %s\n", path.c_str(), problem.c_str());
  for (size_t role = 0; role < kRoleCount; ++role) {
    if (imagesReportedLater && role == static_cast<size_t>(ListRole::Images)) continue;
    std::string last;
    for (const auto& entry : engine.list(static_cast<ListRole>(role)).entries) {
      if (!entry || !entry->missing || entry->path == last) continue;
      last = entry->path;
      std::fprintf(stderr, "stelp-cli: %s: %s: not found\n", path.c_str(), entry->path.c_str());
      complete = false;
    }
  }
  return complete ? Opened::Complete : Opened::Incomplete;
}

// Refuses (exit status 1, nothing written) when one of `outputs` is the file
// of an entry of the project.
bool refuseConflict(const std::vector<std::string>& outputs, const Engine& engine) {
  std::string conflict;
  if (!checkFileConflict(outputs, engine.lists(), &conflict)) return false;
  fileError(conflict, "is a source of the project; choose another output name");
  return true;
}

// The memory budget of median and sigma-clipped masters: the last --memory,
// else the environment's, else the default.
bool combineMemoryOf(const Arguments& a, int64_t& bytes, std::string& error) {
  bytes = kDefaultCombineMemory;
  const char* variable = std::getenv(kCombineMemoryVariable);
  if (variable && *variable && !parseMemoryMiB(variable, bytes)) {
    error = std::string(kCombineMemoryVariable) + " needs a whole number of MiB, not '" + variable + "'";
    return false;
  }
  return eachValue(a, "--memory", [&](const std::string& text) {
    if (parseMemoryMiB(text, bytes)) return true;
    error = "--memory needs a whole number of MiB, not '" + text + "'";
    return false;
  });
}

// `combine` with what --combine, --kappa-low and --kappa-high replace.
bool combineOf(const Arguments& a, CombineGroup& combine, std::string& error) {
  bool ok = eachValue(a, "--combine", [&](const std::string& text) {
    static constexpr std::pair<const char*, CombineMethod> kMethods[] = {
        {"average", CombineMethod::Average}, {"median", CombineMethod::Median}, {"sigma", CombineMethod::SigmaClip}};
    for (const auto& [name, method] : kMethods) {
      if (text != name) continue;
      combine.method = method;
      return true;
    }
    error = "--combine needs average, median or sigma, not '" + text + "'";
    return false;
  });
  for (const auto& [option, kappa] : {std::pair{"--kappa-low", &combine.kappaLow}, {"--kappa-high", &combine.kappaHigh}}) {
    ok = ok && eachValue(a, option, [&](const std::string& text) {
      float value = 0.0f;
      const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value);
      if (failure == std::errc() && end == text.data() + text.size() && kKappaRange.clamp(value) == value) {
        *kappa = value;
        return true;
      }
      error = std::string(option) + " needs a number from 1 to 100, not '" + text + "'";
      return false;
    });
  }
  return ok;
}

// The folder of an output file, where a master's temporary file goes.
std::string folderOf(const std::string& output) {
  const std::string folder = std::filesystem::path(output).parent_path().string();
  return folder.empty() ? "." : folder;
}

}  // namespace

int processCommand(const std::vector<std::string>& args) {
  if (wantsHelp(args, kProcessUsage)) return kExitOk;
  Arguments a;
  std::string error;
  if (!parseArguments(args, {"--fits32", "--fits-float", "--quiet"}, {"--start", "--memory"}, a, error))
    return usageError(error, kProcessUsage);
  int64_t memory = 0;
  if (!combineMemoryOf(a, memory, error)) return usageError(error, kProcessUsage);
  FitsDepth depth = FitsDepth::Int16;
  if (!fitsDepthOf(a, depth, error)) return usageError(error, kProcessUsage);
  if (a.words.size() != 2) return usageError("process takes PROJECT and OUTPUT", kProcessUsage);
  int64_t start = -1;
  if (!numberOption(a, "--start", 0, UINT32_MAX, start, error)) return usageError(error, kProcessUsage);
  const std::string& output = a.words[1];
  const bool raw = lowerExtension(output) == "raw";
  const OutputKind kind = raw ? OutputKind::Raw : outputKindOf(output);
  if (kind == OutputKind::None)
    return fileError(output, "unknown output extension (use .bmp, .fit, .fts, .fits, .avi, .ser or .raw)");

  CliProgress progress(a.has("--quiet"));
  Engine engine(&progress);
  engine.SetCombineMemory(memory);
  engine.SetSpillFolder(folderOf(output));
  std::string subject = a.words[0];
  return guardMemory(subject, [&] {
    const Opened opened = openForCommand(a.words[0], engine, /*imagesReportedLater=*/true);
    if (opened == Opened::Failed) return kExitFailure;
    const int32_t frames = enabledCount(engine.list(ListRole::Images));
    if (frames == 0) return fileError(a.words[0], "no enabled images");

    ProcessedExport request;
    request.kind = kind;
    request.path = output;
    request.depth = depth;
    request.sequence = frames > 1 && !isVideoOutput(kind);
    request.name = sequenceNameOf(output);
    request.firstNumber = start >= 0 ? static_cast<uint32_t>(start) : request.name.initialNumber;
    if (refuseConflict(exportFileNames(request, frames), engine)) return kExitFailure;
    subject = output;
    const ExportResult result = saveProcessed(engine, request);
    // The frames that did not load are named whatever else happened, even
    // with --quiet: the command did not do all it was asked.
    if (!result.failures.empty()) std::fprintf(stderr, "stelp-cli: %s: %s", a.words[0].c_str(), describeFailures(result).c_str());
    if (!result.ok) return fileError("cannot write " + result.failedPath, result.why);
    if (result.written == 0) return fileError(a.words[0], "no image could be processed");
    return result.complete() && opened == Opened::Complete ? kExitOk : kExitFailure;
  });
}

int masterCommand(const std::vector<std::string>& args) {
  if (wantsHelp(args, kMasterUsage)) return kExitOk;
  Arguments a;
  std::string error;
  if (!parseArguments(args, {"--fits32", "--fits-float", "--quiet"},
                      {"--combine", "--kappa-low", "--kappa-high", "--memory"}, a, error))
    return usageError(error, kMasterUsage);
  int64_t memory = 0;
  if (!combineMemoryOf(a, memory, error)) return usageError(error, kMasterUsage);
  CombineGroup check;
  if (!combineOf(a, check, error)) return usageError(error, kMasterUsage);
  FitsDepth depth = FitsDepth::Int16;
  if (!fitsDepthOf(a, depth, error)) return usageError(error, kMasterUsage);
  if (a.words.size() != 3) return usageError("master takes PRODUCT, PROJECT and OUTPUT", kMasterUsage);
  const std::string& product = a.words[0];
  const std::string& output = a.words[2];
  const bool raw = lowerExtension(output) == "raw";
  if (!raw && outputKindOf(output) != OutputKind::Bitmap && outputKindOf(output) != OutputKind::Fits)
    return fileError(output, "unknown output extension (use .bmp, .fit, .fts, .fits or .raw)");

  CliProgress progress(a.has("--quiet"));
  Engine engine(&progress);
  engine.SetCombineMemory(memory);
  engine.SetSpillFolder(folderOf(output));
  struct ProductName {
    const char* name;
    ProductBit bit;
    MasterProduct kind;
    ListRole from;  // the list it is made from
  };
  static constexpr ProductName kProducts[] = {
      {"dark", kMasterDarkBit, MasterProduct::Dark, ListRole::Darks},
      {"flat", kMasterFlatBit, MasterProduct::Flat, ListRole::Flats},
      {"synthetic", kSyntheticFlatBit, MasterProduct::SyntheticFlat, ListRole::Flats},
      {"hotpixels", kHotPixelMapBit, MasterProduct::HotPixels, ListRole::Darks},
      {"gradient", kGradientMapBit, MasterProduct::Gradient, ListRole::Flats},
  };
  const auto* chosen = std::find_if(std::begin(kProducts), std::end(kProducts),
                                    [&](const ProductName& p) { return product == p.name; });
  if (chosen == std::end(kProducts)) return usageError("unknown product '" + product + "'", kMasterUsage);
  std::string subject = a.words[1];
  return guardMemory(subject, [&] {
    const Opened opened = openForCommand(a.words[1], engine, /*imagesReportedLater=*/false);
    if (opened == Opened::Failed) return kExitFailure;
    // The options replace the project's combination of the list the product
    // is made from (checked above, so they parse).
    if (chosen->from == ListRole::Darks) {
      DarkGroup dark = engine.settings().dark;
      combineOf(a, dark.combine, error);
      engine.ApplyDarksSettings(dark);
    } else {
      FlatGroup flat = engine.settings().flat;
      combineOf(a, flat.combine, error);
      engine.ApplyFlatsSettings(flat);
    }
    if (refuseConflict({output}, engine)) return kExitFailure;
    const ImageBuffer* made = engine.Make(chosen->bit);
    // The frames the product had to do without are named, even with --quiet.
    const std::vector<FrameFailure>& passedOver = engine.PassedOver(chosen->from);
    if (!passedOver.empty())
      std::fprintf(stderr, "stelp-cli: %s: the %s was made without these frames:\n%s", a.words[1].c_str(),
                   product.c_str(), describeFailures(passedOver).c_str());
    if (!made)
      return fileError(a.words[1], chosen->from == ListRole::Darks ? "nothing to save: no enabled darks"
                                                                   : "nothing to save: no enabled flats");

    subject = output;
    std::string why;
    const bool written = raw ? writeRawPixels(output, *made, &why)
                             : saveMasterFrame(engine, chosen->kind, *made, output, depth, &why);
    if (!written) return fileError("cannot write " + output, why);
    return opened == Opened::Complete && passedOver.empty() ? kExitOk : kExitFailure;
  });
}

int renderCommand(const std::vector<std::string>& args) {
  if (wantsHelp(args, kRenderUsage)) return kExitOk;
  Arguments a;
  std::string error;
  if (!parseArguments(args, {"--quiet", "--display-stretch"}, {"--size", "--scale", "--center"}, a, error))
    return usageError(error, kRenderUsage);
  if (a.words.size() != 4) return usageError("render takes PROJECT, ROLE, VIEW and OUTPUT", kRenderUsage);
  int64_t width = 640, height = 480;
  if (const std::string* size = a.value("--size")) {
    const size_t x = size->find('x');
    if (x == std::string::npos || !parseNumber(size->substr(0, x), 1, 16384, width) ||
        !parseNumber(size->substr(x + 1), 1, 16384, height))
      return usageError("--size needs WIDTHxHEIGHT, not '" + *size + "'", kRenderUsage);
  }
  ViewOptions options;
  options.stretch = a.has("--display-stretch") ? DisplayStretch::On : DisplayStretch::Off;
  if (const std::string* scale = a.value("--scale"); scale && *scale != "fit") {
    static const char* const kScales[] = {"1/8", "1/4", "1/2", "1", "2", "4", "8"};
    const auto found = std::find(std::begin(kScales), std::end(kScales), *scale) - std::begin(kScales);
    if (found == std::ssize(kScales))
      return usageError("--scale takes fit, 1/8, 1/4, 1/2, 1, 2, 4 or 8, not '" + *scale + "'", kRenderUsage);
    options.place.fit = false;
    options.place.level = static_cast<int32_t>(found) + kMinZoomLevel;
  }
  std::optional<std::pair<int64_t, int64_t>> centre;
  if (const std::string* text = a.value("--center")) {
    const size_t comma = text->find(',');
    int64_t x = 0, y = 0;
    if (comma == std::string::npos || !parseNumber(text->substr(0, comma), 0, INT32_MAX, x) ||
        !parseNumber(text->substr(comma + 1), 0, INT32_MAX, y))
      return usageError("--center needs X,Y, not '" + *text + "'", kRenderUsage);
    if (options.place.fit) return usageError("--center needs a --scale other than fit", kRenderUsage);
    centre = std::pair(x, y);
  }
  static const char* const kRoles[] = {"images", "flats", "darks"};
  static const std::vector<std::vector<std::string>> kViews = {
      {"raw", "processed"}, {"raw", "averaged", "grad", "synthetic"}, {"raw", "averaged", "hot"}};
  const auto role = std::find(std::begin(kRoles), std::end(kRoles), a.words[1]) - std::begin(kRoles);
  if (role == std::ssize(kRoles)) return usageError("unknown role '" + a.words[1] + "'", kRenderUsage);
  const std::vector<std::string>& views = kViews[static_cast<size_t>(role)];
  const auto view = std::find(views.begin(), views.end(), a.words[2]) - views.begin();
  if (view == static_cast<long>(views.size()))
    return usageError("view '" + a.words[2] + "' does not belong to role '" + a.words[1] + "'", kRenderUsage);
  if (outputKindOf(a.words[3]) != OutputKind::Bitmap) return fileError(a.words[3], "the output must be a .bmp file");

  int64_t memory = 0;
  if (!combineMemoryOf(a, memory, error)) return usageError(error, kRenderUsage);

  CliProgress progress(a.has("--quiet"));
  Engine engine(&progress);
  engine.SetCombineMemory(memory);
  engine.SetSpillFolder(folderOf(a.words[3]));
  std::string subject = a.words[0];
  return guardMemory(subject, [&] {
    const Opened opened = openForCommand(a.words[0], engine, /*imagesReportedLater=*/false);
    if (opened == Opened::Failed) return kExitFailure;
    if (refuseConflict({a.words[3]}, engine)) return kExitFailure;
    // The middle of the chosen pixel, or where the window's 1:1 puts the
    // frame's centre.
    if (!options.place.fit) {
      const FrameSize frame = engine.frameSize();
      const ViewPlace centred = CentredAt(options.place.level, frame.width, frame.height);
      options.place.centreX = centre ? centre->first * kSubPixels + kSubPixels / 2 : centred.centreX;
      options.place.centreY = centre ? centre->second * kSubPixels + kSubPixels / 2 : centred.centreY;
    }
    Bitmap24 bitmap;
    engine.RenderView(static_cast<int32_t>(role), static_cast<int32_t>(view), static_cast<int32_t>(width),
                      static_cast<int32_t>(height), kViewBackground, bitmap, options);

    subject = a.words[3];
    ImageBuffer image;
    image.setFormat(PixelFormat::Bgr24);
    image.width = bitmap.width;
    image.height = bitmap.height;
    if (!image.allocate()) return fileError(a.words[3], "not enough memory");
    for (int32_t y = 0; y < image.height; ++y)
      std::memcpy(image.row(y), bitmap.bytes.data() + bitmap.rowBytes * static_cast<size_t>(y),
                  static_cast<size_t>(image.rowBytes));
    std::string why;
    if (!writeBitmap(a.words[3], image, &why)) return fileError("cannot write " + a.words[3], why);
    return opened == Opened::Complete ? kExitOk : kExitFailure;
  });
}

int demoCommand(const std::vector<std::string>& args) {
  if (wantsHelp(args, kDemoUsage)) return kExitOk;
  Arguments a;
  std::string error;
  if (!parseArguments(args, {}, {}, a, error)) return usageError(error, kDemoUsage);
  if (a.words.size() != 1) return usageError("demo takes DIR", kDemoUsage);
  const std::string& dir = a.words[0];
  // A project keeps one path a line: a folder whose name (or whose parent's)
  // holds a line break could be written but never opened again.
  std::error_code failed;
  const std::filesystem::path absolute = std::filesystem::absolute(dir, failed);
  if ((failed ? dir : absolute.string()).find_first_of("\r\n") != std::string::npos)
    return fileError(dir, "a project cannot refer to a folder whose name holds a line break");
  DemoFiles files;
  std::string why;
  if (!writeDemoData(dir, files, &why)) return fileError(dir, why);

  // The lists are made as an import makes them.
  std::array<SourceList, kRoleCount> lists;
  for (const auto& [role, paths] : {std::pair{ListRole::Images, &files.images}, std::pair{ListRole::Flats, &files.flats},
                                    std::pair{ListRole::Darks, &files.darks}}) {
    for (const std::string& path : *paths) {
      FileEntries file = entriesOfFile(path);
      if (!file) return fileError(path, file.why);
      for (auto& entry : file.entries) lists[static_cast<size_t>(role)].entries.push_back(std::move(entry));
    }
  }
  // Every step on, so that each view of the demo shows something.
  ProcessingSettings settings;
  ProcessingGroup& p = settings.processing;
  p.dark = p.flat = p.hot = true;
  p.stretch = StretchMode::Percent;
  p.stretchFromRel = 1.0f;
  p.stretchToRel = 99.5f;
  settings.flat.filterWidth = 40;
  settings.flat.filterHeight = 30;
  Engine engine;
  engine.Replace(settings, std::move(lists), FrameSize());
  const std::string project = (std::filesystem::path(dir) / "demo.sjx").string();
  if (!saveProject(project, engine, &why)) return fileError("cannot write " + project, why);
  std::printf("%s\n", project.c_str());
  return kExitOk;
}

}  // namespace stelp::cli
