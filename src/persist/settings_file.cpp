#include "persist/settings_file.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "persist/ini.h"
#include "persist/profile_store.h"

namespace stelp {
namespace {

constexpr const char* kSettingsFileName = "Stelp.ini";

// The keys of section "Folders", in the order of FolderKind.
constexpr const char* kFoldersSection = "Folders";
constexpr std::array<const char*, kFolderKindCount> kFolderKeys = {"Import", "Project", "Processed", "Master"};

std::string homeDirectory() {
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return home;
  const passwd* user = ::getpwuid(::getuid());
  return user && user->pw_dir ? std::string(user->pw_dir) : std::string();
}

}  // namespace

std::string configDirectory() {
  // A relative $XDG_CONFIG_HOME is invalid and ignored.
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return xdg;
  const std::string home = homeDirectory();
  return home.empty() ? std::string() : home + "/.config";
}

std::string settingsFilePath() {
  const std::string folder = configDirectory();
  return folder.empty() ? std::string() : folder + "/" + kSettingsFileName;
}

StoredSettings loadSettings(const std::string& path, const WindowRect& present, std::string* why) {
  StoredSettings stored;
  stored.window = present;
  IniFile file;
  if (!readIniFile(path, file, why)) return stored;
  ProfileStore store(file);

  store.SetSection("Window");
  store.ReadIntInPlace("X", stored.window.x);
  store.ReadIntInPlace("Y", stored.window.y);
  store.ReadIntInPlace("W", stored.window.width);
  store.ReadIntInPlace("H", stored.window.height);

  // One digit for each dialog: the processed filter in the units, the
  // master filter in the tens.
  store.SetSection("Settings");
  int32_t filter = 0;
  store.ReadInt("Filter", filter, 0);
  stored.processedFilterIndex = filter % 10;
  stored.masterFilterIndex = filter / 10;
  store.ReadInt("Flags", stored.flags, kNoFlags);

  store.SetSection(kFoldersSection);
  for (size_t kind = 0; kind < kFolderKindCount; ++kind) stored.folders[kind] = store.ReadString(kFolderKeys[kind]);
  return stored;
}

bool saveSettings(const std::string& path, const SettingsToSave& values, std::string* why) {
  if (path.empty()) {
    if (why) *why = "no folder for the settings file";
    return false;
  }
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  std::error_code error;
  if (!folder.empty() && !std::filesystem::exists(folder, error)) {
    std::filesystem::create_directories(folder, error);
    if (error) {
      if (why) *why = "cannot create " + folder.string() + ": " + error.message();
      return false;
    }
  }

  IniFile file;
  if (!readIniFile(path, file, why)) return false;
  ProfileStore store(file);
  store.SetSection("Window");
  store.WriteInt("X", values.restored.x);
  store.WriteInt("Y", values.restored.y);
  store.WriteInt("W", values.restored.width);
  store.WriteInt("H", values.restored.height);
  store.SetSection("Settings");
  store.WriteInt("Filter", static_cast<int32_t>(values.processedFilterIndex + int64_t{10} * values.masterFilterIndex));
  store.WriteInt("Flags", packFlags(values.launchCounter, values.today));
  store.SetSection(kFoldersSection);
  for (size_t kind = 0; kind < kFolderKindCount; ++kind)
    if (!values.folders[kind].empty()) store.WriteString(kFolderKeys[kind], values.folders[kind]);
  return writeFileAtomically(path, file.serialise(), why);
}

}  // namespace stelp
