// Reading a file that the companion imports, whole.
#include "reg/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace reg {

base::Result<std::string> ReadRegularFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return base::Status::Failed(std::strerror(errno));
  base::Status read;
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    read = base::Status::Failed(std::strerror(errno));
  } else if (!S_ISREG(status.st_mode)) {
    read = base::Status::Failed(S_ISDIR(status.st_mode) ? std::strerror(EISDIR)
                                                        : "it is not a regular file");
  }
  std::string bytes;
  char buffer[65536];
  while (read.ok()) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      read = base::Status::Failed(std::strerror(errno));
    if (got <= 0)
      break;
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  if (!read.ok())
    return read;
  return bytes;
}

}  // namespace reg
