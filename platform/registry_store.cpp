// Keys and values of the registry store.
#include "platform/registry_store.h"

#include <sqlite3.h>

#include "platform/sqlite_statement.h"

namespace store {
namespace {

// Runs `work` inside a transaction that takes the write lock up front, so that a busy store is
// waited for rather than answered with an error to avoid a deadlock. Commits when `work` returns
// true, otherwise rolls back. Returns whether the work was committed.
template <typename Work>
bool InWriteTransaction(sqlite3* db, Work&& work) {
  if (sqlite3_get_autocommit(db) == 0)
    return work();  // part of the caller's transaction (InOneWriteTransaction)
  if (!Execute(db, "BEGIN IMMEDIATE;"))
    return false;
  if (work() && Execute(db, "COMMIT;"))
    return true;
  Execute(db, "ROLLBACK;");
  return false;
}

constexpr const char* kFindSubkey = "SELECT id, name FROM keys WHERE parent = ? AND name = ?";
constexpr const char* kReadValue = "SELECT name, type, data FROM vals WHERE key = ? AND name = ?";
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

// A value from a row of name, type and data.
NamedValue ReadNamedValue(sqlite3_stmt* row) {
  return {ColumnBytes(row, 0),
          {static_cast<std::uint32_t>(sqlite3_column_int64(row, 1)), ColumnBytes(row, 2)}};
}

}  // namespace

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
  return DeleteWith(db, [&] { return Prepare(db, "DELETE FROM keys WHERE id = ?", key); });
}

std::optional<std::vector<NamedValue>> ListValues(sqlite3* db, KeyId key) {
  return CollectRows(
      Prepare(db, "SELECT name, type, data FROM vals WHERE key = ? ORDER BY name", key),
      ReadNamedValue);
}

std::optional<std::vector<std::string>> ListSubkeys(sqlite3* db, KeyId key) {
  return CollectRows(Prepare(db, "SELECT name FROM keys WHERE parent = ? ORDER BY name", key),
                     [](sqlite3_stmt* row) { return ColumnBytes(row, 0); });
}

bool InOneWriteTransaction(sqlite3* db, const std::function<bool()>& work) {
  return InWriteTransaction(db, work);
}

}  // namespace store
