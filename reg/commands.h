// The companion's commands on the registry store, and running one by its operation.
#pragma once

#include <span>
#include <string>

#include "reg/command_line.h"
#include "reg/command_support.h"

namespace reg {

// The companion's operations, for ParseCommandLine.
std::span<const Operation> Operations();

// Runs the command on the store file at `storePath`, or prints the usage or the version when it
// asks for them. Returns the exit status: 0 on success, 1 after an error message on
// `console.err`. Without /f, replacing or deleting asks on `console` first; no answer, or any
// answer but yes, cancels.
int RunCommand(const Command& command, const std::string& storePath, Console console);

// Reading: the key, a value or a search below the key shown as reg query shows them; the key and
// everything below it written as a registry file.
int Query(const Command& command, const std::string& storePath, Console& console);
int Export(const Command& command, const std::string& storePath, Console& console);

// Writing: a key and a value made, a value, the values or a key deleted, a registry file's
// changes made, each in one transaction.
int Add(const Command& command, const std::string& storePath, Console& console);
int Delete(const Command& command, const std::string& storePath, Console& console);
int Import(const Command& command, const std::string& storePath, Console& console);

// The whole store: copied to a new file, or replaced by such a copy's keys and values.
int Backup(const Command& command, const std::string& storePath, Console& console);
int Restore(const Command& command, const std::string& storePath, Console& console);

}  // namespace reg
