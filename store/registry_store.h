// The registry store: keys and typed values kept in one SQLite file between runs.
//
// Keys form a tree below the usual roots. Key and value names match without regard to the case of
// ASCII letters and keep the case they were created with; each value is kept as its type number
// and its bytes, exactly. Every write is its own atomic, durable transaction that takes the write
// lock up front, and every lock is waited for a bounded time, so that the tool, the companion and
// the client can use one store at the same time.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace store {

struct StoreCloser {
  void operator()(sqlite3* db) const;
};
using Store = std::unique_ptr<sqlite3, StoreCloser>;

struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const;
};
// A prepared statement; it must be finalized before its store is closed.
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

using KeyId = std::int64_t;

// The roots, with the key ids they have in every store.
enum class Root : KeyId { ClassesRoot = 1, CurrentUser, LocalMachine, Users, CurrentConfig };

struct RootName {
  Root root;
  std::string_view longName;
  std::string_view shortName;
};
inline constexpr std::array<RootName, 5> kRootNames = {{
    {Root::ClassesRoot, "HKEY_CLASSES_ROOT", "HKCR"},
    {Root::CurrentUser, "HKEY_CURRENT_USER", "HKCU"},
    {Root::LocalMachine, "HKEY_LOCAL_MACHINE", "HKLM"},
    {Root::Users, "HKEY_USERS", "HKU"},
    {Root::CurrentConfig, "HKEY_CURRENT_CONFIG", "HKCC"},
}};

enum class Access { ReadOnly, ReadWrite };

// An opened store, or why it could not be opened.
struct OpenedStore {
  Store db;
  std::string error;
  // Set when the store was opened as a snapshot of its file alone: the file's stamp then.
  std::string snapshotOf = {};
};

// A stamp of the store file that changes whenever the file is written, or replaced.
std::string FileStamp(const std::string& path);

// Opens an existing store. A missing file, a file that is not a store of ours (empty, garbage,
// another program's database, anything but a regular file), a log or journal beside it that is
// not its own, and for ReadWrite a store the process may not write, all fail, with the reason in
// `error`, and leave every file as it was. A store file that its log completes (a checkpoint was
// cut short) is completed. For ReadWrite, a store of an older layout is brought to the current one
// when no other connection has it open; nothing else is changed or repaired. ReadOnly leaves no
// file beside the store: SQLite would leave its log files there, owned by this process and in the
// way of the store's writers. When there are none, the store file alone is read, as a snapshot
// (`snapshotOf`) that a writer may change meanwhile; while a writer has left a log but not its
// index, the store is refused.
OpenedStore OpenStore(const std::string& path, Access access);

// Begins a write transaction that takes the write lock up front. When the store's log is empty,
// its commit writes the log's new header without flushing it ahead of the pages after it, and
// copies nothing into the store file: the log is flushed, and copied, when the store is closed.
// Returns whether it began.
bool BeginWriteTransaction(sqlite3* db);

// Creates an empty store, and its folder, when there is no file at `path`; an existing file is
// left as it is. The store appears whole or not at all. Returns an error text, empty on success.
std::string CreateStoreIfMissing(const std::string& path);

// Writes a copy of the open store, as it is at one moment, to a new store file at `path`, whole or
// not at all; an existing file is never replaced. The copy has a commit mark of its own. Returns an
// error text, empty on success.
std::string BackUpStore(sqlite3* db, const std::string& path);

// Replaces every key and value of the open store with those of the open store `source`, in one
// write transaction. The keys get new ids, which no key of this store had before, so that a
// write through a key opened before the restore is refused. Returns an error text, empty on
// success.
std::string ReplaceContents(sqlite3* db, sqlite3* source);

enum class Outcome { Found, NotFound, Failed };

// A key, with its path below the root in the case it was created with.
struct KeyLookup {
  Outcome outcome;
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
  for (std::size_t i = 0; i < bytes.size() && i < 8; ++i) {
    number |= std::uint64_t{static_cast<unsigned char>(bytes[i])} << (8 * i);
  }
  return number;
}

struct NamedValue {
  std::string name;
  Value value;
};

// A value, with its name in the case it was created with.
struct ValueLookup {
  Outcome outcome;
  NamedValue named;
};

// The text of the last error on this store, for messages.
std::string LastError(sqlite3* db);

// Finds the key at `path` (names separated by backslashes; an empty path is the root itself).
KeyLookup FindKey(sqlite3* db, Root root, std::string_view path);

// Finds the key at `path`, creating it and its missing parents in one transaction.
KeyLookup CreateKey(sqlite3* db, Root root, std::string_view path);

ValueLookup ReadValue(sqlite3* db, KeyId key, std::string_view name);

// Creates or replaces the value. Returns false when the write is refused; the key must exist.
bool WriteValue(sqlite3* db, KeyId key, std::string_view name, const Value& value);

// The same reads and writes with statements prepared once, for a caller that reads or writes
// several values of one store: compiling the statement again for each value costs more than
// running it. A statement that could not be prepared (nullptr) makes the read or write fail.
Statement PrepareReadValue(sqlite3* db);
Statement PrepareWriteValue(sqlite3* db);
ValueLookup ReadValueWith(sqlite3_stmt* readValue, KeyId key, std::string_view name);
bool WriteValueWith(sqlite3* db, sqlite3_stmt* writeValue, KeyId key, std::string_view name,
                    const Value& value);

// Each returns NotFound when there was nothing to delete, Failed when the write was refused.
Outcome DeleteValue(sqlite3* db, KeyId key, std::string_view name);
Outcome DeleteAllValues(sqlite3* db, KeyId key);
Outcome DeleteKey(sqlite3* db, KeyId key);

// The key's values and the names of its subkeys, each sorted by name; nothing on a failed read.
std::optional<std::vector<NamedValue>> ListValues(sqlite3* db, KeyId key);
std::optional<std::vector<std::string>> ListSubkeys(sqlite3* db, KeyId key);

// Runs `work` as one write transaction: the writes it makes with the functions above become part
// of it, and all of them are committed when it returns true, none of them otherwise. Returns
// whether they were committed.
bool InOneWriteTransaction(sqlite3* db, const std::function<bool()>& work);

}  // namespace store
