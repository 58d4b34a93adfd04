#include "file_kind.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>

#include "avi.h"
#include "bitmap.h"
#include "byte_io.h"
#include "fits.h"
#include "image_source.h"
#include "ser.h"

namespace stelp {
namespace {

constexpr KindExtension kBitmapExtensions[] = {{"bmp", true}, {"dib", false}};
constexpr KindExtension kFitsExtensions[] = {{"fit", true}, {"fts", true}, {"fits", true}};
constexpr KindExtension kAviExtensions[] = {{"avi", true}};
constexpr KindExtension kSerExtensions[] = {{"ser", false}};

constexpr Signature kBitmapSignature[] = {{0, "BM"}};
constexpr Signature kFitsSignature[] = {{0, "SIMPLE  ="}};
constexpr Signature kAviSignature[] = {{0, "RIFF"}, {8, "AVI "}};
constexpr Signature kSerSignature[] = {{0, "LUCAM-RECORDER"}};
// Enough of a file's start to hold every signature.
constexpr size_t kSignatureBytes = 14;

bool readBitmapFrame(const std::string& path, int32_t, PixelFormat format, ImageSlot& slot, std::string* why,
                     FitsScale, std::string*) {
  return readBitmap(path, format, slot, why);
}

bool readFitsFrame(const std::string& path, int32_t, PixelFormat format, ImageSlot& slot, std::string* why,
                   FitsScale scale, std::string* scaleNote) {
  return readFits(path, format, slot, why, scale, scaleNote);
}

bool readAviFrameOf(const std::string& path, int32_t frame, PixelFormat format, ImageSlot& slot, std::string* why,
                    FitsScale, std::string*) {
  return readAviFrame(path, frame, format, slot, why);
}

bool addFitsFrame(const std::string& path, int32_t, ImageBuffer& sum, FitsScale scale) {
  return addFits(path, sum, scale);
}

bool addAviFrameOf(const std::string& path, int32_t frame, ImageBuffer& sum, FitsScale) {
  return addAviFrame(path, frame, sum);
}

int32_t countAviFrames(const std::string& path, std::string* why) { return aviFrameCount(path, why); }

bool readSerFrameOf(const std::string& path, int32_t frame, PixelFormat format, ImageSlot& slot, std::string* why,
                    FitsScale scale, std::string*) {
  return readSerFrame(path, frame, format, slot, why, scale);
}

bool addSerFrameOf(const std::string& path, int32_t frame, ImageBuffer& sum, FitsScale scale) {
  return addSerFrame(path, frame, sum, scale);
}

int32_t countSerFrames(const std::string& path, std::string* why) { return serFrameCount(path, why); }

// The header check puts at least one whole frame inside the file.
bool serFrameSize(const std::string& path, int32_t& width, int32_t& height, BayerPattern& bayer, std::string* why) {
  SerHeader header;
  if (!readSerHeader(path, header, why)) return false;
  width = header.width;
  height = header.height;
  bayer = serBayerPattern(header);
  return true;
}

// Bitmaps and AVI videos hold no mosaics.
template <bool (*size)(const std::string&, int32_t&, int32_t&, std::string*)>
bool frameSizeWithoutPattern(const std::string& path, int32_t& width, int32_t& height, BayerPattern& bayer,
                             std::string* why) {
  bayer = BayerPattern::None;
  return size(path, width, height, why);
}

bool fitsFrameShape(const std::string& path, int32_t& width, int32_t& height, BayerPattern& bayer,
                    std::string* why) {
  return fitsFrameSize(path, width, height, why, &bayer);
}

const FileKindInfo kFileKinds[] = {
    {FileKind::Bitmap, "bmp", "Bitmap files", kBitmapExtensions, kBitmapSignature, false, FrameBitmap,
     readBitmapFrame, nullptr, frameSizeWithoutPattern<bitmapFrameSize>, nullptr},
    {FileKind::Fits, "fits", "FITs files", kFitsExtensions, kFitsSignature, false, FrameFits, readFitsFrame,
     nullptr, fitsFrameShape, addFitsFrame},
    {FileKind::Avi, "avi", "AVI files", kAviExtensions, kAviSignature, true, FrameNone, readAviFrameOf,
     countAviFrames, frameSizeWithoutPattern<aviFrameSize>, addAviFrameOf},
    // After AVI: a video frame code alone names AVI, the first video row.
    {FileKind::Ser, "ser", "SER files", kSerExtensions, kSerSignature, true, FrameNone, readSerFrameOf,
     countSerFrames, serFrameSize, addSerFrameOf},
};

bool matches(std::span<const Signature> signature, const char* head, size_t size) {
  return std::all_of(signature.begin(), signature.end(), [&](const Signature& part) {
    return part.offset + part.bytes.size() <= size &&
           std::memcmp(head + part.offset, part.bytes.data(), part.bytes.size()) == 0;
  });
}

// "not a bitmap, FITS, AVI or SER file (.bmp, .dib, ...)": every extension
// the table reads.
std::string unknownKindReason() {
  return "not a bitmap, FITS, AVI or SER file (" + extensionList(FileKind::Unknown, ".", ", ") + ")";
}

// The row of the kind whose extension `path` has; `writtenOnly` asks for an
// extension the kind is written under.
const FileKindInfo* rowOfExtension(std::string_view path, bool writtenOnly) {
  const size_t dot = path.find_last_of('.');
  if (dot == std::string_view::npos) return nullptr;
  // A separator after the dot leaves an "extension" that no row names.
  const std::string_view extension = path.substr(dot + 1);
  for (const FileKindInfo& info : kFileKinds)
    for (const KindExtension& known : info.extensions)
      if ((known.written || !writtenOnly) && equalsIgnoringCase(extension, known.text)) return &info;
  return nullptr;
}

}  // namespace

std::span<const FileKindInfo> fileKinds() { return kFileKinds; }

const FileKindInfo* kindInfo(FileKind kind) {
  for (const FileKindInfo& info : kFileKinds)
    if (info.kind == kind) return &info;
  return nullptr;
}

std::string extensionList(FileKind kind, std::string_view prefix, std::string_view separator) {
  std::string list;
  for (const FileKindInfo& info : kFileKinds) {
    if (kind != FileKind::Unknown && info.kind != kind) continue;
    for (const KindExtension& extension : info.extensions) {
      if (!list.empty()) list += separator;
      list += prefix;
      list += extension.text;
    }
  }
  return list;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

std::string lowerExtension(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  std::string extension = path.substr(dot + 1);
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension;
}

FileKind kindFromExtension(std::string_view path) {
  const FileKindInfo* info = rowOfExtension(path, /*writtenOnly=*/false);
  return info ? info->kind : FileKind::Unknown;
}

FileKind writtenKindOf(std::string_view path) {
  const FileKindInfo* info = rowOfExtension(path, /*writtenOnly=*/true);
  return info ? info->kind : FileKind::Unknown;
}

FileKind detectFileKind(const std::string& path, std::string* why) {
  FileInput input;
  if (!input.open(path, why)) return FileKind::Unknown;
  std::array<char, kSignatureBytes> head{};
  const size_t got = input.readAt(0, head.data(), head.size());
  for (const FileKindInfo& info : kFileKinds)
    if (matches(info.signature, head.data(), got)) return info.kind;
  const FileKind named = kindFromExtension(path);
  if (named == FileKind::Unknown) refuse(why, unknownKindReason());
  return named;
}

FileKind kindOfFrameCode(int32_t frameCode) {
  for (const FileKindInfo& info : kFileKinds)
    if (info.video ? frameCode >= 0 : frameCode == info.stillCode) return info.kind;
  return FileKind::Unknown;
}

FileKind kindOfEntry(std::string_view path, int32_t frameCode) {
  if (frameCode < 0) return kindOfFrameCode(frameCode);
  const FileKindInfo* named = rowOfExtension(path, /*writtenOnly=*/false);
  return named && named->video ? named->kind : FileKind::Avi;
}

const char* kindName(FileKind kind) {
  const FileKindInfo* info = kindInfo(kind);
  return info ? info->name : "unknown";
}

}  // namespace stelp
