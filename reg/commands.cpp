// add, query and delete on the registry store, with reg's output layout; backup and restore of
// the whole store.
#include "reg/commands.h"

#include <cctype>
#include <filesystem>
#include <istream>
#include <ostream>
#include <sstream>

#include "reg/value_text.h"

namespace reg {
namespace {

using store::Outcome;

constexpr std::string_view kNotFound =
    "ERROR: The system was unable to find the specified registry key or value.";
constexpr std::string_view kInvalidKey = "ERROR: Invalid key name.";
constexpr std::string_view kCancelled = "ERROR: The operation was cancelled.";
constexpr std::string_view kDone = "The operation completed successfully.";

int Fail(Console& console, std::string_view message) {
  console.err << message << '\n';
  return 1;
}

std::string StoreError(const std::string& storePath, const std::string& reason) {
  return "ERROR: Cannot use the registry store " + storePath + ": " + reason + ".";
}

// Reports why the store could not be opened. A store that does not exist yet holds no key at
// all. Returns the exit status.
int OpenFailure(const std::string& storePath, const std::string& reason, Console& console) {
  std::error_code ignored;
  if (!storePath.empty() && std::filesystem::symlink_status(storePath, ignored).type() ==
                                std::filesystem::file_type::not_found) {
    return Fail(console, kNotFound);
  }
  return Fail(console, StoreError(storePath, reason));
}

// Opens the store, or reports why not.
store::Store OpenForCommand(const std::string& storePath, store::Access access, Console& console) {
  store::OpenedStore opened = store::OpenStore(storePath, access);
  if (!opened.db)
    OpenFailure(storePath, opened.error, console);
  return std::move(opened.db);
}

// Asks a yes-or-no question. Returns whether the answer was y or yes, in any case.
bool Confirm(Console& console, const std::string& question) {
  console.out << question << " (Yes/No)? " << std::flush;
  std::string answer;
  if (!std::getline(console.in, answer)) {
    console.out << '\n';
    return false;
  }
  while (!answer.empty() && std::isspace(static_cast<unsigned char>(answer.back())))
    answer.pop_back();
  return EqualIgnoringCase(answer, "y") || EqualIgnoringCase(answer, "yes");
}

std::string ShownName(std::string_view valueName) {
  return valueName.empty() ? std::string("(Default)") : std::string(valueName);
}

void PrintValue(Console& console, const store::NamedValue& named) {
  console.out << "    " << ShownName(named.name) << "    " << TypeName(named.value.type) << "    "
              << DisplayData(named.value) << '\n';
}

int Add(const Command& command, const std::string& storePath, Console& console) {
  if (command.keyPath.empty())
    return Fail(console, kInvalidKey);
  EncodedData data;
  if (command.valueName) {
    data = EncodeData(command.type, command.data, command.separator);
    if (!data.error.empty())
      return Fail(console, data.error);
  }
  if (const std::string error = store::CreateStoreIfMissing(storePath); !error.empty()) {
    return Fail(console, StoreError(storePath, error));
  }
  store::Store db = OpenForCommand(storePath, store::Access::ReadWrite, console);
  if (!db)
    return 1;
  const store::KeyLookup key = store::CreateKey(db.get(), command.root, command.keyPath);
  if (key.outcome != Outcome::Found)
    return Fail(console, "ERROR: " + store::LastError(db.get()));
  if (command.valueName) {
    const std::string& name = *command.valueName;
    if (!command.force) {
      const Outcome existing = store::ReadValue(db.get(), key.id, name).outcome;
      if (existing == Outcome::Failed)
        return Fail(console, "ERROR: " + store::LastError(db.get()));
      if (existing == Outcome::Found &&
          !Confirm(console, "Value " + ShownName(name) + " exists, overwrite")) {
        return Fail(console, kCancelled);
      }
    }
    if (!store::WriteValue(db.get(), key.id, name, {command.type, data.bytes})) {
      return Fail(console, "ERROR: " + store::LastError(db.get()));
    }
  }
  console.out << kDone << '\n';
  return 0;
}

// Opens the store for a command that only reads it. Where it may write, it opens it for writing:
// on closing, only such a connection removes SQLite's log files instead of leaving them.
store::OpenedStore OpenForReading(const std::string& storePath) {
  store::OpenedStore opened = store::OpenStore(storePath, store::Access::ReadWrite);
  return opened.db ? std::move(opened) : store::OpenStore(storePath, store::Access::ReadOnly);
}

// Prints the key, or its value, from the open store.
int QueryOpened(const Command& command, sqlite3* db, Console& console) {
  const store::KeyLookup key = store::FindKey(db, command.root, command.keyPath);
  if (key.outcome == Outcome::NotFound)
    return Fail(console, kNotFound);
  if (key.outcome == Outcome::Failed)
    return Fail(console, "ERROR: " + store::LastError(db));
  const std::string keyName = FullKeyName(command.root, key.path);

  if (command.valueName) {
    const store::ValueLookup read = store::ReadValue(db, key.id, *command.valueName);
    if (read.outcome == Outcome::NotFound)
      return Fail(console, kNotFound);
    if (read.outcome == Outcome::Failed)
      return Fail(console, "ERROR: " + store::LastError(db));
    console.out << '\n' << keyName << '\n';
    PrintValue(console, read.named);
    console.out << '\n';
    return 0;
  }
  const auto values = store::ListValues(db, key.id);
  const auto subkeys = store::ListSubkeys(db, key.id);
  if (!values || !subkeys)
    return Fail(console, "ERROR: " + store::LastError(db));
  console.out << '\n' << keyName << '\n';
  for (const store::NamedValue& value : *values)
    PrintValue(console, value);
  console.out << '\n';
  for (const std::string& subkey : *subkeys)
    console.out << keyName << '\\' << subkey << '\n';
  return 0;
}

int Query(const Command& command, const std::string& storePath, Console& console) {
  // A read from a snapshot of the store file alone is told only afterwards whether a writer
  // changed the file meanwhile; then it is made again.
  for (int attempt = 0; attempt < 5; ++attempt) {
    store::OpenedStore opened = OpenForReading(storePath);
    if (!opened.db)
      return OpenFailure(storePath, opened.error, console);
    std::ostringstream out;
    std::ostringstream err;
    Console buffered{console.in, out, err};
    const int status = QueryOpened(command, opened.db.get(), buffered);
    opened.db.reset();
    if (opened.snapshotOf.empty() || store::FileStamp(storePath) == opened.snapshotOf) {
      console.out << out.str();
      console.err << err.str();
      return status;
    }
  }
  return Fail(console, "ERROR: The registry store " + storePath +
                           " kept changing while it was read; try again.");
}

int Delete(const Command& command, const std::string& storePath, Console& console) {
  store::Store db = OpenForCommand(storePath, store::Access::ReadWrite, console);
  if (!db)
    return 1;
  const store::KeyLookup key = store::FindKey(db.get(), command.root, command.keyPath);
  if (key.outcome == Outcome::NotFound)
    return Fail(console, kNotFound);
  if (key.outcome == Outcome::Failed)
    return Fail(console, "ERROR: " + store::LastError(db.get()));
  const std::string keyName = FullKeyName(command.root, key.path);

  Outcome deleted;
  if (command.valueName) {
    if (!command.force &&
        !Confirm(console, "Delete the registry value " + ShownName(*command.valueName))) {
      return Fail(console, kCancelled);
    }
    deleted = store::DeleteValue(db.get(), key.id, *command.valueName);
  } else if (command.allValues) {
    if (!command.force &&
        !Confirm(console, "Delete all values under the registry key " + keyName)) {
      return Fail(console, kCancelled);
    }
    deleted = store::DeleteAllValues(db.get(), key.id);
    if (deleted == Outcome::NotFound)
      deleted = Outcome::Found;  // a key without values is done
  } else {
    if (command.keyPath.empty())
      return Fail(console, kInvalidKey);
    if (!command.force && !Confirm(console, "Permanently delete the registry key " + keyName)) {
      return Fail(console, kCancelled);
    }
    deleted = store::DeleteKey(db.get(), key.id);
  }
  if (deleted == Outcome::NotFound)
    return Fail(console, kNotFound);
  if (deleted == Outcome::Failed)
    return Fail(console, "ERROR: " + store::LastError(db.get()));
  console.out << kDone << '\n';
  return 0;
}

int Backup(const Command& command, const std::string& storePath, Console& console) {
  // A copy of a snapshot of the store file alone that a writer changed meanwhile is made again.
  for (int attempt = 0; attempt < 5; ++attempt) {
    store::OpenedStore opened = OpenForReading(storePath);
    if (!opened.db)
      return OpenFailure(storePath, opened.error, console);
    const std::string error = store::BackUpStore(opened.db.get(), command.file);
    if (!error.empty())
      return Fail(console, "ERROR: Cannot write the backup " + command.file + ": " + error + ".");
    opened.db.reset();
    if (opened.snapshotOf.empty() || store::FileStamp(storePath) == opened.snapshotOf) {
      console.out << kDone << '\n';
      return 0;
    }
    std::error_code ignored;
    std::filesystem::remove(command.file, ignored);
  }
  return Fail(console, "ERROR: The registry store " + storePath +
                           " kept changing while it was read; try again.");
}

int Restore(const Command& command, const std::string& storePath, Console& console) {
  const store::OpenedStore backup = store::OpenStore(command.file, store::Access::ReadOnly);
  if (!backup.db) {
    return Fail(console, "ERROR: Cannot restore from " + command.file + ": " + backup.error + ".");
  }
  const store::Store db = OpenForCommand(storePath, store::Access::ReadWrite, console);
  if (!db)
    return 1;
  if (!command.force &&
      !Confirm(console,
               "Replace every key and value of the registry store with those of " + command.file)) {
    return Fail(console, kCancelled);
  }
  if (const std::string error = store::ReplaceContents(db.get(), backup.db.get()); !error.empty())
    return Fail(console, "ERROR: " + error);
  console.out << kDone << '\n';
  return 0;
}

}  // namespace

int RunCommand(const Command& command, const std::string& storePath, Console console) {
  switch (command.operation) {
    case Operation::Add:
      return Add(command, storePath, console);
    case Operation::Query:
      return Query(command, storePath, console);
    case Operation::Delete:
      return Delete(command, storePath, console);
    case Operation::Backup:
      return Backup(command, storePath, console);
    case Operation::Restore:
      return Restore(command, storePath, console);
    case Operation::Help:
      break;
  }
  console.out << Usage();
  return 0;
}

}  // namespace reg
