// The store file: recognising, opening and creating it, and how its writes reach the disk.
//
// A file is opened only after its header shows it is one of ours, so that SQLite never gets the
// chance to change a file that belongs to someone else. A new store is built in memory, written
// under a temporary name beside its final one and linked into place, so that it appears whole or
// not at all and two creators never overwrite each other.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>

#include "store/registry_store.h"
#include "store/sqlite_statement.h"
#include "store/store_logs.h"

namespace store {
namespace {

// Marks in the database header that tell a store of ours: "PCRG" and the layout's version.
// Layout 1 let a new key take the id of a deleted one; layout 2 never gives an id twice, so that
// a key held open by id is never confused with a later one, and it records commit marks, so that
// a log beside the store can be told to be its own (store_logs.h). Stores of layout 1 are still
// read, and are brought to layout 2 when they are opened for writing.
constexpr std::uint32_t kApplicationId = 0x50435247;
constexpr std::uint32_t kOldestLayoutVersion = 1;
constexpr std::uint32_t kLayoutVersion = 2;
constexpr int kBusyTimeoutMilliseconds = 10000;

#define PATTERN_COUNTERS_KEYS_COLUMNS                       \
  "(id INTEGER PRIMARY KEY AUTOINCREMENT,"                  \
  " parent INTEGER REFERENCES keys (id) ON DELETE CASCADE," \
  " name TEXT NOT NULL COLLATE NOCASE,"                     \
  " UNIQUE (parent, name))"

// The commit marks (store_logs.h): the store's first mark, after none.
#define PATTERN_COUNTERS_COMMITS_TABLE                                               \
  "CREATE TABLE commits (id INTEGER PRIMARY KEY CHECK (id = 1), mark BLOB NOT NULL," \
  " previous BLOB NOT NULL);"                                                        \
  "INSERT INTO commits VALUES (1, randomblob(16), zeroblob(16));"

constexpr const char* kSchema =
    "PRAGMA application_id = 1346589255;"
    "PRAGMA user_version = 2;" PATTERN_COUNTERS_COMMITS_TABLE
    "CREATE TABLE keys " PATTERN_COUNTERS_KEYS_COLUMNS
    ";"
    R"sql(
CREATE TABLE vals (
  key INTEGER NOT NULL REFERENCES keys (id) ON DELETE CASCADE,
  name TEXT NOT NULL COLLATE NOCASE,
  type INTEGER NOT NULL,
  data BLOB NOT NULL,
  PRIMARY KEY (key, name)) WITHOUT ROWID;
INSERT INTO keys (id, parent, name) VALUES
  (1, NULL, 'HKEY_CLASSES_ROOT'), (2, NULL, 'HKEY_CURRENT_USER'), (3, NULL, 'HKEY_LOCAL_MACHINE'),
  (4, NULL, 'HKEY_USERS'), (5, NULL, 'HKEY_CURRENT_CONFIG');
)sql";
static_assert(kApplicationId == 1346589255, "the schema text repeats the application id");
static_assert(kLayoutVersion == 2, "the schema texts repeat the layout version");

// Rebuilds the keys table of layout 1 as layout 2's, keeping every id, and adds the commit marks;
// with references not enforced, so that dropping the old table takes no values with it. The first
// mark follows none, which tells the upgrade's commit in a log.
constexpr const char* kUpgradeToLayout2 =
    "CREATE TABLE keys_layout2 " PATTERN_COUNTERS_KEYS_COLUMNS
    ";"
    "INSERT INTO keys_layout2 (id, parent, name) SELECT id, parent, name FROM keys;"
    "DROP TABLE keys;"
    "ALTER TABLE keys_layout2 RENAME TO keys;" PATTERN_COUNTERS_COMMITS_TABLE
    "PRAGMA user_version = 2;";
#undef PATTERN_COUNTERS_KEYS_COLUMNS
#undef PATTERN_COUNTERS_COMMITS_TABLE

std::uint32_t BigEndianAt(const std::array<unsigned char, 100>& header, std::size_t offset) {
  return (std::uint32_t{header[offset]} << 24) | (std::uint32_t{header[offset + 1]} << 16) |
         (std::uint32_t{header[offset + 2]} << 8) | std::uint32_t{header[offset + 3]};
}

std::uint32_t BigEndian16At(const std::array<unsigned char, 100>& header, std::size_t offset) {
  return (std::uint32_t{header[offset]} << 8) | std::uint32_t{header[offset + 1]};
}

// Whether the file is at least as long as its header says. A store cut short would read as if
// values were missing, and seeding over values that do exist would lose them.
bool HoldsItsPages(const std::array<unsigned char, 100>& header, off_t fileSize) {
  // The recorded page count holds only while the header marks it as current.
  if (BigEndianAt(header, 92) != BigEndianAt(header, 24))
    return true;
  const std::uint32_t pageSizeField = BigEndian16At(header, 16);
  const std::uint64_t pageSize = pageSizeField == 1 ? 65536u : pageSizeField;
  return static_cast<std::uint64_t>(fileSize) >= pageSize * BigEndianAt(header, 28);
}

constexpr const char* kNotRegularFile = "it is not a regular file";

// Why the path cannot name a store file, from what the file system says of it. Returns an error
// text, empty for a regular file (or a link to one).
std::string CheckFileKind(const std::string& path) {
  struct stat target {};
  if (::stat(path.c_str(), &target) == 0)
    return S_ISREG(target.st_mode) ? std::string() : kNotRegularFile;
  const int statError = errno;
  struct stat link {};
  if (statError == ENOENT && ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode))
    return "it is a symbolic link to a file that does not exist";
  return std::strerror(statError);
}

