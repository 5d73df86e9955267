// A fake of the platform operations, linked into the unit tests in place of a real registry.
//
// It holds one key's values in memory, can refuse the framework start, the open, chosen reads and
// chosen writes, and logs every call in order.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace fake {

struct StoredValue {
  std::uint32_t type;
  std::string bytes;
};

struct Registry {
  bool frameworkStarts = true;
  bool keyOpens = true;
  std::map<std::string, StoredValue> values;
  std::set<std::string> unreadable;     // values whose reads fail although they exist
  std::set<std::string> refusedWrites;  // values whose writes fail
  std::vector<std::string> calls;       // "open PATH", "query NAME", "set NAME=N", "close"
};

// The registry the fake operations work on; tests reset it before each case.
Registry& TheRegistry();

StoredValue Dword(std::uint32_t value);

}  // namespace fake
