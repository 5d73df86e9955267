// Files written whole or not at all.
#include "store/whole_files.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace store {
namespace {

using base::Result;
using base::Status;

// How many free temporary names an unnamed file that replaces another is offered.
constexpr int kTemporaryNameAttempts = 100;

Status SystemError(int error = errno) {
  return Status::Failed(std::strerror(error));
}

// Writes all of `bytes` to the file. Returns the failure, or ok.
Status WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      return written < 0 ? SystemError() : Status::Failed("the disk took no more bytes");
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return Status::OK();
}

std::string FolderOf(const std::string& path) {
  const std::string folder = std::filesystem::path(path).parent_path().string();
  return folder.empty() ? std::string(".") : folder;
}

// Flushes the folder, so that a new name in it is durable.
void SyncFolder(const std::string& path) {
  const int fd = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return;
  ::fsync(fd);
  ::close(fd);
}

// A new file, open for writing: unnamed where the file system allows, else under a temporary
// name that this run made.
struct Unfinished {
  int fd;
  std::string temporary;  // empty for an unnamed file
};

// Returns the new file, or why it could not be made.
Result<Unfinished> OpenUnfinished(const std::string& path) {
  const int fd = ::open(FolderOf(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd >= 0)
    return Unfinished{fd, std::string()};
  // A file system (or a kernel) without unnamed files says so in one of these ways.
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
    return SystemError();
  std::string temporary = path + std::string(kTemporarySuffix);
  const int named = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (named < 0)
    return SystemError();
  return Unfinished{named, temporary};
}

// Gives the unnamed file open as `fd` the name `name`, never replacing a file. Returns 0, or the
// system's error number.
int LinkUnnamed(int fd, const std::string& name) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0
                                                                                          : errno;
}

// Moves the temporary file `from` to `to`, never replacing a file. Returns 0 or an error number.
int MoveBesideExisting(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
    return 0;
  if (errno != EINVAL && errno != ENOSYS)
    return errno;
  // A file system that cannot: the file has two names for a moment.
  if (::link(from.c_str(), to.c_str()) != 0)
    return errno;
  ::unlink(from.c_str());
  return 0;
}

// A name beside `path` for an unnamed file on its way to replace it: NAME.new- and six letters.
std::string RandomTemporaryName(const std::string& path) {
  constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  unsigned char random[6] = {};
  if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
    const auto seed =
        static_cast<std::uint64_t>(::getpid()) ^
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    for (std::size_t i = 0; i < sizeof random; ++i)
      random[i] = static_cast<unsigned char>(seed >> (8 * i));
  }
  std::string name = path + ".new-";
  for (const unsigned char byte : random)
    name += kLetters[byte % (sizeof kLetters - 1)];
  return name;
}

// Replaces `path` with the unnamed file open as `fd`. Linking never replaces, so the file takes
// a free temporary name for the moment until it is renamed. Returns 0 or an error number.
int ReplaceWithUnnamed(int fd, const std::string& path) {
  for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
    const std::string temporary = RandomTemporaryName(path);
    if (const int linked = LinkUnnamed(fd, temporary); linked != 0) {
      if (linked == EEXIST)
        continue;
      return linked;
    }
    if (::rename(temporary.c_str(), path.c_str()) == 0)
      return 0;
    const int error = errno;
    ::unlink(temporary.c_str());
    return error;
  }
  return EEXIST;
}

// Gives the finished file its name. Returns 0 or an error number; EEXIST when another file had
// the name and stays.
int Place(const Unfinished& file, const std::string& path, Placing placing) {
  if (placing == Placing::BesideExisting) {
    return file.temporary.empty() ? LinkUnnamed(file.fd, path)
                                  : MoveBesideExisting(file.temporary, path);
  }
  if (file.temporary.empty())
    return ReplaceWithUnnamed(file.fd, path);
  return ::rename(file.temporary.c_str(), path.c_str()) == 0 ? 0 : errno;
}

}  // namespace

Result<Placed> CreateWhole(const std::string& path, const FileFiller& fill, Placing placing,
                           mode_t mode) {
  // A file replaced gives its permissions; a link in its place is replaced, never followed.
  struct stat replaced {};
  const bool replacesFile = placing == Placing::Replacing &&
                            ::lstat(path.c_str(), &replaced) == 0 && S_ISREG(replaced.st_mode);
  const Result<Unfinished> opened = OpenUnfinished(path);
  if (!opened.ok())
    return opened.status();
  const Unfinished& file = *opened;
  Status written;
  if (::fchmod(file.fd, replacesFile ? replaced.st_mode & 07777 : mode) != 0)
    written = SystemError();
  if (written.ok() && replacesFile && ::geteuid() == 0 &&
      ::fchown(file.fd, replaced.st_uid, replaced.st_gid) != 0) {
    written = SystemError();
  }
  if (written.ok())
    written = fill(file.fd);
  if (written.ok() && ::fsync(file.fd) != 0)
    written = SystemError();
  int placed = -1;
  bool nameTaken = false;
  if (written.ok()) {
    placed = Place(file, path, placing);
    nameTaken = placed == EEXIST && placing == Placing::BesideExisting;
    if (placed != 0 && !nameTaken)
      written = SystemError(placed);
  }
  if (placed != 0 && !file.temporary.empty())
    ::unlink(file.temporary.c_str());  // this run's own, never given its name
  ::close(file.fd);
  if (placed == 0)
    SyncFolder(path);
  if (!written.ok())
    return written;
  return nameTaken ? Placed::NameTaken : Placed::New;
}

mode_t LessUmask(mode_t mode) {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mode & ~mask;
}

FileFiller BytesFiller(std::string_view bytes) {
  return [bytes](int fd) { return WriteAll(fd, bytes); };
}

}  // namespace store
