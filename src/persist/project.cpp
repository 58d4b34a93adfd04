#include "persist/project.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <memory>
#include <type_traits>
#include <utility>

#include "engine/parallel.h"
#include "engine/setting_ranges.h"
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

// Visits the settings in the order of the file, section by section, each
// number with its range; the same walk writes and reads them, so the two
// cannot drift apart.
template <typename Settings, typename Visit>
void visitSettings(Settings& settings, Visit&& visit) {
  auto& p = settings.processing;
  visit.section("Processing");
  visit("Colour", p.colour);
  visit("Dark", p.dark);
  visit("Flat", p.flat);
  visit("SynFlat", p.synFlat);
  visit("Hot", p.hot);
  visit("Stretch", p.stretch, kStretchModeRange);
  visit("StretchFromRel", p.stretchFromRel, kStretchPercentRange);
  visit("StretchToRel", p.stretchToRel, kStretchPercentRange);
  visit("StretchFromAbs", p.stretchFromAbs, kStretchLevelRange);
  visit("StretchToAbs", p.stretchToAbs, kStretchLevelRange);
  visit("DeInterlace", p.deInterlace, kDeInterlaceRange);
  visit("FitsScale", p.fitsScale, kFitsScaleRange);
  visit.section("Flat");
  visit("FilterWidth", settings.flat.filterWidth, kFilterSizeRange);
  visit("FilterHeight", settings.flat.filterHeight, kFilterSizeRange);
  visit("VarHi", settings.flat.varHi, kVariationRange);
  visit("VarLo", settings.flat.varLo, kVariationRange);
  visit("Border", settings.flat.border, kBorderRange);
  visit("Combine", settings.flat.combine.method, kCombineMethodRange);
  visit("KappaLow", settings.flat.combine.kappaLow, kKappaRange);
  visit("KappaHigh", settings.flat.combine.kappaHigh, kKappaRange);
  visit.section("Dark");
  visit("Hot", settings.dark.hot, kDarkLevelRange);
  visit("Cold", settings.dark.cold, kDarkLevelRange);
  visit("Expand", settings.dark.expand, kExpandRange);
  visit("Combine", settings.dark.combine.method, kCombineMethodRange);
  visit("KappaLow", settings.dark.combine.kappaLow, kKappaRange);
  visit("KappaHigh", settings.dark.combine.kappaHigh, kKappaRange);
}

// Each value with the store's operation for its type.
struct SettingWriter {
  ProfileStore& store;
  void section(const char* name) { store.SetSection(name); }
  void operator()(const char* key, bool value) { store.WriteBool(key, value); }
  void operator()(const char* key, int32_t value, SettingRange<int32_t>) { store.WriteInt(key, value); }
  void operator()(const char* key, uint32_t value, SettingRange<uint32_t>) { store.WriteUnsigned(key, value); }
  void operator()(const char* key, float value, SettingRange<float>) { store.WriteFloat(key, value); }
  // A choice is stored as its number.
  template <typename Choice>
    requires std::is_enum_v<Choice>
  void operator()(const char* key, Choice value, SettingRange<int32_t> range) {
    (*this)(key, static_cast<int32_t>(value), range);
  }
};

std::string numberText(int64_t value) { return std::to_string(value); }

std::string numberText(float value) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

// Reads each number over its present value and brings it into its range,
// listing every value it changed with the text the file held.
struct SettingReader {
  ProfileStore& store;
  std::vector<std::string>& changes;
  std::string sectionName;

  void section(const char* name) {
    store.SetSection(name);
    sectionName = name;
  }
  void note(const char* key, const std::string& stored, const std::string& used) {
    changes.push_back(sectionName + "." + key + ": " + stored + " → " + used);
  }
  void operator()(const char* key, bool& value) { store.ReadBoolInPlace(key, value); }

  // Integers are read whole, so a number past 32 bits reaches the end of the
  // range it passed instead of wrapping into it. A text without a number
  // reads as 0 for a signed value and leaves an unsigned one, as the
  // store's own reads do.
  template <typename Int>
  void operator()(const char* key, Int& value, SettingRange<Int> range) {
    const std::string text = store.ReadString(key);
    if (text.empty()) return;
    bool found = false;
    const int64_t stored = parseSaturatedInt(text, &found);
    if (!found && std::is_unsigned_v<Int>) return;
    const int64_t used = std::clamp<int64_t>(stored, range.lowest, range.highest);
    value = static_cast<Int>(used);
    if (used != stored) note(key, text, numberText(used));
  }

  void operator()(const char* key, float& value, SettingRange<float> range) {
    const std::string text = store.ReadString(key);
    if (store.ReadFloatInPlace(key, value) == 0 || text.empty()) return;
    const float used = range.clamp(value);
    if (used == value) return;
    value = used;
    note(key, text, numberText(used));
  }

