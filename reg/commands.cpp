// add, query, delete, export and import on the registry store, with reg's output layout; backup
// and restore of the whole store.
#include "reg/commands.h"

#include <cctype>
#include <filesystem>
#include <istream>
#include <optional>
#include <ostream>
#include <sstream>
#include <vector>

#include "reg/registry_file.h"
#include "reg/value_text.h"
#include "store/whole_files.h"

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

// Reports a store that writers kept changing under a read of its file alone. Returns the exit
// status.
int KeptChanging(const std::string& storePath, Console& console) {
  return Fail(console, "ERROR: The registry store " + storePath +
                           " kept changing while it was read; try again.");
}

// The path with the links in it followed, as far as they lead.
std::filesystem::path Resolved(const std::filesystem::path& path) {
  std::error_code error;
  std::filesystem::path resolved = std::filesystem::absolute(path, error);
  for (int link = 0; link < 40 && std::filesystem::is_symlink(resolved, error); ++link) {
    const std::filesystem::path target = std::filesystem::read_symlink(resolved, error);
    resolved = (resolved.parent_path() / target).lexically_normal();
  }
  return std::filesystem::weakly_canonical(resolved, error);
}

// Whether writing `file` would write the store or one of the files SQLite keeps beside it, by
// its name or through a link.
bool IsStoreOrSideFile(const std::string& storePath, const std::string& file) {
  const std::filesystem::path target = Resolved(file);
  for (const char* side : {"", "-wal", "-shm", "-journal"}) {
    std::error_code notSame;
    const std::string storeFile = storePath + side;
    if (target == Resolved(storeFile) || std::filesystem::equivalent(file, storeFile, notSame))
      return true;
  }
  return false;
}

constexpr std::string_view kIsTheStore = "it is the registry store or one of its side files";

// Opens the store, or reports why not.
store::Store OpenForCommand(const std::string& storePath, store::Access access, Console& console) {
  store::OpenedStore opened = store::OpenStore(storePath, access);
  if (!opened.db)
    OpenFailure(storePath, opened.error, console);
  return std::move(opened.db);
}

// Opens the store for a command that only reads it. Where it may write, it opens it for writing:
// on closing, only such a connection removes SQLite's log files instead of leaving them.
store::OpenedStore OpenForReading(const std::string& storePath) {
  store::OpenedStore opened = store::OpenStore(storePath, store::Access::ReadWrite);
  return opened.db ? std::move(opened) : store::OpenStore(storePath, store::Access::ReadOnly);
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
  if (command.valueName && !command.force) {
    // Asked before anything is written, so that no write waits on the answer.
    const store::KeyLookup key = store::FindKey(db.get(), command.root, command.keyPath);
    const Outcome existing = key.outcome == Outcome::Found
                                 ? store::ReadValue(db.get(), key.id, *command.valueName).outcome
                                 : key.outcome;
    if (existing == Outcome::Failed)
      return Fail(console, "ERROR: " + store::LastError(db.get()));
    if (existing == Outcome::Found &&
        !Confirm(console, "Value " + ShownName(*command.valueName) + " exists, overwrite")) {
      return Fail(console, kCancelled);
    }
  }
  // The key and its value in one transaction: a restore or a delete between them cannot leave
  // the value without its key.
  const bool written = store::InOneWriteTransaction(db.get(), [&] {
    const store::KeyLookup key = store::CreateKey(db.get(), command.root, command.keyPath);
    return key.outcome == Outcome::Found &&
           (!command.valueName ||
            store::WriteValue(db.get(), key.id, *command.valueName, {command.type, data.bytes}));
  });
  if (!written)
    return Fail(console, "ERROR: " + store::LastError(db.get()));
  console.out << kDone << '\n';
  return 0;
}

// A key as a query walks it: where it is, and its name as shown, which keeps the case the
// command line gave it.
struct ShownKey {
  store::KeyId id;
  std::string path;  // below the root, as stored
  std::string name;  // as shown
};

