// Where the registry store file lives.
#pragma once

#include <string>

namespace store {

// The store file: $PATTERN_COUNTERS_REGISTRY when set and not empty, otherwise
// $XDG_STATE_HOME/pattern-counters/registry.db, with XDG_STATE_HOME defaulting to
// $HOME/.local/state (a relative XDG_STATE_HOME is ignored, as the XDG convention says).
// Resolved (see ResolvedPath); an empty path when neither the variable nor a home folder is set.
std::string StorePath();

// The file that `path` names: with every symbolic link in it followed, so that the store's checks
// and SQLite, which keeps its side files beside the link's target, see one name. A file that does
// not exist yet is named in its folder, resolved as far as it exists; a link that leads nowhere is
// returned as it is, to be refused.
std::string ResolvedPath(const std::string& path);

}  // namespace store
