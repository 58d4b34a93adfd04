// stelp-cli info and convert: the image layer on its own.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "cli_common.h"
#include "engine/export.h"
#include "image/avi.h"
#include "image/bitmap.h"
#include "image/byte_io.h"
#include "image/file_kind.h"
#include "image/fits.h"
#include "image/image_buffer.h"

namespace stelp::cli {
namespace {

constexpr char kInfoUsage[] =
    "usage: stelp-cli info FILE [--fits-scale camera|brightest]\n"
    "  print KIND WIDTHxHEIGHT frames=N for a bitmap, FITS or AVI file, and for a\n"
    "  FITS file a second line: its data type and how its values are scaled\n";
constexpr char kConvertUsage[] =
    "usage: stelp-cli convert INPUT OUTPUT [--format gray8|gray16|gray32|grayfloat|bgr24|bgrfloat]\n"
    "                 [--frame N] [--fits32|--fits-float] [--fits-scale camera|brightest] [--repeat N]\n"
    "  read INPUT (frame N of an AVI, default 0) in the given pixel format (default\n"
    "  bgr24) and write OUTPUT by its extension: .bmp, .fit/.fts/.fits (unsigned\n"
    "  16-bit; 32-bit with --fits32, 32-bit float of 0..1 with --fits-float), .avi\n"
    "  (a video of the frame, N times with --repeat) or .raw (the pixel bytes).\n"
    "  FITS input is read on the camera's scale unless --fits-scale brightest\n";

struct FormatName {
  const char* name;
  PixelFormat format;
};
constexpr FormatName kFormats[] = {
    {"gray8", PixelFormat::Gray8},         {"gray16", PixelFormat::Gray16}, {"gray32", PixelFormat::Gray32},
    {"grayfloat", PixelFormat::GrayFloat}, {"bgr24", PixelFormat::Bgr24},   {"bgrfloat", PixelFormat::BgrFloat},
};

// Loads `path` (frame `frame` of a video) with the reader of its kind; false
// with the reason in `why`.
bool loadImage(const std::string& path, int32_t frame, PixelFormat format, FitsScale scale, ImageSlot& slot,
               FileKind& kind, std::string& why, std::string* scaleNote = nullptr) {
  FileInput probe;
  if (!probe.open(path, &why)) return false;
  kind = detectFileKind(path);
  switch (kind) {
    case FileKind::Bitmap: return readBitmap(path, format, slot, &why);
    case FileKind::Fits: return readFits(path, format, slot, &why, scale, scaleNote);
    case FileKind::Avi: return readAviFrame(path, frame, format, slot, &why);
    case FileKind::Unknown: break;
  }
  why = "not a bitmap, FITS or AVI file";
  return false;
}

// Writes `image` as the `count` frames of a new AVI file.
bool writeAvi(const std::string& path, const ImageBuffer& image, int32_t count, std::string& why) {
  AviWriter writer;
  if (!openAviWriter(writer, path, image, &why)) return false;
  bool written = true;
  for (int32_t i = 0; i < count && written; ++i) written = writeAviFrame(writer, image, &why);
  // A video that failed is dropped unclosed: the previous file stays.
  return written && closeAviWriter(writer, &why);
}

// Reads the value of --fits-scale; false when it names no scale.
bool parseFitsScale(const std::string& text, FitsScale& scale) {
  if (text == "camera") scale = FitsScale::Camera;
  else if (text == "brightest") scale = FitsScale::BrightestPixel;
  else return false;
  return true;
}

}  // namespace

int infoCommand(const std::vector<std::string>& args) {
  if (wantsHelp(args, kInfoUsage)) return kExitOk;
  Arguments a;
  std::string error;
  if (!parseArguments(args, {}, {"--fits-scale"}, a, error)) return usageError(error, kInfoUsage);
  if (a.words.size() != 1) return usageError("info takes one FILE", kInfoUsage);
  FitsScale scale = FitsScale::Camera;
  if (const std::string* text = a.value("--fits-scale"); text && !parseFitsScale(*text, scale))
    return usageError("--fits-scale is camera or brightest, not '" + *text + "'", kInfoUsage);
  const std::string& path = a.words[0];
  return guardMemory(path, [&] {
    ImageSlot image;
    FileKind kind = FileKind::Unknown;
    std::string why, scaleNote;
    if (!loadImage(path, 0, PixelFormat::Gray8, scale, image, kind, why, &scaleNote)) return fileError(path, why);
    const int32_t frames = kind == FileKind::Avi ? aviFrameCount(path) : 1;
    std::printf("%s %dx%d frames=%d\n", kindName(kind), image->width, image->height, frames);
    if (kind == FileKind::Fits) std::printf("%s\n", scaleNote.c_str());
    return kExitOk;
  });
}

int convertCommand(const std::vector<std::string>& args) {
  if (wantsHelp(args, kConvertUsage)) return kExitOk;
  std::vector<std::string> paths;
  PixelFormat format = PixelFormat::Bgr24;
  FitsDepth depth = FitsDepth::Int16;
  FitsScale scale = FitsScale::Camera;
  int fitsDepthFlags = 0;
  int32_t frame = 0;
  int32_t repeat = 1;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--fits32" || arg == "--fits-float") {
      depth = arg == "--fits32" ? FitsDepth::Int32 : FitsDepth::Float32;
      ++fitsDepthFlags;
    } else if (arg == "--fits-scale") {
      if (++i == args.size()) return usageError("--fits-scale needs a value", kConvertUsage);
      if (!parseFitsScale(args[i], scale))
        return usageError("--fits-scale is camera or brightest, not '" + args[i] + "'", kConvertUsage);
    } else if (arg == "--format") {
      if (++i == args.size()) return usageError("--format needs a value", kConvertUsage);
      const FormatName* found = nullptr;
      for (const FormatName& f : kFormats)
        if (args[i] == f.name) found = &f;
      if (!found) return usageError("unknown format '" + args[i] + "'", kConvertUsage);
      format = found->format;
    } else if (arg == "--frame" || arg == "--repeat") {
      if (++i == args.size()) return usageError(arg + " needs a value", kConvertUsage);
      char* end = nullptr;
      const long value = std::strtol(args[i].c_str(), &end, 10);
      if (args[i].empty() || *end != '\0' || value < INT32_MIN || value > INT32_MAX ||
          (arg == "--repeat" && value < 1))
        return usageError(arg + " needs a whole number, not '" + args[i] + "'", kConvertUsage);
      (arg == "--frame" ? frame : repeat) = static_cast<int32_t>(value);
    } else if (arg.size() > 1 && arg[0] == '-') {
      return usageError("unknown option '" + arg + "'", kConvertUsage);
    } else {
      paths.push_back(arg);
    }
  }
  if (paths.size() != 2) return usageError("convert takes INPUT and OUTPUT", kConvertUsage);
  if (fitsDepthFlags > 1) return usageError("--fits32 and --fits-float exclude each other", kConvertUsage);
  const std::string& input = paths[0];
  const std::string& output = paths[1];

  // Check the output kind before reading anything: an unknown extension must
  // not look like a successful conversion.
  const std::string extension = lowerExtension(output);
  const FileKind outputKind = kindFromExtension(output);
  if (outputKind == FileKind::Unknown && extension != "raw")
    return fileError(output, "unknown output extension '" + extension + "' (use .bmp, .fit, .fts, .fits, .avi or .raw)");

  if (repeat != 1 && outputKind != FileKind::Avi) return usageError("--repeat needs an .avi output", kConvertUsage);

  std::string subject = input;
  return guardMemory(subject, [&] {
    ImageSlot image;
    FileKind kind = FileKind::Unknown;
    std::string why;
    if (!loadImage(input, frame, format, scale, image, kind, why)) return fileError(input, why);
    subject = output;
    bool written = false;
    if (outputKind == FileKind::Bitmap)
      written = writeBitmap(output, *image, &why);
    else if (outputKind == FileKind::Fits)
      // A FITS source's observation cards go with the picture.
      written = writeFits(output, *image, depth, &why,
                          kind == FileKind::Fits ? readFitsObservationCards(input) : FitsCards{});
    else if (outputKind == FileKind::Avi)
      written = writeAvi(output, *image, repeat, why);
    else
      written = writeRawPixels(output, *image, &why);
    if (!written) return fileError(output, why);
    return kExitOk;
  });
}

}  // namespace stelp::cli
