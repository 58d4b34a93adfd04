#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.h"

namespace stelp {

// The texts of the project commands, for the window that runs them.
constexpr const char* kProjectExtension = ".sjx";
constexpr const char* kProjectFilterName = "SJX file (.sjx)";
constexpr const char* kProjectFilterPattern = "*.sjx";
constexpr const char* kAllFilesFilterName = "All Files (*.*)";
constexpr const char* kAllFilesFilterPattern = "*.*";
constexpr const char* kOpenProjectTitle = "Load Stelp project";
constexpr const char* kSaveProjectTitle = "Save Stelp project";
constexpr const char* kFilesNotLoadedMessage = "Some of the image files could not be loaded";
constexpr const char* kFilesNotLoadedCaption = "Load Project";

// A project stores one section per source file; an AVI file's section
// expects no more entries than this, whatever its "Frames" says, so that a
// damaged count cannot exhaust memory. At five frames per second it is more
// than two days of video.
constexpr int32_t kMaxAviFramesPerFile = 1 << 20;

// The kind of source file that a name's extension says: the text from the
// last '.' after the last '/', '\' or ':', compared without regard to case
// with ".avi", ".bmp", ".fit", ".fts" and ".fits".
enum class SourceKind { Unknown, Avi, Bitmap, Fits };
SourceKind sourceKindOf(std::string_view path);

// Where the file name of a project path begins (after its last '/'), as the
// file dialog reports it.
int32_t projectNameOffset(std::string_view path);

// The main window's title: "Stelp - " and the project's file name with its
// extension, or "Stelp" when there is no project.
std::string projectTitle(std::string_view projectPath);

// Saves the settings and the three lists as a project at `path`: the whole
// text is built first and then replaces the file in one atomic rewrite, so a
// failed save leaves the previous project as it was and returns false with
// `why`. Entries whose path cannot be held by one line (a line break) are
// left out of the file and listed in `leftOut`; the save still succeeds.
bool saveProject(const std::string& path, const Engine& engine, std::string* why = nullptr,
                 std::vector<std::string>* leftOut = nullptr);

struct OpenProjectResult {
  bool readable = true;             // false: the file could not be read (`why`); it counted as empty
  bool isProject = false;           // the file holds a section that a project save writes
  bool someFilesNotLoaded = false;  // show kFilesNotLoadedMessage, caption kFilesNotLoadedCaption
  std::string why;
};

// Replaces the lists and the settings with the project's: drops every
// product and the frame size, reads each setting over its present value (a
// missing key keeps it), and loads the lists. A source file missing at its
// stored path is looked for in the project's folder, and its entry then
// takes the new path. Entries of another frame size, of an unknown
// extension or of an AVI file whose "Frames" is not positive are passed over
// silently; files found nowhere, and files found but whose frame cannot be
// decoded, are passed over and make `someFilesNotLoaded` true. The first
// entry of each list gets the focus, and Images becomes the current role.
OpenProjectResult openProject(const std::string& path, Engine& engine);

// Empties the lists, drops every product and the frame size, and gives the
// settings their defaults except the colour mode, which stays.
void newProject(Engine& engine);

}  // namespace stelp
