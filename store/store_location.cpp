// The store's location from the environment.
#include "store/store_location.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

namespace store {
namespace {

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

}  // namespace

std::string StorePath() {
  if (std::string explicitPath = Variable("PATTERN_COUNTERS_REGISTRY"); !explicitPath.empty()) {
    return ResolvedPath(explicitPath);
  }
  std::string stateHome = Variable("XDG_STATE_HOME");
  if (stateHome.empty() || stateHome.front() != '/') {
    const std::string home = Variable("HOME");
    if (home.empty())
      return std::string();
    stateHome = home + "/.local/state";
  }
  return ResolvedPath(stateHome + "/pattern-counters/registry.db");
}

std::string ResolvedPath(const std::string& path) {
  if (path.empty())
    return path;
  std::error_code error;
  if (const std::filesystem::path real = std::filesystem::canonical(path, error); !error)
    return real.string();
  struct stat link {};
  if (::lstat(path.c_str(), &link) == 0)
    return path;  // a link that leads nowhere, refused as it is
  return std::filesystem::weakly_canonical(std::filesystem::absolute(path, error), error).string();
}

}  // namespace store
