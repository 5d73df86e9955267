// Reading a file that the companion imports, whole.
#pragma once

#include <string>

#include "base/status.h"

namespace reg {

// Reads the whole regular file at `path`. Anything but a regular file is refused before it is
// read, so that a FIFO or a device never holds the caller up, and a read that fails midway is an
// error. Returns the file's bytes, or why they could not be read.
base::Result<std::string> ReadRegularFile(const std::string& path);

}  // namespace reg
