// libFuzzer target for project and settings files: the bytes are the file.
// It runs the INI layer and the project reader over them in memory; no file
// that an entry names is looked at.

#include <algorithm>
#include <string>
#include <string_view>

#include "engine/setting_ranges.h"
#include "fuzz_common.h"
#include "persist/ini.h"
#include "persist/profile_store.h"
#include "persist/project.h"

namespace stelp::fuzz {
namespace {

void checkSettings(const ProcessingSettings& s) {
  const ProcessingGroup& p = s.processing;
  if (!kStretchModeRange.contains(static_cast<int32_t>(p.stretch)) ||
      !kDeInterlaceRange.contains(static_cast<int32_t>(p.deInterlace)) ||
      !kStretchPercentRange.contains(p.stretchFromRel) || !kStretchPercentRange.contains(p.stretchToRel) ||
      !kStretchLevelRange.contains(p.stretchFromAbs) || !kStretchLevelRange.contains(p.stretchToAbs) ||
      !kFilterSizeRange.contains(s.flat.filterWidth) || !kFilterSizeRange.contains(s.flat.filterHeight) ||
      !kVariationRange.contains(s.flat.varHi) || !kVariationRange.contains(s.flat.varLo) ||
      !kBorderRange.contains(s.flat.border) || !kDarkLevelRange.contains(s.dark.hot) ||
      !kDarkLevelRange.contains(s.dark.cold) || !kExpandRange.contains(s.dark.expand))
    fail("an opened project holds a setting outside its range");
  if (p.stretchFromRel > p.stretchToRel || p.stretchFromAbs > p.stretchToAbs) fail("a stretch pair is inverted");
}

}  // namespace
}  // namespace stelp::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace stelp;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  IniFile document = IniFile::parse(text);

  // Writing a document out and reading it back changes nothing more.
  const std::string written = document.serialise();
  if (IniFile::parse(written).serialise() != written) fuzz::fail("a rewritten document reads back differently");

  StoredProject project;
  if (readStoredProject(document, ProcessingSettings{}, project)) {
    fuzz::checkSettings(project.settings);
    for (const auto& list : project.lists)
      for (const StoredEntry& entry : list)
        if (entry.path.empty() || entry.frames < 0 || entry.frames > kMaxAviFramesPerFile)
          fuzz::fail("a stored entry has no path or a frame count outside its range");
  }

  // The settings file's keys, read as the window reads them.
  ProfileStore store(document);
  store.SetSection("Window");
  int32_t value = 0;
  for (const char* key : {"X", "Y", "W", "H"}) store.ReadIntInPlace(key, value);
  store.SetSection("Settings");
  store.ReadInt("Filter", value, 0);

  // A key set into the document comes back, in its own and a reread copy.
  const std::string_view wanted = text.substr(0, std::min<size_t>(text.size(), 16));
  if (document.set("Fuzz", "Key", wanted)) {
    if (document.get("Fuzz", "Key") != std::string(wanted)) fuzz::fail("a set value does not read back");
    if (IniFile::parse(document.serialise()).get("Fuzz", "Key") != std::string(wanted))
      fuzz::fail("a set value does not survive a rewrite");
  }
  return 0;
}
