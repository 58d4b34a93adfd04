#include "persist/ini.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
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

bool isBlankLine(std::string_view text) { return trimBlanks(text).empty(); }

// Names compare by ASCII case only: the platform's INI functions did the
// same for the names this program writes, which are all ASCII.
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

IniFile IniFile::parse(std::string_view text) {
  IniFile document;
  if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    document.byteOrderMark_ = true;
    text.remove_prefix(kByteOrderMark.size());
  }
  bool first = true;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    const bool hadCr = !line.empty() && line.back() == '\r';
    if (hadCr) line.remove_suffix(1);
    if (first) document.crlf_ = hadCr && end != std::string_view::npos;
    first = false;

    const std::string_view content = trimBlanks(line);
    if (!content.empty() && content.front() == '[') {
      const std::string_view inside = content.substr(1);
      Section section;
      section.name = std::string(trimBlanks(inside.substr(0, inside.find(']'))));
      section.lines.push_back(Line{std::string(line)});
      document.sectionIndex_.emplace(fold(section.name), document.sections_.size());
      document.sections_.push_back(std::move(section));
      continue;
    }
    if (document.sections_.empty()) {
      document.preamble_.push_back(Line{std::string(line)});
      continue;
    }
    Section& section = document.sections_.back();
    Line entry{std::string(line)};
    const bool comment = !content.empty() && (content.front() == ';' || content.front() == '#');
    const size_t equals = line.find('=');
    if (!comment && equals != std::string_view::npos && !trimBlanks(line.substr(0, equals)).empty()) {
      entry.equals = equals;
      section.keys.emplace(fold(trimBlanks(line.substr(0, equals))), section.lines.size());
    }
    section.lines.push_back(std::move(entry));
  }
  return document;
}

std::string IniFile::serialise() const {
  const std::string_view lineEnd = crlf_ ? "\r\n" : "\n";
  std::string text;
  if (byteOrderMark_) text += kByteOrderMark;
  auto append = [&](const std::vector<Line>& lines) {
    for (const Line& line : lines) {
      text += line.text;
      text += lineEnd;
    }
  };
  append(preamble_);
  for (const Section& section : sections_) append(section.lines);
  return text;
}

IniFile::Section* IniFile::findSection(std::string_view name) {
  const auto found = sectionIndex_.find(fold(name));
  return found == sectionIndex_.end() ? nullptr : &sections_[found->second];
}

const IniFile::Section* IniFile::findSection(std::string_view name) const {
  const auto found = sectionIndex_.find(fold(name));
  return found == sectionIndex_.end() ? nullptr : &sections_[found->second];
}

bool IniFile::hasSection(std::string_view section) const { return findSection(section) != nullptr; }

std::optional<std::string> IniFile::get(std::string_view section, std::string_view key) const {
  const Section* found = findSection(section);
  if (!found) return std::nullopt;
  const auto line = found->keys.find(fold(key));
  if (line == found->keys.end()) return std::nullopt;
  const Line& entry = found->lines[line->second];
  return decodeValue(std::string_view(entry.text).substr(entry.equals + 1));
}

void IniFile::addLine(Section& section, std::string text) {
  // After the last line that is not blank, so that the blank lines which
  // separate this section from the next stay where they are. Only blank
  // lines move, so the key positions stay valid.
  size_t at = section.lines.size();
  while (at > 1 && isBlankLine(section.lines[at - 1].text)) --at;
  Line line{std::move(text)};
  line.equals = line.text.find('=');
  section.keys.emplace(fold(std::string_view(line.text).substr(0, line.equals)), at);
  section.lines.insert(section.lines.begin() + static_cast<std::ptrdiff_t>(at), std::move(line));
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

  Section* target = findSection(section);
  if (!target) {
    // A blank line sets a new section apart from what came before it.
    std::vector<Line>& last = sections_.empty() ? preamble_ : sections_.back().lines;
    if (!last.empty() && !isBlankLine(last.back().text)) last.push_back(Line{});
    Section added;
    added.name = std::string(section);
    added.lines.push_back(Line{"[" + added.name + "]"});
    sectionIndex_.emplace(fold(section), sections_.size());
    sections_.push_back(std::move(added));
    target = &sections_.back();
  }

  const auto existing = target->keys.find(fold(key));
  if (existing != target->keys.end()) {
    // The key's own spelling and the blanks after its '=' stay as they were.
    Line& line = target->lines[existing->second];
    size_t valueStart = line.equals + 1;
    while (valueStart < line.text.size() && isBlank(line.text[valueStart])) ++valueStart;
    line.text = line.text.substr(0, valueStart) + encodeValue(value);
    return true;
  }
  addLine(*target, std::string(key) + "=" + encodeValue(value));
  return true;
}

