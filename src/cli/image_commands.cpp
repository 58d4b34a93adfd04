// stelp-cli info and convert: the image layer on its own.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cli_common.h"
#include "engine/export.h"
#include "image/avi.h"
#include "image/bitmap.h"
#include "image/file_kind.h"
#include "image/fits.h"
#include "image/image_buffer.h"
#include "image/ser.h"

namespace stelp::cli {
namespace {

constexpr char kInfoUsage[] =
    "usage: stelp-cli info FILE [--fits-scale camera|brightest]\n"
    "  print KIND WIDTHxHEIGHT frames=N for a bitmap, FITS, AVI or SER file, and a\n"
    "  second line for a FITS file (its data type and how its values are scaled)\n"
    "  and for a SER file (its depth, colour id, and frames its header claims\n"
    "  beyond those it holds), then for the mosaic of a colour sensor its Bayer\n"
    "  pattern from the top-left pixel as Stelp shows the frame\n";
constexpr char kConvertUsage[] =
    "usage: stelp-cli convert INPUT OUTPUT [--format gray8|gray16|gray32|grayfloat|bgr24|bgrfloat]\n"
    "                 [--frame N] [--fits32|--fits-float] [--fits-scale camera|brightest] [--repeat N]\n"
    "  read INPUT (frame N of an AVI or SER video, default 0) in the given pixel\n"
    "  format (default bgr24) and write OUTPUT by its extension: .bmp,\n"
    "  .fit/.fts/.fits (unsigned 16-bit; 32-bit with --fits32, 32-bit float of 0..1\n"
    "  with --fits-float), .avi (a video of the frame, N times with --repeat) or\n"
    "  .raw (the pixel bytes). FITS and 16-bit SER input is read on the camera's\n"
    "  scale unless --fits-scale brightest\n";

struct FormatName {
  const char* name;
  PixelFormat format;
};
constexpr FormatName kFormats[] = {
    {"gray8", PixelFormat::Gray8},         {"gray16", PixelFormat::Gray16}, {"gray32", PixelFormat::Gray32},
    {"grayfloat", PixelFormat::GrayFloat}, {"bgr24", PixelFormat::Bgr24},   {"bgrfloat", PixelFormat::BgrFloat},
};

// Loads frame `frame` of `path` (a still has only one) with the reader the
// table of file kinds gives its content; false with the reason in `why`.
bool loadImage(const std::string& path, int32_t frame, PixelFormat format, FitsScale scale, ImageSlot& slot,
               FileKind& kind, std::string& why, std::string* scaleNote = nullptr) {
  kind = detectFileKind(path, &why);
  const FileKindInfo* info = kindInfo(kind);
  return info && info->read(path, frame, format, slot, &why, scale, scaleNote);
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

// The pixel format --format names (bgr24 without it).
bool formatOf(const Arguments& a, PixelFormat& format, std::string& error) {
  format = PixelFormat::Bgr24;
  return eachValue(a, "--format", [&](const std::string& name) {
    for (const FormatName& f : kFormats)
      if (name == f.name) {
        format = f.format;
        return true;
      }
    error = "unknown format '" + name + "'";
    return false;
  });
}

// The FITS scale --fits-scale names (the camera's without it).
bool fitsScaleOf(const Arguments& a, FitsScale& scale, std::string& error) {
  scale = FitsScale::Camera;
  return eachValue(a, "--fits-scale", [&](const std::string& text) {
    if (text == "camera" || text == "brightest") {
      scale = text == "camera" ? FitsScale::Camera : FitsScale::BrightestPixel;
      return true;
    }
    error = "--fits-scale is camera or brightest, not '" + text + "'";
    return false;
  });
}

}  // namespace

int infoCommand(const std::vector<std::string>& args) {
  if (wantsHelp(args, kInfoUsage)) return kExitOk;
  Arguments a;
  std::string error;
  FitsScale scale = FitsScale::Camera;
  if (!parseArguments(args, {}, {"--fits-scale"}, a, error) || !fitsScaleOf(a, scale, error))
    return usageError(error, kInfoUsage);
  if (a.words.size() != 1) return usageError("info takes one FILE", kInfoUsage);
  const std::string& path = a.words[0];
  return guardMemory(path, [&] {
    ImageSlot image;
    FileKind kind = FileKind::Unknown;
    std::string why, scaleNote;
    if (!loadImage(path, 0, PixelFormat::Gray8, scale, image, kind, why, &scaleNote)) return fileError(path, why);
    const FileKindInfo& info = *kindInfo(kind);
    const int32_t frames = info.frameCount ? info.frameCount(path, nullptr) : 1;
    std::printf("%s %dx%d frames=%d\n", info.name, image->width, image->height, frames);
    if (kind == FileKind::Fits) std::printf("%s\n", scaleNote.c_str());
    SerHeader ser;
    if (kind == FileKind::Ser && readSerHeader(path, ser)) std::printf("%s\n", serDescription(ser).c_str());
    if (image->bayer != BayerPattern::None) std::printf("bayer %s from the top-left pixel\n", bayerName(image->bayer));
    return kExitOk;
  });
}

int convertCommand(const std::vector<std::string>& args) {
  if (wantsHelp(args, kConvertUsage)) return kExitOk;
  Arguments a;
  std::string error;
  PixelFormat format = PixelFormat::Bgr24;
  FitsDepth depth = FitsDepth::Int16;
  FitsScale scale = FitsScale::Camera;
  int64_t frame = 0, repeat = 1;
  if (!parseArguments(args, {"--fits32", "--fits-float"}, {"--format", "--frame", "--repeat", "--fits-scale"}, a,
                      error) ||
      !formatOf(a, format, error) || !fitsScaleOf(a, scale, error) ||
      !numberOption(a, "--frame", INT32_MIN, INT32_MAX, frame, error) ||
      !numberOption(a, "--repeat", 1, INT32_MAX, repeat, error))
    return usageError(error, kConvertUsage);
  if (a.words.size() != 2) return usageError("convert takes INPUT and OUTPUT", kConvertUsage);
  if (!fitsDepthOf(a, depth, error)) return usageError(error, kConvertUsage);
  const std::string& input = a.words[0];
  const std::string& output = a.words[1];

  // Check the output kind before reading anything: an unknown extension must
  // not look like a successful conversion.
  const std::string extension = lowerExtension(output);
  const FileKind outputKind = writtenKindOf(output);
  if (outputKind == FileKind::Unknown && extension != "raw")
    return fileError(output, "unknown output extension '" + extension + "' (use .bmp, .fit, .fts, .fits, .avi or .raw)");

  if (repeat != 1 && outputKind != FileKind::Avi) return usageError("--repeat needs an .avi output", kConvertUsage);

  std::string subject = input;
  return guardMemory(subject, [&] {
    ImageSlot image;
    FileKind kind = FileKind::Unknown;
    std::string why;
    if (!loadImage(input, static_cast<int32_t>(frame), format, scale, image, kind, why)) return fileError(input, why);
    subject = output;
    bool written = false;
    if (outputKind == FileKind::Bitmap)
      written = writeBitmap(output, *image, &why);
    else if (outputKind == FileKind::Fits)
      // A FITS source's observation cards go with the picture.
      written = writeFits(output, *image, depth, &why,
                          kind == FileKind::Fits ? readFitsObservationCards(input) : FitsCards{});
    else if (outputKind == FileKind::Avi)
      written = writeAvi(output, *image, static_cast<int32_t>(repeat), why);
    else
      written = writeRawPixels(output, *image, &why);
    if (!written) return fileError(output, why);
    return kExitOk;
  });
}

}  // namespace stelp::cli
