// Process entry of pattern-counters-reg: reads and changes the registry store in reg's syntax.
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <string_view>
#include <vector>

#include "reg/commands.h"
#include "reg/standard_output.h"
#include "store/store_location.h"

int main(int argc, char* argv[]) {
  const std::vector<std::string_view> arguments(argv + 1, argv + argc);
  const base::Result<reg::Command> parsed = reg::ParseCommandLine(reg::Operations(), arguments);
  if (!parsed.ok()) {
    std::cerr << parsed.status().message() << '\n';
    return 1;
  }
  reg::DescriptorOutput standardOutput(STDOUT_FILENO);
  std::ostream out(&standardOutput);
  const bool atTerminal = ::isatty(STDIN_FILENO) == 1;
  const int status =
      reg::RunCommand(*parsed, store::StorePath(), {std::cin, out, std::cerr, atTerminal});
  if (standardOutput.failure() != 0) {
    std::cerr << "ERROR: Cannot write the output: " << std::strerror(standardOutput.failure())
              << ".\n";
    return 1;
  }
  return status;
}
