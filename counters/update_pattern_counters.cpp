// The counter update: reads in a fixed order, seeds what cannot be read, reports, then writes.
//
// A maintained counter that cannot be read is answered by writing 0 and the work goes on; every
// other failure prints one message and ends the update. Nothing is retried or rolled back, and the
// key is closed on every path that opened it.
#include "counters/update_pattern_counters.h"

#include <cstdint>
#include <cstdio>
#include <optional>

#include "pattern/pattern_number.h"
#include "platform/platform.h"

namespace counters {
namespace {

// A counter the update keeps in existence, with the messages for a failed read and a refused
// write (of its seed, or of its new value).
struct MaintainedCounter {
  const char* valueName;
  const char* queryFailure;
  const char* setFailure;
};

constexpr MaintainedCounter kParentBackRevCounter{"ParentBackRevCounter",
                                                  "Fail to query ParentBackRevCounter.\n",
                                                  "Cannot set ParentBackRevCounter.\n"};
constexpr MaintainedCounter kBackRevCounter{"BackRevCounter", "Cannot query BackRevCounter.\n",
                                            "Cannot set BackRevCounter.\n"};
constexpr MaintainedCounter kParentPattern{"ParentPattern", "Cannot query ParentPattern.\n",
                                           "Cannot set ParentPattern.\n"};

// The back-revision counter after one step: 0 wraps to 9999, every other value goes down by one.
constexpr std::uint32_t SteppedBackRevCounter(std::uint32_t counter) {
  return counter == 0 ? 9999u : counter - 1u;
}

// Counter values are printed as signed 32-bit numbers, so 4294967295 prints as -1.
void PrintCounter(const char* format, std::uint32_t value) {
  std::printf(format, static_cast<int>(static_cast<std::int32_t>(value)));
}

// Reads the counter, or seeds it with 0 when it cannot be read. Returns its value, or nothing
// when the seed was refused too (after printing both messages).
std::optional<std::uint32_t> ReadOrSeed(RegistryKey* key, const MaintainedCounter& counter) {
  if (const auto value = QueryValue(key, counter.valueName))
    return value;
  std::printf("%s", counter.queryFailure);
  if (SetDwordValue(key, counter.valueName, 0))
    return 0u;
  std::printf("%s", counter.setFailure);
  return std::nullopt;
}

void UpdateOpenKey(RegistryKey* key, std::uint32_t newPattern) {
  const auto parentBackRev = ReadOrSeed(key, kParentBackRevCounter);
  if (!parentBackRev)
    return;
  const auto backRev = ReadOrSeed(key, kBackRevCounter);
  if (!backRev)
    return;
  const auto parentPattern = ReadOrSeed(key, kParentPattern);
  if (!parentPattern)
    return;
  const auto usingPattern = QueryValue(key, "UsingPattern");
  if (!usingPattern) {
    std::printf("Cannot query UsingPattern.\n");
    return;
  }

  PrintCounter("ParentBackRevCount= %d\n", *parentBackRev);
  PrintCounter("BackRevCount= %d\n", *backRev);
  PrintCounter("Parent Pattern= %d\n", *parentPattern);
  PrintCounter("Current Pattern= %d\n", *usingPattern);
  if (*parentPattern != *usingPattern) {
    std::printf("Parent and Local Pattern versions are different.\n");
  }

  if (!SetDwordValue(key, kParentPattern.valueName, newPattern)) {
    std::printf("%s", kParentPattern.setFailure);
    return;
  }
  if (*parentBackRev != *backRev)
    std::printf("BackRev counts are already different.\n");
  if (!SetDwordValue(key, kBackRevCounter.valueName, SteppedBackRevCounter(*backRev)))
    std::printf("%s", kBackRevCounter.setFailure);
}

}  // namespace

void UpdatePatternCounters(std::string argumentText) {
  // The whole argument is numbered, however long: cutting it short would cut the file name at its
  // end and so change the number.
  const std::uint32_t newPattern = pattern::PatternNumberFromName(argumentText);
  RegistryKey* key = OpenLocalMachineKey(kClientKeyPath);
  if (key == nullptr) {
    std::printf("Cannot open CurrentVersion key.\n");
    return;
  }
  UpdateOpenKey(key, newPattern);
  CloseKey(key);
}

}  // namespace counters
