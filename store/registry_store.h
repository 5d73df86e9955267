// The registry store: keys and typed values kept in one SQLite file between runs.
//
// Keys form a tree below the usual roots; names match whatever the case of their ASCII letters
// and keep the case they were created with; a value is its type number and its bytes, exactly.
// Every write is its own atomic, durable transaction, every lock is waited for a bounded time, and
// every operation returns its failure, with SQLite's message, as a value.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"

struct sqlite3;
struct sqlite3_stmt;

namespace store {

using base::Result;
using base::Status;

struct StoreCloser {
  void operator()(sqlite3* db) const;
};
using Store = std::unique_ptr<sqlite3, StoreCloser>;

struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const;
};
// A prepared statement; it must be finalized before its store is closed.
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// How long a program waits for another's lock, or for a read that writers keep refusing, before
// it fails.
inline constexpr int kLockWaitMilliseconds = 10000;

using KeyId = std::int64_t;

// The roots, with the key ids they have in every store.
enum class Root : KeyId { ClassesRoot = 1, CurrentUser, LocalMachine, Users, CurrentConfig };

enum class Access { ReadOnly, ReadWrite };

// An opened store.
struct OpenedStore {
  Store db;
  std::string snapshotOf = {};  // the file's stamp, when it was opened as a snapshot
};

// Opens an existing store, named by its resolved path. Anything but a regular file, a file with
// more than one name, a file that is not a store of ours (not SQLite's, another application's,
// made by an earlier development version, or without the store's tables), a journal beside a
// store in write-ahead-log mode, which never writes one, and for ReadWrite a store this process
// may not write, all fail, with the reason, and leave every file as it was. ReadWrite lets SQLite
// roll back a journal of a store in rollback-journal mode and puts the store back into
// write-ahead-log mode. ReadOnly leaves nothing beside the store: with no log or journal there,
// the file alone is read as a snapshot (`snapshotOf`); a log without its index, or a journal that
// SQLite must roll back, is refused to a process that may not write the store. Returns the store,
// or why it could not be opened (refused for the moment when SQLite refused it so).
Result<OpenedStore> OpenStore(const std::string& path, Access access);

// Opens the store for reading: for writing where this process may, so that reads see the store
// through SQLite's own locks, else (or when that failed, on a full disk say) for reading only.
// Returns the store, or why it could not be opened.
Result<OpenedStore> OpenForReading(const std::string& path);

// Whether a store opened as a snapshot was read as its file still is: as it was at one moment.
bool SnapshotStillCurrent(const std::string& path, const OpenedStore& opened);

// Creates an empty store, whole or not at all, and its folders, when there is no file at `path`:
// each for this user alone, whatever the umask. Returns the failure, ok when the store is there.
Status CreateStoreIfMissing(const std::string& path);

// The open store as the bytes of a store file, as it is at one moment, or why it could not be read.
Result<std::string> ImageOf(sqlite3* db);

// Writes a backup of the store, its image, to a new file at `path`, whole or not at all, which
// only this user may read; an existing file is never replaced. Returns the failure, or ok.
Status WriteBackup(const std::string& image, const std::string& path);

// Replaces every key and value of the open store, in one write transaction, with those of the
// store at `backupPath` (a resolved path), read at one moment and never written. The keys get ids
// that no key of this store had, so that a write through a key opened before the restore is
// refused; the ids grow by the number of keys restored. Returns the failure, or ok.
Status RestoreFrom(sqlite3* db, const std::string& backupPath);

// A key, with its path below the root in the case it was created with.
struct Key {
  KeyId id;
  std::string path;
};

// A registry value: its type number and its bytes.
struct Value {
  std::uint32_t type;
  std::string bytes;
};

// Registry value types, by their numbers.
inline constexpr std::uint32_t kRegNone = 0;
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegMultiSz = 7;
inline constexpr std::uint32_t kRegQword = 11;

// The `size` low-order bytes of `number`, least significant first.
inline std::string LittleEndianBytes(std::uint64_t number, std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>(number >> (8 * i));
  return bytes;
}

// The number that up to 8 bytes hold, least significant first; missing high bytes are 0.
inline std::uint64_t LittleEndianNumber(std::string_view bytes) {
  std::uint64_t number = 0;
  for (std::size_t i = 0; i < bytes.size() && i < 8; ++i)
    number |= std::uint64_t{static_cast<unsigned char>(bytes[i])} << (8 * i);
  return number;
}

struct NamedValue {
  std::string name;
  Value value;
};

// Finds the key at `path` (names separated by backslashes; an empty path is the root itself).
// Returns the key, NotFound, or why the read failed.
Result<Key> FindKey(sqlite3* db, Root root, std::string_view path);

// Finds the key at `path`, creating it and its missing parents in one transaction. Returns the
// key, or why it could not be made.
Result<Key> CreateKey(sqlite3* db, Root root, std::string_view path);

// Returns the value, with its name in the case it was created with; NotFound, or why the read
// failed.
Result<NamedValue> ReadValue(sqlite3* db, KeyId key, std::string_view name);

// Creates or replaces the value; the key must exist. Returns the failure, or ok.
Status WriteValue(sqlite3* db, KeyId key, std::string_view name, const Value& value);

// The same with statements prepared once, for a caller of many reads or writes: compiling a
// statement costs more than running it. One that could not be prepared (nullptr) fails them.
Statement PrepareReadValue(sqlite3* db);
Statement PrepareWriteValue(sqlite3* db);
Result<NamedValue> ReadValueWith(sqlite3* db, sqlite3_stmt* readValue, KeyId key,
                                 std::string_view name);
Status WriteValueWith(sqlite3* db, sqlite3_stmt* writeValue, KeyId key, std::string_view name,
                      const Value& value);

// Each returns ok when it deleted something, NotFound when there was nothing to, or the failure.
Status DeleteValue(sqlite3* db, KeyId key, std::string_view name);
Status DeleteAllValues(sqlite3* db, KeyId key);
Status DeleteKey(sqlite3* db, KeyId key);

// A subkey: its id, and its name as created.
struct Subkey {
  KeyId id;
  std::string name;
};

// A key's values, or its subkeys, each sorted by name; or why the read failed.
Result<std::vector<NamedValue>> ListValues(sqlite3* db, KeyId key);
Result<std::vector<Subkey>> ListSubkeys(sqlite3* db, KeyId key);

// Runs `work` as one write transaction: the writes it makes with the functions above become part
// of it, and all of them are committed when it succeeds, none of them otherwise. Returns the
// failure of `work` or of the commit.
Status InOneWriteTransaction(sqlite3* db, const std::function<Status()>& work);

// Runs `work` as one read transaction: every read it makes sees the store as it was at one
// moment, whatever writers do meanwhile. Returns the failure of `work`.
Status InOneReadTransaction(sqlite3* db, const std::function<Status()>& work);

}  // namespace store
