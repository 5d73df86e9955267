// Where the registry store file lives.
#pragma once

#include <string>

namespace store {

// The store file: $PATTERN_COUNTERS_REGISTRY when set and not empty, otherwise
// $XDG_STATE_HOME/pattern-counters/registry.db, with XDG_STATE_HOME defaulting to
// $HOME/.local/state (a relative XDG_STATE_HOME is ignored, as the XDG convention says).
// Returns an empty path when neither the variable nor a home folder is set.
std::string StorePath();

}  // namespace store