  // A choice is read as its number, over its present value.
  template <typename Choice>
    requires std::is_enum_v<Choice>
  void operator()(const char* key, Choice& value, SettingRange<int32_t> range) {
    int32_t number = static_cast<int32_t>(value);
    (*this)(key, number, range);
    value = static_cast<Choice>(number);
  }

  // The FITS scale is read as its number too. Unlike every other key, a missing
  // one does not keep the present value: projects saved before the choice
  // existed read their FITS files to the brightest pixel, and must go on
  // calibrating as they did.
  void operator()(const char* key, FitsScale& value, SettingRange<int32_t> range) {
    int32_t number = static_cast<int32_t>(FitsScale::BrightestPixel);
    (*this)(key, number, range);
    value = static_cast<FitsScale>(number);
  }

  // So is the way masters are combined: projects saved before the choice
  // existed averaged their darks and flats, and go on doing so.
  void operator()(const char* key, CombineMethod& value, SettingRange<int32_t> range) {
    int32_t number = static_cast<int32_t>(CombineMethod::Average);
    (*this)(key, number, range);
    value = static_cast<CombineMethod>(number);
  }
};

void writeSettings(ProfileStore& store, const ProcessingSettings& settings) {
  store.SetSection("Version");
  store.WriteInt("Major", kVersionMajor);
  store.WriteInt("Minor", kVersionMinor);
  visitSettings(settings, SettingWriter{store});
}

// A stretch pair whose lower bound lies above its upper one is turned round.
void orderPair(float& from, float& to, const char* fromKey, const char* toKey, std::vector<std::string>& changes) {
  if (!(from > to)) return;
  changes.push_back(std::string("Processing.") + fromKey + ": " + numberText(from) + " → " + numberText(to));
  changes.push_back(std::string("Processing.") + toKey + ": " + numberText(to) + " → " + numberText(from));
  std::swap(from, to);
}

void readSettings(ProfileStore& store, ProcessingSettings& settings, std::vector<std::string>& changes) {
  visitSettings(settings, SettingReader{store, changes, std::string()});
  ProcessingGroup& p = settings.processing;
  orderPair(p.stretchFromRel, p.stretchToRel, "StretchFromRel", "StretchToRel", changes);
  orderPair(p.stretchFromAbs, p.stretchToAbs, "StretchFromAbs", "StretchToAbs", changes);
}

// The "Frames" a video's section states for the file whose frame 0 is at
// `first`: the file's own count, or for a file that was missing when the
// project was opened, the frames of it that the list holds.
int32_t storedFrameCount(const SourceList& list, size_t first) {
  const ImageSource& head = *list.entries[first];
  if (!head.missing) {
    const FileKindInfo* info = kindInfo(head.kind());
    return info && info->frameCount ? info->frameCount(head.path, nullptr) : 0;
  }
  int32_t frames = 1;
  for (size_t i = first + 1; i < list.entries.size(); ++i) {
    const ImageSource* source = list.entries[i].get();
    if (!source || source->path != head.path || source->frameCode <= 0) break;
    frames = std::max(frames, source->frameCode + 1);
  }
  return frames;
}

// Writes one list: one section per file, numbered from 1; the frames of an
// AVI file (which stand together, frame 0 first) share the section that
// its frame 0 opened.
void writeList(ProfileStore& store, ListRole role, const SourceList& list, std::vector<std::string>* leftOut) {
  int32_t number = 1;
  const ImageSource* aviSection = nullptr;  // frame 0 of the AVI file whose section is open
  for (size_t i = 0; i < list.entries.size(); ++i) {
    const ImageSource* source = list.entries[i].get();
    if (!source || source->kind() == FileKind::Unknown || source->path.empty()) continue;
    if (source->frameCode > 0) {
      // A frame whose frame 0 has no section of its own (left out, or not in
      // front of it) has nowhere to go and is passed over.
      if (aviSection && aviSection->path == source->path)
        store.WriteBool(enabledKey(source->frameCode), source->enabled);
      continue;
    }
    aviSection = nullptr;
    if (source->path.find_first_of("\r\n") != std::string::npos) {
      if (leftOut) leftOut->push_back(source->path);
      continue;
    }
    store.SetSection(sectionName(role, number++));
    store.WriteString("FileName", source->path);
    if (source->frameCode == 0) {
      store.WriteInt("Frames", storedFrameCount(list, i));
      store.WriteBool(enabledKey(0), source->enabled);
      aviSection = source;
    } else {
      store.WriteBool("Enabled", source->enabled);
    }
  }
}

// Whether a path names something to read. Opened without waiting, so that a
// FIFO cannot hold the open until a writer comes.
enum class FileState { Regular, NotRegular, Absent };

