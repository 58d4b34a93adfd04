#include "persist/project.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <memory>

#include "image/avi.h"
#include "image/file_kind.h"
#include "image/image_source.h"
#include "persist/ini.h"
#include "persist/profile_store.h"

namespace stelp {
namespace {

constexpr int32_t kVersionMajor = 0;
constexpr int32_t kVersionMinor = 9;

// The section prefixes of the three lists, in role order.
constexpr std::array<const char*, kRoleCount> kListPrefixes = {"Image ", "Flat ", "Dark "};

std::string sectionName(ListRole role, int32_t number) {
  return kListPrefixes[static_cast<size_t>(role)] + std::to_string(number);
}

std::string enabledKey(int32_t frame) { return "Enabled " + std::to_string(frame); }

// Visits the settings in the order of the file, section by section; the
// same walk writes and reads them, so the two cannot drift apart.
template <typename Settings, typename Visit>
void visitSettings(Settings& settings, Visit&& visit) {
  auto& p = settings.processing;
  visit.section("Processing");
  visit("Colour", p.colour);
  visit("Dark", p.dark);
  visit("Flat", p.flat);
  visit("SynFlat", p.synFlat);
  visit("Hot", p.hot);
  visit("Stretch", p.stretch);
  visit("StretchFromRel", p.stretchFromRel);
  visit("StretchToRel", p.stretchToRel);
  visit("StretchFromAbs", p.stretchFromAbs);
  visit("StretchToAbs", p.stretchToAbs);
  visit("DeInterlace", p.deInterlace);
  visit.section("Flat");
  visit("FilterWidth", settings.flat.filterWidth);
  visit("FilterHeight", settings.flat.filterHeight);
  visit("VarHi", settings.flat.varHi);
  visit("VarLo", settings.flat.varLo);
  visit("Border", settings.flat.border);
  visit.section("Dark");
  visit("Hot", settings.dark.hot);
  visit("Cold", settings.dark.cold);
  visit("Expand", settings.dark.expand);
}

// Each value with the store's operation for its type.
struct SettingWriter {
  ProfileStore& store;
  void section(const char* name) { store.SetSection(name); }
  void operator()(const char* key, bool value) { store.WriteBool(key, value); }
  void operator()(const char* key, int32_t value) { store.WriteInt(key, value); }
  void operator()(const char* key, uint32_t value) { store.WriteUnsigned(key, value); }
  void operator()(const char* key, float value) { store.WriteFloat(key, value); }
};

struct SettingReader {
  ProfileStore& store;
  void section(const char* name) { store.SetSection(name); }
  void operator()(const char* key, bool& value) { store.ReadBoolInPlace(key, value); }
  void operator()(const char* key, int32_t& value) { store.ReadIntInPlace(key, value); }
  void operator()(const char* key, uint32_t& value) { store.ReadUnsignedInPlace(key, value); }
  void operator()(const char* key, float& value) { store.ReadFloatInPlace(key, value); }
};

void writeSettings(ProfileStore& store, const ProcessingSettings& settings) {
  store.SetSection("Version");
  store.WriteInt("Major", kVersionMajor);
  store.WriteInt("Minor", kVersionMinor);
  visitSettings(settings, SettingWriter{store});
}

void readSettings(ProfileStore& store, ProcessingSettings& settings) { visitSettings(settings, SettingReader{store}); }

// Writes one list: one section per file, numbered from 1; the frames of an
// AVI file (which stand together, frame 0 first) share the section that
// its frame 0 opened.
void writeList(ProfileStore& store, ListRole role, const SourceList& list, std::vector<std::string>* leftOut) {
  int32_t number = 1;
  const ImageSource* aviSection = nullptr;  // frame 0 of the AVI file whose section is open
  for (const auto& entry : list.entries) {
    const ImageSource* source = entry.get();
    if (!source || source->frameCode == FrameNone || source->path.empty()) continue;
    if (source->frameCode > 0) {
      // A frame whose frame 0 has no section of its own (left out, or not in
      // front of it) has nowhere to go and is passed over.
      if (aviSection && aviSection->path == source->path)
        store.WriteBool(enabledKey(source->frameCode), source->enabled);
      continue;
    }
    aviSection = nullptr;
    if (source->frameCode != 0 && source->frameCode != FrameBitmap && source->frameCode != FrameFits) continue;
    if (source->path.find_first_of("\r\n") != std::string::npos) {
      if (leftOut) leftOut->push_back(source->path);
      continue;
    }
    store.SetSection(sectionName(role, number++));
    store.WriteString("FileName", source->path);
    if (source->frameCode == 0) {
      store.WriteInt("Frames", aviFrameCount(source->path));
      store.WriteBool(enabledKey(0), source->enabled);
      aviSection = source;
    } else {
      store.WriteBool("Enabled", source->enabled);
    }
  }
}

// A file we can open for reading; a folder does not count.
bool opensForReading(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  const bool file = ::fstat(fd, &info) == 0 && !S_ISDIR(info.st_mode);
  ::close(fd);
  return file;
}

// The path under which a stored file is found: the stored path itself, else
// its file name in the project's folder. The file name is tried as the text
// after the last '/' and, for a project made on another system, after the
// last '/', '\' or ':' as well. Empty when the file is found nowhere.
std::string locateFile(const std::string& stored, const std::string& projectFolder) {
  if (opensForReading(stored)) return stored;
  for (const char* separators : {"/", "/\\:"}) {
    const size_t separator = stored.find_last_of(separators);
    const std::string name = separator == std::string::npos ? stored : stored.substr(separator + 1);
    if (name.empty()) continue;
    const std::string moved = projectFolder + name;
    if (opensForReading(moved)) return moved;
  }
  return std::string();
}

enum class FrameCheck { Fits, OtherSize, Undecodable };

// Loads the entry's frame to learn its size. The first frame of an open
// fixes the common frame size; every later one must match it.
FrameCheck checkFrame(Engine& engine, const ImageSource& source) {
  ImageSlot slot;
  loadFrame(&source, slot, PixelFormat::Gray8);
  if (!slot) return FrameCheck::Undecodable;
  if (engine.frameWidth < 0 || engine.frameHeight < 0) {
    engine.frameWidth = slot->width;
    engine.frameHeight = slot->height;
  }
  return slot->width == engine.frameWidth && slot->height == engine.frameHeight ? FrameCheck::Fits
                                                                                : FrameCheck::OtherSize;
}

// Reads one list. The list ends at the first number whose section holds no
// "FileName"; files that cannot be used are passed over without ending it.
void readList(ProfileStore& store, ListRole role, const std::string& projectFolder, Engine& engine,
              OpenProjectResult& result) {
  SourceList& list = engine.list(role);
  list.entries.clear();
  list.focused = -1;
  for (int32_t number = 1; number > 0; ++number) {
    store.SetSection(sectionName(role, number));
    std::string stored;
    store.ReadString("FileName", stored, kWholeText);
    if (stored.empty()) break;

    const std::string path = locateFile(stored, projectFolder);
    if (path.empty()) {
      result.someFilesNotLoaded = true;
      continue;
    }

    const SourceKind kind = sourceKindOf(path);
    if (kind == SourceKind::Unknown) continue;
    if (kind == SourceKind::Avi) {
      int32_t frames = 0;
      store.ReadInt("Frames", frames, 0);
      frames = std::min(frames, kMaxAviFramesPerFile);
      for (int32_t frame = 0; frame < frames; ++frame) {
        auto source = std::make_unique<ImageSource>();
        source->setPath(path, frame);
        store.ReadBool(enabledKey(frame), source->enabled, true);
        // Only frame 0 is loaded: it stands for the whole file.
        if (frame == 0) {
          const FrameCheck check = checkFrame(engine, *source);
          if (check == FrameCheck::Undecodable) result.someFilesNotLoaded = true;
          if (check != FrameCheck::Fits) break;
        }
        list.entries.push_back(std::move(source));
      }
      continue;
    }

    auto source = std::make_unique<ImageSource>();
    source->setPath(path, kind == SourceKind::Bitmap ? FrameBitmap : FrameFits);
    store.ReadBool("Enabled", source->enabled, true);
    const FrameCheck check = checkFrame(engine, *source);
    if (check == FrameCheck::Undecodable) result.someFilesNotLoaded = true;
    if (check == FrameCheck::Fits) list.entries.push_back(std::move(source));
  }
  list.focused = list.size() > 0 ? 0 : -1;
}

// Forgets the frame on show and the view of the last paint, and makes Images
// the current role: the state both "New" and "Open..." start the window in.
void resetView(Engine& engine) {
  engine.DropAllProducts();
  engine.frameWidth = -1;
  engine.frameHeight = -1;
  engine.currentRole = static_cast<int32_t>(ListRole::Images);
  engine.shownRole = -1;
  engine.shownView = -1;
}

}  // namespace

SourceKind sourceKindOf(std::string_view path) {
  const size_t dot = path.find_last_of('.');
  const size_t separator = path.find_last_of("/\\:");
  if (dot == std::string_view::npos || (separator != std::string_view::npos && separator > dot))
    return SourceKind::Unknown;
  const std::string_view extension = path.substr(dot);
  if (equalsIgnoringCase(extension, ".avi")) return SourceKind::Avi;
  if (equalsIgnoringCase(extension, ".bmp")) return SourceKind::Bitmap;
  for (const char* fits : {".fit", ".fts", ".fits"})
    if (equalsIgnoringCase(extension, fits)) return SourceKind::Fits;
  return SourceKind::Unknown;
}

int32_t projectNameOffset(std::string_view path) {
  const size_t separator = path.find_last_of('/');
  return separator == std::string_view::npos ? 0 : static_cast<int32_t>(separator + 1);
}

std::string projectTitle(std::string_view projectPath) {
  if (projectPath.empty()) return "Stelp";
  return "Stelp - " + std::string(projectPath.substr(static_cast<size_t>(projectNameOffset(projectPath))));
}

bool saveProject(const std::string& path, const Engine& engine, std::string* why, std::vector<std::string>* leftOut) {
  IniFile document;
  ProfileStore store(document);
  writeSettings(store, engine.settings);
  for (int32_t role = 0; role < kRoleCount; ++role)
    writeList(store, static_cast<ListRole>(role), engine.lists[static_cast<size_t>(role)], leftOut);
  return writeFileAtomically(path, document.serialise(), why);
}

OpenProjectResult openProject(const std::string& path, Engine& engine) {
  OpenProjectResult result;
  resetView(engine);

  // The whole file is read once; a file that cannot be read holds nothing,
  // so the lists end empty and every setting keeps its value.
  IniFile document;
  if (!readIniFile(path, document, &result.why)) result.readable = false;
  for (const char* section : {"Version", "Processing", "Flat", "Dark", "Image 1", "Flat 1", "Dark 1"})
    result.isProject = result.isProject || document.hasSection(section);

  ProfileStore store(document);
  readSettings(store, engine.settings);
  const std::string projectFolder = path.substr(0, static_cast<size_t>(projectNameOffset(path)));
  for (int32_t role = 0; role < kRoleCount; ++role)
    readList(store, static_cast<ListRole>(role), projectFolder, engine, result);
  return result;
}

void newProject(Engine& engine) {
  resetView(engine);
  const bool colour = engine.settings.processing.colour;
  engine.settings = ProcessingSettings{};
  engine.settings.processing.colour = colour;
  for (SourceList& list : engine.lists) {
    list.entries.clear();
    list.focused = -1;
  }
}

}  // namespace stelp
