// The store file: recognising, opening and creating it.
//
// A file is opened only after its header shows it is one of ours, so that SQLite never gets the
// chance to change a file that belongs to someone else. A new store is built under a temporary
// name beside its final one and linked into place, so that it appears whole or not at all and two
// creators never overwrite each other.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "store/registry_store.h"
#include "store/sqlite_statement.h"

namespace store {
namespace {

// Marks in the database header that tell a store of ours: "PCRG" and the layout's version.
constexpr std::uint32_t kApplicationId = 0x50435247;
constexpr std::uint32_t kLayoutVersion = 1;
constexpr int kBusyTimeoutMilliseconds = 10000;

constexpr const char* kSchema = R"sql(
PRAGMA application_id = 1346589255;
PRAGMA user_version = 1;
CREATE TABLE keys (
  id INTEGER PRIMARY KEY,
  parent INTEGER REFERENCES keys (id) ON DELETE CASCADE,
  name TEXT NOT NULL COLLATE NOCASE,
  UNIQUE (parent, name));
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

// Reads the file's database header and tells whether it marks a whole store of ours. Returns an
// error text, empty when it does.
std::string CheckHeader(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return std::strerror(errno);
  std::array<unsigned char, 100> header{};
  const ssize_t got = ::read(fd, header.data(), header.size());
  const int readError = errno;
  struct stat status {};
  const bool sized = ::fstat(fd, &status) == 0;
  ::close(fd);
  if (got < 0)
    return std::strerror(readError);
  constexpr char kMagic[] = "SQLite format 3";
  if (got != static_cast<ssize_t>(header.size()) ||
      std::memcmp(header.data(), kMagic, sizeof kMagic) != 0 ||
      BigEndianAt(header, 68) != kApplicationId || BigEndianAt(header, 60) != kLayoutVersion) {
    return "not a registry store";
  }
  if (!sized || !HoldsItsPages(header, status.st_size))
    return "the store is damaged: it is shorter than its header says";
  return std::string();
}

// Sets what every connection needs: bounded waits for locks, key deletion reaching values, and
// commits that are durable once they return.
bool Configure(sqlite3* db) {
  return sqlite3_busy_timeout(db, kBusyTimeoutMilliseconds) == SQLITE_OK &&
         Execute(db, "PRAGMA foreign_keys = ON; PRAGMA synchronous = FULL;");
}

// Writes a complete, empty store into the empty file at `path`.
std::string BuildStore(const std::string& path) {
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  Store db(raw);
  if (opened != SQLITE_OK)
    return LastError(raw);
  // Write-ahead logging lets the client read while the tool writes; the mode stays with the file.
  if (!Configure(raw) || !Execute(raw, "PRAGMA journal_mode = WAL;") ||
      !Execute(raw, "BEGIN IMMEDIATE;") || !Execute(raw, kSchema) || !Execute(raw, "COMMIT;")) {
    return LastError(raw);
  }
  db.reset();  // the last connection folds the log into the file, so the header is complete
  return std::string();
}

// Makes a new name in the folder durable.
void SyncFolder(const std::filesystem::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

void StoreCloser::operator()(sqlite3* db) const {
  sqlite3_close_v2(db);
}

void StatementFinalizer::operator()(sqlite3_stmt* statement) const {
  sqlite3_finalize(statement);
}

std::string LastError(sqlite3* db) {
  return db == nullptr ? std::string("out of memory") : std::string(sqlite3_errmsg(db));
}

OpenedStore OpenStore(const std::string& path, Access access) {
  if (path.empty())
    return {nullptr, "no store location: set PATTERN_COUNTERS_REGISTRY or HOME"};
  if (std::string error = CheckHeader(path); !error.empty())
    return {nullptr, error};
  const int flags = access == Access::ReadWrite ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY;
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  Store db(raw);
  if (opened != SQLITE_OK)
    return {nullptr, LastError(raw)};
  // SQLite falls back to reading only where it may not write; all access means both.
  if (access == Access::ReadWrite && sqlite3_db_readonly(raw, "main") != 0) {
    return {nullptr, "no write access"};
  }
  if (!Configure(raw))
    return {nullptr, LastError(raw)};
  return {std::move(db), std::string()};
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

  std::string temporary = path + ".new-XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0)
    return std::strerror(errno);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);  // as an ordinary new file, not mkstemp's private one
  ::close(fd);

  std::string failure = BuildStore(temporary);
  // Linking never replaces: when another process created the store first, theirs stays.
  if (failure.empty() && ::link(temporary.c_str(), path.c_str()) != 0 && errno != EEXIST) {
    failure = std::strerror(errno);
  }
  ::unlink(temporary.c_str());
  if (failure.empty())
    SyncFolder(folder.empty() ? fs::path(".") : folder);
  return failure;
}

}  // namespace store
