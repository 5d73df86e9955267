// atol- and strtoul-like conversions with exact 32-bit results.
#include "pattern/number_conversion.h"

#include "base/ascii.h"

namespace pattern {
namespace {

constexpr std::uint32_t kSaturated = 0xFFFFFFFFu;

bool IsCLocaleSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The value of c as a digit of base 10 or 16, or -1 when it is not one.
int DigitValue(char c, int radix) {
  const std::optional<std::uint32_t> digit = base::HexDigit(c);
  return digit && *digit < static_cast<std::uint32_t>(radix) ? static_cast<int>(*digit) : -1;
}

// Skips leading white space and takes an optional sign. Returns whether the sign was a minus.
bool TakeSpaceAndSign(std::string_view& text) {
  while (!text.empty() && IsCLocaleSpace(text.front()))
    text.remove_prefix(1);
  if (text.empty() || (text.front() != '+' && text.front() != '-'))
    return false;
  const bool negative = text.front() == '-';
  text.remove_prefix(1);
  return negative;
}

}  // namespace

std::uint32_t ConvertDecimal(std::string_view text) {
  const bool negative = TakeSpaceAndSign(text);
  std::uint32_t value = 0;
  for (char c : text) {
    if (!IsDecimalDigit(c))
      break;
    value = value * 10u + static_cast<std::uint32_t>(c - '0');
  }
  return negative ? 0u - value : value;
}

std::uint32_t ConvertUnsigned(std::string_view text, int base) {
  const bool negative = TakeSpaceAndSign(text);
  // The prefix counts only when a hexadecimal digit follows it; otherwise its 0 is the number.
  if (base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') &&
      DigitValue(text[2], 16) >= 0) {
    text.remove_prefix(2);
  }
  std::uint64_t value = 0;
  for (char c : text) {
    const int digit = DigitValue(c, base);
    if (digit < 0)
      break;
    value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    if (value > kSaturated)
      return kSaturated;
  }
  const auto value32 = static_cast<std::uint32_t>(value);
  return negative ? 0u - value32 : value32;
}

}  // namespace pattern
