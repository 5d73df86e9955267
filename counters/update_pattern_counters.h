// The counter update in the client's registry key: the one operation that changes anything.
#pragma once

#include <string>

namespace counters {

// The client key, below HKEY_LOCAL_MACHINE.
inline constexpr const char* kClientKeyPath =
    "SOFTWARE\\KESTRAN\\Fernhold\\Ostrevin\\CurrentVersion";

// Works out the pattern number of the file named by `argumentText`, then in the client key seeds
// the three maintained counters where they cannot be read, prints the four values (and a warning
// when the parent's pattern differs from the one in use), records the number as ParentPattern and
// steps BackRevCounter down by one. Reports every failure itself, on standard output.
void UpdatePatternCounters(std::string argumentText);

}  // namespace counters
