// The companion's table of operations, with the functions that run them, and running a command.
#include "reg/commands.h"

#include <ostream>

#include "reg/operation_table.h"

namespace reg {
namespace {

#define PATTERN_COUNTERS_OPERATION(name, words, options, complete, usage, run) \
  {name, words, options, complete, usage, run},
constexpr Operation kOperations[] = {PATTERN_COUNTERS_REG_OPERATIONS(PATTERN_COUNTERS_OPERATION)};
#undef PATTERN_COUNTERS_OPERATION

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
