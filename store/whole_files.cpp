// Files written whole or not at all.
#include "store/whole_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace store {
namespace {

// A creator whose temporary file another creator removed, as a dead one's, before it could lock
// it, tries again this many times in all.
constexpr int kCreationAttempts = 3;

// The files SQLite may keep beside a database that a filler builds in the temporary file.
constexpr const char* kSideFiles[] = {"-wal", "-shm", "-journal"};

// Writes all of `bytes` to the file. Returns an error text, empty on success.
std::string WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      return written < 0 ? std::strerror(errno) : "the disk took no more bytes";
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return std::string();
}

// Removes the file and the side files beside it.
void RemoveWithSideFiles(const std::string& path) {
  for (const char* side : kSideFiles)
    ::unlink((path + side).c_str());
  ::unlink(path.c_str());
}

// Flushes the folder, so that a new name in it is durable.
void SyncFolder(const std::string& path) {
  std::string folder = std::filesystem::path(path).parent_path().string();
  const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return;
  ::fsync(fd);
  ::close(fd);
}

// Removes what creators of files at `path` that were killed midway left in its folder: their
// temporary files (`path`.new-XXXXXX, with any side files beside them). A creator holds a lock on
// its temporary file until it is done, so a file that can be locked is a dead creator's.
void RemoveDeadCreatorsFiles(const std::filesystem::path& path) {
  namespace fs = std::filesystem;
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  const std::string prefix = path.filename().string() + ".new-";
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (name.size() != path.filename().string().size() + kTemporarySuffix.size() ||
        !name.starts_with(prefix))
      continue;
    const int fd = ::open(entry.path().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
      continue;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
      RemoveWithSideFiles(entry.path().string());
    ::close(fd);
  }
}

// How one attempt at a new file went: `lost` when another creator removed its temporary file
// before this one could lock it, so that trying again may succeed.
struct Attempt {
  NewFile created;
  bool lost = false;
};

// Writes a new file under a temporary name beside `path`, under the creator's lock, with the
// permissions (and, for root, the owner) of `like`, and gives it its name.
Attempt CreateOnce(const std::string& path, const FileFiller& fill, Placing placing,
                   const struct stat& like) {
  Attempt attempt;
  std::string& failure = attempt.created.failure;
  std::string temporary = path + std::string(kTemporarySuffix);
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0)
    return {{std::strerror(errno)}};
  ::flock(fd, LOCK_EX);
  ::fchmod(fd, like.st_mode & 07777);  // not mkstemp's private mode
  if (placing == Placing::Replacing && ::geteuid() == 0 &&
      ::fchown(fd, like.st_uid, like.st_gid) != 0) {
    failure = std::strerror(errno);
  }
  if (failure.empty())
    failure = fill(temporary, fd);
  if (failure.empty() && ::fsync(fd) != 0)
    failure = std::strerror(errno);
  if (failure.empty() && placing == Placing::Replacing &&
      ::rename(temporary.c_str(), path.c_str()) != 0) {
    failure = std::strerror(errno);
    attempt.lost = errno == ENOENT;
  }
  // Linking never replaces: when another process created the file first, theirs stays.
  if (failure.empty() && placing == Placing::BesideExisting &&
      ::link(temporary.c_str(), path.c_str()) != 0) {
    attempt.created.existed = errno == EEXIST;
    attempt.lost = errno == ENOENT;
    if (!attempt.created.existed)
      failure = std::strerror(errno);
  }
  RemoveWithSideFiles(temporary);
  ::close(fd);
  return attempt;
}

}  // namespace

// Removes what killed writers left first.
NewFile CreateWhole(const std::string& path, const FileFiller& fill, Placing placing, mode_t mode) {
  RemoveDeadCreatorsFiles(path);
  // A file replaced gives its permissions; a link in its place is replaced, never followed.
  struct stat like {};
  if (placing == Placing::BesideExisting || ::lstat(path.c_str(), &like) != 0 ||
      !S_ISREG(like.st_mode)) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    like = {};
    like.st_mode = mode & ~mask;
    like.st_uid = ::geteuid();
    like.st_gid = ::getegid();
  }
  Attempt attempt{{}, true};
  for (int tried = 0; tried < kCreationAttempts && attempt.lost; ++tried)
    attempt = CreateOnce(path, fill, placing, like);
  if (attempt.created.failure.empty() && !attempt.created.existed)
    SyncFolder(path);
  return attempt.created;
}

FileFiller BytesFiller(std::string_view bytes) {
  return [bytes](const std::string&, int fd) { return WriteAll(fd, bytes); };
}

}  // namespace store
