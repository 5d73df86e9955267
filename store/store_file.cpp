// The store file: opening, creating, copying and restoring it.
//
// The store keeps its writes in SQLite's write-ahead log, flushed at each commit, and SQLite's own
// recovery alone replays what a killed program left there. A new store is an image of an empty
// store, written as an unnamed file and linked into place: it appears whole or not at all.
#include "store/store_file.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>

#include "store/sqlite_statement.h"
#include "store/store_file_checks.h"
#include "store/whole_files.h"

namespace store {
namespace {

// New stores, their folders and backups are their owner's alone.
constexpr mode_t kPrivateFile = 0600;
constexpr mode_t kPrivateFolder = 0700;

// An empty store, built in memory and written out as a new store file. SQLite keeps an in-memory
// database in rollback-journal mode, so the file starts in it; its first writer puts it into
// write-ahead-log mode.
constexpr const char* kBuildEmptyStore = R"sql(
BEGIN; PRAGMA application_id = 1346589255; PRAGMA user_version = 2;
CREATE TABLE keys (id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent INTEGER REFERENCES keys (id) ON DELETE CASCADE,
  name TEXT NOT NULL COLLATE NOCASE, UNIQUE (parent, name));
CREATE TABLE vals (key INTEGER NOT NULL REFERENCES keys (id) ON DELETE CASCADE,
  name TEXT NOT NULL COLLATE NOCASE, type INTEGER NOT NULL, data BLOB NOT NULL,
  PRIMARY KEY (key, name)) WITHOUT ROWID;
INSERT INTO keys (id, parent, name) VALUES
  (1, NULL, 'HKEY_CLASSES_ROOT'), (2, NULL, 'HKEY_CURRENT_USER'), (3, NULL, 'HKEY_LOCAL_MACHINE'),
  (4, NULL, 'HKEY_USERS'), (5, NULL, 'HKEY_CURRENT_CONFIG');
COMMIT;
)sql";
static_assert(kApplicationId == 1346589255 && kLayoutVersion == 2,
              "the store's build repeats the application id and the layout version");

// A restore: the store's keys cut from their parents first, so that they go without a chain of
// deletes through the tree, then the backup's keys but its roots, each given the next id past
// every id the store has given (bound as ?1), in the order of their ids, and their values.
constexpr const char* kClearStore =
    "PRAGMA defer_foreign_keys = ON; DELETE FROM vals; "
    "UPDATE keys SET parent = NULL WHERE parent IS NOT NULL; DELETE FROM keys WHERE id > 5;";
constexpr const char* kHighestKeyId =
    "SELECT coalesce(max(seq), 5) FROM sqlite_sequence WHERE name = 'keys'";
// The backup's keys but its roots, each with its new id: the next past ?1, in the order of ids.
constexpr const char* kMovedKeyIds =
    "WITH moved (old, new) AS MATERIALIZED (SELECT id, ?1 + row_number() OVER (ORDER BY id) "
    "FROM backup.keys WHERE id > 5 AND parent IS NOT NULL) ";
constexpr const char* kCopyBackupKeys =
    "INSERT INTO keys (id, parent, name) SELECT moved.new, coalesce(parents.new, copied.parent), "
    "copied.name FROM backup.keys AS copied JOIN moved ON moved.old = copied.id "
    "LEFT JOIN moved AS parents ON parents.old = copied.parent";
constexpr const char* kCopyBackupValues =
    "INSERT INTO vals (key, name, type, data) SELECT coalesce(moved.new, copied.key), "
    "copied.name, copied.type, copied.data FROM backup.vals AS copied "
    "LEFT JOIN moved ON moved.old = copied.key";

// Whether the file alone is the whole database: no log lies beside it, nor its index, which would
// tell of a connection that may be writing one, nor a journal that SQLite may have to roll back.
bool FileAlone(const std::string& path) {
  return !Exists(path + "-shm") && FileSize(path + "-wal") == 0 && !Exists(path + "-journal");
}

// What SQLite opens for a database.
struct Opening {
  std::string target;  // what SQLite opens
  std::string snapshotOf = {};
};

// A process that may only read a database must leave nothing beside it: a log or index it made
// would be its own, in the way of the database's writers. With nothing beside it, the file alone
// is the database, read as a snapshot. A log without its index needs one made, which only a
// process that may write the file does. Returns what to open, or why it may not be read.
Result<Opening> ForReadingOnly(const std::string& path) {
  if (FileAlone(path))
    return Opening{FileUri(path) + kSnapshot, FileStamp(path)};
  const bool logWithoutIndex = FileSize(path + "-wal") > 0 && !Exists(path + "-shm");
  if (!logWithoutIndex || CheckWritable(path).ok())
    return Opening{FileUri(path) + kReadOnly};
  return Status::Failed(
      "this user may not write it, and reading the log that lies beside it would leave files in "
      "the way of its writers; read it as a user who may write it, or once a writer has used it");
}

// Returns what to open for `access`, or why it may not be opened so.
Result<Opening> ForAccess(const std::string& path, Access access) {
  if (access == Access::ReadOnly)
    return ForReadingOnly(path);
  if (Status writable = CheckWritable(path); !writable.ok())
    return writable;
  return Opening{FileUri(path)};
}

// Sets what every connection of a store needs: deletes of keys reaching their values, and each
// commit flushed to the log, so that what a program wrote survives a power loss once it has
// exited, whether or not another program keeps the log from being folded in.
Status Configure(sqlite3* db) {
  return Execute(db, "PRAGMA foreign_keys = ON; PRAGMA synchronous = FULL;");
}

// The journal mode of the open store after `sql`, a journal_mode PRAGMA; empty when it failed.
std::string JournalMode(sqlite3* db, const char* sql) {
  const Statement statement = Prepare(db, sql);
  return statement && sqlite3_step(statement.get()) == SQLITE_ROW ? ColumnBytes(statement.get(), 0)
                                                                  : std::string();
}

// Puts a store in rollback-journal mode (a new one, or a copy made with SQLite's own tools) into
// write-ahead-log mode, which lets the client read while the tool writes. SQLite has rolled back
// any journal of the store at the first read. The change rewrites two bytes of the header's first
// sector and nothing else, so it is made without a journal: a store in write-ahead-log mode then
// never has a journal of its own beside it, and one that lies there came from elsewhere.
// Returns the failure, or ok.
Status EnsureWriteAheadLog(sqlite3* db) {
  if (JournalMode(db, "PRAGMA journal_mode") == "wal")
    return Status::OK();
  if (JournalMode(db, "PRAGMA journal_mode = OFF") == "off" &&
      JournalMode(db, "PRAGMA journal_mode = WAL") == "wal") {
    return Status::OK();
  }
  return FailureOf(db).WithContext(
      "it is in rollback-journal mode, and SQLite could not put it into write-ahead-log mode: ");
}

// Makes the folder and its missing parents, each for this user alone whatever the umask. Returns
// the failure, or ok.
Status MakePrivateFolders(const std::filesystem::path& folder) {
  std::error_code ignored;
  if (folder.empty() || std::filesystem::is_directory(folder, ignored))
    return Status::OK();
  if (Status parent = MakePrivateFolders(folder.parent_path()); !parent.ok())
    return parent;
  if (::mkdir(folder.c_str(), kPrivateFolder) != 0) {
    return errno == EEXIST ? Status::OK()
                           : Status::Failed(folder.string() + ": " + std::strerror(errno));
  }
  ::chmod(folder.c_str(), kPrivateFolder);  // what the umask took away
  return Status::OK();
}

// The bytes of an empty store, built in memory, or why they could not be.
Result<std::string> EmptyStoreImage() {
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(":memory:", &raw, SQLITE_OPEN_READWRITE, nullptr);
  const Store db(raw);
  if (opened != SQLITE_OK)
    return FailureOf(raw);
  if (const Status built = Execute(raw, kBuildEmptyStore); !built.ok())
    return built;
  return ImageOf(raw);
}

}  // namespace

