// Files written whole or not at all, and files read whole.
//
// A new file is written and flushed under a temporary name beside its final one
// (NAME.new-XXXXXX), under a lock its writer holds, and then given its name, so that the name
// holds the whole new file or whatever it held before. A writer that was killed midway leaves its
// temporary file, which the next writer beside the same name removes.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace store {

// How a new file was written.
struct NewFile {
  std::string failure;   // an error text, empty on success
  bool lost = false;     // the temporary file was removed by another creator before this one
                         // could lock it, so that trying again may succeed
  bool existed = false;  // another file had the name already, and was left as it was
};

// How a new file takes its name: a new store never replaces a file, an upgraded one replaces the
// store it was made from.
enum class Placing { BesideExisting, Replacing };

// Writes a new file at `path` whole or not at all. BesideExisting never replaces a file that has
// the name; Replacing replaces it, keeping its permissions (and, for root, its owner).
NewFile CreateWhole(const std::string& path, std::string_view bytes,
                    Placing placing = Placing::BesideExisting);

// Reads the whole regular file at `path` into `bytes`. Returns an error text, empty on success:
// anything but a regular file is refused before it is read, so that a FIFO or a device never
// holds the caller up, and a read that fails midway is an error.
std::string ReadRegularFile(const std::string& path, std::string& bytes);

// Flushes the file or folder at `path`, when there is one (`flags`: O_DIRECTORY for a folder).
void Flush(const char* path, int flags);

// Makes a new name in the folder durable.
void SyncFolder(const std::filesystem::path& folder);

}  // namespace store