// A key's values and the names of its subkeys, each sorted by name.
struct KeyContents {
  std::vector<store::NamedValue> values;
  std::vector<std::string> subkeys;
};
// The key's contents; nothing on a failed read.
std::optional<KeyContents> ReadContents(sqlite3* db, store::KeyId key) {
  auto values = store::ListValues(db, key);
  if (!values)
    return std::nullopt;  // before another read can take the place of its error
  auto subkeys = store::ListSubkeys(db, key);
  if (!subkeys)
    return std::nullopt;
  return KeyContents{std::move(*values), std::move(*subkeys)};
}

// The subkey `name` of `key`, or nothing when it cannot be read (or is gone).
std::optional<ShownKey> Subkey(sqlite3* db, store::Root root, const ShownKey& key,
                               const std::string& name) {
  const std::string path = key.path.empty() ? name : key.path + '\\' + name;
  const store::KeyLookup found = store::FindKey(db, root, path);
  if (found.outcome != Outcome::Found)
    return std::nullopt;
  return ShownKey{found.id, found.path, key.name + '\\' + name};
}

// Prints the key in reg's layout: when it has values, or with `always`, its name, its values and a
// blank line. Then its subkeys: their names, or with `recursive` each subkey in the same layout.
// Returns false on a failed read.
bool PrintKey(sqlite3* db, store::Root root, const ShownKey& key, bool recursive, bool always,
              Console& console) {
  const std::optional<KeyContents> contents = ReadContents(db, key.id);
  if (!contents)
    return false;
  if (!contents->values.empty() || always) {
    console.out << key.name << '\n';
    for (const store::NamedValue& value : contents->values)
      PrintValue(console, value);
    console.out << '\n';
  }
  for (const std::string& name : contents->subkeys) {
    if (!recursive) {
      console.out << key.name << '\\' << name << '\n';
      continue;
    }
    const std::optional<ShownKey> subkey = Subkey(db, root, key, name);
    if (!subkey || !PrintKey(db, root, *subkey, recursive, true, console))
      return false;
  }
  return true;
}

// Prints, for the key and every key below it, the value `name` where the key has it, and returns
// how many there were; nothing on a failed read.
std::optional<std::size_t> PrintMatches(sqlite3* db, store::Root root, const ShownKey& key,
                                        const std::string& name, Console& console) {
  const store::ValueLookup read = store::ReadValue(db, key.id, name);
  if (read.outcome == Outcome::Failed)
    return std::nullopt;
  std::size_t matches = 0;
  if (read.outcome == Outcome::Found) {
    console.out << key.name << '\n';
    PrintValue(console, {name, read.named.value});
    console.out << '\n';
    matches = 1;
  }
  const auto subkeys = store::ListSubkeys(db, key.id);
  if (!subkeys)
    return std::nullopt;
  for (const std::string& subkeyName : *subkeys) {
    const std::optional<ShownKey> subkey = Subkey(db, root, key, subkeyName);
    const std::optional<std::size_t> found =
        subkey ? PrintMatches(db, root, *subkey, name, console) : std::nullopt;
    if (!found)
      return std::nullopt;
    matches += *found;
  }
  return matches;
}

// Prints the key, its value, or the matches of a search below it, from the open store.
int QueryOpened(const Command& command, sqlite3* db, Console& console) {
  const store::KeyLookup key = store::FindKey(db, command.root, command.keyPath);
  if (key.outcome == Outcome::NotFound)
    return Fail(console, kNotFound);
  if (key.outcome == Outcome::Failed)
    return Fail(console, "ERROR: " + store::LastError(db));
  // reg shows the key's name as the command line gave it, and so the value's.
  const ShownKey shown{key.id, key.path, FullKeyName(command.root, command.keyPath)};
  const auto readFailed = [&] { return Fail(console, "ERROR: " + store::LastError(db)); };

  console.out << '\n';
  if (command.valueName && command.recursive) {
    const std::optional<std::size_t> matches =
        PrintMatches(db, command.root, shown, *command.valueName, console);
    if (!matches)
      return readFailed();
    console.out << "End of search: " << *matches << " match(es) found.\n";
    return 0;
  }
  if (command.valueName) {
    const store::ValueLookup read = store::ReadValue(db, key.id, *command.valueName);
    if (read.outcome == Outcome::Failed)
      return readFailed();
    if (read.outcome == Outcome::NotFound && !command.valueName->empty())
      return Fail(console, kNotFound);
    console.out << shown.name << '\n';
    if (read.outcome == Outcome::NotFound) {
      console.out << "    (Default)    REG_SZ    (value not set)\n";
      return 0;
    }
    PrintValue(console, {*command.valueName, read.named.value});
    console.out << '\n';
    return 0;
  }
  return PrintKey(db, command.root, shown, command.recursive, false, console) ? 0 : readFailed();
}

