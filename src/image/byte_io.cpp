#include "byte_io.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <utility>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace stelp {

size_t MemoryInput::readAt(uint64_t offset, void* out, size_t count) {
  if (count == 0 || offset >= size_) return 0;
  const size_t n = static_cast<size_t>(std::min<uint64_t>(count, size_ - offset));
  std::memcpy(out, data_ + offset, n);
  return n;
}

FileInput::~FileInput() {
  if (file_) std::fclose(file_);
}

bool FileInput::open(const std::string& path, std::string* why) {
  // O_NONBLOCK keeps a FIFO from blocking the open until a writer appears;
  // only regular files and block devices are read.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    return refuse(why, err == ENOENT ? "not found" : std::strerror(err));
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) {
    ::close(fd);
    return refuse(why, "not a regular file");
  }
  // Reads block as usual from here on.
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  std::FILE* f = fdopen(fd, "rb");
  if (!f) {
    const int err = errno;
    ::close(fd);
    return refuse(why, std::strerror(err));
  }
  uint64_t size = static_cast<uint64_t>(st.st_size);
  if (S_ISBLK(st.st_mode)) {
    const off_t end = lseek(fd, 0, SEEK_END);
    size = end > 0 ? static_cast<uint64_t>(end) : 0;
    lseek(fd, 0, SEEK_SET);
  }
  file_ = f;
  size_ = size;
  position_ = 0;
  return true;
}

size_t FileInput::readAt(uint64_t offset, void* out, size_t count) {
  if (!file_ || count == 0 || offset >= size_) return 0;
  if (offset != position_) {
    if (fseeko(file_, static_cast<off_t>(offset), SEEK_SET) != 0) return 0;
    position_ = offset;
  }
  const size_t n = std::fread(out, 1, count, file_);
  position_ += n;
  return n;
}

namespace {

constexpr int kMaxLinkHops = 40;  // as many as the kernel follows
constexpr size_t kMaxNameBytes = 255;
constexpr size_t kTemporarySuffixBytes = 6;

std::string errorText(int error) { return std::strerror(error != 0 ? error : EIO); }

std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file that writing `path` replaces: `path` itself, or where its chain of
// symbolic links ends (which may not exist yet). False when the chain cannot
// be followed or ends at something other than a regular file.
bool replacedFile(const std::string& path, std::string& target, std::string* why) {
  target = path;
  for (int hop = 0;; ++hop) {
    struct stat st {};
    if (::lstat(target.c_str(), &st) != 0) {
      if (errno == ENOENT) return true;  // a new file
      return refuse(why, "cannot create: " + errorText(errno));
    }
    if (S_ISREG(st.st_mode)) return true;
    if (!S_ISLNK(st.st_mode)) return refuse(why, "not a regular file");
    if (hop == kMaxLinkHops) return refuse(why, "cannot create: " + errorText(ELOOP));
    std::string link(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    const ssize_t n = ::readlink(target.c_str(), link.data(), link.size());
    if (n <= 0 || static_cast<size_t>(n) >= link.size()) return refuse(why, "cannot create: cannot read the link");
    link.resize(static_cast<size_t>(n));
    target = link.front() == '/' ? link : folderOf(target) + "/" + link;
  }
}

// Creates a new hidden file ".NAME.XXXXXX" in the folder of `target`, as a
// new file would be made (0666 less the umask); -1 with errno on failure.
int createTemporary(const std::string& target, std::string& temporary) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static std::atomic<uint64_t> counter{0};
  // A long name is shortened so that the temporary's name is still legal.
  std::string name = nameOf(target);
  name.resize(std::min(name.size(), kMaxNameBytes - 2 - kTemporarySuffixBytes));
  const std::string stem = folderOf(target) + "/." + name + ".";
  uint64_t seed = (static_cast<uint64_t>(::getpid()) << 32) ^
                  static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  for (int attempt = 0; attempt < 100; ++attempt) {
    uint64_t bits = seed ^ (counter++ * 0x9E3779B97F4A7C15ull);
    temporary = stem;
    for (size_t i = 0; i < kTemporarySuffixBytes; ++i, bits /= sizeof kLetters - 1)
      temporary += kLetters[bits % (sizeof kLetters - 1)];
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
  }
  errno = EEXIST;
  return -1;
}

}  // namespace

FileOutput::~FileOutput() { discard(); }

void FileOutput::discard() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
  ::unlink(temporary_.c_str());
}

bool FileOutput::create(const std::string& path, std::string* why) {
  discard();
  error_ = 0;
  end_ = 0;
  if (nameOf(path).empty()) return refuse(why, "cannot create: no file name");
  if (!replacedFile(path, target_, why)) return false;
  const int fd = createTemporary(target_, temporary_);
  if (fd < 0) return refuse(why, "cannot create: " + errorText(errno));
  fd_ = fd;
  // A replaced file keeps its permissions (and, where we may, its owner:
  // only the superuser may give a file away, so that failure is no error).
  struct stat old {};
  if (::stat(target_.c_str(), &old) == 0) {
    ::fchmod(fd_, old.st_mode & 07777);
    [[maybe_unused]] const int owned = ::fchown(fd_, old.st_uid, old.st_gid);
  }
  return true;
}

bool FileOutput::writeRange(uint64_t offset, const void* data, size_t count) {
  if (fd_ < 0 && error_ == 0) error_ = EBADF;
  if (error_ != 0) return false;
  const char* p = static_cast<const char*>(data);
  while (count > 0) {
    const ssize_t n = ::pwrite(fd_, p, count, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = n < 0 ? errno : EIO;
      return false;
    }
    p += n;
    offset += static_cast<uint64_t>(n);
    count -= static_cast<size_t>(n);
  }
  return true;
}

bool FileOutput::write(const void* data, size_t count) {
  if (!writeRange(end_, data, count)) return false;
  end_ += count;
  return true;
}

bool FileOutput::writeAt(uint64_t offset, const void* data, size_t count) {
  if (offset > end_ || count > end_ - offset) {
    if (error_ == 0) error_ = EINVAL;
    return false;
  }
  return writeRange(offset, data, count);
}

bool FileOutput::close(std::string* why) {
  if (fd_ < 0) return refuse(why, "file is not open");
  if (error_ == 0 && ::fsync(fd_) != 0) error_ = errno;
  if (::close(std::exchange(fd_, -1)) != 0 && error_ == 0) error_ = errno;
  if (error_ != 0) {
    ::unlink(temporary_.c_str());
    return refuse(why, "write failed: " + errorText(error_));
  }
  if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
    error_ = errno;
    ::unlink(temporary_.c_str());
    return refuse(why, "cannot put the file in place: " + errorText(error_));
  }
  // The rename reaches the disk with the folder. The file is in place
  // already, so a failure here is not one the caller could act on.
  const int folder = ::open(folderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    ::fsync(folder);
    ::close(folder);
  }
  return true;
}

}  // namespace stelp
