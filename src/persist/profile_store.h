#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "persist/ini.h"

namespace stelp {

// The value texts, the same in every file we write: "%d", "%u", "%f" of the
// value widened to double (fixed point, six decimals) and "1"/"0". They never
// depend on the C locale, so a decimal-comma locale cannot change a file.
std::string formatInt(int32_t value);
std::string formatUnsigned(uint32_t value);
std::string formatFloat(float value);
std::string formatBool(bool value);

// The integer at the start of a stored text: optional blanks, an optional
// sign and decimal digits; 0 when the text does not start with a number.
// Digits past the 32-bit range wrap around, as the platform's reader did.
int32_t parseProfileInt(std::string_view text);

// The integer at the start of a stored text like parseProfileInt, but held
// whole: a number past the 32-bit range (either sign) stops at +-2^32 instead
// of wrapping. `found` tells whether the text started with a number.
int64_t parseSaturatedInt(std::string_view text, bool* found = nullptr);

// sscanf with "%u" and "%f", without the C locale: each gives the value and
// true when the text starts (after blanks) with a number of that form.
bool scanUnsigned(std::string_view text, uint32_t& value);
bool scanFloat(std::string_view text, float& value);

// Size of the buffer through which the text-based numeric reads go: 19
// characters and the terminator.
constexpr size_t kNumberTextBuffer = 20;
// A ReadString buffer size that never cuts: paths are kept whole.
constexpr size_t kWholeText = SIZE_MAX;

// Where a store made without a file name reads and writes: the file
// "Stelp-default.ini" in the configuration folder. Nothing in the program
// makes such a store; it exists so the store behaves like its original.
std::string defaultProfilePath();

// Reads and writes single keys of one section of one INI-style file at once,
// converting between values and their texts. A store made on a file name
// reads the file for every read and rewrites it (atomically) for every
// write; a store made on a document in memory works on that document, which
// the caller reads or writes as a whole. Either way the store keeps nothing
// but the name, the section and the reason of its last failed write.
class ProfileStore {
 public:
  // With a name: that file. With none (a null pointer): the default profile.
  explicit ProfileStore(const char* fileName);
  explicit ProfileStore(const std::string& fileName) : ProfileStore(fileName.c_str()) {}
  explicit ProfileStore(IniFile& document) : document_(&document) {}
  ProfileStore(const ProfileStore&) = delete;
  ProfileStore& operator=(const ProfileStore&) = delete;
  virtual ~ProfileStore() = default;

  // The section that the following reads and writes address.
  void SetSection(std::string_view name) { section = std::string(name); }

  // Each writes one key of the current section; false when the file could
  // not be rewritten or the text cannot be held by a line (lastError says).
  bool WriteInt(std::string_view key, int32_t value);
  bool WriteUnsigned(std::string_view key, uint32_t value);
  bool WriteFloat(std::string_view key, float value);
  bool WriteString(std::string_view key, std::string_view text);
  bool WriteBool(std::string_view key, bool value);

  // `result` gets the key's integer, or `defaultValue` when the key is
  // missing or its text empty. Returns the value stored.
  int32_t ReadInt(std::string_view key, int32_t& result, int32_t defaultValue);
  // An integer read with default 1 or 0; `result` is true when it is not 0.
  bool ReadBool(std::string_view key, bool& result, bool defaultValue);
  // `buffer` gets the key's text, or the default (empty when none is given),
  // cut to bufferSize - 1 characters. Returns the number of characters.
  size_t ReadString(std::string_view key, std::string& buffer, size_t bufferSize, const char* defaultText = nullptr);
  // The same with the variable's own value as default: a missing key leaves
  // it as it was.
  int32_t ReadIntInPlace(std::string_view key, int32_t& value);
  bool ReadBoolInPlace(std::string_view key, bool& value);
  // Through text: the variable's value formatted as a write would is the
  // default, at most 19 characters are read and scanned with the same
  // format; the variable changes only when a number was found. Returns the
  // number of values converted, 0 or 1.
  int ReadUnsignedInPlace(std::string_view key, uint32_t& value);
  int ReadFloatInPlace(std::string_view key, float& value);

  const std::string& lastError() const { return lastError_; }

  bool useDefaultProfile = false;
  std::string fileName;
  std::string section;

 private:
  std::optional<std::string> lookup(std::string_view key) const;
  bool write(std::string_view key, std::string_view text);

  IniFile* document_ = nullptr;
  std::string lastError_;
};

}  // namespace stelp
