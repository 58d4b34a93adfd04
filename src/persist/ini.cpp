#include "persist/ini.h"

#include "image/byte_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace stelp {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Names compare by ASCII case only: the names Stelp writes are all ASCII,
// and folding only A-Z keeps the comparison independent of the locale.
std::string fold(std::string_view name) {
  std::string folded(name);
  for (char& c : folded)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return folded;
}

bool hasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

// A value that starts or ends with a blank, or is itself wrapped in quotes,
// is written in quotes: reading takes the blanks and one pair of quotes away.
std::string encodeValue(std::string_view value) {
  const bool quoted = value.size() >= 2 && value.front() == '"' && value.back() == '"';
  if (value.empty() || (!isBlank(value.front()) && !isBlank(value.back()) && !quoted)) return std::string(value);
  std::string text;
  text.reserve(value.size() + 2);
  text.append(1, '"').append(value).append(1, '"');
  return text;
}

std::string decodeValue(std::string_view stored) {
  stored = trimBlanks(stored);
  if (stored.size() >= 2 && stored.front() == '"' && stored.back() == '"') {
    stored.remove_prefix(1);
    stored.remove_suffix(1);
  }
  return std::string(stored);
}

void setWhy(std::string* why, std::string text) {
  if (why) *why = std::move(text);
}

std::string errorText(int error) { return std::system_category().message(error); }

}  // namespace

namespace {

// A record of one or more blank lines: no line of it holds an '='.
constexpr uint32_t kBlankRun = UINT32_MAX - 1;

}  // namespace

IniFile::Line IniFile::store(std::string_view lineText) {
  Line line;
  line.offset = text_.size();
  line.length = static_cast<uint32_t>(lineText.size());
  text_.append(lineText);
  return line;
}

uint32_t IniFile::sectionEnd(uint32_t index) const {
  return index + 1 < sectionHeaders_.size() ? sectionHeaders_[index + 1] : static_cast<uint32_t>(lines_.size());
}

std::string IniFile::keyIndexName(uint32_t sectionIndex, std::string_view key) {
  std::string name(sizeof sectionIndex, '\0');
  for (size_t i = 0; i < sizeof sectionIndex; ++i) name[i] = static_cast<char>(sectionIndex >> (8 * i));
  return name + fold(key);
}

void IniFile::indexKey(uint32_t sectionIndex, uint32_t line) {
  const Line& entry = lines_[line];
  const std::string_view key = trimBlanks(textOf(entry).substr(0, entry.equals));
  keys_.emplace(keyIndexName(sectionIndex, key), line - sectionBegin(sectionIndex));
}

IniFile IniFile::parse(std::string_view text) {
  IniFile document;
  if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    document.byteOrderMark_ = true;
    text.remove_prefix(kByteOrderMark.size());
  }
  // Line records count in 32 bits; no file we read comes near that.
  text = text.substr(0, UINT32_MAX);
  document.text_ = std::string(text);
  const std::string_view all = document.text_;
  bool indexed = false;  // the current section is the first of its name
  size_t start = 0;
  while (start < all.size()) {
    const size_t end = all.find('\n', start);
    std::string_view line = all.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    // Every CR before the LF belongs to the line end: no value can hold a CR,
    // and a rewrite then gives the same text again.
    const bool hadCr = !line.empty() && line.back() == '\r';
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (start == 0) document.crlf_ = hadCr && end != std::string_view::npos;
    const size_t lineStart = start;
    start = end == std::string_view::npos ? all.size() : end + 1;

    const std::string_view content = trimBlanks(line);
    if (content.empty()) {
      // A blank line joins the blank lines right before it in one record.
      std::vector<Line>& lines = document.lines_;
      const bool joins = !lines.empty() && lines.back().equals == kBlankRun;
      if (joins && lineStart + line.size() - lines.back().offset < UINT32_MAX) {
        lines.back().length = static_cast<uint32_t>(lineStart + line.size() - lines.back().offset);
        continue;
      }
      lines.push_back(Line{lineStart, static_cast<uint32_t>(line.size()), kBlankRun});
      continue;
    }
    const auto lineNumber = static_cast<uint32_t>(document.lines_.size());
    document.lines_.push_back(Line{lineStart, static_cast<uint32_t>(line.size()), kNoEquals});
    if (content.front() == '[') {
      const std::string_view inside = content.substr(1);
      const auto sectionNumber = static_cast<uint32_t>(document.sectionHeaders_.size());
      document.sectionHeaders_.push_back(lineNumber);
      const std::string_view name = trimBlanks(inside.substr(0, inside.find(']')));
      indexed = document.sectionIndex_.emplace(fold(name), sectionNumber).second;
      continue;
    }
    if (document.sectionHeaders_.empty()) continue;
    const bool comment = content.front() == ';' || content.front() == '#';
    const size_t equals = line.find('=');
    if (comment || equals == std::string_view::npos || trimBlanks(line.substr(0, equals)).empty()) continue;
    document.lines_.back().equals = static_cast<uint32_t>(equals);
    if (indexed) document.indexKey(static_cast<uint32_t>(document.sectionHeaders_.size() - 1), lineNumber);
  }
  return document;
}

std::string IniFile::serialise() const {
  const std::string_view lineEnd = crlf_ ? "\r\n" : "\n";
  std::string text;
  text.reserve(text_.size() + lines_.size() * 2);
  if (byteOrderMark_) text += kByteOrderMark;
  for (const Line& line : lines_) {
    std::string_view rest = textOf(line);
    // A run of blank lines holds its inner line ends as they were read.
    for (size_t end = rest.find('\n'); end != std::string_view::npos; end = rest.find('\n')) {
      std::string_view piece = rest.substr(0, end);
      while (!piece.empty() && piece.back() == '\r') piece.remove_suffix(1);
      text.append(piece).append(lineEnd);
      rest.remove_prefix(end + 1);
    }
    text.append(rest).append(lineEnd);
  }
  return text;
}

