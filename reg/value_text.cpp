// Encoding /d text into value bytes and showing value bytes, per value type.
#include "reg/value_text.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>

#include "base/ascii.h"
#include "reg/utf16.h"

namespace reg {
namespace {

using store::Value;

// The unsigned number that `text` spells in decimal, or in hexadecimal after 0x, when it is no
// more than `maximum`. Signs, spaces and trailing characters are refused.
std::optional<std::uint64_t> StrictNumber(std::string_view text, std::uint64_t maximum) {
  std::uint64_t radix = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    radix = 16;
    text.remove_prefix(2);
  }
  if (text.empty())
    return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    const std::optional<std::uint32_t> digit = base::HexDigit(c);
    if (!digit || *digit >= radix)
      return std::nullopt;
    const std::uint64_t next = *digit;
    if (value > (maximum - next) / radix)
      return std::nullopt;
    value = value * radix + next;
  }
  return value;
}

// A number as reg reads it: no data or empty data is 0, a plus sign is allowed, and a REG_QWORD
// may be negative (taken modulo 2^64, so -1 is all ones).
EncodedData EncodeNumber(const std::optional<std::string>& text, std::size_t size) {
  if (!text || text->empty())
    return store::LittleEndianBytes(0, size);
  std::string_view digits(*text);
  const bool negative = size == 8 && digits.front() == '-';
  if (digits.front() == '+' || negative)
    digits.remove_prefix(1);
  const std::uint64_t maximum = size == 4 ? 0xFFFFFFFFu : UINT64_MAX;
  std::optional<std::uint64_t> number = StrictNumber(digits, maximum);
  if (number && negative)
    number = 0 - *number;
  if (!number) {
    return base::Status::Failed("ERROR: Invalid data for a " +
                                std::string(size == 4 ? "REG_DWORD" : "REG_QWORD") + " value: \"" +
                                *text + "\" is not a decimal or 0x hexadecimal number of " +
                                std::to_string(size * 8) + " bits.");
  }
  return store::LittleEndianBytes(*number, size);
}

// Hexadecimal digit pairs; an odd number of digits starts with a 0 nibble, as reg reads it.
EncodedData EncodeHexPairs(const std::optional<std::string>& text) {
  const std::string given = text.value_or(std::string());
  const std::string digits = given.size() % 2 != 0 ? "0" + given : given;
  std::string bytes;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    const auto pair = StrictNumber("0x" + digits.substr(i, 2), 0xFF);
    if (!pair)
      return base::Status::Failed("ERROR: Invalid binary data: give hexadecimal digits.");
    bytes.push_back(static_cast<char>(*pair));
  }
  return bytes;
}

EncodedData EncodeText(const std::optional<std::string>& text) {
  return text.value_or(std::string()) + '\0';
}

// REG_NONE data given as text is stored as reg stores it: UTF-16LE with its terminating NUL.
EncodedData EncodeWideText(const std::optional<std::string>& text) {
  return Utf16FromText(text.value_or(std::string())) + std::string(2, '\0');
}

// Strings between separators; an empty string would end the list early, so one is refused
// anywhere but at the end, or alone.
EncodedData EncodeMultiText(const std::optional<std::string>& text, std::string_view separator) {
  std::string_view rest = text ? std::string_view(*text) : std::string_view();
  if (rest == separator)
    return std::string(2, '\0');  // a list of one empty string, as reg stores it
  std::string bytes;
  while (!rest.empty()) {
    const std::size_t end = rest.find(separator);
    if (end == 0) {
      return base::Status::Failed(
          "ERROR: Invalid data for a REG_MULTI_SZ value: an empty string inside the list.");
    }
    bytes.append(rest.substr(0, end)).push_back('\0');
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + separator.size());
  }
  bytes.push_back('\0');
  return bytes;
}

std::string ShowHexNumber(const Value& value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%" PRIx64, store::LittleEndianNumber(value.bytes));
  return text;
}

std::string ShowText(const Value& value) {
  return value.bytes.substr(0, value.bytes.find('\0'));
}

std::string ShowMultiText(const Value& value) {
  std::string_view rest(value.bytes);
  while (!rest.empty() && rest.back() == '\0')
    rest.remove_suffix(1);
  std::string shown;
  for (char c : rest)
    shown += c == '\0' ? std::string("\\0") : std::string(1, c);
  return shown;
}

std::string ShowHexPairs(const Value& value) {
  std::string shown;
  for (const char byte : value.bytes) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02X", static_cast<unsigned char>(byte));
    shown += pair;
  }
  return shown;
}

struct TypeRule {
  std::string_view name;
  std::uint32_t number;
  EncodedData (*encode)(const std::optional<std::string>& text, std::string_view separator);
  std::string (*show)(const Value& value);
};

constexpr std::array<TypeRule, 8> kTypes = {{
    {"REG_NONE", store::kRegNone, [](const auto& t, auto) { return EncodeWideText(t); },
     ShowHexPairs},
    {"REG_SZ", store::kRegSz, [](const auto& t, auto) { return EncodeText(t); }, ShowText},
    {"REG_EXPAND_SZ", store::kRegExpandSz, [](const auto& t, auto) { return EncodeText(t); },
     ShowText},
    {"REG_BINARY", store::kRegBinary, [](const auto& t, auto) { return EncodeHexPairs(t); },
     ShowHexPairs},
    {"REG_DWORD", store::kRegDword, [](const auto& t, auto) { return EncodeNumber(t, 4); },
     ShowHexNumber},
    {"REG_DWORD_BIG_ENDIAN", kRegDwordBigEndian,
     [](const auto& t, auto) { return EncodeNumber(t, 4); }, ShowHexNumber},
    {"REG_MULTI_SZ", store::kRegMultiSz, EncodeMultiText, ShowMultiText},
    {"REG_QWORD", store::kRegQword, [](const auto& t, auto) { return EncodeNumber(t, 8); },
     ShowHexNumber},
}};

const TypeRule* FindType(std::uint32_t number) {
  const auto rule = std::find_if(kTypes.begin(), kTypes.end(),
                                 [&](const TypeRule& type) { return type.number == number; });
  return rule == kTypes.end() ? nullptr : &*rule;
}

}  // namespace

std::optional<std::uint32_t> TypeNumber(std::string_view name) {
  if (base::EqualIgnoringCase(name, "REG_DWORD_LITTLE_ENDIAN"))
    return store::kRegDword;  // another name of REG_DWORD
  for (const TypeRule& type : kTypes) {
    if (base::EqualIgnoringCase(type.name, name))
      return type.number;
  }
  return std::nullopt;
}

std::string TypeName(std::uint32_t type) {
  const TypeRule* rule = FindType(type);
  return rule != nullptr ? std::string(rule->name) : "REG_UNKNOWN(" + std::to_string(type) + ")";
}

EncodedData EncodeData(std::uint32_t type, const std::optional<std::string>& text,
                       std::string_view separator) {
  return FindType(type)->encode(text, separator);
}

std::string DisplayData(const Value& value) {
  const TypeRule* rule = FindType(value.type);
  return rule != nullptr ? rule->show(value) : ShowHexPairs(value);
}

}  // namespace reg