// Reads the file's database header and tells whether it marks a whole store of ours. Returns an
// error text, empty when it does. Anything but a regular file is refused before it is read, so
// that a FIFO or a device never holds the caller up.
std::string CheckHeader(const std::string& path) {
  if (std::string kind = CheckFileKind(path); !kind.empty())
    return kind;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return std::strerror(errno);
  struct stat status {};
  const bool regular = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  std::array<unsigned char, 100> header{};
  const ssize_t got = regular ? ::read(fd, header.data(), header.size()) : 0;
  const int readError = errno;
  ::close(fd);
  if (!regular)
    return kNotRegularFile;
  if (got < 0)
    return std::strerror(readError);
  constexpr char kMagic[] = "SQLite format 3";
  const std::uint32_t layout = BigEndianAt(header, 60);
  if (got != static_cast<ssize_t>(header.size()) ||
      std::memcmp(header.data(), kMagic, sizeof kMagic) != 0 ||
      BigEndianAt(header, 68) != kApplicationId || layout < kOldestLayoutVersion ||
      layout > kLayoutVersion) {
    return "not a registry store";
  }
  if (!HoldsItsPages(header, status.st_size))
    return "the store is damaged: it is shorter than its header says";
  return std::string();
}

// How commits and checkpoints flush: commits are atomic but not flushed one by one, and the log is
// flushed before anything is copied from it into the store file, which is flushed after.
constexpr const char* kFlushLogBeforeCopying =
    "PRAGMA synchronous = NORMAL; PRAGMA wal_autocheckpoint = 1000;";
// As kFlushLogBeforeCopying, without the flush of a new log's header ahead of its pages, and with
// no copying into the store file after commits (which would then be unflushed).
constexpr const char* kLeaveNewLogHeaderUnflushed =
    "PRAGMA synchronous = OFF; PRAGMA wal_autocheckpoint = 0;";

// Sets what every connection needs: bounded waits for locks and key deletion reaching values.
// The log is flushed once, when the connection closes (MakeDurable).
bool Configure(sqlite3* db) {
  return sqlite3_busy_timeout(db, kBusyTimeoutMilliseconds) == SQLITE_OK &&
         Execute(db, "PRAGMA foreign_keys = ON;") && Execute(db, kFlushLogBeforeCopying);
}

