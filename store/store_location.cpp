// The store's location from the environment.
#include "store/store_location.h"

#include <cstdlib>

namespace store {
namespace {

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

}  // namespace

std::string StorePath() {
  if (std::string explicitPath = Variable("PATTERN_COUNTERS_REGISTRY"); !explicitPath.empty()) {
    return explicitPath;
  }
  std::string stateHome = Variable("XDG_STATE_HOME");
  if (stateHome.empty() || stateHome.front() != '/') {
    const std::string home = Variable("HOME");
    if (home.empty())
      return std::string();
    stateHome = home + "/.local/state";
  }
  return stateHome + "/pattern-counters/registry.db";
}

}  // namespace store
