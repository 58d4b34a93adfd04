#pragma once

#include <string>
#include <string_view>

namespace stelp {

enum class FileKind { Unknown, Bitmap, Fits, Avi };

// Whether two texts are equal when ASCII letters are compared without case.
bool equalsIgnoringCase(std::string_view a, std::string_view b);

// The extension of the file name in `path` (text after its last dot), lower
// case; empty when the name has none.
std::string lowerExtension(const std::string& path);

// The kind a file name's extension names: "bmp"/"dib"; "fit", "fts", "fits";
// "avi".
FileKind kindFromExtension(const std::string& path);

// The kind of an existing file: by its first bytes when they are a known
// signature, else by its extension, so a reader can say why it refuses it.
FileKind detectFileKind(const std::string& path);

const char* kindName(FileKind kind);

}  // namespace stelp
