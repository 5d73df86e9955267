// Parsing the companion's reg-style command line.
#include "reg/command_line.h"

#include <algorithm>
#include <string>
#include <utility>

#include "base/ascii.h"

namespace reg {
namespace {

// The roots, by their long and short names.
struct RootName {
  store::Root root;
  std::string_view longName;
  std::string_view shortName;
};
constexpr RootName kRootNames[] = {
    {store::Root::ClassesRoot, "HKEY_CLASSES_ROOT", "HKCR"},
    {store::Root::CurrentUser, "HKEY_CURRENT_USER", "HKCU"},
    {store::Root::LocalMachine, "HKEY_LOCAL_MACHINE", "HKLM"},
    {store::Root::Users, "HKEY_USERS", "HKU"},
    {store::Root::CurrentConfig, "HKEY_CURRENT_CONFIG", "HKCC"},
};

// Keys lie at most this many levels below their root, as in Windows.
constexpr std::size_t kMostKeyLevels = 512;

// What the usage text says after the operations' lines.
constexpr std::string_view kUsageDetails = R"(  pattern-counters-reg --version

Reads and changes the registry store kept in the file named by PATTERN_COUNTERS_REGISTRY,
or by default in $XDG_STATE_HOME/pattern-counters/registry.db (~/.local/state when
XDG_STATE_HOME is not set).

