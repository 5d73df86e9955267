// The tool's start-up, apart from the process entry so that tests can drive it.
#pragma once

namespace app {

// Starts the framework, then runs the counter update on the first argument (empty text when there
// is none; further arguments are ignored). Returns the exit status: 1 when the framework cannot
// start (after the fatal message on standard error), otherwise 0, whatever the update reported.
int RunPatternCounters(int argc, char* argv[]);

}  // namespace app
