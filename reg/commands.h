// The companion's commands on the registry store: add, query and delete, backup and restore.
#pragma once

#include <iosfwd>
#include <string>

#include "reg/command_line.h"

namespace reg {

// Where a command reads confirmations and writes its results and errors.
struct Console {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
};

// Runs the command on the store file at `storePath`. Returns the exit status: 0 on success, 1
// after an error message on `console.err`. Without /f, replacing or deleting asks on `console`
// first; no answer, or any answer but yes, cancels.
int RunCommand(const Command& command, const std::string& storePath, Console console);

}  // namespace reg