// A complete, empty store, as the bytes of its file: built in memory, so that creating a store
// writes no file but the one that becomes the store. Returns an error text, empty on success.
std::string EmptyStoreBytes(std::string& bytes) {
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(":memory:", &raw, SQLITE_OPEN_READWRITE, nullptr);
  const Store db(raw);
  if (opened != SQLITE_OK)
    return LastError(raw);
  if (!Execute(raw, "BEGIN;") || !Execute(raw, kSchema) || !Execute(raw, "COMMIT;"))
    return LastError(raw);
  sqlite3_int64 size = 0;
  unsigned char* data = sqlite3_serialize(raw, "main", &size, 0);
  if (data == nullptr)
    return "out of memory";
  bytes.assign(reinterpret_cast<const char*>(data), static_cast<std::size_t>(size));
  sqlite3_free(data);
  // The header's file format versions: 2 opens the file with write-ahead logging, which lets the
  // client read while the tool writes. The mode stays with the file.
  bytes[18] = bytes[19] = 2;
  return std::string();
}

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

// Flushes the file or folder at `path`, when there is one.
void Flush(const char* path, int flags) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | flags);
  if (fd < 0)
    return;
  ::fsync(fd);
  ::close(fd);
}

// Makes a new name in the folder durable.
void SyncFolder(const std::filesystem::path& folder) {
  Flush(folder.c_str(), O_DIRECTORY);
}

// Makes what this connection committed survive a power loss. The checkpoint flushes the log and,
// the first time, its name in the folder, then copies the log into the store file and flushes
// that: three flushes, the fewest that leave the store one whole file between runs, since the
// store file may be overwritten only once the log that can repair it is on the disk. Where
// readers keep part of the log from being copied, the log itself is flushed instead, so the
// commits survive in it.
void MakeDurable(sqlite3* db) {
  if (sqlite3_total_changes(db) == 0)
    return;
  const bool flushing = Execute(db, kFlushLogBeforeCopying);
  int logFrames = 0;
  int copiedFrames = 0;
  if (flushing &&
      sqlite3_wal_checkpoint_v2(db, "main", SQLITE_CHECKPOINT_PASSIVE, &logFrames, &copiedFrames) ==
          SQLITE_OK &&
      copiedFrames == logFrames) {
    return;
  }
  // Copying the log without flushing it first could leave the store file torn and unrepairable.
  if (!flushing)
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  const std::filesystem::path store = sqlite3_db_filename(db, "main");
  Flush((store.string() + "-wal").c_str(), 0);
  SyncFolder(store.parent_path());
}

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

// How a new file was written.
struct NewFile {
  std::string failure;   // an error text, empty on success
  bool lost = false;     // the temporary file was removed by another creator before this one
                         // could lock it, so that trying again may succeed
  bool existed = false;  // another file had the name already, and was left as it was
};

// Writes a new file under a temporary name beside `path`, under the creator's lock, and links it
// into place.
NewFile CreateOnce(const std::string& path, std::string_view bytes) {
  NewFile created;
  std::string temporary = path + ".new-XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0)
    return {std::strerror(errno)};
  ::flock(fd, LOCK_EX);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);  // as an ordinary new file, not mkstemp's private one
  created.failure = WriteDurably(fd, bytes);
  // Linking never replaces: when another process created the file first, theirs stays.
  if (created.failure.empty() && ::link(temporary.c_str(), path.c_str()) != 0) {
    created.existed = errno == EEXIST;
    created.lost = errno == ENOENT;
    if (!created.existed)
      created.failure = std::strerror(errno);
  }
  ::unlink(temporary.c_str());
  ::close(fd);
  return created;
}

