// Files written whole or not at all.
//
// A new file is written and flushed under a temporary name beside its final one
// (NAME.new-XXXXXX), under a lock its writer holds, and then given its name, so that the name
// holds the whole new file or whatever it held before. A writer that was killed midway leaves its
// temporary file, which the next writer beside the same name removes.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>

namespace store {

// What a new file's temporary name adds to its name: NAME.new-XXXXXX.
inline constexpr std::string_view kTemporarySuffix = ".new-XXXXXX";

// How a new file was written.
struct NewFile {
  std::string failure;   // an error text, empty on success
  bool existed = false;  // another file had the name already, and was left as it was
};

// How a new file takes its name: beside an existing one, never replacing it, or replacing it and
// keeping its permissions (and, for root, its owner).
enum class Placing { BesideExisting, Replacing };

// Fills the temporary file `temporary`, open for writing as `fd`. Returns an error text, empty on
// success. The file is flushed afterwards.
using FileFiller = std::function<std::string(const std::string& temporary, int fd)>;

// Writes a new file at `path` whole or not at all, with the permissions `mode` (less the umask)
// unless it replaces a file.
NewFile CreateWhole(const std::string& path, const FileFiller& fill, Placing placing,
                    mode_t mode = 0666);

// A filler that writes `bytes`, which must outlive it.
FileFiller BytesFiller(std::string_view bytes);

}  // namespace store