std::optional<uint32_t> IniFile::findSection(std::string_view name) const {
  const auto found = sectionIndex_.find(fold(name));
  if (found == sectionIndex_.end()) return std::nullopt;
  return found->second;
}

bool IniFile::hasSection(std::string_view section) const { return findSection(section).has_value(); }

std::optional<std::string> IniFile::get(std::string_view section, std::string_view key) const {
  const std::optional<uint32_t> found = findSection(section);
  if (!found) return std::nullopt;
  const auto line = keys_.find(keyIndexName(*found, key));
  if (line == keys_.end()) return std::nullopt;
  const Line& entry = lines_[sectionBegin(*found) + line->second];
  return decodeValue(textOf(entry).substr(entry.equals + 1));
}

bool IniFile::set(std::string_view section, std::string_view key, std::string_view value, std::string* why) {
  if (section.empty() || hasLineBreak(section) || section.find(']') != std::string_view::npos ||
      trimBlanks(section).size() != section.size()) {
    setWhy(why, "section name \"" + std::string(section) + "\" cannot be stored");
    return false;
  }
  if (key.empty() || hasLineBreak(key) || key.find('=') != std::string_view::npos ||
      trimBlanks(key).size() != key.size() || key.front() == ';' || key.front() == '#' || key.front() == '[') {
    setWhy(why, "key name \"" + std::string(key) + "\" cannot be stored");
    return false;
  }
  if (hasLineBreak(value)) {
    setWhy(why, "the value of \"" + std::string(key) + "\" holds a line break");
    return false;
  }
  if (section.size() + key.size() + value.size() > kMaxIniFileBytes) {
    setWhy(why, "the value of \"" + std::string(key) + "\" is too long");
    return false;
  }

  std::optional<uint32_t> target = findSection(section);
  if (!target) {
    // A blank line sets a new section apart from what came before it.
    if (!lines_.empty() && lines_.back().equals != kBlankRun) lines_.push_back(Line{text_.size(), 0, kBlankRun});
    target = static_cast<uint32_t>(sectionHeaders_.size());
    sectionHeaders_.push_back(static_cast<uint32_t>(lines_.size()));
    lines_.push_back(store("[" + std::string(section) + "]"));
    sectionIndex_.emplace(fold(section), *target);
  }

  const auto existing = keys_.find(keyIndexName(*target, key));
  if (existing != keys_.end()) {
    // The key's own spelling and the blanks after its '=' stay as they were.
    Line& line = lines_[sectionBegin(*target) + existing->second];
    const std::string_view old = textOf(line);
    size_t valueStart = line.equals + 1;
    while (valueStart < old.size() && isBlank(old[valueStart])) ++valueStart;
    const uint32_t equals = line.equals;
    line = store(std::string(old.substr(0, valueStart)) + encodeValue(value));
    line.equals = equals;
    return true;
  }

  // After the last line that is not blank, so that the blank lines which
  // separate this section from the next stay where they are. The keys count
  // from their section's header, so only the later headers move.
  uint32_t at = sectionEnd(*target);
  while (at > sectionBegin(*target) + 1 && lines_[at - 1].equals == kBlankRun) --at;
  Line line = store(std::string(key) + "=" + encodeValue(value));
  line.equals = static_cast<uint32_t>(key.size());
  lines_.insert(lines_.begin() + at, line);
  for (size_t later = *target + 1; later < sectionHeaders_.size(); ++later) ++sectionHeaders_[later];
  indexKey(*target, at);
  return true;
}

bool readIniFile(const std::string& path, IniFile& document, std::string* why, bool* exists) {
  if (exists) *exists = true;
  // O_NONBLOCK: a FIFO must not hold the open until a writer comes.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR) {
      if (exists) *exists = false;
      document = IniFile();
      return true;
    }
    setWhy(why, "cannot open " + path + ": " + errorText(error));
    return false;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    setWhy(why, path + " is not a regular file");
    return false;
  }
  const std::string tooLarge = path + " is larger than " + std::to_string(kMaxIniFileBytes >> 20) +
                               " MiB, too large for a settings or project file";
  if (static_cast<uint64_t>(info.st_size) > kMaxIniFileBytes) {
    ::close(fd);
    setWhy(why, tooLarge);
    return false;
  }
  std::string text;
  text.reserve(static_cast<size_t>(info.st_size));
  char block[65536];
  for (;;) {
    const ssize_t got = ::read(fd, block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      const int error = errno;
      ::close(fd);
      setWhy(why, "cannot read " + path + ": " + errorText(error));
      return false;
    }
    if (got == 0) break;
    // The file may have grown since fstat.
    if (text.size() + static_cast<size_t>(got) > kMaxIniFileBytes) {
      ::close(fd);
      setWhy(why, tooLarge);
      return false;
    }
    text.append(block, static_cast<size_t>(got));
  }
  ::close(fd);
  document = IniFile::parse(text);
  return true;
}

bool writeFileAtomically(const std::string& path, std::string_view content, std::string* why) {
  // FileOutput writes beside the file, follows a link to its target, keeps
  // the permissions and renames only a complete, flushed file into place.
  FileOutput out;
  std::string reason;
  if (out.create(path, &reason)) {
    out.write(content.data(), content.size());
    if (out.close(&reason)) return true;
  }
  setWhy(why, "cannot write " + path + ": " + reason);
  return false;
}

}  // namespace stelp
