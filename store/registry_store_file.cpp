// The store file: recognising, opening, creating, copying and restoring it.
//
// The store keeps its writes in SQLite's write-ahead log, flushed at each commit, and SQLite's own
// recovery alone replays what a killed program left there. A new store is built under a
// temporary name beside its final one and linked into place: it appears whole or not at all.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>

#include "store/registry_store.h"
#include "store/sqlite_statement.h"
#include "store/whole_files.h"

namespace store {
namespace {

// Marks in the database header that tell a store of ours: "PCRG", and the layout's version.
// Layout 1 existed only in development builds; layout 2 never gives a key id twice, so that a key
// held open by id is never confused with a later one.
constexpr std::int64_t kApplicationId = 0x50435247;
constexpr std::int64_t kDevelopmentLayoutVersion = 1;
constexpr std::int64_t kLayoutVersion = 2;
// How long a program waits for another's lock before its read or write fails.
constexpr int kLockWaitMilliseconds = 10000;
constexpr const char* kNoLocation = "no store location: set PATTERN_COUNTERS_REGISTRY or HOME";

// An empty store, built in write-ahead-log mode, which lets the client read while the tool
// writes; the mode stays with the file. Locked exclusively, the log's index stays in memory, and
// the log is folded into the file at the end.
constexpr const char* kBuildEmptyStore = R"sql(
PRAGMA locking_mode = EXCLUSIVE; PRAGMA journal_mode = WAL; BEGIN;
PRAGMA application_id = 1346589255; PRAGMA user_version = 2;
CREATE TABLE keys (id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent INTEGER REFERENCES keys (id) ON DELETE CASCADE,
  name TEXT NOT NULL COLLATE NOCASE, UNIQUE (parent, name));
CREATE TABLE vals (key INTEGER NOT NULL REFERENCES keys (id) ON DELETE CASCADE,
  name TEXT NOT NULL COLLATE NOCASE, type INTEGER NOT NULL, data BLOB NOT NULL,
  PRIMARY KEY (key, name)) WITHOUT ROWID;
INSERT INTO keys (id, parent, name) VALUES
  (1, NULL, 'HKEY_CLASSES_ROOT'), (2, NULL, 'HKEY_CURRENT_USER'), (3, NULL, 'HKEY_LOCAL_MACHINE'),
  (4, NULL, 'HKEY_USERS'), (5, NULL, 'HKEY_CURRENT_CONFIG');
COMMIT; PRAGMA wal_checkpoint(TRUNCATE);
)sql";

// A restore: the store's keys cut from their parents first, so that they go without a chain of
// deletes through the tree, then the backup's keys but its roots, with their ids moved past
// every id the store has given (bound as ?1), and their values.
constexpr const char* kEmptyStore =
    "PRAGMA defer_foreign_keys = ON; DELETE FROM vals; "
    "UPDATE keys SET parent = NULL WHERE parent IS NOT NULL; DELETE FROM keys WHERE id > 5;";
constexpr const char* kHighestKeyId =
    "SELECT coalesce(max(seq), 5) FROM sqlite_sequence WHERE name = 'keys'";
constexpr const char* kCopyBackupKeys =
    "INSERT INTO keys (id, parent, name) SELECT id + ?1, CASE WHEN parent > 5 THEN parent + ?1 "
    "ELSE parent END, name FROM backup.keys WHERE id > 5 AND parent IS NOT NULL";
constexpr const char* kCopyBackupValues =
    "INSERT INTO vals (key, name, type, data) SELECT CASE WHEN key > 5 THEN key + ?1 ELSE key "
    "END, name, type, data FROM backup.vals";
static_assert(kApplicationId == 1346589255 && kLayoutVersion == 2,
              "the store's build repeats the application id and the layout version");

constexpr const char* kNotRegularFile = "it is not a regular file";
// How SQLite is asked to read a database file only: alone, as a snapshot, or with its log.
constexpr const char* kSnapshot = "?mode=ro&immutable=1";
constexpr const char* kReadOnly = "?mode=ro";

bool Exists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

// The file's size; 0 when there is none.
off_t FileSize(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? status.st_size : 0;
}

// A stamp of the file that changes whenever the file is written, or replaced.
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

// Why the path cannot name a store file, from what the file system says of it. Returns an error
// text, empty for a regular file (or a link to one), so that a FIFO or a device is never opened.
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

// The first column of the statement's first row, as a number; nothing when there is no row.
std::optional<std::int64_t> FirstNumber(sqlite3_stmt* statement) {
  if (statement == nullptr || sqlite3_step(statement) != SQLITE_ROW)
    return std::nullopt;
  return sqlite3_column_int64(statement, 0);
}

// What the header of the database `schema` says, as SQLite reads it: a store of ours (no error),
// or why not; `read` is false when SQLite could not read the header at all.
struct Identity {
  std::string error;
  bool read = true;
};
Identity CheckIdentity(sqlite3* db, const std::string& schema = "main") {
  const auto header = [&](const char* field) {
    return FirstNumber(Prepare(db, ("PRAGMA " + schema + "." + field).c_str()).get());
  };
  const std::optional<std::int64_t> application = header("application_id");
  if (!application && sqlite3_errcode(db) != SQLITE_NOTADB)
    return {ErrorOf(db), false};
  if (application != kApplicationId)
    return {"not a registry store"};
  const std::optional<std::int64_t> layout = header("user_version");
  if (!layout)
    return {ErrorOf(db), false};
  if (layout == kDevelopmentLayoutVersion) {
    return {
        "it was made by an earlier development version of pattern-counters, which this "
        "version does not use; move it away and make the store again"};
  }
  return {layout == kLayoutVersion ? std::string() : "not a registry store"};
}

// Whether the file at `path`, read alone by SQLite with no lock and nothing written beside it, has
// the header of another file than a store of ours. Returns that error text, empty otherwise: any
// other failure is left to SQLite's own reading, under its locks.
std::string CheckFileAlone(const std::string& path) {
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2((FileUri(path) + kSnapshot).c_str(), &raw,
                                     SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
  const Store probe(raw);
  const Identity identity = opened == SQLITE_OK ? CheckIdentity(raw) : Identity{"", false};
  return identity.read ? identity.error : std::string();
}

// Why this process may not write the store at `path` (the file, or its folder, where SQLite keeps
// the store's log files). Returns an error text, empty when nothing stands in the way.
std::string WhyNotWritable(const std::string& path) {
  const auto refusal = [](const char* onReadOnlyFileSystem, const char* otherwise) {
    return std::string(errno == EROFS ? onReadOnlyFileSystem : otherwise);
  };
  if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0)
    return refusal("it is on a read-only file system", "this user may not write the store file");
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  const std::string folder = parent.empty() ? std::string(".") : parent.string();
  if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    return refusal("it is on a read-only file system",
                   "this user may not create files in its folder, as the store's log files need");
  }
  return std::string();
}