  KEY     ROOT\SUBKEY, where ROOT is HKLM, HKCU, HKCR, HKU or HKCC, or its long name
          (HKEY_LOCAL_MACHINE, ...). Names match whatever the case of their letters.
  /v      the value's name; /ve the key's unnamed value, shown as (Default);
          /va (delete) every value of the key
  /t      REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD, REG_BINARY,
          REG_NONE, REG_DWORD_BIG_ENDIAN, REG_DWORD_LITTLE_ENDIAN (the same as REG_DWORD)
  /d      the data: text for the string types and REG_NONE; for REG_DWORD and REG_QWORD a
          decimal or 0x hexadecimal number that fits the type; for REG_BINARY hexadecimal
          digits; for REG_MULTI_SZ strings separated by \0 (or by the character given with /s)
  /f      replace, delete or restore without asking
  /s      (query) every key below the key too
  /y      (export) replace an existing file without asking
  /reg:32, /reg:64  accepted for scripts written for Windows; the store has a single view

add creates the key and its missing parents, and the store itself when it does not exist yet;
without /v or /ve it writes the key's unnamed value. export writes the key and everything below
it as a registry file (Windows Registry Editor Version 5.00, UTF-16); import reads such a file,
or a REGEDIT4 one, as one transaction. backup writes a copy of the whole store, as it is at one
moment, to FILE, which must not exist yet; restore replaces every key and value of the store with
those of such a copy, in one step. Both work while other programs use the store.
Errors are reported on standard error with exit status 1.
)";

// The operations' names, as the refusal of a missing or unknown one lists them: "(add, query or
// delete)".
std::string OperationNames(std::span<const Operation> operations) {
  std::string names = "(";
  for (std::size_t i = 0; i < operations.size(); ++i) {
    if (i > 0)
      names += i + 1 == operations.size() ? " or " : ", ";
    names += operations[i].name;
  }
  return names + ")";
}

// The operation named `name` (any case), or nullptr.
const Operation* FindOperation(std::span<const Operation> operations, std::string_view name) {
  for (const Operation& operation : operations) {
    if (base::EqualIgnoringCase(operation.name, name))
      return &operation;
  }
  return nullptr;
}

std::string Quoted(std::string_view word) {
  return "\"" + std::string(word) + "\"";
}

base::Status Refused(const std::string& message) {
  return base::Status::Failed(message);
}

bool IsHelpRequest(std::string_view argument) {
  return argument == "/?" || argument == "-?" || argument == "--help" ||
         base::EqualIgnoringCase(argument, "/h") || base::EqualIgnoringCase(argument, "-h");
}

// Help is asked for by a help word alone, or after an operation's name alone; anywhere else a
// help word is a word of the command, and refused as reg refuses it.
bool AsksForHelp(std::span<const Operation> operations,
                 const std::vector<std::string_view>& arguments) {
  return (arguments.size() == 1 && IsHelpRequest(arguments[0])) ||
         (arguments.size() == 2 && IsHelpRequest(arguments[1]) &&
          FindOperation(operations, arguments[0]) != nullptr);
}

// The option `argument` names among those the operation takes, or nullptr.
const Option* FindOption(const Operation& operation, std::string_view argument) {
  if (argument.size() < 2 || (argument.front() != '/' && argument.front() != '-'))
    return nullptr;
  for (const Option& option : operation.options) {
    if (base::EqualIgnoringCase(option.name, argument.substr(1)))
      return &option;
  }
  return nullptr;
}

// What an operation needs before its options.
std::string_view NeededWords(Words words) {
  switch (words) {
    case Words::Key:
      return "a KEY";
    case Words::File:
      return "a FILE";
    case Words::KeyAndFile:
      break;
  }
  return "a KEY and a FILE";
}

// Takes the words before the options: KEY, FILE or KEY FILE. Returns the message that refuses
// them, or ok.
base::Status TakeWords(const std::vector<std::string_view>& arguments, Command& command) {
  const Words words = command.operation->words;
  if (arguments.size() < (words == Words::KeyAndFile ? 3u : 2u)) {
    return Refused(InvalidSyntax(std::string(command.operation->name) + " needs " +
                                 std::string(NeededWords(words))));
  }
  if (words == Words::File) {
    command.file = std::string(arguments[1]);
    return base::Status::OK();
  }
  base::Result<KeyName> key = ParseKeyName(arguments[1]);
  if (!key.ok())
    return Refused(InvalidKeyName(key.status().message()));
  command.key = std::move(*key);
  if (words == Words::KeyAndFile)
    command.file = std::string(arguments[2]);
  return base::Status::OK();
}

// Why the options seen break the rule that only one of some may be given, ok when they do not:
// the rules are checked in the order of the operation's options.
base::Status CheckOneOf(const Operation& operation, const std::vector<const Option*>& seen) {
  for (const Option& option : operation.options) {
    const auto sameRule = [&](const Option* given) {
      return !option.oneOf.empty() && given->oneOf == option.oneOf;
    };
    if (std::count_if(seen.begin(), seen.end(), sameRule) > 1)
      return Refused(InvalidSyntax("give only one of " + std::string(option.oneOf)));
  }
  return base::Status::OK();
}

// Takes the options from `first` on, each at most once. Returns the message that refuses them,
// or ok.
base::Status TakeOptions(const std::vector<std::string_view>& arguments, std::size_t first,
                         Command& command) {
  std::vector<const Option*> seen;
  for (std::size_t i = first; i < arguments.size(); ++i) {
    const Option* option = FindOption(*command.operation, arguments[i]);
    if (option == nullptr) {
      return Refused(InvalidSyntax(Quoted(arguments[i]) + " is not an option of " +
                                   std::string(command.operation->name)));
    }
    if (std::find(seen.begin(), seen.end(), option) != seen.end())
      return Refused(InvalidSyntax(Quoted(arguments[i]) + " is given twice"));
    if (option->takesWord && i + 1 >= arguments.size())
      return Refused(InvalidSyntax(Quoted(arguments[i]) + " needs a word after it"));
    seen.push_back(option);
    const std::string_view word = option->takesWord ? arguments[++i] : std::string_view();
    if (base::Status applied = option->apply(word, command); !applied.ok())
      return applied;
  }
  return CheckOneOf(*command.operation, seen);
}

// Why the path below a root names no key, ok when it names one. Every name in it must be
// non-empty: no doubled, leading or (after the one dropped) trailing backslash. Key names are of
// printable characters, as Windows documents them: a control character (C0, DEL or C1), a line
// break above all, could not be written in a registry file. Windows keeps keys at most 512 levels
// below their root.
base::Status CheckKeyPath(std::string_view path, bool hasPath) {
  if (path.find("\\\\") != std::string_view::npos ||
      (hasPath && (path.empty() || path.front() == '\\' || path.back() == '\\'))) {
    return base::Status::Failed(
        "a name in it is empty (a doubled backslash, or one at its start or end)");
  }
  for (std::size_t i = 0; i < path.size(); ++i) {
    const auto byte = static_cast<unsigned char>(path[i]);
    const auto next = i + 1 < path.size() ? static_cast<unsigned char>(path[i + 1]) : 0u;
    if (byte < 0x20 || byte == 0x7f || (byte == 0xc2 && next >= 0x80 && next <= 0x9f))
      return base::Status::Failed("a name in it holds a control character");
  }
  const std::size_t levels =
      path.empty() ? 0 : 1 + static_cast<std::size_t>(std::count(path.begin(), path.end(), '\\'));
  if (levels > kMostKeyLevels) {
    return base::Status::Failed("it is " + std::to_string(levels) +
                                " levels below its root, and Windows allows " +
                                std::to_string(kMostKeyLevels));
  }
  return base::Status::OK();
}

}  // namespace

