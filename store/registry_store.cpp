// Keys and values of the registry store.
#include "store/registry_store.h"

#include <sqlite3.h>

#include <cstring>
#include <map>

#include "store/sqlite_statement.h"
#include "store/store_logs.h"

namespace store {
namespace {

// The message of the failure that ended the last write transaction, which the rollback after it
// replaced in SQLite's own record, with the message that replaced it: while SQLite's record still
// holds that, the failure is the store's last error.
struct KeptFailure {
  sqlite3* db = nullptr;
  std::string message;
  std::string replacedBy;
};
thread_local KeptFailure keptFailure;

// Runs `work` inside a transaction that takes the write lock up front, so that a busy store is
// waited for rather than answered with an error to avoid a deadlock. Commits when `work` returns
// true, otherwise rolls back. Returns whether the work was committed.
template <typename Work>
bool InWriteTransaction(sqlite3* db, Work&& work) {
  if (sqlite3_get_autocommit(db) == 0)
    return work();  // part of the caller's transaction (InOneWriteTransaction)
  keptFailure = {};
  const sqlite3_int64 changesBefore = sqlite3_total_changes64(db);
  if (BeginWriteTransaction(db) && work() &&
      (sqlite3_total_changes64(db) == changesBefore || !HasCommitMarks(db) ||
       Execute(db, kRecordCommitMark)) &&
      Execute(db, "COMMIT;")) {
    return true;
  }
  std::string failure = LastError(db);
  // SQLite ends the transaction itself after some failures (a full disk, an I/O error).
  if (sqlite3_get_autocommit(db) == 0)
    Execute(db, "ROLLBACK;");
  keptFailure = {db, std::move(failure), sqlite3_errmsg(db)};
  return false;
}

constexpr const char* kFindSubkey = "SELECT id, name FROM keys WHERE parent = ? AND name = ?";
constexpr const char* kReadValue = "SELECT name, type, data FROM vals WHERE key = ? AND name = ?";
// The key and every key below it, the deepest first.
constexpr const char* kSubtreeDeepestFirst =
    "WITH RECURSIVE subtree (id, depth) AS (SELECT id, 0 FROM keys WHERE id = ? UNION ALL "
    "SELECT keys.id, depth + 1 FROM keys JOIN subtree ON keys.parent = subtree.id) "
    "SELECT id FROM subtree ORDER BY depth DESC";
constexpr const char* kWriteValue =
    "INSERT INTO vals (key, name, type, data) VALUES (?, ?, ?, ?) "
    "ON CONFLICT (key, name) DO UPDATE SET type = excluded.type, data = excluded.data";

// Looks up one subkey by name with a statement prepared from kFindSubkey. Returns Found with its id
// and stored name, NotFound, or Failed.
KeyLookup FindSubkey(sqlite3_stmt* findSubkey, KeyId parent, std::string_view name) {
  if (findSubkey == nullptr)
    return {Outcome::Failed, 0, {}};
  Bind(findSubkey, parent, name);
  KeyLookup lookup{Outcome::Failed, 0, {}};
  switch (sqlite3_step(findSubkey)) {
    case SQLITE_ROW:
      lookup = {Outcome::Found, sqlite3_column_int64(findSubkey, 0), ColumnBytes(findSubkey, 1)};
      break;
    case SQLITE_DONE:
      lookup = {Outcome::NotFound, 0, {}};
      break;
  }
  sqlite3_reset(findSubkey);  // ends its read, before any write of the caller
  return lookup;
}

KeyLookup InsertSubkey(sqlite3* db, KeyId parent, std::string_view name) {
  Statement statement = Prepare(db, "INSERT INTO keys (parent, name) VALUES (?, ?)", parent, name);
  if (!RunToCompletion(statement.get()))
    return {Outcome::Failed, 0, {}};
  return {Outcome::Found, sqlite3_last_insert_rowid(db), std::string(name)};
}

// Walks `path` down from the root, one name at a time. Where a name is missing, `whenMissing`
// decides: it returns the lookup to go on with (a new key), or NotFound to stop.
template <typename WhenMissing>
KeyLookup WalkKeyPath(sqlite3* db, Root root, std::string_view path, WhenMissing&& whenMissing) {
  KeyLookup key{Outcome::Found, static_cast<KeyId>(root), {}};
  const Statement findSubkey = Prepare(db, kFindSubkey);  // one for every name of the path
  while (!path.empty()) {
    const std::size_t end = path.find('\\');
    const std::string_view name = path.substr(0, end);
    path = end == std::string_view::npos ? std::string_view() : path.substr(end + 1);
    KeyLookup subkey = FindSubkey(findSubkey.get(), key.id, name);
    if (subkey.outcome == Outcome::NotFound)
      subkey = whenMissing(key.id, name);
    if (subkey.outcome != Outcome::Found)
      return subkey;
    key.id = subkey.id;
    key.path += (key.path.empty() ? "" : "\\") + subkey.path;
  }
  return key;
}

// Runs the deleting statement that `makeStatement` prepares, in its own write transaction.
template <typename MakeStatement>
Outcome DeleteWith(sqlite3* db, MakeStatement&& makeStatement) {
  int deleted = 0;
  const bool committed = InWriteTransaction(db, [&] {
    Statement statement = makeStatement();
    if (!RunToCompletion(statement.get()))
      return false;
    deleted = sqlite3_changes(db);
    return true;
  });
  if (!committed)
    return Outcome::Failed;
  return deleted > 0 ? Outcome::Found : Outcome::NotFound;
}

// Reads every row of a prepared statement with `readRow`. Returns nothing when the statement
// could not be prepared or a step failed.
template <typename ReadRow>
auto CollectRows(Statement statement, ReadRow&& readRow)
    -> std::optional<std::vector<decltype(readRow(statement.get()))>> {
  if (!statement)
    return std::nullopt;
  std::vector<decltype(readRow(statement.get()))> rows;
  int step;
  while ((step = sqlite3_step(statement.get())) == SQLITE_ROW)
    rows.push_back(readRow(statement.get()));
  if (step != SQLITE_DONE)
    return std::nullopt;
  return rows;
}

// A value from a row's name, type and data, in the columns from `first` on.
NamedValue ReadNamedValue(sqlite3_stmt* row, int first = 0) {
  return {ColumnBytes(row, first),
          {static_cast<std::uint32_t>(sqlite3_column_int64(row, first + 1)),
           ColumnBytes(row, first + 2)}};
}

}  // namespace

std::string LastError(sqlite3* db) {
  if (db == nullptr)
    return "out of memory";
  std::string current = sqlite3_errmsg(db);
  if (keptFailure.db == db && keptFailure.replacedBy == current)
    return keptFailure.message;
  // An I/O error says more with the system's reason: a full disk, a read-only file system.
  if ((sqlite3_errcode(db) == SQLITE_IOERR || sqlite3_errcode(db) == SQLITE_CANTOPEN) &&
      sqlite3_system_errno(db) != 0) {
    current += std::string(" (") + std::strerror(sqlite3_system_errno(db)) + ")";
  }
  return current;
}

KeyLookup FindKey(sqlite3* db, Root root, std::string_view path) {
  return WalkKeyPath(db, root, path, [](KeyId, std::string_view) {
    return KeyLookup{Outcome::NotFound, 0, {}};
  });
}

KeyLookup CreateKey(sqlite3* db, Root root, std::string_view path) {
  KeyLookup key{Outcome::Failed, 0, {}};
  const bool committed = InWriteTransaction(db, [&] {
    key = WalkKeyPath(db, root, path, [db](KeyId parent, std::string_view name) {
      return InsertSubkey(db, parent, name);
    });
    return key.outcome == Outcome::Found;
  });
  if (!committed)
    key.outcome = Outcome::Failed;
  return key;
}

ValueLookup ReadValue(sqlite3* db, KeyId key, std::string_view name) {
  return ReadValueWith(PrepareReadValue(db).get(), key, name);
}

bool WriteValue(sqlite3* db, KeyId key, std::string_view name, const Value& value) {
  return WriteValueWith(db, PrepareWriteValue(db).get(), key, name, value);
}

Statement PrepareReadValue(sqlite3* db) {
  return Prepare(db, kReadValue);
}

Statement PrepareWriteValue(sqlite3* db) {
  return Prepare(db, kWriteValue);
}

ValueLookup ReadValueWith(sqlite3_stmt* readValue, KeyId key, std::string_view name) {
  if (readValue == nullptr)
    return {Outcome::Failed, {}};
  Bind(readValue, key, name);
  ValueLookup lookup{Outcome::Failed, {}};
  switch (sqlite3_step(readValue)) {
    case SQLITE_ROW:
      lookup = {Outcome::Found, ReadNamedValue(readValue)};
      break;
    case SQLITE_DONE:
      lookup = {Outcome::NotFound, {}};
      break;
  }
  sqlite3_reset(readValue);  // ends its read, so that a later write starts from the latest store
  return lookup;
}

bool WriteValueWith(sqlite3* db, sqlite3_stmt* writeValue, KeyId key, std::string_view name,
                    const Value& value) {
  if (writeValue == nullptr)
    return false;
  return InWriteTransaction(db, [&] {
    Bind(writeValue, key, name, value.type);
    BindBlob(writeValue, 4, value.bytes);
    const bool written = RunToCompletion(writeValue);
    sqlite3_reset(writeValue);
    return written;
  });
}

Outcome DeleteValue(sqlite3* db, KeyId key, std::string_view name) {
  return DeleteWith(
      db, [&] { return Prepare(db, "DELETE FROM vals WHERE key = ? AND name = ?", key, name); });
}

Outcome DeleteAllValues(sqlite3* db, KeyId key) {
  return DeleteWith(db, [&] { return Prepare(db, "DELETE FROM vals WHERE key = ?", key); });
}

Outcome DeleteKey(sqlite3* db, KeyId key) {
  // Deleting a key deletes its subkeys through their references, one level deeper for each level
  // of the tree, and SQLite stops that chain at a fixed depth. Deleting the deepest keys first
  // leaves each delete a single level to go: its values.
  int deleted = 0;
  const bool committed = InWriteTransaction(db, [&] {
    const auto deepestFirst =
        CollectRows(Prepare(db, kSubtreeDeepestFirst, key),
                    [](sqlite3_stmt* row) { return KeyId{sqlite3_column_int64(row, 0)}; });
    const Statement deleteKey = Prepare(db, "DELETE FROM keys WHERE id = ?");
    if (!deepestFirst || !deleteKey)
      return false;
    for (const KeyId id : *deepestFirst) {
      Bind(deleteKey.get(), id);
      if (!RunToCompletion(deleteKey.get()))
        return false;
      deleted += sqlite3_changes(db);
    }
    return true;
  });
  if (!committed)
    return Outcome::Failed;
  return deleted > 0 ? Outcome::Found : Outcome::NotFound;
}

// The keys below the roots, each after its parent.
constexpr const char* kKeysParentsFirst =
    "WITH RECURSIVE tree (id, parent, name, depth) AS (SELECT id, parent, name, 0 FROM keys WHERE "
    "parent IS NULL UNION ALL SELECT keys.id, keys.parent, keys.name, depth + 1 FROM keys JOIN "
    "tree ON keys.parent = tree.id) SELECT id, parent, name FROM tree WHERE depth > 0 ORDER BY "
    "depth";

std::string ReplaceContents(sqlite3* db, sqlite3* source) {
  struct KeyRow {
    KeyId id;
    KeyId parent;
    std::string name;
  };
  struct ValueRow {
    KeyId key;
    NamedValue named;
  };
  const auto keys = CollectRows(Prepare(source, kKeysParentsFirst), [](sqlite3_stmt* row) {
    return KeyRow{sqlite3_column_int64(row, 0), sqlite3_column_int64(row, 1), ColumnBytes(row, 2)};
  });
  const auto values =
      CollectRows(Prepare(source, "SELECT key, name, type, data FROM vals"), [](sqlite3_stmt* row) {
        return ValueRow{sqlite3_column_int64(row, 0), ReadNamedValue(row, 1)};
      });
  if (!keys || !values)
    return LastError(source);
  // The source's key ids, and the ones its keys get here; the roots have theirs in every store.
  std::map<KeyId, KeyId> newIds;
  for (const RootName& root : kRootNames)
    newIds[static_cast<KeyId>(root.root)] = static_cast<KeyId>(root.root);
  std::string failure;
  const bool committed = InWriteTransaction(db, [&] {
    // Cut from their parents first, the keys go without a chain of deletes through the tree.
    if (!Execute(db,
                 "PRAGMA defer_foreign_keys = ON; DELETE FROM vals; "
                 "UPDATE keys SET parent = NULL WHERE parent IS NOT NULL; "
                 "DELETE FROM keys WHERE id > 5;")) {
      return false;
    }
    const Statement insertKey = Prepare(db, "INSERT INTO keys (parent, name) VALUES (?, ?)");
    const Statement insertValue = PrepareWriteValue(db);
    if (!insertKey || !insertValue)
      return false;
    for (const KeyRow& key : *keys) {
      Bind(insertKey.get(), newIds.at(key.parent), key.name);
      if (!RunToCompletion(insertKey.get()))
        return false;
      newIds[key.id] = sqlite3_last_insert_rowid(db);
    }
    for (const ValueRow& value : *values) {
      const auto key = newIds.find(value.key);
      if (key == newIds.end()) {
        failure = "the backup holds values of a key that it does not hold";
        return false;
      }
      if (!WriteValueWith(db, insertValue.get(), key->second, value.named.name,
                          value.named.value)) {
        return false;
      }
    }
    return true;
  });
  if (committed)
    return std::string();
  return failure.empty() ? LastError(db) : failure;
}

std::optional<std::vector<NamedValue>> ListValues(sqlite3* db, KeyId key) {
  return CollectRows(
      Prepare(db, "SELECT name, type, data FROM vals WHERE key = ? ORDER BY name", key),
      [](sqlite3_stmt* row) { return ReadNamedValue(row); });
}

std::optional<std::vector<std::string>> ListSubkeys(sqlite3* db, KeyId key) {
  return CollectRows(Prepare(db, "SELECT name FROM keys WHERE parent = ? ORDER BY name", key),
                     [](sqlite3_stmt* row) { return ColumnBytes(row, 0); });
}

bool InOneWriteTransaction(sqlite3* db, const std::function<bool()>& work) {
  return InWriteTransaction(db, work);
}

}  // namespace store
