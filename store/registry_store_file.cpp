// The store file: recognising, opening and creating it, and how its writes reach the disk.
//
// A file is opened only after its header shows it is one of ours, so that SQLite never gets the
// chance to change a file that belongs to someone else. A new store is built in memory, written
// under a temporary name beside its final one and linked into place, so that it appears whole or
// not at all and two creators never overwrite each other.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>
#include <utility>

#include "store/registry_store.h"
#include "store/sqlite_statement.h"
#include "store/store_logs.h"
#include "store/whole_files.h"

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

// What the store file's header says.
struct Header {
  std::string error;  // why the file is no store of ours; empty when it is one
  std::uint32_t layout = 0;
};

// Reads the file's database header and tells whether it marks a store of ours. Anything but a
// regular file is refused before it is read, so that a FIFO or a device never holds the caller
// up. Every header that the store's writers and checkpointers write passes, whatever they are
// doing meanwhile: they write the whole first page at once, and change nothing that is checked
// here but the layout, from one version to the other.
Header CheckHeader(const std::string& path) {
  if (std::string kind = CheckFileKind(path); !kind.empty())
    return {kind};
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return {std::strerror(errno)};
  struct stat status {};
  const bool regular = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  std::array<unsigned char, 100> header{};
  const ssize_t got = regular ? ::read(fd, header.data(), header.size()) : 0;
  const int readError = errno;
  ::close(fd);
  if (!regular)
    return {kNotRegularFile};
  if (got < 0)
    return {std::strerror(readError)};
  constexpr char kMagic[] = "SQLite format 3";
  const std::uint32_t layout = BigEndianAt(header, 60);
  if (got != static_cast<ssize_t>(header.size()) ||
      std::memcmp(header.data(), kMagic, sizeof kMagic) != 0 ||
      BigEndianAt(header, 68) != kApplicationId || layout < kOldestLayoutVersion ||
      layout > kLayoutVersion) {
    return {"not a registry store"};
  }
  return {std::string(), layout};
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

// The bytes of the open database's file, as SQLite reads them; nothing when it could not.
std::optional<std::string> SerializedBytes(sqlite3* db) {
  sqlite3_int64 size = 0;
  unsigned char* data = sqlite3_serialize(db, "main", &size, 0);
  if (data == nullptr)
    return std::nullopt;
  std::string bytes(reinterpret_cast<const char*>(data), static_cast<std::size_t>(size));
  sqlite3_free(data);
  return bytes;
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
  std::optional<std::string> serialized = SerializedBytes(raw);
  if (!serialized)
    return "out of memory";
  bytes = std::move(*serialized);
  // The header's file format versions: 2 opens the file with write-ahead logging, which lets the
  // client read while the tool writes. The mode stays with the file.
  bytes[18] = bytes[19] = 2;
  return std::string();
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

// The bytes of the store file `bytes` once `change` has changed it, in memory; nothing when it
// failed. The header's file format versions (2: write-ahead logging) are kept.
std::optional<std::string> ChangedInMemory(std::string_view bytes,
                                           const std::function<bool(sqlite3*)>& change) {
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(":memory:", &raw, SQLITE_OPEN_READWRITE, nullptr);
  const Store db(raw);
  auto* copy = static_cast<unsigned char*>(sqlite3_malloc64(bytes.size()));
  if (opened != SQLITE_OK || copy == nullptr || bytes.size() < 100) {
    sqlite3_free(copy);
    return std::nullopt;
  }
  std::memcpy(copy, bytes.data(), bytes.size());
  copy[18] = copy[19] = 1;  // memory holds no log
  if (sqlite3_deserialize(raw, "main", copy, static_cast<sqlite3_int64>(bytes.size()),
                          static_cast<sqlite3_int64>(bytes.size()),
                          SQLITE_DESERIALIZE_FREEONCLOSE | SQLITE_DESERIALIZE_RESIZEABLE) !=
          SQLITE_OK ||
      !change(raw)) {
    return std::nullopt;
  }
  std::optional<std::string> changed = SerializedBytes(raw);
  if (changed) {
    (*changed)[18] = bytes[18];
    (*changed)[19] = bytes[19];
  }
  return changed;
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

// Rebuilds a store of layout 1 as layout 2 in one transaction, with references not enforced,
// and checks that every reference still holds. Returns whether it succeeded.
bool UpgradeToLayout2(sqlite3* db) {
  if (!Execute(db, "PRAGMA foreign_keys = OFF; BEGIN;"))
    return false;
  const Statement danglingReferences = Prepare(db, "PRAGMA foreign_key_check");
  if (Execute(db, kUpgradeToLayout2) && danglingReferences &&
      sqlite3_step(danglingReferences.get()) == SQLITE_DONE && Execute(db, "COMMIT;")) {
    return true;
  }
  Execute(db, "ROLLBACK;");
  return false;
}

// The whole store, read while this process had it to itself.
struct AloneRead {
  Store holder;  // the connection that keeps it so, to be closed once the store was replaced
  std::optional<std::string> bytes;  // nothing when another connection has it open, or on failure
  std::string failure;               // why it could not be read; empty otherwise
};

// Reads the store at `path` while this process has it to itself.
AloneRead ReadWhileAlone(const std::string& path) {
  AloneRead read;
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  read.holder.reset(raw);
  // The store is then replaced under this connection, which must not copy its log into the old
  // file when it closes. Locking exclusively keeps every other connection out until it closes.
  if (opened != SQLITE_OK || sqlite3_db_config(raw, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr) ||
      !Execute(raw, "PRAGMA locking_mode = EXCLUSIVE;")) {
    read.failure = LastError(raw);
    return read;
  }
  const std::optional<std::int64_t> layout = FirstNumber(Prepare(raw, "PRAGMA user_version").get());
  if (!layout || *layout != kOldestLayoutVersion) {
    if (!layout && sqlite3_errcode(raw) != SQLITE_BUSY)
      read.failure = LastError(raw);
    return read;  // in use, or upgraded by another process meanwhile
  }
  if (sqlite3_wal_checkpoint_v2(raw, "main", SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr) !=
      SQLITE_OK) {
    read.failure = LastError(raw);
    return read;
  }
  read.bytes = SerializedBytes(raw);
  if (!read.bytes)
    read.failure = LastError(raw);
  return read;
}

// Brings a store of layout 1 to the current layout as a whole new file, written beside it and
// renamed into its place while this process has the store to itself. The upgrade is then never a
// log beside a file of the old layout, which could not be told from another store's log. While
// another connection has the store open, the store is left at layout 1, to be upgraded by a later
// run, and used as it is. Returns an error text, empty when the store was upgraded or left so.
std::string UpgradeFileLayout(const std::string& path) {
  std::error_code error;
  const std::string storeFile = std::filesystem::canonical(path, error).string();
  if (error)
    return error.message();
  const AloneRead old = ReadWhileAlone(storeFile);
  if (!old.bytes)
    return old.failure;
  const std::optional<std::string> upgraded = ChangedInMemory(*old.bytes, UpgradeToLayout2);
  if (!upgraded)
    return "the store could not be brought to the current layout";
  return CreateWhole(storeFile, *upgraded, Placing::Replacing).failure;
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
  const char* file = sqlite3_db_filename(db, "main");
  const std::string path = file != nullptr ? file : "";
  sqlite3_close_v2(db);
  if (!path.empty())
    RemoveEmptyLog(path);
}

void StatementFinalizer::operator()(sqlite3_stmt* statement) const {
  sqlite3_finalize(statement);
}

namespace {

// The file's device and inode; zeros when there is none.
std::pair<dev_t, ino_t> FileIdentity(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? std::pair(status.st_dev, status.st_ino)
                                            : std::pair<dev_t, ino_t>();
}

// Opens the store once. `replaced` is set when the file at `path` was replaced while it was
// opened, by another process's upgrade: the connection then holds the old file.
OpenedStore OpenOnce(const std::string& path, Access access, bool& replaced) {
  const Header header = CheckHeader(path);
  if (!header.error.empty())
    return {nullptr, header.error};
  if (std::string error = CheckStoreFiles(path); !error.empty())
    return {nullptr, error};
  if (access == Access::ReadWrite) {
    if (std::string error = WhyNotWritable(path); !error.empty())
      return {nullptr, error};
    if (header.layout < kLayoutVersion) {
      if (std::string error = UpgradeFileLayout(path); !error.empty())
        return {nullptr, error};
    }
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
  const auto identity = FileIdentity(path);
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(target.c_str(), &raw, flags, nullptr);
  Store db(raw);
  if (opened != SQLITE_OK)
    return {nullptr, LastError(raw)};
  // SQLite falls back to reading only where it may not write; all access means both.
  if (access == Access::ReadWrite && sqlite3_db_readonly(raw, "main") != 0) {
    return {nullptr, "no write access"};
  }
  // The first read waits for the locks, replays the log and checks the file against its header.
  if (!Configure(raw) || !FirstNumber(Prepare(raw, "PRAGMA user_version").get()))
    return {nullptr, LastError(raw)};
  replaced = FileIdentity(path) != identity;
  return {std::move(db), std::string(), snapshotOf};
}

}  // namespace

OpenedStore OpenStore(const std::string& path, Access access) {
  if (path.empty())
    return {nullptr, "no store location: set PATTERN_COUNTERS_REGISTRY or HOME"};
  for (int attempt = 0;; ++attempt) {
    bool replaced = false;
    OpenedStore opened = OpenOnce(path, access, replaced);
    if (!replaced || attempt == 3)
      return opened;
  }
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

// A backup carries a commit mark of its own, so that a log of the store it was copied from is
// never taken for its own when the copy is put back by hand.
std::string BackUpStore(sqlite3* db, const std::string& path) {
  const std::optional<std::string> bytes = SerializedBytes(db);
  if (!bytes)
    return LastError(db);
  const std::optional<std::string> copy = ChangedInMemory(*bytes, [](sqlite3* copyDb) {
    return !HasCommitMarks(copyDb) || Execute(copyDb, kRecordCommitMark);
  });
  if (!copy)
    return "out of memory";
  const NewFile created = CreateWhole(path, *copy);
  return created.existed ? "the file exists already" : created.failure;
}

}  // namespace store
