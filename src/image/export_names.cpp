#include "export_names.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "file_kind.h"

namespace stelp {

OutputKind outputKindOf(const std::string& path) {
  switch (kindFromExtension(path)) {
    case FileKind::Bitmap:
      // Only "bmp" names a bitmap output; ".dib" is read but not offered.
      return lowerExtension(path) == "bmp" ? OutputKind::Bitmap : OutputKind::None;
    case FileKind::Fits: return OutputKind::Fits;
    case FileKind::Avi: return OutputKind::Avi;
    case FileKind::Ser: return OutputKind::Ser;
    case FileKind::Unknown: break;
  }
  return OutputKind::None;
}

SequenceName sequenceNameOf(const std::string& path) {
  SequenceName name;
  const size_t slash = path.find_last_of('/');
  size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) dot = path.size();
  name.extension = dot < path.size() ? path.substr(dot + 1) : std::string();
  std::string base = path.substr(0, dot);

  // Trailing digits, after some other character that is not the first of
  // the path, are the number to start from.
  size_t firstDigit = base.size();
  while (firstDigit > 0 && base[firstDigit - 1] >= '0' && base[firstDigit - 1] <= '9') --firstDigit;
  const bool otherCharacterAfterStart = firstDigit >= 2;
  if (otherCharacterAfterStart && firstDigit < base.size()) {
    uint64_t number = 0;
    for (size_t i = firstDigit; i < base.size(); ++i)
      number = std::min<uint64_t>(number * 10 + static_cast<uint64_t>(base[i] - '0'), std::numeric_limits<uint32_t>::max());
    name.initialNumber = static_cast<uint32_t>(number);
    name.base = base.substr(0, firstDigit);
    return name;
  }
  name.base = base;
  name.separator.assign(1, '_');
  return name;
}

std::string sequenceFileName(const SequenceName& name, uint32_t number, OutputKind kind) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%03u", number);
  const std::string extension = kind == OutputKind::Bitmap ? "bmp" : name.extension;
  return name.base + name.separator + digits + "." + extension;
}

}  // namespace stelp
