// Small helpers over SQLite's prepared statements, shared by the store's files.
#pragma once

#include <sqlite3.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "store/registry_store.h"
#include "store/store_file.h"

namespace store {

// Resets the statement, so that it can run again, and binds each argument in turn in place of
// the previous ones.
template <typename... Arguments>
void Bind(sqlite3_stmt* statement, const Arguments&... arguments) {
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  int index = 0;
  const auto bind = [&](const auto& argument) {
    ++index;
    using Type = std::decay_t<decltype(argument)>;
    if constexpr (std::is_integral_v<Type>) {
      sqlite3_bind_int64(statement, index, static_cast<sqlite3_int64>(argument));
    } else {
      const std::string_view text(argument);
      sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                        SQLITE_TRANSIENT);
    }
  };
  (bind(arguments), ...);
}

// Prepares `sql` and binds each argument in turn. Returns nullptr when the statement cannot be
// prepared (the store's error says why).
template <typename... Arguments>
Statement Prepare(sqlite3* db, const char* sql, const Arguments&... arguments) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK)
    return nullptr;
  Statement statement(raw);
  if constexpr (sizeof...(arguments) > 0)
    Bind(raw, arguments...);
  return statement;
}

// The first column of the statement's first row, as a number; nothing when there is no row.
inline std::optional<std::int64_t> FirstNumber(sqlite3_stmt* statement) {
  if (statement == nullptr || sqlite3_step(statement) != SQLITE_ROW)
    return std::nullopt;
  return sqlite3_column_int64(statement, 0);
}

// Binds bytes as a blob (a value's data, which may hold any byte).
inline void BindBlob(sqlite3_stmt* statement, int index, std::string_view bytes) {
  sqlite3_bind_blob(statement, index, bytes.data(), static_cast<int>(bytes.size()),
                    SQLITE_TRANSIENT);
}

// Column text or blob as bytes.
inline std::string ColumnBytes(sqlite3_stmt* statement, int column) {
  const auto* data = static_cast<const char*>(sqlite3_column_blob(statement, column));
  const int size = sqlite3_column_bytes(statement, column);
  return data == nullptr ? std::string() : std::string(data, static_cast<std::size_t>(size));
}

// What a failure of SQLite's, by its result code, means for a store or backup file, in the
// store's words.
inline const char* MeaningOf(int code) {
  switch (code & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return "another program held its lock for longer than the 10-second wait";
    case SQLITE_CORRUPT:
      return "it is damaged";
    case SQLITE_NOTADB:
      return "it is not a registry store, nor a backup of one";
    case SQLITE_FULL:
      return "the disk is full";
    case SQLITE_IOERR:
      return "the system could not read or write it";
    case SQLITE_READONLY:
      return "it may not be written here";
    case SQLITE_CANTOPEN:
      return "it, or a file SQLite keeps beside it, could not be opened";
    case SQLITE_NOMEM:
      return "there was not enough memory";
    case SQLITE_CONSTRAINT:
      return "a key it refers to is not there";
    default:
      return "SQLite failed on it";
  }
}

// The message of the store's last failure, in the store's words, followed by SQLite's own for
// detail, with the system's reason where an I/O error has one (a full disk, a read-only file
// system). Taken at once, before another call replaces it. Without a connection, SQLite had no
// memory to make one.
inline std::string ErrorOf(sqlite3* db) {
  if (db == nullptr)
    return MeaningOf(SQLITE_NOMEM);
  const int code = sqlite3_errcode(db);
  std::string message = std::string(MeaningOf(code)) + " (" + sqlite3_errmsg(db);
  if ((code == SQLITE_IOERR || code == SQLITE_CANTOPEN) && sqlite3_system_errno(db) != 0)
    message += std::string(": ") + std::strerror(sqlite3_system_errno(db));
  return message + ")";
}

// Whether SQLite's refusal is for the moment only: a lock, or a log index that a writer closing
// the store is making or removing, which a process that may only read cannot make itself. Of the
// refusals to write, only a journal to roll back stays until a writer comes.
inline bool IsTransient(int extendedCode) {
  switch (extendedCode & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_PROTOCOL:
      return true;
    case SQLITE_READONLY:
      return extendedCode != SQLITE_READONLY_ROLLBACK;
    default:
      return false;
  }
}

// The store's last failure as a status: its message, and Transient when it is for the moment.
inline Status FailureOf(sqlite3* db) {
  const bool transient = db != nullptr && IsTransient(sqlite3_extended_errcode(db));
  return transient ? Status::Transient(ErrorOf(db)) : Status::Failed(ErrorOf(db));
}

// Runs a prepared statement of the store `db` that returns no rows; one that could not be
// prepared (nullptr) fails with the reason.
inline Status Run(sqlite3* db, sqlite3_stmt* statement) {
  if (statement == nullptr || sqlite3_step(statement) != SQLITE_DONE)
    return FailureOf(db);
  return {};
}

// Runs SQL text that returns no rows.
inline Status Execute(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
    return FailureOf(db);
  return {};
}

// The path as a URI for sqlite3_open_v2, its bytes percent-encoded where a URI would read them
// otherwise. An absolute path follows an empty authority, so that one starting with // is never
// read as naming a host.
inline std::string FileUri(std::string_view path) {
  std::string uri = path.starts_with('/') ? "file://" : "file:";
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
      uri += c;
    } else {
      constexpr char kHex[] = "0123456789ABCDEF";
      uri += {'%', kHex[byte >> 4], kHex[byte & 15]};
    }
  }
  return uri;
}

}  // namespace store