std::string InvalidSyntax(const std::string& what) {
  return "ERROR: Invalid syntax: " + what + ".\nType \"pattern-counters-reg /?\" for usage.";
}

base::Result<Command> ParseCommandLine(std::span<const Operation> operations,
                                       const std::vector<std::string_view>& arguments) {
  if (AsksForHelp(operations, arguments))
    return Command{};
  if (arguments.size() == 1 && arguments[0] == "--version") {
    Command version;
    version.version = true;
    return version;
  }
  Command command;
  if (arguments.empty())
    return Refused(InvalidSyntax("name an operation " + OperationNames(operations)));
  command.operation = FindOperation(operations, arguments[0]);
  if (command.operation == nullptr) {
    return Refused(
        InvalidSyntax(Quoted(arguments[0]) + " is not an operation " + OperationNames(operations)));
  }
  if (base::Status words = TakeWords(arguments, command); !words.ok())
    return words;
  const std::size_t firstOption = command.operation->words == Words::KeyAndFile ? 3 : 2;
  if (base::Status options = TakeOptions(arguments, firstOption, command); !options.ok())
    return options;
  if (command.operation->complete != nullptr) {
    if (base::Status completed = command.operation->complete(command); !completed.ok())
      return completed;
  }
  return command;
}

base::Result<KeyName> ParseKeyName(std::string_view keyName) {
  if (keyName.size() > 1 && keyName.back() == '\\')
    keyName.remove_suffix(1);
  const std::string_view rootName = keyName.substr(0, keyName.find('\\'));
  const auto root =
      std::find_if(std::begin(kRootNames), std::end(kRootNames), [&](const auto& names) {
        return base::EqualIgnoringCase(rootName, names.longName) ||
               base::EqualIgnoringCase(rootName, names.shortName);
      });
  if (root == std::end(kRootNames)) {
    return base::Status::Failed(Quoted(rootName) +
                                " is not a root key (HKLM, HKCU, HKCR, HKU, HKCC or a long name)");
  }
  const bool hasPath = rootName.size() < keyName.size();
  const std::string_view path = hasPath ? keyName.substr(rootName.size() + 1) : std::string_view();
  if (base::Status checked = CheckKeyPath(path, hasPath); !checked.ok())
    return checked;
  return KeyName{root->root, std::string(path)};
}

std::string InvalidKeyName(std::string_view reason) {
  return "ERROR: Invalid key name: " + std::string(reason) + ".";
}

std::string FullKeyName(const KeyName& key) {
  const auto names =
      std::find_if(std::begin(kRootNames), std::end(kRootNames),
                   [&](const auto& candidate) { return candidate.root == key.root; });
  std::string name(names->longName);
  if (!key.path.empty())
    name.append("\\").append(key.path);
  return name;
}

std::string Usage(std::span<const Operation> operations) {
  std::string usage = "Usage:\n";
  for (const Operation& operation : operations)
    usage.append("  pattern-counters-reg ").append(operation.usage).append("\n");
  return usage.append(kUsageDetails);
}

}  // namespace reg
