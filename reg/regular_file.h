// Reading a file that the companion imports, whole.
#pragma once

#include <string>

namespace reg {

// A file's bytes, or why they could not be read.
struct FileRead {
  std::string bytes;
  std::string error;  // empty on success
};

// Reads the whole regular file at `path`. Anything but a regular file is refused before it is
// read, so that a FIFO or a device never holds the caller up, and a read that fails midway is an
// error.
FileRead ReadRegularFile(const std::string& path);

}  // namespace reg
