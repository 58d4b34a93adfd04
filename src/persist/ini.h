#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace stelp {

// Largest INI file we read: far above any project (a 100,000-frame AVI adds
// about 1.5 MB), small enough that a wrong file named by mistake is refused
// at once instead of filling memory.
constexpr size_t kMaxIniFileBytes = size_t{16} << 20;

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
// - LF and CR LF line ends are read (any CRs before an LF belong to the line
//   end); a document is written with the line end of its first line (LF for a
//   new one), and a UTF-8 byte order mark is kept.
//
// The text is held once; a line is a small record pointing into it, and a run
// of blank lines is one record, so memory stays a small multiple of the text
// whatever its shape.
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
  static constexpr uint32_t kNoEquals = UINT32_MAX;
  struct Line {
    size_t offset = 0;  // in text_; a run of blank lines holds its inner line ends
    uint32_t length = 0;
    uint32_t equals = kNoEquals;  // position of the '=' of a key line
  };

  std::string_view textOf(const Line& line) const { return std::string_view(text_).substr(line.offset, line.length); }
  Line store(std::string_view lineText);
  // The first line of section `index` and the line after its last one.
  uint32_t sectionBegin(uint32_t index) const { return sectionHeaders_[index]; }
  uint32_t sectionEnd(uint32_t index) const;
  std::optional<uint32_t> findSection(std::string_view name) const;
  void indexKey(uint32_t sectionIndex, uint32_t line);
  static std::string keyIndexName(uint32_t sectionIndex, std::string_view key);

  std::string text_;                 // every line's text, the file's first and later additions
  std::vector<Line> lines_;          // the whole document in order, the preamble first
  std::vector<uint32_t> sectionHeaders_;  // the header line of each section
  std::unordered_map<std::string, uint32_t> sectionIndex_;  // folded name -> first section
  // Keys of the sections that a name finds (the first of each name): the
  // section's number and the folded key -> the key's line, counted from the
  // section's header so that lines added to a section before keep it valid.
  std::unordered_map<std::string, uint32_t> keys_;
  bool crlf_ = false;
  bool byteOrderMark_ = false;
};

// Reads and parses the file at `path`. A file that does not exist gives an
// empty document and true (and `exists` false, when asked); a file that
// exists but cannot be read (or is not a regular file, or is larger than
// kMaxIniFileBytes) gives false and `why`. A FIFO or device is refused
// without waiting for a writer.
bool readIniFile(const std::string& path, IniFile& document, std::string* why = nullptr, bool* exists = nullptr);

// Replaces the file at `path` with `content` so that no reader ever sees a
// partial file: the content goes to a new file in the same folder, is flushed
// to the disk, and that file is renamed over the old one. A symbolic link at
// `path` stays and its target is replaced; an existing file's permissions are
// kept. A path that is, or links to, something other than a regular file (a
// device, a FIFO, a folder) is refused. On any failure the old file is
// untouched, the temporary file is removed, and false comes back with `why`.
bool writeFileAtomically(const std::string& path, std::string_view content, std::string* why = nullptr);

}  // namespace stelp
