// The companion's operations, each whole in its row, and running a command.
#include "reg/commands.h"

#include <ostream>

#include "reg/options.h"

namespace reg {
namespace {

// Every operation but backup takes /reg:32 and /reg:64, for scripts written for Windows.
constexpr Option kAddOptions[] = {kValueNameOption, kUnnamedValueOption, kTypeOption,
                                  kDataOption,      kSeparatorOption,    kForceOption,
                                  kView32Option,    kView64Option};
constexpr Option kQueryOptions[] = {kValueNameOption, kUnnamedValueOption, kRecursiveOption,
                                    kView32Option, kView64Option};
constexpr Option kDeleteOptions[] = {kValueNameOption, kUnnamedValueOption, kAllValuesOption,
                                     kForceOption,     kView32Option,       kView64Option};
constexpr Option kExportOptions[] = {kOverwriteOption, kView32Option, kView64Option};
constexpr Option kImportOptions[] = {kView32Option, kView64Option};
constexpr Option kRestoreOptions[] = {kForceOption};

constexpr Operation kOperations[] = {
    {"add", Words::Key, kAddOptions, CompleteAdd,
     "add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]", Add},
    {"query", Words::Key, kQueryOptions, nullptr, "query KEY [/v NAME | /ve] [/s]", Query},
    {"delete", Words::Key, kDeleteOptions, nullptr, "delete KEY [/v NAME | /ve | /va] [/f]",
     Delete},
    {"export", Words::KeyAndFile, kExportOptions, nullptr, "export KEY FILE [/y]", Export},
    {"import", Words::File, kImportOptions, nullptr, "import FILE", Import},
    {"backup", Words::File, {}, nullptr, "backup FILE", Backup},
    {"restore", Words::File, kRestoreOptions, nullptr, "restore FILE [/f]", Restore},
};

}  // namespace

std::span<const Operation> Operations() {
  return kOperations;
}

int RunCommand(const Command& command, const std::string& storePath, Console console) {
  if (command.operation == nullptr) {
    if (command.version)
      console.out << "pattern-counters-reg " << PATTERN_COUNTERS_VERSION << '\n';
    else
      console.out << Usage(kOperations);
    return 0;
  }
  return command.operation->run(command, storePath, console);
}

}  // namespace reg