// Why SQLite could not open a file at `path` with `more` bytes added to its name, leaving room for
// its side files' longest suffix, "-journal". Returns an error text, empty when it could.
std::string CheckPathLength(const std::string& path, std::size_t more) {
  constexpr std::size_t kSideFileSuffix = 8;
  std::error_code ignored;
  const std::size_t length =
      std::filesystem::weakly_canonical(std::filesystem::absolute(path, ignored), ignored)
          .string()
          .size();
  const auto longest =
      static_cast<std::size_t>(sqlite3_vfs_find(nullptr)->mxPathname) - kSideFileSuffix - more;
  if (length <= longest)
    return std::string();
  return "its full path is " + std::to_string(length) + " bytes long, too long for SQLite, which " +
         "takes at most " + std::to_string(longest) + " here";
}

// Why the store at `path` may not be opened at all, whatever the access. Returns an error text,
// empty when it may.
std::string CheckStoreFile(const std::string& path) {
  if (path.empty())
    return kNoLocation;
  if (std::string tooLong = CheckPathLength(path, 0); !tooLong.empty())
    return tooLong;
  if (std::string kind = CheckFileKind(path); !kind.empty())
    return kind;
  // SQLite would roll a journal beside the store into it, whichever database wrote it.
  if (Exists(path + "-journal")) {
    return std::filesystem::path(path).filename().string() +
           "-journal lies beside it, which the store never writes; move it away";
  }
  return std::string();
}