void StoreCloser::operator()(sqlite3* db) const {
  sqlite3_close_v2(db);
}

Result<OpenedStore> OpenStore(const std::string& path, Access access) {
  for (const auto check : {CheckDatabaseFile, CheckSingleName}) {
    if (Status checked = check(path); !checked.ok())
      return checked;
  }
  if (Status sideFiles = CheckSideFiles(path, access); !sideFiles.ok())
    return sideFiles;
  const Result<Opening> target = ForAccess(path, access);
  if (!target.ok())
    return target.status();
  // A connection that is no snapshot may write beside the file: it opens a store of ours only.
  if (target->snapshotOf.empty()) {
    if (Status alone = CheckFileAlone(path); !alone.ok())
      return alone;
  }
  const int flags = SQLITE_OPEN_URI |
                    (access == Access::ReadWrite ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY);
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(target->target.c_str(), &raw, flags, nullptr);
  Store db(raw);
  if (opened != SQLITE_OK)
    return FailureOf(raw);
  // SQLite falls back to reading only where it may not write; all access means both.
  if (access == Access::ReadWrite && sqlite3_db_readonly(raw, "main") != 0)
    return Status::Failed("no write access");
  // The first read waits (a bounded time) for the locks, replays a log or rolls back a journal
  // that a killed program left, and checks the file against its header. A file that is not a
  // store is closed without folding a log beside it into it.
  sqlite3_busy_timeout(raw, kLockWaitMilliseconds);
  Status ready = CheckIdentity(raw, path);
  if (!ready.ok())
    sqlite3_db_config(raw, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  if (ready.ok())
    ready = Configure(raw);
  if (ready.ok() && access == Access::ReadWrite)
    ready = EnsureWriteAheadLog(raw);
  if (!ready.ok())
    return ready;
  return OpenedStore{std::move(db), target->snapshotOf};
}

Result<OpenedStore> OpenForReading(const std::string& path) {
  if (!path.empty() && CheckWritable(path).ok()) {
    Result<OpenedStore> opened = OpenStore(path, Access::ReadWrite);
    // A disk too full for the log's files still lets the store be read as it is.
    if (opened.ok() || opened.status().IsTransient())
      return opened;
  }
  return OpenStore(path, Access::ReadOnly);
}

bool SnapshotStillCurrent(const std::string& path, const OpenedStore& opened) {
  return opened.snapshotOf.empty() || FileStamp(path) == opened.snapshotOf;
}

Status CreateStoreIfMissing(const std::string& path) {
  if (path.empty())
    return Status::Failed(kNoLocation);
  std::error_code error;
  if (std::filesystem::symlink_status(path, error).type() != std::filesystem::file_type::not_found)
    return Status::OK();
  if (Status length = CheckPathLength(path, kTemporarySuffix.size()); !length.ok())
    return length;
  if (Status folder = MakePrivateFolders(std::filesystem::path(path).parent_path()); !folder.ok())
    return folder;
  const Result<std::string> empty = EmptyStoreImage();
  if (!empty.ok())
    return empty.status();
  // Another program that made the store meanwhile made the same empty store.
  return CreateWhole(path, BytesFiller(*empty), Placing::BesideExisting, kPrivateFile).status();
}

Result<std::string> ImageOf(sqlite3* db) {
  sqlite3_int64 size = 0;
  unsigned char* data = sqlite3_serialize(db, "main", &size, 0);
  if (data == nullptr)
    return FailureOf(db);
  std::string image(reinterpret_cast<const char*>(data), static_cast<std::size_t>(size));
  sqlite3_free(data);
  return image;
}

Status WriteBackup(const std::string& image, const std::string& path) {
  const Result<Placed> created =
      CreateWhole(path, BytesFiller(image), Placing::BesideExisting, kPrivateFile);
  if (created.ok() && *created == Placed::NameTaken)
    return Status::Failed("the file exists already");
  return created.status();
}

Result<Backup> CheckBackup(const std::string& path) {
  const Result<OpenedStore> opened = OpenStore(path, Access::ReadOnly);
  if (!opened.ok())
    return opened.status();
  return Backup{path, opened->snapshotOf};
}

Status RestoreFrom(sqlite3* db, const Backup& backup) {
  // Attached as it was checked: alone as a snapshot, or with the log beside it.
  const std::string target =
      FileUri(backup.path) + (backup.snapshotOf.empty() ? kReadOnly : kSnapshot);
  Status restored = Run(db, Prepare(db, "ATTACH ? AS backup", target).get());
  if (!restored.ok())
    return restored;
  // What SQLite attached is the file as it is now, which another may have put in its place.
  restored = CheckIdentity(db, backup.path, "backup");
  if (restored.ok()) {
    restored = InOneWriteTransaction(db, [&] {
      const std::optional<std::int64_t> highest = FirstNumber(Prepare(db, kHighestKeyId).get());
      Status copied = highest ? Execute(db, kClearStore) : FailureOf(db);
      for (const char* copy : {kCopyBackupKeys, kCopyBackupValues}) {
        if (copied.ok())
          copied = Run(db, Prepare(db, (std::string(kMovedKeyIds) + copy).c_str(), *highest).get());
      }
      // A snapshot is the whole backup only while the file stays as it was, with nothing beside.
      if (copied.ok() && !backup.snapshotOf.empty() &&
          (FileStamp(backup.path) != backup.snapshotOf || !FileAlone(backup.path))) {
        copied = Status::Failed("it changed while it was read; try again");
      }
      return copied;
    });
  }
  Execute(db, "DETACH backup");
  return restored;
}

}  // namespace store
