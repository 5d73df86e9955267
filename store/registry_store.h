// The registry store's keys and values, in one SQLite file kept between runs (store/store_file.h
// opens it).
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
#include "store/registry_values.h"

struct sqlite3;
struct sqlite3_stmt;

namespace store {

using base::Result;
using base::Status;

struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const;
};
// A prepared statement; it must be finalized before its store is closed.
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

using KeyId = std::int64_t;

// The roots, with the key ids they have in every store.
enum class Root : KeyId { ClassesRoot = 1, CurrentUser, LocalMachine, Users, CurrentConfig };

// A key, with its path below the root in the case it was created with.
struct Key {
  KeyId id;
  std::string path;
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
