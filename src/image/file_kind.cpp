#include "file_kind.h"

#include <cctype>
#include <cstring>

#include "byte_io.h"

namespace stelp {

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

FileKind kindFromExtension(const std::string& path) {
  const std::string extension = lowerExtension(path);
  if (extension == "bmp" || extension == "dib") return FileKind::Bitmap;
  if (extension == "fit" || extension == "fts" || extension == "fits") return FileKind::Fits;
  if (extension == "avi") return FileKind::Avi;
  return FileKind::Unknown;
}

FileKind detectFileKind(const std::string& path) {
  FileInput input;
  if (input.open(path, nullptr)) {
    char magic[12] = {};
    const size_t got = input.readAt(0, magic, sizeof magic);
    if (got >= 2 && magic[0] == 'B' && magic[1] == 'M') return FileKind::Bitmap;
    if (got >= 9 && std::memcmp(magic, "SIMPLE  =", 9) == 0) return FileKind::Fits;
    if (got == 12 && std::memcmp(magic, "RIFF", 4) == 0 && std::memcmp(magic + 8, "AVI ", 4) == 0)
      return FileKind::Avi;
  }
  return kindFromExtension(path);
}

const char* kindName(FileKind kind) {
  switch (kind) {
    case FileKind::Bitmap: return "bmp";
    case FileKind::Fits: return "fits";
    case FileKind::Avi: return "avi";
    case FileKind::Unknown: break;
  }
  return "unknown";
}

}  // namespace stelp