// Whether the store file alone is the whole store: no log lies beside it, nor its index, which
// would tell of a connection that may be writing one.
bool LogFree(const std::string& path) {
  return !Exists(path + "-shm") && FileSize(path + "-wal") == 0;
}

// What SQLite opens for a store, or why it may not.
struct Opening {
  std::string target;  // what SQLite opens
  std::string snapshotOf = {};
  std::string error = {};
};

// A process that may only read the store must leave nothing beside it: a log or index it made
// would be its own, in the way of the store's writers. With no log to read, the store file alone
// is the store, read as a snapshot. A log without its index needs one made, which only a process
// that may write the store does.
Opening ForReadingOnly(const std::string& path) {
  if (LogFree(path))
    return {FileUri(path) + kSnapshot, FileStamp(path)};
  if (Exists(path + "-shm") || WhyNotWritable(path).empty())
    return {FileUri(path) + kReadOnly};
  return {std::string(), std::string(),
          "this user may not write the store, and reading the log that lies beside it would "
          "leave files in the way of its writers; read it as a user who may write it, or once a "
          "writer has used it"};
}

// What SQLite opens for `access`. With no log beside it, the file alone is the store, and is
// judged before a connection that may write opens it, which would leave log files beside
// someone else's file.
Opening ForAccess(const std::string& path, Access access) {
  if (access == Access::ReadOnly)
    return ForReadingOnly(path);
  std::string error = WhyNotWritable(path);
  if (error.empty() && LogFree(path))
    error = CheckFileAlone(path);
  return {error.empty() ? FileUri(path) : std::string(), std::string(), error};
}

// Sets what every connection needs: bounded waits for locks, deletes of keys reaching their
// values, and each commit flushed to the log, so that what a program wrote survives a power loss
// once it has exited, whether or not another program keeps the log from being folded in.
Status Configure(sqlite3* db) {
  if (sqlite3_busy_timeout(db, kLockWaitMilliseconds) != SQLITE_OK)
    return {ErrorOf(db)};
  return Execute(db, "PRAGMA foreign_keys = ON; PRAGMA synchronous = FULL;");
}

// Builds an empty store in the new file `file`. Returns an error text, empty on success.
std::string BuildEmptyStore(const std::string& file, int) {
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  const Store db(raw);
  return opened == SQLITE_OK ? Execute(raw, kBuildEmptyStore).error : ErrorOf(raw);
}

// The permissions of a backup of the store file at `storePath`: the store's own when every user
// may read it; otherwise its owner's alone, for the backup's owner, who read the store to make
// it: the backup's group need not be the store's.
mode_t BackupMode(const std::string& storePath) {
  struct stat status {};
  if (::stat(storePath.c_str(), &status) != 0)
    return 0600;
  const mode_t permissions = status.st_mode & 0666;
  return (permissions & 0004) != 0 ? permissions : permissions & 0600;
}

}  // namespace

void StoreCloser::operator()(sqlite3* db) const {
  sqlite3_close_v2(db);
}

void StatementFinalizer::operator()(sqlite3_stmt* statement) const {
  sqlite3_finalize(statement);
}

