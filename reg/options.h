// The options of the companion's operations, each with what it sets in a command, and what add
// needs of a command beyond its options. The table of operations (reg/commands.cpp) is made of
// these; the parser knows none of them by name.
#pragma once

#include <string_view>

#include "reg/command_line.h"

namespace reg {

// What each option sets in the command. Each returns the message that refuses the word, or ok.
base::Status SetValueName(std::string_view word, Command& command);
base::Status SetUnnamedValue(std::string_view word, Command& command);
base::Status SetAllValues(std::string_view word, Command& command);
base::Status SetType(std::string_view word, Command& command);
base::Status SetData(std::string_view word, Command& command);
base::Status SetSeparator(std::string_view word, Command& command);
base::Status SetForce(std::string_view word, Command& command);
base::Status SetRecursive(std::string_view word, Command& command);
// Accepted for scripts written for Windows: the store has a single view.
base::Status SetNothing(std::string_view word, Command& command);

inline constexpr std::string_view kOneValue = "/v, /ve and /va";
inline constexpr std::string_view kOneView = "/reg:32 and /reg:64";

inline constexpr Option kValueNameOption{"v", true, SetValueName, kOneValue};
inline constexpr Option kUnnamedValueOption{"ve", false, SetUnnamedValue, kOneValue};
inline constexpr Option kAllValuesOption{"va", false, SetAllValues, kOneValue};
inline constexpr Option kTypeOption{"t", true, SetType};
inline constexpr Option kDataOption{"d", true, SetData};
inline constexpr Option kSeparatorOption{"s", true, SetSeparator};
inline constexpr Option kForceOption{"f", false, SetForce};
inline constexpr Option kOverwriteOption{"y", false, SetForce};
inline constexpr Option kRecursiveOption{"s", false, SetRecursive};
inline constexpr Option kView32Option{"reg:32", false, SetNothing, kOneView};
inline constexpr Option kView64Option{"reg:64", false, SetNothing, kOneView};

// Completes add's command: without a value name it writes the key's unnamed value, as reg does,
// with the data and type given or an empty REG_SZ; a REG_DWORD needs its number, and text must
// be UTF-8. Returns the message that refuses the command, or ok.
base::Status CompleteAdd(Command& command);

}  // namespace reg
