// Reading a file that the companion imports, whole.
#include "reg/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace reg {

FileRead ReadRegularFile(const std::string& path) {
  FileRead read;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return {{}, std::strerror(errno)};
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    read.error = std::strerror(errno);
  } else if (!S_ISREG(status.st_mode)) {
    read.error = S_ISDIR(status.st_mode) ? std::strerror(EISDIR) : "it is not a regular file";
  }
  char buffer[65536];
  while (read.error.empty()) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      read.error = std::strerror(errno);
    if (got <= 0)
      break;
    read.bytes.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  if (!read.error.empty())
    read.bytes.clear();
  return read;
}

}  // namespace reg
