// Start-up order of the tool: framework, argument, counter update, exit status.
#include "app/run.h"

#include <iostream>
#include <string>

#include "counters/update_pattern_counters.h"
#include "platform/platform.h"

namespace app {

int RunPatternCounters(int argc, char* argv[]) {
  if (!StartFramework()) {
    std::cerr << "Fatal Error: MFC initialization failed" << std::endl;
    return 1;
  }
  counters::UpdatePatternCounters(argc > 1 ? std::string(argv[1]) : std::string());
  return 0;
}

}  // namespace app
