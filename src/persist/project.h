#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.h"
#include "image/file_kind.h"
#include "persist/ini.h"

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
// Entries marked missing are written back as they were opened: an AVI
// file's "Frames" is then the number of its frames the list holds.
bool saveProject(const std::string& path, const Engine& engine, std::string* why = nullptr,
                 std::vector<std::string>* leftOut = nullptr);

// How an open ended. On anything but Opened the engine is left as it was.
enum class OpenStatus {
  Opened,
  NotFound,     // no file at the path
  NotAProject,  // a folder, FIFO or device, or a file without any section a project save writes
  Unreadable,   // the file exists but could not be read, or is larger than kMaxIniFileBytes
  Stopped,      // a stop request ended the read; nothing of it may be installed
};

struct OpenProjectResult {
  OpenStatus status = OpenStatus::Opened;
  std::string why;  // not Opened: the reason, in a few lower-case words
  // Stored paths of source files found neither where the project says nor in
  // its folder (or that are not regular files). Their entries stay in the
  // lists, marked `missing`, and a save writes them back as they were.
  std::vector<std::string> missingFiles;
  // One line for each entry the open passed over or cut, and why
  // ("<path>: <reason>"), frames of a video past its real end among them.
  std::vector<std::string> problems;
  // Settings brought into their ranges ("Flat.FilterWidth: -5 → 0"): the
  // project opened whole, with these values.
  std::vector<std::string> settingChanges;
};

// A project's content as its text holds it, before any file it names is
// looked at. Each entry is one section of a list.
struct StoredEntry {
  std::string path;          // as stored
  std::string section;       // its section, where the per-frame "Enabled k" keys are
  bool video = false;        // the section holds "Frames", as a save writes for a video
  bool enabled = true;       // a still's "Enabled"
  int32_t frames = 0;        // a video's "Frames", at most kMaxAviFramesPerFile
};

struct StoredProject {
  ProcessingSettings settings;
  std::array<std::vector<StoredEntry>, kRoleCount> lists;
  std::vector<std::string> changes;  // settings brought into range, as in OpenProjectResult::settingChanges
};

// Reads the settings (starting from `present`: a missing key keeps its
// value, but for FitsScale, which projects saved before it existed lack and
// which then reads as Brightest pixel; a value outside its range from setting_ranges.h is brought into it
// and listed) and the entries of the three lists from `document`. False,
// with `why`, when the document holds no section that a project save writes.
// Touches no file.
bool readStoredProject(const IniFile& document, const ProcessingSettings& present, StoredProject& project,
                       std::string* why = nullptr);

// Opens the project at `path`. When the file is not found, is not a project
// or cannot be read, the engine is left as it was and the status says which.
// Otherwise the lists and the settings are replaced by the project's: every
// product and the frame size are dropped, each setting is read over its
// present value (see readStoredProject). A source file missing at its
// stored path is looked for in the project's folder, and its entry then
// takes the new path; a file found nowhere keeps its entry, marked missing.
// A file found is probed as an import probes it (entriesOfFile): entries
// that it refuses, of another frame size (admitFrameSize), or that the
// project lists as a video while the file holds one picture or the other way
// round are passed over; a video entry keeps no more frames than the video
// has. The first entry of each list gets the focus, and Images
// becomes the current role.
OpenProjectResult openProject(const std::string& path, Engine& engine);

// openProject in two steps, so that the files can be read on a worker while
// the engine is in use: the project read and its files probed (touching no
// engine; `present` are the settings a missing key keeps; under a stop
// request it ends early and the result is not to be installed), then, for a
// result whose status is Opened, the lists and settings put into the engine.
struct PreparedProject {
  OpenProjectResult result;
  ProcessingSettings settings;
  FrameSize frameSize;
  std::array<SourceList, kRoleCount> lists;
};
PreparedProject prepareProject(const std::string& path, const ProcessingSettings& present);
void installProject(PreparedProject& prepared, Engine& engine);

// Empties the lists, drops every product and the frame size, and gives the
// settings their defaults except the colour mode, which stays.
void newProject(Engine& engine);

}  // namespace stelp
