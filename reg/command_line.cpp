// Parsing the companion's reg-style command line.
#include "reg/command_line.h"

#include <algorithm>
#include <array>

#include "reg/value_text.h"

namespace reg {
namespace {

using store::kRootNames;

struct OperationName {
  std::string_view name;
  Operation operation;
};
constexpr std::array<OperationName, 7> kOperations = {{
    {"add", Operation::Add},
    {"query", Operation::Query},
    {"delete", Operation::Delete},
    {"export", Operation::Export},
    {"import", Operation::Import},
    {"backup", Operation::Backup},
    {"restore", Operation::Restore},
}};

// The operations whose second word is a file rather than a key.
bool TakesFile(Operation operation) {
  return operation == Operation::Import || operation == Operation::Backup ||
         operation == Operation::Restore;
}

// An option: its name without the leading / or -, whether a word follows it, and the operations
// that take it.
struct OptionRule {
  std::string_view name;
  bool takesWord;
  // Indexed by Operation: help, add, query, delete, export, import, backup, restore.
  std::array<bool, 8> allowedFor;
};
constexpr std::array<OptionRule, 11> kOptions = {{
    {"v", true, {false, true, true, true, false, false, false, false}},
    {"ve", false, {false, true, true, true, false, false, false, false}},
    {"va", false, {false, false, false, true, false, false, false, false}},
    {"t", true, {false, true, false, false, false, false, false, false}},
    {"d", true, {false, true, false, false, false, false, false, false}},
    // add: the REG_MULTI_SZ separator; query: every subkey too
    {"s", true, {false, true, false, false, false, false, false, false}},
    {"s", false, {false, false, true, false, false, false, false, false}},
    {"f", false, {false, true, false, true, false, false, false, true}},
    {"y", false, {false, false, false, false, true, false, false, false}},
    {"reg:32", false, {false, true, true, true, true, true, false, false}},
    {"reg:64", false, {false, true, true, true, true, true, false, false}},
}};

constexpr std::string_view kInvalidSyntax =
    "ERROR: Invalid syntax.\nType \"pattern-counters-reg /?\" for usage.";

bool IsHelpRequest(std::string_view argument) {
  return argument == "/?" || argument == "-?" || argument == "--help" ||
         EqualIgnoringCase(argument, "/h") || EqualIgnoringCase(argument, "-h");
}

// Help is asked for by a help word alone, or after an operation's name alone; anywhere else a
// help word is a word of the command, and refused as reg refuses it.
bool AsksForHelp(const std::vector<std::string_view>& arguments) {
  return (arguments.size() == 1 && IsHelpRequest(arguments[0])) ||
         (arguments.size() == 2 && IsHelpRequest(arguments[1]) &&
          std::any_of(kOperations.begin(), kOperations.end(),
                      [&](const auto& op) { return EqualIgnoringCase(op.name, arguments[0]); }));
}

// The option `argument` names for the operation, or nullptr when it names none the operation takes.
const OptionRule* FindOption(std::string_view argument, Operation operation) {
  if (argument.size() < 2 || (argument.front() != '/' && argument.front() != '-'))
    return nullptr;
  const auto rule = std::find_if(kOptions.begin(), kOptions.end(), [&](const OptionRule& option) {
    return EqualIgnoringCase(option.name, argument.substr(1)) &&
           option.allowedFor[static_cast<std::size_t>(operation)];
  });
  return rule == kOptions.end() ? nullptr : &*rule;
}

// Applies one option to the command. Returns an error text, empty on success.
std::string ApplyOption(const OptionRule& option, std::string_view word, Command& command) {
  const std::string_view name = option.name;
  if (name == "v")
    command.valueName = std::string(word);
  if (name == "ve")
    command.valueName = std::string();
  if (name == "va")
    command.allValues = true;
  if (name == "d")
    command.data = std::string(word);
  if (name == "f" || name == "y")
    command.force = true;
  if (name == "s" && !option.takesWord)
    command.recursive = true;
  if (name == "s" && option.takesWord) {
    if (word.size() != 1)
      return "ERROR: The separator of /s must be one character.";
    command.separator = std::string(word);
  }
  if (name == "t") {
    const std::optional<std::uint32_t> type = TypeNumber(word);
    if (!type)
      return "ERROR: Invalid type: " + std::string(word) + ".";
    command.type = *type;
  }
  return std::string();
}

}  // namespace

ParsedCommand ParseCommandLine(const std::vector<std::string_view>& arguments) {
  ParsedCommand parsed;
  if (AsksForHelp(arguments))
    return parsed;
  if (arguments.size() < 2)
    return {{}, std::string(kInvalidSyntax)};
  const auto operation = std::find_if(kOperations.begin(), kOperations.end(), [&](const auto& op) {
    return EqualIgnoringCase(op.name, arguments[0]);
  });
  if (operation == kOperations.end())
    return {{}, std::string(kInvalidSyntax)};
  Command& command = parsed.command;
  command.operation = operation->operation;
  // import, backup and restore FILE; export KEY FILE; the others KEY.
  std::size_t firstOption = 2;
  if (TakesFile(command.operation)) {
    command.file = std::string(arguments[1]);
  } else if (std::string error = ParseKeyName(arguments[1], command); !error.empty()) {
    return {{}, error};
  }
  if (command.operation == Operation::Export) {
    if (arguments.size() < 3)
      return {{}, std::string(kInvalidSyntax)};
    command.file = std::string(arguments[2]);
    firstOption = 3;
  }

  std::vector<std::string_view> seen;
  for (std::size_t i = firstOption; i < arguments.size(); ++i) {
    const OptionRule* option = FindOption(arguments[i], command.operation);
    const bool missingWord = option != nullptr && option->takesWord && i + 1 >= arguments.size();
    if (option == nullptr || missingWord ||
        std::find(seen.begin(), seen.end(), option->name) != seen.end()) {
      return {{}, std::string(kInvalidSyntax)};
    }
    seen.push_back(option->name);
    const std::string_view word = option->takesWord ? arguments[++i] : std::string_view();
    if (std::string error = ApplyOption(*option, word, command); !error.empty())
      return {{}, error};
  }
  const auto count = [&](std::string_view name) {
    return std::count(seen.begin(), seen.end(), name);
  };
  if (count("v") + count("ve") + count("va") > 1 || count("reg:32") + count("reg:64") > 1) {
    return {{}, std::string(kInvalidSyntax)};
  }
  // Without a value name, add writes the key's unnamed value, as reg does: with the data and type
  // given, or an empty REG_SZ.
  if (command.operation == Operation::Add && !command.valueName)
    command.valueName = std::string();
  if (command.operation == Operation::Add && command.data == std::nullopt &&
      (command.type == store::kRegDword || command.type == kRegDwordBigEndian)) {
    return {{}, std::string(kInvalidSyntax)};  // reg wants the number of a REG_DWORD
  }
  return parsed;
}

std::string ParseKeyName(std::string_view keyName, Command& command) {
  if (keyName.size() > 1 && keyName.back() == '\\')
    keyName.remove_suffix(1);
  const std::string_view rootName = keyName.substr(0, keyName.find('\\'));
  const auto root = std::find_if(kRootNames.begin(), kRootNames.end(), [&](const auto& names) {
    return EqualIgnoringCase(rootName, names.longName) ||
           EqualIgnoringCase(rootName, names.shortName);
  });
  if (root == kRootNames.end())
    return "ERROR: Invalid key name.";
  const std::string_view path =
      rootName.size() < keyName.size() ? keyName.substr(rootName.size() + 1) : std::string_view();
  // Every name in the path must be non-empty: no doubled, leading or (after the one dropped
  // above) trailing backslash.
  if (path.find("\\\\") != std::string_view::npos ||
      (!path.empty() && (path.front() == '\\' || path.back() == '\\')) ||
      (rootName.size() < keyName.size() && path.empty())) {
    return "ERROR: Invalid key name.";
  }
  // Key names are of printable characters, as Windows documents them: a control character, a
  // line break above all, could not be written in a registry file.
  const auto control = [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; };
  if (std::any_of(path.begin(), path.end(), control))
    return "ERROR: Invalid key name.";
  command.root = root->root;
  command.keyPath = std::string(path);
  return std::string();
}

std::string FullKeyName(store::Root root, std::string_view keyPath) {
  const auto names = std::find_if(kRootNames.begin(), kRootNames.end(),
                                  [&](const auto& candidate) { return candidate.root == root; });
  std::string name(names->longName);
  if (!keyPath.empty())
    name.append("\\").append(keyPath);
  return name;
}

std::string_view Usage() {
  return R"(Usage:
  pattern-counters-reg add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]
  pattern-counters-reg query KEY [/v NAME | /ve] [/s]
  pattern-counters-reg delete KEY [/v NAME | /ve | /va] [/f]
  pattern-counters-reg export KEY FILE [/y]
  pattern-counters-reg import FILE
  pattern-counters-reg backup FILE
  pattern-counters-reg restore FILE [/f]

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
}

}  // namespace reg