// Writes a new file at `path` whole or not at all, after removing what killed creators left.
NewFile CreateWhole(const std::string& path, std::string_view bytes) {
  RemoveDeadCreatorsFiles(path);
  NewFile created{"", true, false};
  for (int attempt = 0; attempt < 3 && created.lost; ++attempt)
    created = CreateOnce(path, bytes);
  if (created.failure.empty() && !created.existed) {
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    SyncFolder(folder.empty() ? std::filesystem::path(".") : folder);
  }
  return created;
}

// Why this process may not write the store at `path` (the file, or its folder, where SQLite keeps
// the store's log files). Returns an error text, empty when nothing stands in the way.
std::string WhyNotWritable(const std::string& path) {
  const auto refusal = [](const char* onReadOnlyFileSystem, const char* otherwise) {
    return std::string(errno == EROFS ? onReadOnlyFileSystem : otherwise);
  };
  if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0)
    return refusal("it is on a read-only file system", "this user may not write the store file");
  std::string folder = std::filesystem::path(path).parent_path().string();
  if (folder.empty())
    folder = ".";
  if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    return refusal("it is on a read-only file system",
                   "this user may not create files in its folder, as the store's log files need");
  }
  return std::string();
}

// The first column of the statement's first row, as a number; nothing when there is no row.
std::optional<std::int64_t> FirstNumber(sqlite3_stmt* statement) {
  if (statement == nullptr || sqlite3_step(statement) != SQLITE_ROW)
    return std::nullopt;
  const std::int64_t number = sqlite3_column_int64(statement, 0);
  sqlite3_reset(statement);
  return number;
}

// Rebuilds a store of layout 1 as layout 2 inside the caller's transaction, and checks that every
// reference still holds. Returns whether it succeeded.
bool UpgradeInTransaction(sqlite3* db) {
  const std::optional<std::int64_t> layout = FirstNumber(Prepare(db, "PRAGMA user_version").get());
  if (!layout)
    return false;
  if (*layout == 1 && !Execute(db, kUpgradeToLayout2))
    return false;
  const Statement danglingReferences = Prepare(db, "PRAGMA foreign_key_check");
  return danglingReferences && sqlite3_step(danglingReferences.get()) == SQLITE_DONE;
}

bool Exists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

// The file's size; 0 when there is none.
off_t FileSize(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? status.st_size : 0;
}

}  // namespace

// A commit into an empty log writes the log's header and pages into a file that has held nothing
// else, so a power loss can leave only pages of this log in it: a header or page that the disk
// kept without the rest fails the log's checksums, and SQLite then reads the store as it was
// before the commit. So the header need not reach the disk first. A commit that starts the log
// over in a file that still holds older pages keeps that flush: without it, the old header could
// make those pages count again. The flushes are set outside the transaction, as SQLite requires,
// and the log is looked at again once the lock is held, since another writer may have used it
// meanwhile.
bool BeginWriteTransaction(sqlite3* db) {
  const std::string log = std::string(sqlite3_db_filename(db, "main")) + "-wal";
  const bool logEmpty = FileSize(log) == 0;
  if (!Execute(db, logEmpty ? kLeaveNewLogHeaderUnflushed : kFlushLogBeforeCopying) ||
      !Execute(db, "BEGIN IMMEDIATE;")) {
    return false;
  }
  if (!logEmpty || FileSize(log) == 0)
    return true;
  return Execute(db, "ROLLBACK;") && Execute(db, kFlushLogBeforeCopying) &&
         Execute(db, "BEGIN IMMEDIATE;");
}

void StoreCloser::operator()(sqlite3* db) const {
  MakeDurable(db);
  sqlite3_close_v2(db);
}

void StatementFinalizer::operator()(sqlite3_stmt* statement) const {
  sqlite3_finalize(statement);
}

