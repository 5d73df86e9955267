// The companion's operations by name, with their syntax, and running a command.
#include "reg/commands.h"

#include <ostream>

#include "reg/value_text.h"

namespace reg {
namespace {

// Every operation but backup takes /reg:32 and /reg:64, for scripts written for Windows.
constexpr OptionSyntax kAddOptions[] = {{"v", true},       {"ve", false},    {"t", true},
                                        {"d", true},       {"s", true},      {"f", false},
                                        {"reg:32", false}, {"reg:64", false}};
constexpr OptionSyntax kQueryOptions[] = {
    {"v", true}, {"ve", false}, {"s", false}, {"reg:32", false}, {"reg:64", false}};
constexpr OptionSyntax kDeleteOptions[] = {{"v", true},  {"ve", false},     {"va", false},
                                           {"f", false}, {"reg:32", false}, {"reg:64", false}};
constexpr OptionSyntax kExportOptions[] = {{"y", false}, {"reg:32", false}, {"reg:64", false}};
constexpr OptionSyntax kImportOptions[] = {{"reg:32", false}, {"reg:64", false}};
constexpr OptionSyntax kRestoreOptions[] = {{"f", false}};

constexpr Operation kOperations[] = {
    {"add", Words::Key, kAddOptions, Add},
    {"query", Words::Key, kQueryOptions, Query},
    {"delete", Words::Key, kDeleteOptions, Delete},
    {"export", Words::KeyAndFile, kExportOptions, Export},
    {"import", Words::File, kImportOptions, Import},
    {"backup", Words::File, {}, Backup},
    {"restore", Words::File, kRestoreOptions, Restore},
};

}  // namespace

const Operation* FindOperation(std::string_view name) {
  for (const Operation& operation : kOperations) {
    if (EqualIgnoringCase(operation.name, name))
      return &operation;
  }
  return nullptr;
}

int RunCommand(const Command& command, const std::string& storePath, Console console) {
  if (command.operation == nullptr) {
    if (command.version)
      console.out << "pattern-counters-reg " << PATTERN_COUNTERS_VERSION << '\n';
    else
      console.out << Usage();
    return 0;
  }
  return command.operation->run(command, storePath, console);
}

}  // namespace reg