FileState stateOf(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return FileState::Absent;
  struct stat info {};
  const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  ::close(fd);
  return regular ? FileState::Regular : FileState::NotRegular;
}

// The path under which a stored file is found: the stored path itself, else
// its file name in the project's folder. The file name is tried as the text
// after the last '/' and, for a project made on another system, after the
// last '/', '\' or ':' as well. Empty when the file is found nowhere;
// `notRegular` then tells whether the stored path names something that is
// not a regular file.
std::string locateFile(const std::string& stored, const std::string& projectFolder, bool& notRegular) {
  const FileState state = stateOf(stored);
  notRegular = state == FileState::NotRegular;
  if (state == FileState::Regular) return stored;
  for (const char* separators : {"/", "/\\:"}) {
    const size_t separator = stored.find_last_of(separators);
    const std::string name = separator == std::string::npos ? stored : stored.substr(separator + 1);
    if (name.empty()) continue;
    const std::string moved = projectFolder + name;
    if (stateOf(moved) == FileState::Regular) return moved;
  }
  return std::string();
}

// The frame code of a still whose file is missing: the one its name's
// extension says, a bitmap's when the extension names no still.
int32_t missingStillCode(const std::string& path) {
  const FileKindInfo* info = kindInfo(kindFromExtension(path));
  return info && !info->video ? info->stillCode : FrameBitmap;
}

// The lists being built by an open, with the frame size the first frame
// fixes; the engine takes them over only once the whole project is read.
struct OpenedLists {
  std::array<SourceList, kRoleCount> lists;
  FrameSize frameSize;
  // Frames of missing AVI files still to be kept: a missing video cannot
  // say how many it has, so a damaged count must not fill memory.
  int64_t missingFramesLeft = kMaxAviFramesPerFile;
};

// Reads each frame's "Enabled k" from the entry's section.
void readFrameFlags(ProfileStore& store, const StoredEntry& entry,
                    std::vector<std::unique_ptr<ImageSource>>& frames) {
  store.SetSection(entry.section);
  for (size_t frame = 0; frame < frames.size(); ++frame)
    store.ReadBool(enabledKey(static_cast<int32_t>(frame)), frames[frame]->enabled, true);
}

void append(SourceList& list, std::vector<std::unique_ptr<ImageSource>>& entries) {
  for (auto& entry : entries) list.entries.push_back(std::move(entry));
}

// Turns one stored entry into list entries.
void openEntry(OpenedLists& opened, SourceList& list, ProfileStore& store, const StoredEntry& entry,
               const std::string& projectFolder, OpenProjectResult& result) {
  if (entry.video && entry.frames <= 0) return;
  bool notRegular = false;
  const std::string path = locateFile(entry.path, projectFolder, notRegular);
  if (path.empty()) {
    // Kept as it was stored, so that a save does not lose it.
    result.missingFiles.push_back(entry.path);
    if (notRegular) result.problems.push_back(entry.path + ": not a regular file");
    if (!entry.video) {
      auto source = std::make_unique<ImageSource>();
      source->setPath(entry.path, missingStillCode(entry.path));
      source->enabled = entry.enabled;
      source->missing = true;
      list.entries.push_back(std::move(source));
      return;
    }
    const int32_t frames = static_cast<int32_t>(std::min<int64_t>(entry.frames, opened.missingFramesLeft));
    if (frames < entry.frames)
      result.problems.push_back(entry.path + ": " + std::to_string(entry.frames - frames) +
                                " frames left out, too many frames of missing videos");
    opened.missingFramesLeft -= frames;
    std::vector<std::unique_ptr<ImageSource>> entries;
    for (int32_t frame = 0; frame < frames; ++frame) {
      entries.push_back(std::make_unique<ImageSource>());
      entries.back()->setPath(entry.path, frame);
      entries.back()->missing = true;
    }
    readFrameFlags(store, entry, entries);
    append(list, entries);
    return;
  }

  // The file is probed as an import probes it; its content, not the stored
  // name, says its kind.
  FileEntries file = entriesOfFile(path, entry.video ? entry.frames : 1);
  if (!file) {
    result.problems.push_back(path + ": " + file.why);
    return;
  }
  const bool video = kindInfo(file.kind)->video;
  if (video != entry.video) {
    result.problems.push_back(path + (video ? ": a video, but the project lists it as one picture"
                                            : ": one picture, but the project lists it as a video"));
    return;
  }
  std::string why;
  if (!admitFrameSize(opened.frameSize, file.width, file.height, &why)) {
    result.problems.push_back(path + ": " + why);
    return;
  }
  if (!video) {
    file.entries.front()->enabled = entry.enabled;
    append(list, file.entries);
    return;
  }
  // A count beyond the video's own would make every product read frames
  // that are not there.
  if (file.frames < entry.frames)
    result.problems.push_back(path + ": Frames=" + std::to_string(entry.frames) + ", but the video has " +
                              std::to_string(file.frames) + "; the frames past its end are left out");
  readFrameFlags(store, entry, file.entries);
  append(list, file.entries);
}

