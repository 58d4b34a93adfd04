#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace stelp {

// Largest INI file we read: far above any project (a 100,000-frame AVI adds
// about 1.5 MB), small enough that a wrong file named by mistake is refused
// instead of filling memory.
constexpr size_t kMaxIniFileBytes = size_t{256} << 20;

// An INI-style document held in memory: sections of "key=value" lines, with
// every other line (comments, blank lines, text before the first section)
// kept as it was so that a rewrite changes only the keys that were set.
//
// The rules the rest of the program relies on:
// - section and key names compare without regard to ASCII letter case; the
//   first section and the first key of a name win;
// - setting a key replaces the value of that key, or adds the key after the
//   last line of its section, or adds the section at the end of the document;
// - values are read with the blanks around them removed and one pair of
//   enclosing double quotes taken off, and written quoted when they would not
//   otherwise survive that, so every value without a line break comes back as
//   it was set;
// - LF and CR LF line ends are read; a document is written with the line end
//   of its first line (LF for a new one), and a UTF-8 byte order mark is kept.
class IniFile {
 public:
  static IniFile parse(std::string_view text);
  std::string serialise() const;

  // The value of `key` in `section`, or none when either is missing.
  std::optional<std::string> get(std::string_view section, std::string_view key) const;
  bool hasSection(std::string_view section) const;

  // Sets `key` in `section` as described above. False, changing nothing,
  // when a name or the value cannot be held by one line (a line break, an '='
  // in a key, a ']' in a section name...); `why` then says which.
  bool set(std::string_view section, std::string_view key, std::string_view value, std::string* why = nullptr);

 private:
  struct Line {
    std::string text;                   // as it stands in the file, without its line end
    size_t equals = std::string::npos;  // position of the '=' of a key line
  };
  struct Section {
    std::string name;
    std::vector<Line> lines;                       // the header line first
    std::unordered_map<std::string, size_t> keys;  // folded key -> first line of that key
  };

  Section* findSection(std::string_view name);
  const Section* findSection(std::string_view name) const;
  void addLine(Section& section, std::string text);

  std::vector<Line> preamble_;  // lines before the first section
  std::vector<Section> sections_;
  std::unordered_map<std::string, size_t> sectionIndex_;  // folded name -> first section
  bool crlf_ = false;
  bool byteOrderMark_ = false;
};

// Reads and parses the file at `path`. A file that does not exist gives an
// empty document and true; a file that exists but cannot be read (or is a
// folder, or larger than kMaxIniFileBytes) gives false and `why`.
bool readIniFile(const std::string& path, IniFile& document, std::string* why = nullptr);

// Replaces the file at `path` with `content` so that no reader ever sees a
// partial file: the content goes to a new file in the same folder, is flushed
// to the disk, and that file is renamed over the old one. A symbolic link at
// `path` stays and its target is replaced; an existing file's permissions are
// kept. On any failure the old file is untouched, the temporary file is
// removed, and false comes back with `why`.
bool writeFileAtomically(const std::string& path, std::string_view content, std::string* why = nullptr);

}  // namespace stelp
