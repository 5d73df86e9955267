// The store file: recognising, opening, creating, copying and restoring it.
//
// The store keeps its writes in SQLite's write-ahead log, flushed at each commit, and SQLite's own
// recovery alone replays what a killed program left there. A new store is an image of an empty
// store, written as an unnamed file and linked into place: it appears whole or not at all.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
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
constexpr const char* kNoLocation = "no store location: set PATTERN_COUNTERS_REGISTRY or HOME";
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

constexpr const char* kNotRegularFile = "it is not a regular file";
constexpr const char* kNotAStore = "it is not a registry store, nor a backup of one";
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

std::string NameOf(const std::string& path) {
  return std::filesystem::path(path).filename().string();
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

std::string UserName(uid_t user) {
  const struct passwd* entry = ::getpwuid(user);
  return entry != nullptr ? entry->pw_name : std::to_string(user);
}

std::string GroupName(gid_t group) {
  const struct group* entry = ::getgrgid(group);
  return entry != nullptr ? entry->gr_name : std::to_string(group);
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

// Why the store file may not be used: SQLite keeps a log for each name of a file, so a write made
// through one of two names (hard links) would be lost through the other. Returns an error text,
// empty for a file of one name.
std::string CheckSingleName(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 || status.st_nlink <= 1)
    return std::string();
  return "it has " + std::to_string(status.st_nlink) +
         " names (hard links), and SQLite keeps a log for each name, so that a write made "
         "through one would be lost through another; keep one name and remove the others "
         "(find / -xdev -samefile " +
         path + " lists them)";
}

// Why a side file of SQLite's beside the store stands in this user's way: one that another user's
// program made with a group this user is not in, say. Returns an error text, empty when none does.
std::string CheckSideFiles(const std::string& path, Access access) {
  const bool writing = access == Access::ReadWrite;
  for (const char* side : {"-wal", "-shm"}) {
    const std::string file = path + side;
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0 ||
        ::faccessat(AT_FDCWD, file.c_str(), writing ? R_OK | W_OK : R_OK, AT_EACCESS) == 0) {
      continue;
    }
    return NameOf(file) + ", which SQLite keeps beside it, belongs to user " +
           UserName(status.st_uid) + " and group " + GroupName(status.st_gid) +
           ", and this user may not " + (writing ? "read and write" : "read") +
           " it: let that user run any pattern-counters-reg query, which folds it into the "
           "store, and give the store's folder the store's group and the setgid bit (chmod g+s), "
           "so that SQLite makes its side files with that group";
  }
  return std::string();
}

// The first column of the statement's first row, as a number; nothing when there is no row.
std::optional<std::int64_t> FirstNumber(sqlite3_stmt* statement) {
  if (statement == nullptr || sqlite3_step(statement) != SQLITE_ROW)
    return std::nullopt;
  return sqlite3_column_int64(statement, 0);
}

// Why SQLite could not read the database at `path`: a journal that only a process that may write
// the file can roll back is named with what to do.
Status ReadFailure(sqlite3* db, const std::string& path) {
  if (sqlite3_extended_errcode(db) != SQLITE_READONLY_ROLLBACK)
    return FailureOf(db);
  return {NameOf(path) +
          "-journal beside it holds a write that a killed program left unfinished, which SQLite "
          "rolls back only for a program that may write the file: run any pattern-counters-reg "
          "query on it as a user who may write it"};
}

// What the header of the database `schema` says, as SQLite reads it: a store of ours (no error),
// or why not; `read` is false when SQLite could not read the database at all.
struct Identity {
  Status status;
  bool read = true;
};
Identity CheckIdentity(sqlite3* db, const std::string& path, const std::string& schema = "main") {
  const auto number = [&](const std::string& sql) {
    return FirstNumber(Prepare(db, sql.c_str()).get());
  };
  const auto unread = [&] { return Identity{ReadFailure(db, path), false}; };
  const std::optional<std::int64_t> application = number("PRAGMA " + schema + ".application_id");
  if (!application && sqlite3_errcode(db) != SQLITE_NOTADB)
    return unread();
  if (application != kApplicationId)
    return {{kNotAStore}};
  const std::optional<std::int64_t> layout = number("PRAGMA " + schema + ".user_version");
  if (!layout)
    return unread();
  if (layout == kDevelopmentLayoutVersion) {
    return {
        {"it was made by an earlier development version of pattern-counters, which this "
         "version does not read; move it away"}};
  }
  if (layout != kLayoutVersion)
    return {{kNotAStore}};
  const std::optional<std::int64_t> tables =
      number("SELECT count(*) FROM " + schema + ".sqlite_schema WHERE type = 'table' AND name " +
             "IN ('keys', 'vals')");
  if (!tables)
    return unread();
  if (*tables != 2) {
    return {
        {"it has a registry store's marks but not the store's tables, so it is no store of "
         "ours; move it away"}};
  }
  return {};
}