// Runs `read` on the store opened for reading, with its output held back. A read of a snapshot of
// the store file alone is told only afterwards whether a writer changed the file meanwhile; then
// it is made again. Returns the exit status.
template <typename Read>
int ReadUnchanged(const std::string& storePath, Console& console, Read&& read) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    store::OpenedStore opened = OpenForReading(storePath);
    if (!opened.db)
      return OpenFailure(storePath, opened.error, console);
    std::ostringstream out;
    std::ostringstream err;
    Console buffered{console.in, out, err};
    const int status = read(opened.db.get(), buffered);
    opened.db.reset();
    if (opened.snapshotOf.empty() || store::FileStamp(storePath) == opened.snapshotOf) {
      console.out << out.str();
      console.err << err.str();
      return status;
    }
  }
  return KeptChanging(storePath, console);
}

int Query(const Command& command, const std::string& storePath, Console& console) {
  return ReadUnchanged(storePath, console, [&](sqlite3* db, Console& buffered) {
    return QueryOpened(command, db, buffered);
  });
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

// Adds the key and every key below it, in the order a registry file lists them. Returns false on
// a failed read.
bool CollectKeys(sqlite3* db, store::Root root, const ShownKey& key,
                 std::vector<ExportedKey>& keys) {
  std::optional<KeyContents> contents = ReadContents(db, key.id);
  if (!contents)
    return false;
  keys.push_back({key.name, std::move(contents->values)});
  for (const std::string& name : contents->subkeys) {
    const std::optional<ShownKey> subkey = Subkey(db, root, key, name);
    if (!subkey || !CollectKeys(db, root, *subkey, keys))
      return false;
  }
  return true;
}

// Reads the key and every key below it for an export into `keys`. Returns the exit status.
int CollectExport(const Command& command, sqlite3* db, std::vector<ExportedKey>& keys,
                  Console& console) {
  const store::KeyLookup key = store::FindKey(db, command.root, command.keyPath);
  if (key.outcome == Outcome::NotFound)
    return Fail(console, kNotFound);
  if (key.outcome == Outcome::Failed ||
      !CollectKeys(db, command.root, {key.id, key.path, FullKeyName(command.root, command.keyPath)},
                   keys)) {
    return Fail(console, "ERROR: " + store::LastError(db));
  }
  return 0;
}

int ExportKey(const Command& command, const std::string& storePath, Console& console) {
  std::vector<ExportedKey> keys;
  const int status = ReadUnchanged(storePath, console, [&](sqlite3* db, Console& buffered) {
    keys.clear();
    return CollectExport(command, db, keys, buffered);
  });
  if (status != 0)
    return status;
  const auto cannotWrite = [&](std::string_view reason) {
    return Fail(console,
                "ERROR: Cannot write the file " + command.file + ": " + std::string(reason) + ".");
  };
  if (IsStoreOrSideFile(storePath, command.file))
    return cannotWrite(kIsTheStore);
  std::error_code ignored;
  const std::filesystem::file_status target = std::filesystem::status(command.file, ignored);
  if (std::filesystem::exists(target) && !std::filesystem::is_regular_file(target))
    return cannotWrite(std::filesystem::is_directory(target) ? "Is a directory"
                                                             : "it is not a regular file");
  if (!command.force && std::filesystem::exists(target) &&
      !Confirm(console, "File " + command.file + " already exists. Overwrite")) {
    return Fail(console, kCancelled);
  }
  // Written beside its place and renamed into it: the file is the whole export or as it was.
  const std::string failure =
      store::CreateWhole(Resolved(command.file).string(), FormatRegistryFile(keys),
                         store::Placing::Replacing)
          .failure;
  if (!failure.empty())
    return cannotWrite(failure);
  console.out << kDone << '\n';
  return 0;
}

// Makes one change a registry file asks for, inside the import's transaction. Returns false when
// a write is refused.
bool Apply(sqlite3* db, const FileChange& change, const Command& target) {
  using Kind = FileChange::Kind;
  if (change.kind == Kind::CreateKey || change.kind == Kind::WriteValue) {
    const store::KeyLookup key = store::CreateKey(db, target.root, target.keyPath);
    return key.outcome == Outcome::Found &&
           (change.kind == Kind::CreateKey ||
            store::WriteValue(db, key.id, change.value.name, change.value.value));
  }
  const store::KeyLookup key = store::FindKey(db, target.root, target.keyPath);
  if (key.outcome != Outcome::Found)
    return key.outcome == Outcome::NotFound;  // nothing there to delete
  const Outcome deleted = change.kind == Kind::DeleteKey
                              ? store::DeleteKey(db, key.id)
                              : store::DeleteValue(db, key.id, change.value.name);
  return deleted != Outcome::Failed;
}

int ImportFile(const Command& command, const std::string& storePath, Console& console) {
  std::string bytes;
  if (const std::string failure = store::ReadRegularFile(command.file, bytes); !failure.empty())
    return Fail(console, "ERROR: Cannot read the file " + command.file + ": " + failure + ".");
  const ParsedRegistryFile parsed = ParseRegistryFile(bytes);
  const auto refuse = [&](const std::string& reason) {
    return Fail(console,
                "ERROR: " + command.file + " is not a registry file to import: " + reason + ".");
  };
  if (!parsed.error.empty())
    return refuse(parsed.error);
  // Every key name is checked before anything is written.
  std::vector<Command> targets(parsed.changes.size());
  for (std::size_t i = 0; i < parsed.changes.size(); ++i) {
    const FileChange& change = parsed.changes[i];
    const std::string where = "line " + std::to_string(change.line) + ": ";
    if (!ParseKeyName(change.keyName, targets[i]).empty())
      return refuse(where + "invalid key name " + change.keyName);
    if (change.kind == FileChange::Kind::DeleteKey && targets[i].keyPath.empty())
      return refuse(where + "a root key cannot be deleted");
  }
  if (const std::string error = store::CreateStoreIfMissing(storePath); !error.empty())
    return Fail(console, StoreError(storePath, error));
  store::Store db = OpenForCommand(storePath, store::Access::ReadWrite, console);
  if (!db)
    return 1;
  const bool imported = store::InOneWriteTransaction(db.get(), [&] {
    for (std::size_t i = 0; i < parsed.changes.size(); ++i) {
      if (!Apply(db.get(), parsed.changes[i], targets[i]))
        return false;
    }
    return true;
  });
  if (!imported)
    return Fail(console, "ERROR: " + store::LastError(db.get()));
  console.out << kDone << '\n';
  return 0;
}

int Backup(const Command& command, const std::string& storePath, Console& console) {
  if (IsStoreOrSideFile(storePath, command.file)) {
    return Fail(console, "ERROR: Cannot write the backup " + command.file + ": " +
                             std::string(kIsTheStore) + ".");
  }
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
  return KeptChanging(storePath, console);
}

int Restore(const Command& command, const std::string& storePath, Console& console) {
  std::error_code notSame;
  if (std::filesystem::equivalent(command.file, storePath, notSame)) {
    return Fail(console, "ERROR: Cannot restore from " + command.file +
                             ": it is the registry store itself.");
  }
  // Read as a query reads a store, so that a copy with a log beside it is read whole.
  const store::OpenedStore backup = OpenForReading(command.file);
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
    case Operation::Export:
      return ExportKey(command, storePath, console);
    case Operation::Import:
      return ImportFile(command, storePath, console);
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