// Reads one list. The list ends at the first number whose section holds no
// "FileName".
void readStoredList(ProfileStore& store, ListRole role, std::vector<StoredEntry>& entries) {
  for (int32_t number = 1; number > 0; ++number) {
    StoredEntry entry;
    entry.section = sectionName(role, number);
    store.SetSection(entry.section);
    entry.path = store.ReadString("FileName");
    if (entry.path.empty()) break;
    // A save writes "Frames" into a video's section only.
    const std::string text = store.ReadString("Frames");
    entry.video = !text.empty();
    if (entry.video) {
      entry.frames = static_cast<int32_t>(std::clamp<int64_t>(parseSaturatedInt(text), 0, kMaxAviFramesPerFile));
    } else {
      store.ReadBool("Enabled", entry.enabled, true);
    }
    entries.push_back(std::move(entry));
  }
}

}  // namespace

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
  writeSettings(store, engine.settings());
  for (int32_t role = 0; role < kRoleCount; ++role)
    writeList(store, static_cast<ListRole>(role), engine.list(static_cast<ListRole>(role)), leftOut);
  return writeFileAtomically(path, document.serialise(), why);
}

bool readStoredProject(const IniFile& document, const ProcessingSettings& present, StoredProject& project,
                       std::string* why) {
  // Every project a save wrote holds these sections; one written by hand
  // holds at least one of them.
  bool isProject = false;
  for (const char* section : {"Version", "Processing", "Flat", "Dark", "Image 1", "Flat 1", "Dark 1"})
    isProject = isProject || document.hasSection(section);
  if (!isProject) {
    if (why) *why = "no section of a Stelp project";
    return false;
  }
  // The store only reads, but takes a document it could write to.
  IniFile& readOnly = const_cast<IniFile&>(document);
  ProfileStore store(readOnly);
  project.settings = present;
  project.changes.clear();
  readSettings(store, project.settings, project.changes);
  for (int32_t role = 0; role < kRoleCount; ++role) {
    project.lists[static_cast<size_t>(role)].clear();
    readStoredList(store, static_cast<ListRole>(role), project.lists[static_cast<size_t>(role)]);
  }
  return true;
}

PreparedProject prepareProject(const std::string& path, const ProcessingSettings& present) {
  PreparedProject prepared;
  OpenProjectResult& result = prepared.result;
  auto fail = [&](OpenStatus status) {
    result.status = status;
    return std::move(prepared);
  };

  // The whole file is read once, and nothing of the engine changes before
  // it is known to be a project.
  IniFile document;
  bool exists = true;
  if (!readIniFile(path, document, &result.why, &exists)) {
    struct stat info {};
    const bool notRegular = ::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode);
    if (notRegular) result.why = "not a regular file";
    return fail(notRegular ? OpenStatus::NotAProject : OpenStatus::Unreadable);
  }
  if (!exists) {
    result.why = "no such file";
    return fail(OpenStatus::NotFound);
  }
  StoredProject stored;
  if (!readStoredProject(document, present, stored, &result.why)) return fail(OpenStatus::NotAProject);

  ProfileStore store(document);
  const std::string projectFolder = path.substr(0, static_cast<size_t>(projectNameOffset(path)));
  OpenedLists opened;
  for (size_t role = 0; role < kRoleCount; ++role)
    for (const StoredEntry& entry : stored.lists[role]) {
      if (stopRequested()) {
        result.why = "stopped";
        return fail(OpenStatus::Stopped);
      }
      openEntry(opened, opened.lists[role], store, entry, projectFolder, result);
    }
  result.settingChanges = std::move(stored.changes);
  prepared.settings = stored.settings;
  prepared.frameSize = opened.frameSize;
  prepared.lists = std::move(opened.lists);
  return prepared;
}

void installProject(PreparedProject& prepared, Engine& engine) {
  engine.Replace(prepared.settings, std::move(prepared.lists), prepared.frameSize);
}

OpenProjectResult openProject(const std::string& path, Engine& engine) {
  PreparedProject prepared = prepareProject(path, engine.settings());
  if (prepared.result.status == OpenStatus::Opened) installProject(prepared, engine);
  return std::move(prepared.result);
}

void newProject(Engine& engine) {
  ProcessingSettings settings;
  settings.processing.colour = engine.settings().processing.colour;
  engine.Replace(settings, {}, FrameSize());
}

}  // namespace stelp
