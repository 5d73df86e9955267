// Files written whole or not at all, and files read whole.
#include "store/whole_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace store {
namespace {

// Writes all of `bytes` to the file and makes them durable. Returns an error text, empty on
// success.
std::string WriteDurably(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      return written < 0 ? std::strerror(errno) : "the disk took no more bytes";
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return ::fsync(fd) == 0 ? std::string() : std::strerror(errno);
}

}  // namespace

void Flush(const char* path, int flags) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | flags);
  if (fd < 0)
    return;
  ::fsync(fd);
  ::close(fd);
}

void SyncFolder(const std::filesystem::path& folder) {
  Flush(folder.c_str(), O_DIRECTORY);
}

namespace {

// Removes what creators of the store at `path` that were killed midway left in its folder: their
// temporary files (`path`.new-XXXXXX, with the -wal, -shm and -journal that earlier creators
// could leave too). A creator holds a lock on its temporary file until it is done, so a file that
// can be locked is a dead creator's.
void RemoveDeadCreatorsFiles(const std::filesystem::path& path) {
  namespace fs = std::filesystem;
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  const std::string prefix = path.filename().string() + ".new-";
  constexpr std::size_t kStemLength = 6;  // mkstemp's XXXXXX
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (name.size() != prefix.size() + kStemLength || name.compare(0, prefix.size(), prefix) != 0)
      continue;
    const int fd = ::open(entry.path().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
      continue;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      for (const char* side : {"-wal", "-shm", "-journal"})
        ::unlink((entry.path().string() + side).c_str());
      ::unlink(entry.path().c_str());
    }
    ::close(fd);
  }
}

// Writes a new file under a temporary name beside `path`, under the creator's lock, with the
// permissions (and, for root, the owner) of `like`, and gives it its name.
NewFile CreateOnce(const std::string& path, std::string_view bytes, Placing placing,
                   const struct stat& like) {
  NewFile created;
  std::string temporary = path + ".new-XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0)
    return {std::strerror(errno)};
  ::flock(fd, LOCK_EX);
  ::fchmod(fd, like.st_mode & 07777);  // not mkstemp's private mode
  if (placing == Placing::Replacing && ::geteuid() == 0 &&
      ::fchown(fd, like.st_uid, like.st_gid) != 0) {
    created.failure = std::strerror(errno);
  }
  if (created.failure.empty())
    created.failure = WriteDurably(fd, bytes);
  if (created.failure.empty() && placing == Placing::Replacing &&
      ::rename(temporary.c_str(), path.c_str()) != 0) {
    created.failure = std::strerror(errno);
    created.lost = errno == ENOENT;
  }
  // Linking never replaces: when another process created the file first, theirs stays.
  if (created.failure.empty() && placing == Placing::BesideExisting &&
      ::link(temporary.c_str(), path.c_str()) != 0) {
    created.existed = errno == EEXIST;
    created.lost = errno == ENOENT;
    if (!created.existed)
      created.failure = std::strerror(errno);
  }
  ::unlink(temporary.c_str());
  ::close(fd);
  return created;
}

}  // namespace

// Removes what killed writers left first.
NewFile CreateWhole(const std::string& path, std::string_view bytes, Placing placing) {
  RemoveDeadCreatorsFiles(path);
  struct stat like {};
  if (placing == Placing::BesideExisting || ::stat(path.c_str(), &like) != 0) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    like = {};
    like.st_mode = 0666 & ~mask;  // as an ordinary new file
    like.st_uid = ::geteuid();
    like.st_gid = ::getegid();
  }
  NewFile created{"", true, false};
  for (int attempt = 0; attempt < 3 && created.lost; ++attempt)
    created = CreateOnce(path, bytes, placing, like);
  if (created.failure.empty() && !created.existed) {
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    SyncFolder(folder.empty() ? std::filesystem::path(".") : folder);
  }
  return created;
}

std::string ReadRegularFile(const std::string& path, std::string& bytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return std::strerror(errno);
  struct stat status {};
  std::string failure;
  if (::fstat(fd, &status) != 0) {
    failure = std::strerror(errno);
  } else if (!S_ISREG(status.st_mode)) {
    failure = S_ISDIR(status.st_mode) ? std::strerror(EISDIR) : "it is not a regular file";
  }
  bytes.clear();
  char buffer[65536];
  while (failure.empty()) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      failure = std::strerror(errno);
    if (got <= 0)
      break;
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return failure;
}

}  // namespace store
