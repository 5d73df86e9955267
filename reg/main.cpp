// Process entry of pattern-counters-reg: reads and changes the registry store in reg's syntax.
#include <iostream>
#include <string_view>
#include <vector>

#include "reg/commands.h"
#include "store/store_location.h"

int main(int argc, char* argv[]) {
  const std::vector<std::string_view> arguments(argv + 1, argv + argc);
  const reg::ParsedCommand parsed = reg::ParseCommandLine(arguments);
  if (!parsed.error.empty()) {
    std::cerr << parsed.error << '\n';
    return 1;
  }
  return reg::RunCommand(parsed.command, store::StorePath(), {std::cin, std::cout, std::cerr});
}
