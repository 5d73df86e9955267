// The companion's command line, in the syntax of the Windows reg command.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/registry_store.h"

namespace reg {

enum class Operation { Help, Add, Query, Delete, Export, Import, Backup, Restore };

struct Command {
  Operation operation = Operation::Help;
  store::Root root = store::Root::LocalMachine;
  std::string keyPath;                   // below the root; empty for the root itself
  std::optional<std::string> valueName;  // /v NAME, or empty for the unnamed value (/ve)
  bool allValues = false;                // /va
  std::uint32_t type = store::kRegSz;    // /t
  std::optional<std::string> data;       // /d
  std::string separator = "\\0";         // /s, between the strings of a REG_MULTI_SZ
  bool force = false;                    // /f; for export /y
  bool recursive = false;                // query /s
  std::string file;  // export and import: the registry file; backup and restore: the store copy
};

// A parsed command, or the error message that refuses the command line.
struct ParsedCommand {
  Command command;
  std::string error;
};

// Parses the arguments after the program name. A help word alone, or after an operation alone,
// gives Operation::Help; the word after /v, /d, /s or /t is data, whatever it is.
ParsedCommand ParseCommandLine(const std::vector<std::string_view>& arguments);

// Splits ROOT\path into the command's root and the path below it, dropping one trailing
// backslash. Returns an error text, empty on success.
std::string ParseKeyName(std::string_view keyName, Command& command);

// The key's full name, with the root's long name.
std::string FullKeyName(store::Root root, std::string_view keyPath);

// The usage text.
std::string_view Usage();

}  // namespace reg
