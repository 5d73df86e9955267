// The companion's command line, in the syntax of the Windows reg command.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"
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

// reg's refusal of a command line, naming what is wrong in it.
std::string InvalidSyntax(const std::string& what);

// reg's message for a key name refused for `reason`.
std::string InvalidKeyName(std::string_view reason);

// The key's full name, with the root's long name.
std::string FullKeyName(const KeyName& key);

// An option of an operation: its name without the leading / or -, whether the word after it is
// its data, what it sets in the command from that word (empty when it takes none), returning the
// message that refuses the word or ok, and, for options of which a command may give only one,
// how the refusal names them.
struct Option {
  std::string_view name;
  bool takesWord;
  base::Status (*apply)(std::string_view word, Command& command);
  std::string_view oneOf = {};
};

// What follows an operation's name before its options.
enum class Words { Key, File, KeyAndFile };

// Runs a command on the store file at `storePath`. Returns the exit status: 0 on success, 1 after
// an error message on `console.err`.
using RunOperation = int (*)(const Command& command, const std::string& storePath,
                             Console& console);

// An operation of the companion, whole: its name, the words and options it takes, what it needs
// of a command beyond them (completing it: returns the message that refuses the command, or ok;
// nullptr when nothing), its usage line after the program's name, and what runs it.
struct Operation {
  std::string_view name;
  Words words;
  std::span<const Option> options;
  base::Status (*complete)(Command& command);
  std::string_view usage;
  RunOperation run;
};

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

// Parses the arguments after the program name into a command of one of `operations`. A help word
// alone, or after an operation alone, asks for help, and --version alone for the version; the
// word after an option that takes one is data, whatever it is. Returns the command, or the
// message that refuses the command line.
base::Result<Command> ParseCommandLine(std::span<const Operation> operations,
                                       const std::vector<std::string_view>& arguments);

// The usage text of the companion with `operations`.
std::string Usage(std::span<const Operation> operations);

}  // namespace reg
