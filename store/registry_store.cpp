// Keys and values of the registry store.
#include "store/registry_store.h"

#include <sqlite3.h>

#include "store/sqlite_statement.h"

namespace store {

void StatementFinalizer::operator()(sqlite3_stmt* statement) const {
  sqlite3_finalize(statement);
}

namespace {

// Runs `work` inside a transaction that takes the write lock up front, so that a busy store is
// waited for rather than answered with an error to avoid a deadlock. Commits when `work`
// succeeds, otherwise rolls back. Returns the failure of `work` or of the commit.
template <typename Work>
Status InWriteTransaction(sqlite3* db, Work&& work) {
  if (sqlite3_get_autocommit(db) == 0)
    return work();  // part of the caller's transaction (InOneWriteTransaction)
  if (Status begun = Execute(db, "BEGIN IMMEDIATE;"); !begun.ok())
    return begun;
  Status status = work();
  if (status.ok())
    status = Execute(db, "COMMIT;");
  // SQLite ends the transaction itself after some failures (a full disk, an I/O error).
  if (!status.ok() && sqlite3_get_autocommit(db) == 0)
    Execute(db, "ROLLBACK;");
  return status;
}

constexpr const char* kFindSubkey = "SELECT id, name FROM keys WHERE parent = ? AND name = ?";
constexpr const char* kReadValue = "SELECT name, type, data FROM vals WHERE key = ? AND name = ?";
// The key and every key below it, cut from their parents, and then deleted: a delete that went
// down the tree through the references of keys to their parents would stop at SQLite's fixed
// depth, where deleting a cut key reaches no further than its values.
constexpr const char* kCutSubtree =
    "WITH RECURSIVE subtree (id) AS (SELECT ? UNION ALL SELECT keys.id FROM keys JOIN subtree "
    "ON keys.parent = subtree.id) UPDATE keys SET parent = NULL WHERE id IN subtree";
constexpr const char* kDeleteCutKeys = "DELETE FROM keys WHERE parent IS NULL AND id > 5";
constexpr const char* kWriteValue =
    "INSERT INTO vals (key, name, type, data) VALUES (?, ?, ?, ?) "
    "ON CONFLICT (key, name) DO UPDATE SET type = excluded.type, data = excluded.data";
// Looks up one subkey by name with a statement prepared from kFindSubkey. Returns it, NotFound,
// or why the read failed.
Result<Key> FindSubkey(sqlite3* db, sqlite3_stmt* findSubkey, KeyId parent, std::string_view name) {
  if (findSubkey == nullptr)
    return FailureOf(db);
  Bind(findSubkey, parent, name);
  const int step = sqlite3_step(findSubkey);
  Result<Key> lookup = Status::NotFound();
  if (step == SQLITE_ROW)
    lookup = Key{sqlite3_column_int64(findSubkey, 0), ColumnBytes(findSubkey, 1)};
  else if (step != SQLITE_DONE)
    lookup = FailureOf(db);
  sqlite3_reset(findSubkey);  // ends its read, before any write of the caller
  return lookup;
}

// Returns the new subkey, or why it could not be inserted.
Result<Key> InsertSubkey(sqlite3* db, KeyId parent, std::string_view name) {
  const Statement statement =
      Prepare(db, "INSERT INTO keys (parent, name) VALUES (?, ?)", parent, name);
  if (Status inserted = Run(db, statement.get()); !inserted.ok())
    return inserted;
  return Key{sqlite3_last_insert_rowid(db), std::string(name)};
}

// Walks `path` down from the root, one name at a time. Where a name is missing, `whenMissing`
// decides: it returns the key to go on with (a new one), or NotFound to stop. Returns the key,
// NotFound, or the first failure.
template <typename WhenMissing>
Result<Key> WalkKeyPath(sqlite3* db, Root root, std::string_view path, WhenMissing&& whenMissing) {
  Key key{static_cast<KeyId>(root), std::string()};
  const Statement findSubkey = Prepare(db, kFindSubkey);  // one for every name of the path
  while (!path.empty()) {
    const std::size_t end = path.find('\\');
    const std::string_view name = path.substr(0, end);
    path = end == std::string_view::npos ? std::string_view() : path.substr(end + 1);
    Result<Key> subkey = FindSubkey(db, findSubkey.get(), key.id, name);
    if (subkey.status().IsNotFound())
      subkey = whenMissing(key.id, name);
    if (!subkey.ok())
      return subkey;
    key.id = subkey->id;
    key.path += (key.path.empty() ? "" : "\\") + subkey->path;
  }
  return key;
}

// Runs `runDelete` in its own write transaction; its last statement deletes. Returns ok when it
// deleted something, NotFound when it did not, or the failure.
template <typename RunDelete>
Status DeleteWith(sqlite3* db, RunDelete&& runDelete) {
  int deleted = 0;
  const Status status = InWriteTransaction(db, [&] {
    const Status ran = runDelete();
    deleted = sqlite3_changes(db);
    return ran;
  });
  if (!status.ok())
    return status;
  return deleted > 0 ? Status::OK() : Status::NotFound();
}

// Reads every row of a prepared statement with `readRow`. Returns the rows, or why the statement
// could not be prepared or a step failed.
template <typename ReadRow>
auto CollectRows(sqlite3* db, Statement statement, ReadRow&& readRow)
    -> Result<std::vector<decltype(readRow(statement.get()))>> {
  std::vector<decltype(readRow(statement.get()))> rows;
  if (!statement)
    return FailureOf(db);
  int step;
  while ((step = sqlite3_step(statement.get())) == SQLITE_ROW)
    rows.push_back(readRow(statement.get()));
  if (step != SQLITE_DONE)
    return FailureOf(db);
  return rows;
}

// A value from a row's name, type and data.
NamedValue ReadNamedValue(sqlite3_stmt* row) {
  return {ColumnBytes(row, 0),
          {static_cast<std::uint32_t>(sqlite3_column_int64(row, 1)), ColumnBytes(row, 2)}};
}

}  // namespace

Result<Key> FindKey(sqlite3* db, Root root, std::string_view path) {
  return WalkKeyPath(db, root, path,
                     [](KeyId, std::string_view) { return Result<Key>(Status::NotFound()); });
}

Result<Key> CreateKey(sqlite3* db, Root root, std::string_view path) {
  Result<Key> key = Status::NotFound();
  const Status status = InWriteTransaction(db, [&] {
    key = WalkKeyPath(db, root, path, [db](KeyId parent, std::string_view name) {
      return InsertSubkey(db, parent, name);
    });
    return key.status();
  });
  if (!status.ok())
    return status;
  return key;
}

Result<NamedValue> ReadValue(sqlite3* db, KeyId key, std::string_view name) {
  return ReadValueWith(db, PrepareReadValue(db).get(), key, name);
}

Status WriteValue(sqlite3* db, KeyId key, std::string_view name, const Value& value) {
  return WriteValueWith(db, PrepareWriteValue(db).get(), key, name, value);
}

Statement PrepareReadValue(sqlite3* db) {
  return Prepare(db, kReadValue);
}

Statement PrepareWriteValue(sqlite3* db) {
  return Prepare(db, kWriteValue);
}

Result<NamedValue> ReadValueWith(sqlite3* db, sqlite3_stmt* readValue, KeyId key,
                                 std::string_view name) {
  if (readValue == nullptr)
    return FailureOf(db);
  Bind(readValue, key, name);
  const int step = sqlite3_step(readValue);
  Result<NamedValue> lookup = Status::NotFound();
  if (step == SQLITE_ROW)
    lookup = ReadNamedValue(readValue);
  else if (step != SQLITE_DONE)
    lookup = FailureOf(db);
  sqlite3_reset(readValue);  // ends its read, so that a later write starts from the latest store
  return lookup;
}

Status WriteValueWith(sqlite3* db, sqlite3_stmt* writeValue, KeyId key, std::string_view name,
                      const Value& value) {
  if (writeValue == nullptr)
    return FailureOf(db);
  return InWriteTransaction(db, [&] {
    Bind(writeValue, key, name, value.type);
    BindBlob(writeValue, 4, value.bytes);
    const Status written = Run(db, writeValue);
    sqlite3_reset(writeValue);
    return written;
  });
}

Status DeleteValue(sqlite3* db, KeyId key, std::string_view name) {
  return DeleteWith(db, [&] {
    return Run(db, Prepare(db, "DELETE FROM vals WHERE key = ? AND name = ?", key, name).get());
  });
}

Status DeleteAllValues(sqlite3* db, KeyId key) {
  return DeleteWith(
      db, [&] { return Run(db, Prepare(db, "DELETE FROM vals WHERE key = ?", key).get()); });
}

Status DeleteKey(sqlite3* db, KeyId key) {
  return DeleteWith(db, [&] {
    const Status cut = Run(db, Prepare(db, kCutSubtree, key).get());
    return cut.ok() ? Run(db, Prepare(db, kDeleteCutKeys).get()) : cut;
  });
}

Result<std::vector<NamedValue>> ListValues(sqlite3* db, KeyId key) {
  return CollectRows(
      db, Prepare(db, "SELECT name, type, data FROM vals WHERE key = ? ORDER BY name", key),
      [](sqlite3_stmt* row) { return ReadNamedValue(row); });
}

Result<std::vector<Subkey>> ListSubkeys(sqlite3* db, KeyId key) {
  return CollectRows(db,
                     Prepare(db, "SELECT id, name FROM keys WHERE parent = ? ORDER BY name", key),
                     [](sqlite3_stmt* row) {
                       return Subkey{sqlite3_column_int64(row, 0), ColumnBytes(row, 1)};
                     });
}

Status InOneWriteTransaction(sqlite3* db, const std::function<Status()>& work) {
  return InWriteTransaction(db, work);
}

Status InOneReadTransaction(sqlite3* db, const std::function<Status()>& work) {
  // The first read takes the moment that every later read of the transaction sees; a refusal
  // for the moment comes here, before `work` has read anything.
  Status begun = Execute(db, "BEGIN;");
  if (begun.ok()) {
    const Statement first = Prepare(db, "SELECT count(*) FROM sqlite_schema");
    if (!first || sqlite3_step(first.get()) != SQLITE_ROW)
      begun = FailureOf(db);
  }
  if (!begun.ok()) {
    Execute(db, "ROLLBACK;");
    return begun;
  }
  Status status = work();
  Execute(db, "COMMIT;");  // ends the read; it has nothing to commit
  return status;
}

}  // namespace store
