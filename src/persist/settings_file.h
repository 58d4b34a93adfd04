#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "persist/launch_counter.h"

namespace stelp {

// The folder that holds our configuration: $XDG_CONFIG_HOME when it names an
// absolute path, otherwise ~/.config; empty when no home folder is known.
std::string configDirectory();

// The settings file, "Stelp.ini" in the configuration folder; empty when
// there is no configuration folder.
std::string settingsFilePath();

// A window rectangle in screen coordinates.
struct WindowRect {
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;
  bool operator==(const WindowRect&) const = default;
};

// The kinds of file whose dialogs each start in the folder last chosen for
// that kind: imported frames, projects, processed exports, master frames.
enum class FolderKind { Import, Project, Processed, Master };
constexpr size_t kFolderKindCount = 4;
// The folder last used for each kind, in the file system's encoding; empty
// while none was.
using LastFolders = std::array<std::string, kFolderKindCount>;

// What the settings file holds, as the main window uses it.
struct StoredSettings {
  WindowRect window;
  int32_t processedFilterIndex = 0;  // 1-based filter of "Save processed images"; 0: none chosen
  int32_t masterFilterIndex = 0;     // the same for the master-frame dialogs
  int32_t flags = kNoFlags;          // "Flags" for CountLaunch
  LastFolders folders;
};

// Reads the settings file. Every missing (or unreadable) value takes its
// default: the rectangle the window has now, filter numbers 0, no "Flags",
// no folders.
// A file that exists but cannot be read (not a regular file, larger than
// kMaxIniFileBytes...) gives every default and, when asked, `why`.
StoredSettings loadSettings(const std::string& path, const WindowRect& present, std::string* why = nullptr);

// What a save stores: the window's restored rectangle (its normal position,
// not the maximised one), the two filter numbers, the launch counter packed
// with today's date and the last folders.
struct SettingsToSave {
  WindowRect restored;
  int32_t processedFilterIndex = 0;
  int32_t masterFilterIndex = 0;
  int32_t launchCounter = 0;
  CalendarDay today;
  LastFolders folders;
};

// Writes "Window" X, Y, W, H, "Settings" Filter and Flags and the "Folders"
// that are known into the file, keeping everything else it holds, in one
// atomic rewrite; creates the configuration folder when it is missing. A
// folder whose name a line cannot hold (a line break) keeps what the file
// had. False (with `why`) when the file
// could not be read or written; it is then left as it was.
bool saveSettings(const std::string& path, const SettingsToSave& values, std::string* why = nullptr);

}  // namespace stelp
