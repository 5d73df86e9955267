// Checks of a database file before and as SQLite opens it: what the file is, how many names it
// has, what lies beside it, who may write it, and whether it is a store of ours.
#include "store/store_file_checks.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>

#include "store/sqlite_statement.h"

namespace store {
namespace {

constexpr const char* kNotRegularFile = "it is not a regular file";
constexpr const char* kNotAStore = "it is not a registry store, nor a backup of one";

std::string NameOf(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

std::string UserName(uid_t user) {
  const struct passwd* entry = ::getpwuid(user);
  return entry != nullptr ? entry->pw_name : std::to_string(user);
}

std::string GroupName(gid_t group) {
  const struct group* entry = ::getgrgid(group);
  return entry != nullptr ? entry->gr_name : std::to_string(group);
}

// Why the path cannot name a store file, from what the file system says of it. Returns that
// failure, ok for a regular file (or a link to one), so that a FIFO or a device is never opened.
Status CheckFileKind(const std::string& path) {
  struct stat target {};
  if (::stat(path.c_str(), &target) == 0)
    return S_ISREG(target.st_mode) ? Status::OK() : Status::Failed(kNotRegularFile);
  const int statError = errno;
  struct stat link {};
  if (statError == ENOENT && ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode))
    return Status::Failed("it is a symbolic link to a file that does not exist");
  return Status::Failed(std::strerror(statError));
}

// Why SQLite could not read the database at `path`: a journal that only a process that may write
// the file can roll back is named with what to do.
Status ReadFailure(sqlite3* db, const std::string& path) {
  if (sqlite3_extended_errcode(db) != SQLITE_READONLY_ROLLBACK)
    return FailureOf(db);
  return Status::Failed(
      NameOf(path) +
      "-journal beside it holds a write that a killed program left unfinished, which SQLite "
      "rolls back only for a program that may write the file: run any pattern-counters-reg "
      "query on it as a user who may write it");
}

// Opens the file at `path` alone, as SQLite reads it with no lock and nothing written beside it.
Store OpenFileAlone(const std::string& path) {
  sqlite3* raw = nullptr;
  sqlite3_open_v2((FileUri(path) + kSnapshot).c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI,
                  nullptr);
  return Store(raw);
}

// Whether the file at `path`, read alone, is a database in write-ahead-log mode, as SQLite tells:
// an in-memory copy of such a database cannot be used at all (SQLITE_CANTOPEN, as
// sqlite3_deserialize's documentation says), one in rollback-journal mode can. Nothing when SQLite
// cannot read the file.
std::optional<bool> InWriteAheadLogMode(const std::string& path) {
  const Store file = OpenFileAlone(path);
  sqlite3_int64 size = 0;
  unsigned char* image = file ? sqlite3_serialize(file.get(), "main", &size, 0) : nullptr;
  sqlite3* raw = nullptr;
  sqlite3_open_v2(":memory:", &raw, SQLITE_OPEN_READWRITE, nullptr);
  const Store copy(raw);
  if (image == nullptr || !copy) {
    sqlite3_free(image);
    return std::nullopt;
  }
  if (sqlite3_deserialize(raw, "main", image, size, size,
                          SQLITE_DESERIALIZE_FREEONCLOSE | SQLITE_DESERIALIZE_READONLY) !=
      SQLITE_OK) {
    return std::nullopt;
  }
  if (Prepare(raw, "SELECT count(*) FROM sqlite_schema"))
    return false;
  if (sqlite3_errcode(raw) == SQLITE_CANTOPEN)
    return true;
  return std::nullopt;
}

// Why a journal beside the file at `path` may not be left to SQLite, which rolls a hot journal
// into a database whichever database wrote it. A store in rollback-journal mode (a copy made with
// VACUUM INTO, say) writes its own, which SQLite must roll back; a store in write-ahead-log mode
// never writes one, so a journal beside it came from elsewhere. Returns that failure, ok when
// there is no journal or it is the file's own.
Status CheckJournal(const std::string& path) {
  if (!Exists(path + "-journal") || InWriteAheadLogMode(path) != true)
    return Status::OK();
  return Status::Failed(
      NameOf(path) +
      "-journal lies beside it, which a store in write-ahead-log mode never writes, and which "
      "SQLite would roll into it; move the journal away");
}

// What the header of the database `schema` says, as SQLite reads it: ok for a store of ours, or
// why it is none; nothing when SQLite could not read the database at all.
std::optional<Status> HeaderVerdict(sqlite3* db, const std::string& schema) {
  const auto number = [&](const std::string& sql) {
    return FirstNumber(Prepare(db, sql.c_str()).get());
  };
  const std::optional<std::int64_t> application = number("PRAGMA " + schema + ".application_id");
  if (!application && sqlite3_errcode(db) != SQLITE_NOTADB)
    return std::nullopt;
  if (application != kApplicationId)
    return Status::Failed(kNotAStore);
  const std::optional<std::int64_t> layout = number("PRAGMA " + schema + ".user_version");
  if (!layout)
    return std::nullopt;
  if (layout == kDevelopmentLayoutVersion) {
    return Status::Failed(
        "it was made by an earlier development version of pattern-counters, which this version "
        "does not read; move it away");
  }
  if (layout != kLayoutVersion)
    return Status::Failed(kNotAStore);
  const std::optional<std::int64_t> tables =
      number("SELECT count(*) FROM " + schema + ".sqlite_schema WHERE type = 'table' AND name " +
             "IN ('keys', 'vals')");
  if (!tables)
    return std::nullopt;
  if (*tables != 2) {
    return Status::Failed(
        "it has a registry store's marks but not the store's tables, so it is no store of ours; "
        "move it away");
  }
  return Status::OK();
}

}  // namespace

bool Exists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

off_t FileSize(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? status.st_size : 0;
}

std::string FileStamp(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0)
    return std::string();
  std::string stamp;
  for (const auto part :
       {status.st_dev, status.st_ino, std::uint64_t(status.st_size),
        std::uint64_t(status.st_mtim.tv_sec), std::uint64_t(status.st_mtim.tv_nsec),
        std::uint64_t(status.st_ctim.tv_sec), std::uint64_t(status.st_ctim.tv_nsec)})
    stamp += std::to_string(part) + ":";
  return stamp;
}

