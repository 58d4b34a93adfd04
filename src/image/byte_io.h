#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace stelp {

// Random-access bytes for the readers: either a span of memory (tests, fuzz
// targets) or an open file. Reads past the end come up short, never fail hard.
class ByteInput {
 public:
  virtual ~ByteInput() = default;
  virtual uint64_t size() const = 0;
  // Copies up to `count` bytes from `offset` into `out`; returns how many.
  virtual size_t readAt(uint64_t offset, void* out, size_t count) = 0;
};

class MemoryInput final : public ByteInput {
 public:
  MemoryInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint64_t size() const override { return size_; }
  size_t readAt(uint64_t offset, void* out, size_t count) override;

 private:
  const uint8_t* data_;
  size_t size_;
};

class FileInput final : public ByteInput {
 public:
  FileInput() = default;
  FileInput(const FileInput&) = delete;
  FileInput& operator=(const FileInput&) = delete;
  ~FileInput() override;

  // Opens `path` for reading; false (with `why`) when it cannot.
  bool open(const std::string& path, std::string* why);
  uint64_t size() const override { return size_; }
  size_t readAt(uint64_t offset, void* out, size_t count) override;

 private:
  std::FILE* file_ = nullptr;
  uint64_t size_ = 0;
  uint64_t position_ = 0;
};

// Whether a header that declares `declared` data bytes may be believed when
// the file holds `available` of them. A file cut short is still read (the
// missing pixels come out black); a header that claims far more than the file
// could hold is refused before anything is allocated for it.
inline bool declaredSizeIsPlausible(uint64_t declared, uint64_t available) {
  constexpr uint64_t kSlack = 2880;
  if (available > (UINT64_MAX - kSlack) / 2) return true;
  return declared <= 2 * available + kSlack;
}

// Every file Stelp writes (images, videos, raw pixels, projects, settings)
// goes through this one class. The bytes go to a new hidden file beside the
// file they replace, which is flushed to the disk and renamed over it only in
// close(): a failed write, a writer dropped before close() or a kill leaves the
// previous file byte for byte, and two writers of one name never mix their
// bytes (the last to close wins). A symbolic link is followed, so the link
// stays and its target is replaced; an existing output that is not a regular
// file (a device, a FIFO, a folder) is refused without being opened. A
// replaced file keeps its permissions; a new one gets 0666 less the umask.
class FileOutput {
 public:
  FileOutput() = default;
  FileOutput(const FileOutput&) = delete;
  FileOutput& operator=(const FileOutput&) = delete;
  ~FileOutput();  // discards what was not closed

  // Opens a temporary file that will replace `path`; false (with `why`) when
  // `path` cannot be replaced or the folder takes no new file.
  bool create(const std::string& path, std::string* why);
  // Appends bytes. A failure is remembered: later writes do nothing and
  // close() reports it. False once any write failed.
  bool write(const void* data, size_t count);
  // Overwrites `count` bytes at `offset`, inside what was written already.
  bool writeAt(uint64_t offset, const void* data, size_t count);
  // Puts the file in place; true when every write, the flush and the rename
  // succeeded. Otherwise the temporary is removed and `path` left as it was.
  bool close(std::string* why);
  // Removes the temporary, leaving `path` as it was.
  void discard();

  int error() const { return error_; }
  // Bytes appended so far.
  uint64_t size() const { return end_; }

 private:
  bool writeRange(uint64_t offset, const void* data, size_t count);

  int fd_ = -1;
  std::string temporary_;
  std::string target_;  // the file the temporary replaces
  uint64_t end_ = 0;
  int error_ = 0;
};

// Stores `text` in `*why` when the caller asked for a reason.
inline bool refuse(std::string* why, std::string text) {
  if (why) *why = std::move(text);
  return false;
}

}  // namespace stelp
