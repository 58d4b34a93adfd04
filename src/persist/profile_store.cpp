#include "persist/profile_store.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace stelp {
namespace {

// The characters sscanf skips before a number.
bool isScanSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Removes leading space and an optional sign; true when the sign was '-'.
bool takeSign(std::string_view& text) {
  while (!text.empty() && isScanSpace(text.front())) text.remove_prefix(1);
  const bool negative = !text.empty() && text.front() == '-';
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) text.remove_prefix(1);
  return negative;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string formatInt(int32_t value) { return std::to_string(value); }

std::string formatUnsigned(uint32_t value) { return std::to_string(value); }

std::string formatFloat(float value) {
  // Room for the largest float in fixed notation: 39 digits, a sign, the
  // point and six decimals.
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, static_cast<double>(value), std::chars_format::fixed, 6);
  return std::string(text, result.ptr);
}

std::string formatBool(bool value) { return value ? "1" : "0"; }

int32_t parseProfileInt(std::string_view text) {
  const bool negative = takeSign(text);
  uint32_t magnitude = 0;
  for (; !text.empty() && isDigit(text.front()); text.remove_prefix(1))
    magnitude = magnitude * 10u + static_cast<uint32_t>(text.front() - '0');
  return static_cast<int32_t>(negative ? 0u - magnitude : magnitude);
}

int64_t parseSaturatedInt(std::string_view text, bool* found) {
  const bool negative = takeSign(text);
  if (found) *found = !text.empty() && isDigit(text.front());
  constexpr int64_t kCap = int64_t{1} << 32;
  int64_t magnitude = 0;
  for (; !text.empty() && isDigit(text.front()); text.remove_prefix(1))
    magnitude = std::min(kCap, magnitude * 10 + (text.front() - '0'));
  return negative ? -magnitude : magnitude;
}

bool scanFloat(std::string_view text, float& value) {
  const bool negative = takeSign(text);
  if (text.empty() || text.front() == '-' || text.front() == '+') return false;
  const char* begin = text.data();
  const char* end = text.data() + text.size();
  float parsed = 0.0f;
  auto result = std::from_chars(begin, end, parsed, std::chars_format::general);
  if (result.ec == std::errc::result_out_of_range) {
    // A number past the float range: what the C library gives for it, an
    // infinity or a value rounded towards 0.
    double wide = 0.0;
    result = std::from_chars(begin, end, wide, std::chars_format::general);
    if (result.ec != std::errc()) return false;
    parsed = std::fabs(wide) > std::numeric_limits<float>::max() ? std::numeric_limits<float>::infinity()
                                                                 : static_cast<float>(wide);
  }
  if (result.ec != std::errc()) return false;
  value = negative ? -parsed : parsed;
  return true;
}

std::optional<std::string> ProfileStore::lookup(std::string_view key) const {
  if (document_) return document_->get(section, key);
  // A file that cannot be read gives every default, like a missing one.
  IniFile file;
  if (!readIniFile(fileName, file)) return std::nullopt;
  return file.get(section, key);
}

bool ProfileStore::write(std::string_view key, std::string_view text) {
  lastError_.clear();
  if (document_) return document_->set(section, key, text, &lastError_);
  if (fileName.empty()) {
    lastError_ = "no file name";
    return false;
  }
  // Content that could not be read must not be replaced by a file that lacks it.
  IniFile file;
  if (!readIniFile(fileName, file, &lastError_)) return false;
  if (!file.set(section, key, text, &lastError_)) return false;
  return writeFileAtomically(fileName, file.serialise(), &lastError_);
}

bool ProfileStore::WriteInt(std::string_view key, int32_t value) { return write(key, formatInt(value)); }

bool ProfileStore::WriteUnsigned(std::string_view key, uint32_t value) { return write(key, formatUnsigned(value)); }

bool ProfileStore::WriteFloat(std::string_view key, float value) { return write(key, formatFloat(value)); }

bool ProfileStore::WriteString(std::string_view key, std::string_view text) { return write(key, text); }

bool ProfileStore::WriteBool(std::string_view key, bool value) { return write(key, formatBool(value)); }

int32_t ProfileStore::ReadInt(std::string_view key, int32_t& result, int32_t defaultValue) {
  // A key with an empty value holds no number: it counts as missing.
  const std::optional<std::string> text = lookup(key);
  result = text && !text->empty() ? parseProfileInt(*text) : defaultValue;
  return result;
}

bool ProfileStore::ReadBool(std::string_view key, bool& result, bool defaultValue) {
  int32_t value = 0;
  ReadInt(key, value, defaultValue ? 1 : 0);
  result = value != 0;
  return result;
}

std::string ProfileStore::ReadString(std::string_view key, std::string_view defaultText) {
  return lookup(key).value_or(std::string(defaultText));
}

int32_t ProfileStore::ReadIntInPlace(std::string_view key, int32_t& value) { return ReadInt(key, value, value); }

bool ProfileStore::ReadBoolInPlace(std::string_view key, bool& value) { return ReadBool(key, value, value); }

int ProfileStore::ReadFloatInPlace(std::string_view key, float& value) {
  // Projects have always been read this way, and a text longer than 19
  // characters (a value in a setting's range needs fewer) must keep the
  // value it had: "0000000000000000000050" reads as 0.
  constexpr size_t kScannedCharacters = 19;
  const std::string text = ReadString(key, formatFloat(value)).substr(0, kScannedCharacters);
  return scanFloat(text, value) ? 1 : 0;
}

}  // namespace stelp
