// The pattern number that a pattern file's name encodes.
//
// Four naming forms are recognised, tested in this order:
//   lettered     AV<n><letters>.* or QM<n><letters>.*  n * 2^20 + letter code
//   hexadecimal  VD<hex>.*                             the hexadecimal number
//   sequence     LPT$QMN.<n>                           the decimal number
//   dated        YYYYMMDD.NNN                          packed year-1998, month, day, NNN mod 512
// Only the name is read; no file is opened.
#pragma once

#include <cstdint>
#include <string_view>

namespace pattern {

// Returns the pattern number of the file named by `text` (a file name, with or without a path),
// or 0 when the name fits no form. The text ends at its first NUL, as a C string would.
std::uint32_t PatternNumberFromName(std::string_view text);

}  // namespace pattern