OpenedStore OpenStore(const std::string& path, Access access) {
  if (path.empty())
    return {nullptr, "no store location: set PATTERN_COUNTERS_REGISTRY or HOME"};
  if (std::string error = CheckHeader(path); !error.empty())
    return {nullptr, error};
  if (std::string error = CheckStoreLogs(path); !error.empty())
    return {nullptr, error};
  if (access == Access::ReadWrite) {
    if (std::string error = WhyNotWritable(path); !error.empty())
      return {nullptr, error};
  }
  std::string target = path;
  int flags = access == Access::ReadWrite ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY;
  std::string snapshotOf;
  if (access == Access::ReadOnly && !Exists(path + "-shm")) {
    if (FileSize(path + "-wal") > 0) {
      return {nullptr,
              "this user may not write the store, and reading it while a writer's log lies "
              "beside it would leave files in the way of its writers; read it as a user who may "
              "write it, or once a writer has used it"};
    }
    snapshotOf = FileStamp(path);
    target = FileUri(path) + "?immutable=1";
    flags |= SQLITE_OPEN_URI;
  }
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(target.c_str(), &raw, flags, nullptr);
  Store db(raw);
  if (opened != SQLITE_OK)
    return {nullptr, LastError(raw)};
  // SQLite falls back to reading only where it may not write; all access means both.
  if (access == Access::ReadWrite && sqlite3_db_readonly(raw, "main") != 0) {
    return {nullptr, "no write access"};
  }
  if (!Configure(raw))
    return {nullptr, LastError(raw)};
  if (access == Access::ReadWrite) {
    if (std::string error = UpgradeLayout(raw); !error.empty())
      return {nullptr, error};
  }
  return {std::move(db), std::string(), snapshotOf};
}

std::string FileStamp(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0)
    return std::string();
  return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino) + ":" +
         std::to_string(status.st_size) + ":" + std::to_string(status.st_mtim.tv_sec) + "." +
         std::to_string(status.st_mtim.tv_nsec) + ":" + std::to_string(status.st_ctim.tv_sec) +
         "." + std::to_string(status.st_ctim.tv_nsec);
}

std::string UpgradeLayout(sqlite3* db) {
  const std::optional<std::int64_t> layout = FirstNumber(Prepare(db, "PRAGMA user_version").get());
  if (layout == kLayoutVersion)
    return std::string();
  // References can be switched off only outside a transaction; they are on again on every path.
  if (!Execute(db, "PRAGMA foreign_keys = OFF;"))
    return LastError(db);
  std::string failure;
  if (!Execute(db, "BEGIN IMMEDIATE;")) {
    failure = LastError(db);
  } else if (!UpgradeInTransaction(db) || !Execute(db, "COMMIT;")) {
    failure = LastError(db);
    Execute(db, "ROLLBACK;");
  }
  if (!Execute(db, "PRAGMA foreign_keys = ON;") && failure.empty())
    failure = LastError(db);
  return failure;
}

std::string CreateStoreIfMissing(const std::string& path) {
  namespace fs = std::filesystem;
  if (path.empty())
    return "no store location: set PATTERN_COUNTERS_REGISTRY or HOME";
  std::error_code error;
  if (fs::symlink_status(path, error).type() != fs::file_type::not_found)
    return std::string();
  const fs::path folder = fs::path(path).parent_path();
  if (!folder.empty() && !fs::create_directories(folder, error) && error)
    return error.message();
  std::string bytes;
  if (std::string failure = EmptyStoreBytes(bytes); !failure.empty())
    return failure;
  return CreateWhole(path, bytes).failure;
}

std::string BackUpStore(sqlite3* db, const std::string& path) {
  sqlite3_int64 size = 0;
  unsigned char* data = sqlite3_serialize(db, "main", &size, 0);
  if (data == nullptr)
    return LastError(db);
  const NewFile created = CreateWhole(
      path, std::string_view(reinterpret_cast<const char*>(data), static_cast<std::size_t>(size)));
  sqlite3_free(data);
  return created.existed ? "the file exists already" : created.failure;
}

}  // namespace store