OpenedStore OpenStore(const std::string& path, Access access) {
  if (std::string error = CheckStoreFile(path); !error.empty())
    return {nullptr, error};
  const Opening target = ForAccess(path, access);
  if (!target.error.empty())
    return {nullptr, target.error};
  const int flags = SQLITE_OPEN_URI |
                    (access == Access::ReadWrite ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY);
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(target.target.c_str(), &raw, flags, nullptr);
  Store db(raw);
  if (opened != SQLITE_OK)
    return {nullptr, ErrorOf(raw)};
  // SQLite falls back to reading only where it may not write; all access means both.
  if (access == Access::ReadWrite && sqlite3_db_readonly(raw, "main") != 0)
    return {nullptr, "no write access"};
  if (Status configured = Configure(raw); !configured.ok())
    return {nullptr, configured.error};
  // The first read waits for the locks, replays a log that a killed program left and checks the
  // file against its header. A file that is not a store is closed without folding a log beside
  // it into it.
  if (std::string error = CheckIdentity(raw).error; !error.empty()) {
    sqlite3_db_config(raw, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    return {nullptr, error};
  }
  return {std::move(db), std::string(), target.snapshotOf};
}

OpenedStore OpenForReading(const std::string& path) {
  if (LogFree(path))
    return OpenStore(path, Access::ReadOnly);
  OpenedStore opened = OpenStore(path, Access::ReadWrite);
  return opened.db ? std::move(opened) : OpenStore(path, Access::ReadOnly);
}

bool SnapshotStillCurrent(const std::string& path, const OpenedStore& opened) {
  return opened.snapshotOf.empty() || FileStamp(path) == opened.snapshotOf;
}

Status CreateStoreIfMissing(const std::string& path) {
  namespace fs = std::filesystem;
  if (path.empty())
    return {kNoLocation};
  std::error_code error;
  if (fs::symlink_status(path, error).type() != fs::file_type::not_found)
    return {};
  if (std::string tooLong = CheckPathLength(path, kTemporarySuffix.size()); !tooLong.empty())
    return {tooLong};
  const fs::path folder = fs::path(path).parent_path();
  if (!folder.empty() && !fs::create_directories(folder, error) && error)
    return {error.message()};
  return {CreateWhole(path, BuildEmptyStore, Placing::BesideExisting).failure};
}

StoreImage ImageOf(sqlite3* db) {
  sqlite3_int64 size = 0;
  unsigned char* data = sqlite3_serialize(db, "main", &size, 0);
  if (data == nullptr)
    return {std::string(), ErrorOf(db)};
  StoreImage image{std::string(reinterpret_cast<const char*>(data), static_cast<std::size_t>(size)),
                   std::string()};
  sqlite3_free(data);
  return image;
}

Status WriteBackup(const std::string& storePath, const StoreImage& image, const std::string& path) {
  const NewFile created =
      CreateWhole(path, BytesFiller(image.bytes), Placing::BesideExisting, BackupMode(storePath));
  return {created.existed ? "the file exists already" : created.failure};
}

Status RestoreFrom(sqlite3* db, const std::string& backupPath) {
  if (std::string error = CheckStoreFile(backupPath); !error.empty())
    return {error};
  const Opening backup = ForReadingOnly(backupPath);
  if (!backup.error.empty())
    return {backup.error};
  Status restored = Run(db, Prepare(db, "ATTACH ? AS backup", backup.target).get());
  if (!restored.ok())
    return restored;
  restored = {CheckIdentity(db, "backup").error};
  if (restored.ok()) {
    restored = InOneWriteTransaction(db, [&] {
      const std::optional<std::int64_t> highest = FirstNumber(Prepare(db, kHighestKeyId).get());
      Status copied = highest ? Execute(db, kEmptyStore) : Status{ErrorOf(db)};
      for (const char* copy : {kCopyBackupKeys, kCopyBackupValues}) {
        if (copied.ok())
          copied = Run(db, Prepare(db, copy, *highest).get());
      }
      if (copied.ok() && !backup.snapshotOf.empty() && FileStamp(backupPath) != backup.snapshotOf)
        copied = {"the backup changed while it was read; try again"};
      return copied;
    });
  }
  Execute(db, "DETACH backup");
  return restored;
}

}  // namespace store
