#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

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
// Digits past the 32-bit range wrap around modulo 2^32 (parseSaturatedInt
// stops at the range's end instead).
int32_t parseProfileInt(std::string_view text);

// The integer at the start of a stored text like parseProfileInt, but held
// whole: a number past the 32-bit range (either sign) stops at +-2^32 instead
// of wrapping. `found` tells whether the text started with a number.
int64_t parseSaturatedInt(std::string_view text, bool* found = nullptr);

// sscanf with "%f", without the C locale: the value and true when the text
// starts (after blanks) with a number of that form.
bool scanFloat(std::string_view text, float& value);

// Reads and writes single keys of one section of one INI-style file at once,
// converting between values and their texts. A store made on a file name
// reads the file for every read and rewrites it (atomically) for every
// write; a store made on a document in memory works on that document, which
// the caller reads or writes as a whole. Either way the store keeps nothing
// but the name, the section and the reason of its last failed write.
class ProfileStore {
 public:
  explicit ProfileStore(std::string path) : fileName(std::move(path)) {}
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
  // The key's whole text, or `defaultText` when the key is missing.
  std::string ReadString(std::string_view key, std::string_view defaultText = {});
  // The same with the variable's own value as default: a missing key leaves
  // it as it was.
  int32_t ReadIntInPlace(std::string_view key, int32_t& value);
  bool ReadBoolInPlace(std::string_view key, bool& value);
  // Through text: the variable's value formatted as a write would is the
  // default, and the first 19 characters of the text are scanned with the
  // same format; the variable changes only when a number was found. Returns
  // the number of values converted, 0 or 1.
  int ReadFloatInPlace(std::string_view key, float& value);

  const std::string& lastError() const { return lastError_; }

  std::string fileName;
  std::string section;

 private:
  std::optional<std::string> lookup(std::string_view key) const;
  bool write(std::string_view key, std::string_view text);

  IniFile* document_ = nullptr;
  std::string lastError_;
};

}  // namespace stelp
