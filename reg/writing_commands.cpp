// add, delete and import: changes to keys and values, each command's in one transaction.
#include <ostream>
#include <vector>

#include "reg/commands.h"
#include "reg/registry_file.h"
#include "reg/regular_file.h"
#include "reg/value_text.h"

namespace reg {
namespace {

using store::Outcome;

// The value add writes, or the error that refuses its data.
struct ValueToAdd {
  std::string name;
  store::Value value;
  std::string error;
};

ValueToAdd ValueOf(const Command& command) {
  EncodedData data = EncodeData(command.type, command.data, command.separator);
  return {*command.valueName, {command.type, std::move(data.bytes)}, std::move(data.error)};
}

// Asks, without /f, before a value that exists is replaced; before anything is written, so that
// no write waits on the answer. Returns an exit status, 0 to go on.
int ConfirmReplacing(sqlite3* db, const Command& command, Console& console) {
  if (command.force)
    return 0;
  const store::KeyLookup key = store::FindKey(db, command.key.root, command.key.path);
  const store::ValueLookup existing = key.outcome == Outcome::Found
                                          ? store::ReadValue(db, key.id, *command.valueName)
                                          : store::ValueLookup{key.outcome, {}, key.error};
  if (existing.outcome == Outcome::Failed)
    return FailOnStore(console, db, existing.error);
  if (existing.outcome == Outcome::Found &&
      !Confirm(console, "Value " + ShownName(*command.valueName) + " exists, overwrite")) {
    return Fail(console, kCancelled);
  }
  return 0;
}

// Asks, without /f, before what `command` would delete is deleted. Returns whether to go on.
bool ConfirmDeleting(const Command& command, const std::string& keyName, Console& console) {
  if (command.force)
    return true;
  if (command.valueName)
    return Confirm(console, "Delete the registry value " + ShownName(*command.valueName));
  if (command.allValues)
    return Confirm(console, "Delete all values under the registry key " + keyName);
  return Confirm(console, "Permanently delete the registry key " + keyName);
}

// Deletes what the command names in the key.
store::Deletion DeleteIn(sqlite3* db, store::KeyId key, const Command& command) {
  if (command.valueName)
    return store::DeleteValue(db, key, *command.valueName);
  if (command.allValues) {
    store::Deletion deleted = store::DeleteAllValues(db, key);
    if (deleted.outcome == Outcome::NotFound)
      deleted.outcome = Outcome::Found;  // a key without values is done
    return deleted;
  }
  return store::DeleteKey(db, key);
}

// A change of a registry file, with the key it names.
struct KeyChange {
  const FileChange& change;
  KeyName key;
};

// The file's changes with their keys, or the error that refuses the file: every key name is
// checked before anything is written.
struct CheckedChanges {
  std::vector<KeyChange> changes;
  std::string error;
};

CheckedChanges CheckKeys(const std::vector<FileChange>& changes) {
  CheckedChanges checked;
  for (const FileChange& change : changes) {
    const std::string where = "line " + std::to_string(change.line) + ": ";
    ParsedKeyName key = ParseKeyName(change.keyName);
    if (!key.error.empty())
      return {{}, where + "invalid key name: " + key.error};
    if (change.kind == FileChange::Kind::DeleteKey && key.key.path.empty())
      return {{}, where + "a root key cannot be deleted"};
    checked.changes.push_back({change, std::move(key.key)});
  }
  return checked;
}

// Makes one change a registry file asks for, inside the import's transaction.
store::Status Apply(sqlite3* db, const KeyChange& target) {
  using Kind = FileChange::Kind;
  const FileChange& change = target.change;
  if (change.kind == Kind::CreateKey || change.kind == Kind::WriteValue) {
    const store::KeyLookup key = store::CreateKey(db, target.key.root, target.key.path);
    if (key.outcome != Outcome::Found || change.kind == Kind::CreateKey)
      return {key.error};
    return store::WriteValue(db, key.id, change.value.name, change.value.value);
  }
  const store::KeyLookup key = store::FindKey(db, target.key.root, target.key.path);
  if (key.outcome != Outcome::Found)
    return {key.error};  // nothing there to delete, or the read failed
  const store::Deletion deleted = change.kind == Kind::DeleteKey
                                      ? store::DeleteKey(db, key.id)
                                      : store::DeleteValue(db, key.id, change.value.name);
  return {deleted.error};
}

}  // namespace

int Add(const Command& command, const std::string& storePath, Console& console) {
  const ValueToAdd value = ValueOf(command);
  if (!value.error.empty())
    return Fail(console, value.error);
  const store::Store db = CreateAndOpen(storePath, console);
  if (!db)
    return 1;
  if (const int status = ConfirmReplacing(db.get(), command, console); status != 0)
    return status;
  // The key and its value in one transaction: a restore or a delete between them cannot leave
  // the value without its key.
  const store::Status written = store::InOneWriteTransaction(db.get(), [&] {
    const store::KeyLookup key = store::CreateKey(db.get(), command.key.root, command.key.path);
    if (key.outcome != Outcome::Found)
      return store::Status{key.error};
    return store::WriteValue(db.get(), key.id, value.name, value.value);
  });
  if (!written.ok())
    return FailOnStore(console, db.get(), written.error);
  console.out << kDone << '\n';
  return 0;
}

int Delete(const Command& command, const std::string& storePath, Console& console) {
  const store::Store db = OpenForWriting(storePath, console);
  if (!db)
    return 1;
  const store::KeyLookup key = store::FindKey(db.get(), command.key.root, command.key.path);
  if (key.outcome == Outcome::NotFound)
    return Fail(console, kNotFound);
  if (key.outcome == Outcome::Failed)
    return FailOnStore(console, db.get(), key.error);
  if (!command.valueName && !command.allValues && command.key.path.empty())
    return Fail(console,
                InvalidKeyName(FullKeyName(command.key) + " is a root, which cannot be deleted"));
  if (!ConfirmDeleting(command, FullKeyName({command.key.root, key.path}), console))
    return Fail(console, kCancelled);
  const store::Deletion deleted = DeleteIn(db.get(), key.id, command);
  if (deleted.outcome == Outcome::NotFound)
    return Fail(console, kNotFound);
  if (deleted.outcome == Outcome::Failed)
    return FailOnStore(console, db.get(), deleted.error);
  console.out << kDone << '\n';
  return 0;
}

int Import(const Command& command, const std::string& storePath, Console& console) {
  const FileRead file = ReadRegularFile(command.file);
  if (!file.error.empty())
    return Fail(console, "ERROR: Cannot read the file " + command.file + ": " + file.error + ".");
  const ParsedRegistryFile parsed = ParseRegistryFile(file.bytes);
  const CheckedChanges checked =
      parsed.error.empty() ? CheckKeys(parsed.changes) : CheckedChanges{{}, parsed.error};
  if (!checked.error.empty()) {
    return Fail(console, "ERROR: " + command.file +
                             " is not a registry file to import: " + checked.error + ".");
  }
  const store::Store db = CreateAndOpen(storePath, console);
  if (!db)
    return 1;
  const store::Status imported = store::InOneWriteTransaction(db.get(), [&] {
    for (const KeyChange& change : checked.changes) {
      if (store::Status applied = Apply(db.get(), change); !applied.ok())
        return applied;
    }
    return store::Status{};
  });
  if (!imported.ok())
    return FailOnStore(console, db.get(), imported.error);
  console.out << kDone << '\n';
  return 0;
}

}  // namespace reg
