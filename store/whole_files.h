// Files written whole or not at all.
//
// A new file is written and flushed as an unnamed file in its folder (O_TMPFILE) and then linked
// to its name, so that the name holds the whole new file or whatever it held before, and a writer
// killed midway leaves nothing behind. Where the file system has no unnamed files, the file is
// written under a temporary name of this run's own making beside its final one
// (NAME.new-XXXXXX), which only this run removes.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>

#include "base/status.h"

namespace store {

// What a new file's temporary name adds to its name, where it needs one: NAME.new-XXXXXX.
inline constexpr std::string_view kTemporarySuffix = ".new-XXXXXX";

// How a new file takes its name: beside an existing one, never replacing it, or replacing it and
// keeping its permissions (and, for root, its owner).
enum class Placing { BesideExisting, Replacing };

// Fills the new file, open for writing as `fd`. Returns the failure, or ok. The file is flushed
// afterwards.
using FileFiller = std::function<base::Status(int fd)>;

// How a new file ended: in its place, or, beside an existing one, left out because another file
// had the name already, which stays as it was.
enum class Placed { New, NameTaken };

// Writes a new file at `path` whole or not at all, with exactly the permissions `mode` unless it
// replaces a file. Returns how it ended, or why it could not be written.
base::Result<Placed> CreateWhole(const std::string& path, const FileFiller& fill, Placing placing,
                                 mode_t mode);

// The permissions a new file would get from open(2): `mode` less the umask.
mode_t LessUmask(mode_t mode);

// A filler that writes `bytes`, which must outlive it.
FileFiller BytesFiller(std::string_view bytes);

}  // namespace store
