// The companion's command line, in the syntax of the Windows reg command.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/registry_store.h"

namespace reg {

struct Command;
struct Console;

// A key by name: its root, and its path below the root.
struct KeyName {
  store::Root root = store::Root::LocalMachine;
  std::string path;  // names separated by backslashes; empty for the root itself
};

// The key that ROOT\path names, one trailing backslash dropped, or why it names none (the reason,
// without reg's words).
base::Result<KeyName> ParseKeyName(std::string_view keyName);

// reg's message for a key name refused for `reason`.
std::string InvalidKeyName(std::string_view reason);

// The key's full name, with the root's long name.
std::string FullKeyName(const KeyName& key);

// An option an operation takes: its name without the leading / or -, and whether the word after
// it is its data.
struct OptionSyntax {
  std::string_view name;
  bool takesWord;
};

// What follows an operation's name before its options.
enum class Words { Key, File, KeyAndFile };

// Runs a command on the store file at `storePath`. Returns the exit status: 0 on success, 1 after
// an error message on `console.err`.
using RunOperation = int (*)(const Command& command, const std::string& storePath,
                             Console& console);

// An operation of the companion: its name, its syntax, and what runs it.
struct Operation {
  std::string_view name;
  Words words;
  std::span<const OptionSyntax> options;
  RunOperation run;
};

// The operation named `name` (any case), or nullptr.
const Operation* FindOperation(std::string_view name);

struct Command {
  const Operation* operation = nullptr;  // nullptr when help or the version was asked for
  bool version = false;                  // --version
  KeyName key;
  std::optional<std::string> valueName;  // /v NAME, or empty for the unnamed value (/ve)
  bool allValues = false;                // /va
  std::uint32_t type = store::kRegSz;    // /t
  std::optional<std::string> data;       // /d
  std::string separator = "\\0";         // /s, between the strings of a REG_MULTI_SZ
  bool force = false;                    // /f; for export /y
  bool recursive = false;                // query /s
  std::string file;  // export and import: the registry file; backup and restore: the store copy
};

// Parses the arguments after the program name. A help word alone, or after an operation alone,
// asks for help, and --version alone for the version; the word after /v, /d, /s or /t is data,
// whatever it is. Returns the command, or the message that refuses the command line.
base::Result<Command> ParseCommandLine(const std::vector<std::string_view>& arguments);

// The usage text.
std::string_view Usage();

}  // namespace reg