Status CheckSingleName(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 || status.st_nlink <= 1)
    return Status::OK();
  return Status::Failed("it has " + std::to_string(status.st_nlink) +
                        " names (hard links), and SQLite keeps a log for each name, so that a "
                        "write made through one would be lost through another; keep one name "
                        "and remove the others (find / -xdev -samefile " +
                        path + " lists them)");
}

Status CheckSideFiles(const std::string& path, Access access) {
  const bool writing = access == Access::ReadWrite;
  for (const char* side : {"-wal", "-shm"}) {
    const std::string file = path + side;
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0 ||
        ::faccessat(AT_FDCWD, file.c_str(), writing ? R_OK | W_OK : R_OK, AT_EACCESS) == 0) {
      continue;
    }
    return Status::Failed(
        NameOf(file) + ", which SQLite keeps beside it, belongs to user " +
        UserName(status.st_uid) + " and group " + GroupName(status.st_gid) +
        ", and this user may not " + (writing ? "read and write" : "read") +
        " it: let that user run any pattern-counters-reg query, which folds it into the store, "
        "and give the store's folder the store's group and the setgid bit (chmod g+s), so that "
        "SQLite makes its side files with that group");
  }
  return Status::OK();
}

Status CheckIdentity(sqlite3* db, const std::string& path, const std::string& schema) {
  const std::optional<Status> verdict = HeaderVerdict(db, schema);
  return verdict ? *verdict : ReadFailure(db, path);
}

Status CheckFileAlone(const std::string& path) {
  const Store probe = OpenFileAlone(path);
  return probe ? HeaderVerdict(probe.get(), "main").value_or(Status::OK()) : Status::OK();
}

Status CheckWritable(const std::string& path) {
  const auto refusal = [](const char* onReadOnlyFileSystem, const char* otherwise) {
    return Status::Failed(errno == EROFS ? onReadOnlyFileSystem : otherwise);
  };
  if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0)
    return refusal("it is on a read-only file system", "this user may not write the store file");
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  const std::string folder = parent.empty() ? std::string(".") : parent.string();
  if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    return refusal("it is on a read-only file system",
                   "this user may not create files in its folder, as the store's log files need");
  }
  return Status::OK();
}

Status CheckPathLength(const std::string& path, std::size_t more) {
  constexpr std::size_t kSideFileSuffix = 8;
  std::error_code ignored;
  const std::size_t length =
      std::filesystem::weakly_canonical(std::filesystem::absolute(path, ignored), ignored)
          .string()
          .size();
  const auto longest =
      static_cast<std::size_t>(sqlite3_vfs_find(nullptr)->mxPathname) - kSideFileSuffix - more;
  if (length <= longest)
    return Status::OK();
  return Status::Failed("its full path is " + std::to_string(length) +
                        " bytes long, too long for SQLite, which takes at most " +
                        std::to_string(longest) + " here");
}

Status CheckDatabaseFile(const std::string& path) {
  if (path.empty())
    return Status::Failed(kNoLocation);
  for (const auto check : {+[](const std::string& file) { return CheckPathLength(file, 0); },
                           CheckFileKind, CheckJournal}) {
    if (Status checked = check(path); !checked.ok())
      return checked;
  }
  return Status::OK();
}

}  // namespace store
