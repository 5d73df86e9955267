// The companion's operations, one row each, whole: its name, the words it takes, its options,
// what it needs of a command beyond them, its usage line and the function that runs it.
//
// The rows are made into Operation values by a macro of the includer's: the companion's with each
// row's function (reg/commands.cpp), the command-line fuzz target's without it, so that the target
// parses the companion's very table and links no command, no store and no SQLite.
#pragma once

#include "reg/options.h"

namespace reg {

// Every operation but backup takes /reg:32 and /reg:64, for scripts written for Windows.
inline constexpr Option kAddOptions[] = {kValueNameOption, kUnnamedValueOption, kTypeOption,
                                         kDataOption,      kSeparatorOption,    kForceOption,
                                         kView32Option,    kView64Option};
inline constexpr Option kQueryOptions[] = {kValueNameOption, kUnnamedValueOption,
                                           kRecursiveOption, kView32Option, kView64Option};
inline constexpr Option kDeleteOptions[] = {kValueNameOption, kUnnamedValueOption,
                                            kAllValuesOption, kForceOption,
                                            kView32Option,    kView64Option};
inline constexpr Option kExportOptions[] = {kOverwriteOption, kView32Option, kView64Option};
inline constexpr Option kImportOptions[] = {kView32Option, kView64Option};
inline constexpr std::span<const Option> kBackupOptions = {};
inline constexpr Option kRestoreOptions[] = {kForceOption};

}  // namespace reg

// ROW(name, words, options, complete, usage, run) for each operation, in the usage's order.
// clang-format off
#define PATTERN_COUNTERS_REG_OPERATIONS(ROW)                                                 \
  ROW("add", reg::Words::Key, reg::kAddOptions, reg::CompleteAdd,                           \
      "add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]", Add)               \
  ROW("query", reg::Words::Key, reg::kQueryOptions, nullptr,                                \
      "query KEY [/v NAME | /ve] [/s]", Query)                                              \
  ROW("delete", reg::Words::Key, reg::kDeleteOptions, nullptr,                              \
      "delete KEY [/v NAME | /ve | /va] [/f]", Delete)                                      \
  ROW("export", reg::Words::KeyAndFile, reg::kExportOptions, nullptr,                       \
      "export KEY FILE [/y]", Export)                                                       \
  ROW("import", reg::Words::File, reg::kImportOptions, nullptr, "import FILE", Import)      \
  ROW("backup", reg::Words::File, reg::kBackupOptions, nullptr, "backup FILE", Backup)      \
  ROW("restore", reg::Words::File, reg::kRestoreOptions, nullptr, "restore FILE [/f]", Restore)
// clang-format on
