// Registry value types by name, and value data as the companion reads and shows it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/status.h"
#include "store/registry_values.h"

namespace reg {

// A type the store knows only by its number: a 32-bit number, shown as reg shows it.
inline constexpr std::uint32_t kRegDwordBigEndian = 5;

// The type number of a type name such as REG_DWORD (any case), or nothing for an unknown name.
std::optional<std::uint32_t> TypeNumber(std::string_view name);

// The name of a type number; numbers without a name show as REG_UNKNOWN(n).
std::string TypeName(std::uint32_t type);

// Value bytes from the text given with /d (nothing when /d was not given), or the message that
// refuses the text. Numbers must fit their type: never stored cut down.
using EncodedData = base::Result<std::string>;
EncodedData EncodeData(std::uint32_t type, const std::optional<std::string>& text,
                       std::string_view separator);

// The value's data as reg query shows it.
std::string DisplayData(const store::Value& value);

}  // namespace reg
