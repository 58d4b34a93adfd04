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

// An output file that remembers whether any write failed. A file that was not
// finished (close not reached or a write failed) is removed, so no half-written
// image is left behind under the user's name.
class FileOutput {
 public:
  FileOutput() = default;
  FileOutput(const FileOutput&) = delete;
  FileOutput& operator=(const FileOutput&) = delete;
  ~FileOutput();

  // Creates or truncates `path`; false (with `why`) when it cannot.
  bool create(const std::string& path, std::string* why);
  void write(const void* data, size_t count);
  // Closes the file; true when every write and the close succeeded.
  bool close(std::string* why);

 private:
  void discard();

  std::FILE* file_ = nullptr;
  std::string path_;
  int error_ = 0;
  bool regular_ = false;
};

// Stores `text` in `*why` when the caller asked for a reason.
inline bool refuse(std::string* why, std::string text) {
  if (why) *why = std::move(text);
  return false;
}

}  // namespace stelp
