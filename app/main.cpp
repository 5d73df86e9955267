// Process entry of pattern-counters: records a pattern file's number in the client's registry key.
#include "app/run.h"

int main(int argc, char* argv[]) {
  return app::RunPatternCounters(argc, argv);
}
