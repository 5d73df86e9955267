// Text-to-number conversions of pattern file names, with fixed 32-bit results.
//
// They follow the C library's atol and strtoul in the default locale, but never depend on the
// width of the platform's long: the same text gives the same number on every platform.
#pragma once

#include <cstdint>
#include <string_view>

namespace pattern {

// Digits 0-9 only, whatever the locale or the sign of char.
constexpr bool IsDecimalDigit(char c) {
  return c >= '0' && c <= '9';
}

// Converts like atol: leading white space, an optional sign, then decimal digits up to the first
// other character. Returns the value modulo 2^32 (a minus sign negates modulo 2^32), or 0 when
// there are no digits. A digit run too long for 32 bits keeps its value modulo 2^32.
std::uint32_t ConvertDecimal(std::string_view text);

// Converts like strtoul with a 32-bit result, in base 10 or 16: leading white space, an optional
// sign, in base 16 an optional 0x or 0X, then digits of the base up to the first other character.
// Returns 0 when there are no digits, and 4294967295 when the digits are worth more than that,
// with or without a minus sign; otherwise a minus sign negates the value modulo 2^32.
std::uint32_t ConvertUnsigned(std::string_view text, int base);

}  // namespace pattern