bool readIniFile(const std::string& path, IniFile& document, std::string* why) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR) {
      document = IniFile();
      return true;
    }
    setWhy(why, "cannot open " + path + ": " + errorText(error));
    return false;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    ::close(fd);
    setWhy(why, path + " is not a file");
    return false;
  }
  std::string text;
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
    if (text.size() + static_cast<size_t>(got) > kMaxIniFileBytes) {
      ::close(fd);
      setWhy(why, path + " is too large for a settings or project file");
      return false;
    }
    text.append(block, static_cast<size_t>(got));
  }
  ::close(fd);
  document = IniFile::parse(text);
  return true;
}

namespace {

// The file that a rewrite of `path` replaces: the target of a symbolic link,
// so that the link itself survives.
std::filesystem::path replacedFile(const std::string& path) {
  std::error_code error;
  const std::filesystem::path given(path);
  if (!std::filesystem::is_symlink(given, error)) return given;
  const std::filesystem::path target = std::filesystem::weakly_canonical(given, error);
  return error ? given : target;
}

// Creates a new file next to `target` that nobody else uses; -1 on failure.
int createTemporaryFile(const std::filesystem::path& target, std::string& temporary, int& error) {
  // One number per attempt in this process; the process id keeps two
  // programs that save into the same folder apart.
  static std::atomic<unsigned> counter{0};
  const std::filesystem::path folder = target.parent_path();
  std::string stem(1, '.');
  stem.append(target.filename().string()).append(1, '.').append(std::to_string(::getpid())).append(1, '.');
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporary = (folder / (stem + std::to_string(counter++) + ".tmp")).string();
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return fd;
    error = errno;
    if (error != EEXIST) return -1;
  }
  return -1;
}

bool writeAll(int fd, std::string_view content, int& error) {
  while (!content.empty()) {
    const ssize_t written = ::write(fd, content.data(), content.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      error = written < 0 ? errno : EIO;
      return false;
    }
    content.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

}  // namespace

bool writeFileAtomically(const std::string& path, std::string_view content, std::string* why) {
  const std::filesystem::path target = replacedFile(path);
  std::string temporary;
  int error = 0;
  const int fd = createTemporaryFile(target, temporary, error);
  if (fd < 0) {
    setWhy(why, "cannot create a file in the folder of " + path + ": " + errorText(error));
    return false;
  }

  // A replaced file keeps its permissions (and, where we may, its owner).
  struct stat old {};
  if (::stat(target.c_str(), &old) == 0) {
    ::fchmod(fd, old.st_mode & 07777);
    // Only the superuser may give a file away; for an ordinary user's own
    // file this changes nothing, so its failure does not matter.
    [[maybe_unused]] const int owned = ::fchown(fd, old.st_uid, old.st_gid);
  }

  bool ok = writeAll(fd, content, error);
  if (ok && ::fsync(fd) != 0) {
    error = errno;
    ok = false;
  }
  if (::close(fd) != 0 && ok) {
    error = errno;
    ok = false;
  }
  if (ok && ::rename(temporary.c_str(), target.c_str()) != 0) {
    error = errno;
    ok = false;
  }
  if (!ok) {
    ::unlink(temporary.c_str());
    setWhy(why, "cannot write " + path + ": " + errorText(error));
    return false;
  }

  // The rename itself reaches the disk with the folder. The file is already
  // in place, so a failure here is not one the caller could act on.
  const std::string folder = target.parent_path().empty() ? "." : target.parent_path().string();
  const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd >= 0) {
    ::fsync(folderFd);
    ::close(folderFd);
  }
  return true;
}

}  // namespace stelp
