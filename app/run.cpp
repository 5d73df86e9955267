// Start-up order of the tool: framework, argument, counter update, exit status.
#include "app/run.h"

#include <cstdio>
#include <string>

#include "counters/update_pattern_counters.h"
#include "platform/platform.h"

namespace app {

int RunPatternCounters(int argc, char* argv[]) {
  if (!StartFramework()) {
    // The C library's standard error, flushed as std::endl would: the stream library's start-up
    // would bring the Windows program functions that older Windows lack.
    std::fputs("Fatal Error: MFC initialization failed\n", stderr);
    std::fflush(stderr);
    return 1;
  }
  counters::UpdatePatternCounters(argc > 1 ? std::string(argv[1]) : std::string());
  return 0;
}

}  // namespace app
