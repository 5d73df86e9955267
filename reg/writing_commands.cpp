// add, delete and import: changes to keys and values, each command's in one transaction.
#include <ostream>
#include <vector>

#include "reg/commands.h"
#include "reg/registry_file.h"
#include "reg/regular_file.h"
#include "reg/value_text.h"

namespace reg {
namespace {

using store::Result;
using store::Status;

// The value add writes, or the message that refuses its data.
Result<store::NamedValue> ValueOf(const Command& command) {
  EncodedData data = EncodeData(command.type, command.data, command.separator);
  if (!data.ok())
    return data.status();
  return store::NamedValue{*command.valueName, {command.type, std::move(*data)}};
}

// Asks, without /f, before a value that exists is replaced; before anything is written, so that
// no write waits on the answer. Returns an exit status, 0 to go on.
int ConfirmReplacing(sqlite3* db, const Command& command, Console& console) {
  if (command.force)
    return 0;
  const Result<store::Key> key = store::FindKey(db, command.key.root, command.key.path);
  const Result<store::NamedValue> existing =
      key.ok() ? store::ReadValue(db, key->id, *command.valueName) : key.status();
  if (!existing.ok() && !existing.status().IsNotFound())
    return FailOnStore(console, db, existing.status());
  if (existing.ok() &&
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

// Deletes what the command names in the key. Returns ok, NotFound when it was not there, or the
// failure.
Status DeleteIn(sqlite3* db, store::KeyId key, const Command& command) {
  if (command.valueName)
    return store::DeleteValue(db, key, *command.valueName);
  if (command.allValues) {
    const Status deleted = store::DeleteAllValues(db, key);
    return deleted.IsNotFound() ? Status::OK() : deleted;  // a key without values is done
  }
  return store::DeleteKey(db, key);
}

// A change of a registry file, with the key it names.
struct KeyChange {
  const FileChange& change;
  KeyName key;
};

// The file's changes with their keys, or why the file is refused: every key name is checked
// before anything is written.
Result<std::vector<KeyChange>> CheckKeys(const std::vector<FileChange>& changes) {
  std::vector<KeyChange> checked;
  for (const FileChange& change : changes) {
    const std::string where = "line " + std::to_string(change.line) + ": ";
    Result<KeyName> key = ParseKeyName(change.keyName);
    if (!key.ok())
      return Status::Failed(where + "invalid key name: " + key.status().message());
    if (change.kind == FileChange::Kind::DeleteKey && key->path.empty())
      return Status::Failed(where + "a root key cannot be deleted");
    checked.push_back({change, std::move(*key)});
  }
  return checked;
}

// Makes one change a registry file asks for, inside the import's transaction; nothing there to
// delete is no failure. Returns the failure, or ok.
Status Apply(sqlite3* db, const KeyChange& target) {
  using Kind = FileChange::Kind;
  const FileChange& change = target.change;
  if (change.kind == Kind::CreateKey || change.kind == Kind::WriteValue) {
    const Result<store::Key> key = store::CreateKey(db, target.key.root, target.key.path);
    if (!key.ok() || change.kind == Kind::CreateKey)
      return key.status();
    return store::WriteValue(db, key->id, change.value.name, change.value.value);
  }
  const Result<store::Key> key = store::FindKey(db, target.key.root, target.key.path);
  const Status deleted = !key.ok() ? key.status()
                         : change.kind == Kind::DeleteKey
                             ? store::DeleteKey(db, key->id)
                             : store::DeleteValue(db, key->id, change.value.name);
  return deleted.IsNotFound() ? Status::OK() : deleted;
}

}  // namespace

int Add(const Command& command, const std::string& storePath, Console& console) {
  const Result<store::NamedValue> value = ValueOf(command);
  if (!value.ok())
    return Fail(console, value.status().message());
  const store::Store db = CreateAndOpen(storePath, console);
  if (!db)
    return 1;
  if (const int status = ConfirmReplacing(db.get(), command, console); status != 0)
    return status;
  // The key and its value in one transaction: a restore or a delete between them cannot leave
  // the value without its key.
  const store::Status written = store::InOneWriteTransaction(db.get(), [&] {
    const Result<store::Key> key = store::CreateKey(db.get(), command.key.root, command.key.path);
    if (!key.ok())
      return key.status();
    return store::WriteValue(db.get(), key->id, value->name, value->value);
  });
  if (!written.ok())
    return FailOnStore(console, db.get(), written);
  console.out << kDone << '\n';
  return 0;
}

int Delete(const Command& command, const std::string& storePath, Console& console) {
  const store::Store db = OpenForWriting(storePath, console);
  if (!db)
    return 1;
  const Result<store::Key> key = store::FindKey(db.get(), command.key.root, command.key.path);
  if (!key.ok())
    return FailOnStore(console, db.get(), key.status());
  if (!command.valueName && !command.allValues && command.key.path.empty())
    return Fail(console,
                InvalidKeyName(FullKeyName(command.key) + " is a root, which cannot be deleted"));
  if (!ConfirmDeleting(command, FullKeyName({command.key.root, key->path}), console))
    return Fail(console, kCancelled);
  if (const Status deleted = DeleteIn(db.get(), key->id, command); !deleted.ok())
    return FailOnStore(console, db.get(), deleted);
  console.out << kDone << '\n';
  return 0;
}

int Import(const Command& command, const std::string& storePath, Console& console) {
  const Result<std::string> file = ReadRegularFile(command.file);
  if (!file.ok())
    return Fail(console, "Cannot read the file " + command.file, file.status());
  const Result<std::vector<FileChange>> parsed = ParseRegistryFile(*file);
  const Result<std::vector<KeyChange>> checked = parsed.ok() ? CheckKeys(*parsed) : parsed.status();
  if (!checked.ok())
    return Fail(console, command.file + " is not a registry file to import", checked.status());
  const store::Store db = CreateAndOpen(storePath, console);
  if (!db)
    return 1;
  const store::Status imported = store::InOneWriteTransaction(db.get(), [&] {
    for (const KeyChange& change : *checked) {
      if (Status applied = Apply(db.get(), change); !applied.ok())
        return applied;
    }
    return Status::OK();
  });
  if (!imported.ok())
    return FailOnStore(console, db.get(), imported);
  console.out << kDone << '\n';
  return 0;
}

}  // namespace reg
