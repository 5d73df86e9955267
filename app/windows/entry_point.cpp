// Process entry of the Windows program, in place of the compiler's start-up code: that code is
// built for later processors than the program's and imports functions that Windows 95, 98 and ME
// have only as stubs. The C library, msvcrt.dll, starts itself when it is loaded; what is left is
// to take the arguments from it, run the objects' constructors and end with the exit status.
#include <cstdlib>

#include "app/run.h"

namespace {

// What msvcrt.dll's argument parser is given: the new-handler mode, left as it is.
struct StartupInfo {
  int newMode;
};

constexpr int kConsoleApplication = 1;   // run-time errors are written to standard error
constexpr int kNoWildcardExpansion = 0;  // "*.dat" is a file name, never expanded
constexpr int kNoSpaceForArguments = 8;  // the C library's run-time error R6008

}  // namespace

extern "C" {

__declspec(dllimport) void __set_app_type(int applicationType);
// Older msvcrt.dll versions return nothing, later ones a status: the result is not read, and the
// arguments are missing when argv is still null afterwards.
__declspec(dllimport) void __getmainargs(int* argc, char*** argv, char*** environment,
                                         int expandWildcards, StartupInfo* startupInfo);
__declspec(dllimport) void _amsg_exit(int runTimeError);

// The constructor list that the linker builds: a -1, the constructors, then a null pointer.
extern void (*__CTOR_LIST__[])();

void mainCRTStartup() {
  __set_app_type(kConsoleApplication);
  int argc = 0;
  char** argv = nullptr;
  char** environment = nullptr;
  StartupInfo startupInfo{0};
  __getmainargs(&argc, &argv, &environment, kNoWildcardExpansion, &startupInfo);
  if (argv == nullptr)
    _amsg_exit(kNoSpaceForArguments);

  // In reverse order, as the compiler's start-up runs them.
  std::size_t count = 0;
  while (__CTOR_LIST__[count + 1] != nullptr)
    ++count;
  for (; count > 0; --count)
    __CTOR_LIST__[count]();

  // exit() flushes standard output and standard error.
  std::exit(app::RunPatternCounters(argc, argv));
}

}  // extern "C"
