// ASCII text as the companion's command line, registry files and pattern file names read it:
// letters without regard to case, and hexadecimal digits. Header-only, for the Windows program too.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace base {

constexpr char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether the two texts are equal when ASCII letters are compared without regard to case.
constexpr bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i]))
      return false;
  }
  return true;
}

// The value of a hexadecimal digit in either case, or nothing for any other character.
constexpr std::optional<std::uint32_t> HexDigit(char c) {
  if (c >= '0' && c <= '9')
    return static_cast<std::uint32_t>(c - '0');
  const char lower = AsciiLower(c);
  if (lower >= 'a' && lower <= 'f')
    return static_cast<std::uint32_t>(lower - 'a' + 10);
  return std::nullopt;
}

}  // namespace base