// Opens the file at `path` alone, as SQLite reads it with no lock and nothing written beside it.
Store OpenFileAlone(const std::string& path) {
  sqlite3* raw = nullptr;
  sqlite3_open_v2((FileUri(path) + kSnapshot).c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI,
                  nullptr);
  return Store(raw);
}

// Whether the file at `path`, read alone, has the header of another file than a store of ours.
// Returns that error text, empty otherwise: any other failure is left to SQLite's own reading,
// under its locks.
std::string CheckFileAlone(const std::string& path) {
  const Store probe = OpenFileAlone(path);
  const Identity identity = probe ? CheckIdentity(probe.get(), path) : Identity{{}, false};
  return identity.read ? identity.status.error : std::string();
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
// never writes one, so a journal beside it came from elsewhere. Returns an error text, empty when
// there is no journal or it is the file's own.
std::string CheckJournal(const std::string& path) {
  if (!Exists(path + "-journal") || InWriteAheadLogMode(path) != true)
    return std::string();
  return NameOf(path) +
         "-journal lies beside it, which a store in write-ahead-log mode never writes, and which "
         "SQLite would roll into it; move the journal away";
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

// Why the database at `path` may not be opened at all, whatever the access. Returns an error
// text, empty when it may.
std::string CheckDatabaseFile(const std::string& path) {
  if (path.empty())
    return kNoLocation;
  if (std::string tooLong = CheckPathLength(path, 0); !tooLong.empty())
    return tooLong;
  if (std::string kind = CheckFileKind(path); !kind.empty())
    return kind;
  return CheckJournal(path);
}

// Whether the file alone is the whole database: no log lies beside it, nor its index, which would
// tell of a connection that may be writing one, nor a journal that SQLite may have to roll back.
bool FileAlone(const std::string& path) {
  return !Exists(path + "-shm") && FileSize(path + "-wal") == 0 && !Exists(path + "-journal");
}

// What SQLite opens for a database, or why it may not.
struct Opening {
  std::string target;  // what SQLite opens
  std::string snapshotOf = {};
  std::string error = {};
};

// A process that may only read a database must leave nothing beside it: a log or index it made
// would be its own, in the way of the database's writers. With nothing beside it, the file alone
// is the database, read as a snapshot. A log without its index needs one made, which only a
// process that may write the file does.
Opening ForReadingOnly(const std::string& path) {
  if (FileAlone(path))
    return {FileUri(path) + kSnapshot, FileStamp(path)};
  const bool logWithoutIndex = FileSize(path + "-wal") > 0 && !Exists(path + "-shm");
  if (!logWithoutIndex || WhyNotWritable(path).empty())
    return {FileUri(path) + kReadOnly};
  return {std::string(), std::string(),
          "this user may not write it, and reading the log that lies beside it would leave files "
          "in the way of its writers; read it as a user who may write it, or once a writer has "
          "used it"};
}

Opening ForAccess(const std::string& path, Access access) {
  if (access == Access::ReadOnly)
    return ForReadingOnly(path);
  std::string error = WhyNotWritable(path);
  return {error.empty() ? FileUri(path) : std::string(), std::string(), error};
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
Status EnsureWriteAheadLog(sqlite3* db) {
  if (JournalMode(db, "PRAGMA journal_mode") == "wal")
    return {};
  if (JournalMode(db, "PRAGMA journal_mode = OFF") == "off" &&
      JournalMode(db, "PRAGMA journal_mode = WAL") == "wal") {
    return {};
  }
  Status failure = FailureOf(db);
  failure.error =
      "it is in rollback-journal mode, and SQLite could not put it into "
      "write-ahead-log mode: " +
      failure.error;
  return failure;
}

// Makes the folder and its missing parents, each for this user alone whatever the umask. Returns
// an error text, empty on success.
std::string MakePrivateFolders(const std::filesystem::path& folder) {
  std::error_code ignored;
  if (folder.empty() || std::filesystem::is_directory(folder, ignored))
    return std::string();
  if (std::string parent = MakePrivateFolders(folder.parent_path()); !parent.empty())
    return parent;
  if (::mkdir(folder.c_str(), kPrivateFolder) != 0)
    return errno == EEXIST ? std::string() : folder.string() + ": " + std::strerror(errno);
  ::chmod(folder.c_str(), kPrivateFolder);  // what the umask took away
  return std::string();
}

// The bytes of an empty store, built in memory.
StoreImage EmptyStoreImage() {
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(":memory:", &raw, SQLITE_OPEN_READWRITE, nullptr);
  const Store db(raw);
  if (opened != SQLITE_OK)
    return {std::string(), ErrorOf(raw)};
  if (const Status built = Execute(raw, kBuildEmptyStore); !built.ok())
    return {std::string(), built.error};
  return ImageOf(raw);
}

}  // namespace

void StoreCloser::operator()(sqlite3* db) const {
  sqlite3_close_v2(db);
}

void StatementFinalizer::operator()(sqlite3_stmt* statement) const {
  sqlite3_finalize(statement);
}

OpenedStore OpenStore(const std::string& path, Access access) {
  for (const auto check : {CheckDatabaseFile, CheckSingleName}) {
    if (std::string error = check(path); !error.empty())
      return {nullptr, error};
  }
  if (std::string error = CheckSideFiles(path, access); !error.empty())
    return {nullptr, error};
  const Opening target = ForAccess(path, access);
  if (!target.error.empty())
    return {nullptr, target.error};
  // A connection that is no snapshot may write beside the file: it opens a store of ours only.
  if (target.snapshotOf.empty()) {
    if (std::string error = CheckFileAlone(path); !error.empty())
      return {nullptr, error};
  }
  const int flags = SQLITE_OPEN_URI |
                    (access == Access::ReadWrite ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY);
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(target.target.c_str(), &raw, flags, nullptr);
  Store db(raw);
  if (opened != SQLITE_OK) {
    const Status failure = FailureOf(raw);
    return {nullptr, failure.error, std::string(), failure.transient};
  }
  // SQLite falls back to reading only where it may not write; all access means both.
  if (access == Access::ReadWrite && sqlite3_db_readonly(raw, "main") != 0)
    return {nullptr, "no write access"};
  // The first read waits (a bounded time) for the locks, replays a log or rolls back a journal
  // that a killed program left, and checks the file against its header. A file that is not a
  // store is closed without folding a log beside it into it.
  sqlite3_busy_timeout(raw, kLockWaitMilliseconds);
  Status ready = CheckIdentity(raw, path).status;
  if (!ready.ok())
    sqlite3_db_config(raw, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  if (ready.ok())
    ready = Configure(raw);
  if (ready.ok() && access == Access::ReadWrite)
    ready = EnsureWriteAheadLog(raw);
  if (!ready.ok())
    return {nullptr, ready.error, std::string(), ready.transient};
  return {std::move(db), std::string(), target.snapshotOf};
}

OpenedStore OpenForReading(const std::string& path) {
  if (!path.empty() && WhyNotWritable(path).empty()) {
    OpenedStore opened = OpenStore(path, Access::ReadWrite);
    // A disk too full for the log's files still lets the store be read as it is.
    if (opened.db || opened.transient)
      return opened;
  }
  return OpenStore(path, Access::ReadOnly);
}

bool SnapshotStillCurrent(const std::string& path, const OpenedStore& opened) {
  return opened.snapshotOf.empty() || FileStamp(path) == opened.snapshotOf;
}

Status CreateStoreIfMissing(const std::string& path) {
  if (path.empty())
    return {kNoLocation};
  std::error_code error;
  if (std::filesystem::symlink_status(path, error).type() != std::filesystem::file_type::not_found)
    return {};
  if (std::string tooLong = CheckPathLength(path, kTemporarySuffix.size()); !tooLong.empty())
    return {tooLong};
  if (std::string folder = MakePrivateFolders(std::filesystem::path(path).parent_path());
      !folder.empty()) {
    return {folder};
  }
  const StoreImage empty = EmptyStoreImage();
  if (!empty.error.empty())
    return {empty.error};
  return {
      CreateWhole(path, BytesFiller(empty.bytes), Placing::BesideExisting, kPrivateFile).failure};
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

Status WriteBackup(const StoreImage& image, const std::string& path) {
  const NewFile created =
      CreateWhole(path, BytesFiller(image.bytes), Placing::BesideExisting, kPrivateFile);
  return {created.existed ? "the file exists already" : created.failure};
}

Status RestoreFrom(sqlite3* db, const std::string& backupPath) {
  if (std::string error = CheckDatabaseFile(backupPath); !error.empty())
    return {error};
  const Opening backup = ForReadingOnly(backupPath);
  if (!backup.error.empty())
    return {backup.error};
  if (backup.snapshotOf.empty()) {
    if (std::string error = CheckFileAlone(backupPath); !error.empty())
      return {error};
  }
  Status restored = Run(db, Prepare(db, "ATTACH ? AS backup", backup.target).get());
  if (!restored.ok())
    return restored;
  restored = CheckIdentity(db, backupPath, "backup").status;
  if (restored.ok()) {
    restored = InOneWriteTransaction(db, [&] {
      const std::optional<std::int64_t> highest = FirstNumber(Prepare(db, kHighestKeyId).get());
      Status copied = highest ? Execute(db, kClearStore) : FailureOf(db);
      for (const char* copy : {kCopyBackupKeys, kCopyBackupValues}) {
        if (copied.ok())
          copied = Run(db, Prepare(db, (std::string(kMovedKeyIds) + copy).c_str(), *highest).get());
      }
      if (copied.ok() && !backup.snapshotOf.empty() && FileStamp(backupPath) != backup.snapshotOf)
        copied = {"it changed while it was read; try again"};
      return copied;
    });
  }
  Execute(db, "DETACH backup");
  return restored;
}

}  // namespace store
