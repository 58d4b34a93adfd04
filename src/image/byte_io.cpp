#include "byte_io.h"

#include <algorithm>

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

FileOutput::~FileOutput() {
  if (!file_) return;
  std::fclose(file_);
  discard();
}

void FileOutput::discard() {
  // Only a regular file that we wrote is removed: never a device such as
  // /dev/full or /dev/stdout that the user named as the output.
  if (regular_) std::remove(path_.c_str());
}

bool FileOutput::create(const std::string& path, std::string* why) {
  file_ = std::fopen(path.c_str(), "wb");
  if (!file_) return refuse(why, std::string("cannot create: ") + std::strerror(errno));
  path_ = path;
  error_ = 0;
  struct stat st {};
  regular_ = fstat(fileno(file_), &st) == 0 && S_ISREG(st.st_mode);
  return true;
}

void FileOutput::write(const void* data, size_t count) {
  if (!file_ || error_ != 0 || count == 0) return;
  if (std::fwrite(data, 1, count, file_) != count) error_ = errno != 0 ? errno : EIO;
}

bool FileOutput::close(std::string* why) {
  if (!file_) return refuse(why, "file is not open");
  if (std::fflush(file_) != 0 && error_ == 0) error_ = errno != 0 ? errno : EIO;
  if (std::fclose(file_) != 0 && error_ == 0) error_ = errno != 0 ? errno : EIO;
  file_ = nullptr;
  if (error_ == 0) return true;
  discard();
  return refuse(why, std::string("write failed: ") + std::strerror(error_));
}

}  // namespace stelp
