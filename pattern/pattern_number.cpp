// Pattern numbers from pattern file names.
//
// The forms are read from a fixed 16-byte copy of the first 15 characters of the file name, whose
// stem (the part before its first dot) is upper-cased. Numbers already recorded by clients were
// computed this way, so the quirks of that copy are kept on purpose:
// - a dot beyond the first 15 characters is not seen, so such a name gives 0;
// - the letters of the lettered form are read from the copy's fifth character on, even when the
//   stem is shorter than four characters and that character lies in the (not upper-cased)
//   extension: "AV.ZIP" reads the letters I and P. The copy is always terminated, so the letters
//   never run past it;
// - the sequence form reads its digits from the file name as typed, past the 15 characters.
#include "pattern/pattern_number.h"

#include <algorithm>
#include <array>

#include "pattern/number_conversion.h"

namespace pattern {
namespace {

constexpr std::size_t kNameCopyLength = 15;
constexpr std::size_t kLetterStart = 4;
constexpr std::size_t kSequenceDigitsStart = 8;

// A zero-filled, always-terminated copy of the first 15 characters of the file name.
using NameCopy = std::array<char, kNameCopyLength + 1>;

// The file name: after the last backslash; without one, after the first colon; else all of it.
std::string_view FileNameOf(std::string_view text) {
  if (const auto backslash = text.rfind('\\'); backslash != std::string_view::npos) {
    return text.substr(backslash + 1);
  }
  if (const auto colon = text.find(':'); colon != std::string_view::npos) {
    return text.substr(colon + 1);
  }
  return text;
}

char UpperCaseLetter(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// The letter code of the lettered form: letters A-Z read in turn as base-27 digits, A being 1.
std::uint32_t LetterCode(const NameCopy& copy) {
  std::uint32_t code = 0;
  for (std::size_t i = kLetterStart; copy[i] >= 'A' && copy[i] <= 'Z'; ++i) {
    code = code * 27u + static_cast<std::uint32_t>(copy[i] - 'A' + 1);
  }
  return code;
}

// Whether `fileName` is exactly eight decimal digits, a dot and three decimal digits.
bool IsDatedPatternName(std::string_view fileName) {
  if (fileName.size() != 12 || fileName[8] != '.')
    return false;
  for (std::size_t i = 0; i < fileName.size(); ++i) {
    if (i != 8 && !IsDecimalDigit(fileName[i]))
      return false;
  }
  return true;
}

// The number of a dated name, YYYYMMDD.NNN, whose twelve characters are known to be in place.
std::uint32_t DatedPatternNumber(std::string_view fileName) {
  const std::uint32_t year = ConvertDecimal(fileName.substr(0, 4));
  const std::uint32_t month = ConvertDecimal(fileName.substr(4, 2));
  const std::uint32_t day = ConvertDecimal(fileName.substr(6, 2));
  const std::uint32_t revision = ConvertDecimal(fileName.substr(9, 3));
  return ((year - 1998u) << 18) | (month << 14) | (day << 9) | (revision % 512u);
}

}  // namespace

std::uint32_t PatternNumberFromName(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  const std::string_view fileName = FileNameOf(text);

  // The name copy, its stem upper-cased as it is copied up to the first dot, which becomes the
  // terminator; the extension after it keeps its case.
  NameCopy copy{};
  const std::size_t copied = std::min(fileName.size(), kNameCopyLength);
  std::size_t dot = 0;
  while (dot < copied && fileName[dot] != '.') {
    copy[dot] = UpperCaseLetter(fileName[dot]);
    ++dot;
  }
  if (dot == copied)
    return 0;
  for (std::size_t i = dot + 1; i < copied; ++i)
    copy[i] = fileName[i];
  const std::string_view stem(copy.data(), dot);

  if (stem.starts_with("AV") || stem.starts_with("QM")) {
    return (ConvertDecimal(stem.substr(2)) << 20) + LetterCode(copy);
  }
  if (stem.starts_with("VD"))
    return ConvertUnsigned(stem.substr(2), 16);
  if (stem.starts_with("LPT$QMN")) {
    return ConvertUnsigned(fileName.substr(kSequenceDigitsStart), 10);
  }
  if (!IsDatedPatternName(fileName))
    return 0;
  return DatedPatternNumber(fileName);
}

}  // namespace pattern
