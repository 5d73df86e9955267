// query and export: the store read at one moment, shown in reg's layout or written as a registry
// file.
#include <sys/stat.h>

#include <ostream>
#include <vector>

#include "reg/commands.h"
#include "reg/registry_file.h"
#include "store/whole_files.h"

namespace reg {
namespace {

using store::Result;
using store::Status;

// A key as a query walks it: its id, and its name as shown, which keeps the case the command
// line gave it.
struct ShownKey {
  store::KeyId id;
  std::string name;
};

ShownKey ShownSubkey(const ShownKey& key, const store::Subkey& subkey) {
  return {subkey.id, key.name + '\\' + subkey.name};
}

// Whether the key is one of the roots, which are never anyone's subkeys: one that a damaged store
// lists below a key would lead a walk round in a circle.
bool IsRoot(store::KeyId id) {
  return id >= static_cast<store::KeyId>(store::Root::ClassesRoot) &&
         id <= static_cast<store::KeyId>(store::Root::CurrentConfig);
}

// Visits the key and every key below it, each before its subkeys and those in name order, as reg
// and a registry file list them. The keys still to visit wait on a list of their own rather than
// on the call stack, so that no depth of store can exhaust it. `visit` returns the failure of its
// reads, or ok. Returns the first failure, or ok.
template <typename Visit>
Status VisitTree(sqlite3* db, const ShownKey& top, Visit&& visit) {
  std::vector<ShownKey> waiting = {top};
  while (!waiting.empty()) {
    const ShownKey key = std::move(waiting.back());
    waiting.pop_back();
    if (Status visited = visit(key); !visited.ok())
      return visited;
    const Result<std::vector<store::Subkey>> subkeys = store::ListSubkeys(db, key.id);
    if (!subkeys.ok())
      return subkeys.status();
    for (auto subkey = subkeys->rbegin(); subkey != subkeys->rend(); ++subkey) {
      if (!IsRoot(subkey->id))
        waiting.push_back(ShownSubkey(key, *subkey));
    }
  }
  return Status::OK();
}

// The key the command names, shown with the name the command line gave it; nothing after
// reporting that it is missing or could not be read.
std::optional<ShownKey> FindCommandKey(sqlite3* db, const Command& command, Console& console) {
  const Result<store::Key> key = store::FindKey(db, command.key.root, command.key.path);
  if (!key.ok()) {
    FailOnStore(console, db, key.status());
    return std::nullopt;
  }
  return ShownKey{key->id, FullKeyName(command.key)};
}

// Prints the key in reg's layout when it has values, or with `always`: its name, its values and
// a blank line. Returns the failure of the read, or ok.
Status PrintKeyValues(sqlite3* db, const ShownKey& key, bool always, Console& console) {
  const Result<std::vector<store::NamedValue>> values = store::ListValues(db, key.id);
  if (!values.ok())
    return values.status();
  if (!values->empty() || always) {
    console.out << key.name << '\n';
    for (const store::NamedValue& value : *values)
      PrintValue(console, value);
    console.out << '\n';
  }
  return Status::OK();
}

// Prints the key in reg's layout, then the names of its subkeys, or with `recursive` every key
// below it in the same layout. Returns the failure of a read, or ok.
Status PrintKey(sqlite3* db, const ShownKey& top, bool recursive, Console& console) {
  if (recursive) {
    return VisitTree(db, top, [&](const ShownKey& key) {
      return PrintKeyValues(db, key, key.id != top.id, console);
    });
  }
  if (Status printed = PrintKeyValues(db, top, false, console); !printed.ok())
    return printed;
  const Result<std::vector<store::Subkey>> subkeys = store::ListSubkeys(db, top.id);
  if (!subkeys.ok())
    return subkeys.status();
  for (const store::Subkey& subkey : *subkeys)
    console.out << top.name << '\\' << subkey.name << '\n';
  return Status::OK();
}

// Prints, for the key and every key below it, the value `name` where the key has it. Returns how
// many it found, or why a read failed.
Result<std::size_t> PrintMatches(sqlite3* db, const ShownKey& top, const std::string& name,
                                 Console& console) {
  std::size_t count = 0;
  const Status searched = VisitTree(db, top, [&](const ShownKey& key) {
    const Result<store::NamedValue> read = store::ReadValue(db, key.id, name);
    if (read.ok()) {
      console.out << key.name << '\n';
      PrintValue(console, {name, read->value});
      console.out << '\n';
      ++count;
    }
    return read.ok() || read.status().IsNotFound() ? Status::OK() : read.status();
  });
  if (!searched.ok())
    return searched;
  return count;
}

// Prints the value `name` of the key, as reg query /v shows it. Returns the exit status.
int PrintOneValue(sqlite3* db, const ShownKey& key, const std::string& name, Console& console) {
  const Result<store::NamedValue> read = store::ReadValue(db, key.id, name);
  const bool unnamedNotSet = read.status().IsNotFound() && name.empty();
  if (!read.ok() && !unnamedNotSet)
    return FailOnStore(console, db, read.status());
  console.out << key.name << '\n';
  if (unnamedNotSet) {
    console.out << "    (Default)    REG_SZ    (value not set)\n";
    return 0;
  }
  PrintValue(console, {name, read->value});
  console.out << '\n';
  return 0;
}

// Prints the key, its value, or the matches of a search below it. Returns the exit status.
int QueryOpened(const Command& command, sqlite3* db, Console& console) {
  const std::optional<ShownKey> key = FindCommandKey(db, command, console);
  if (!key)
    return 1;
  console.out << '\n';
  if (command.valueName && command.recursive) {
    const Result<std::size_t> matches = PrintMatches(db, *key, *command.valueName, console);
    if (!matches.ok())
      return FailOnStore(console, db, matches.status());
    console.out << "End of search: " << *matches << " match(es) found.\n";
    return 0;
  }
  if (command.valueName)
    return PrintOneValue(db, *key, *command.valueName, console);
  const Status printed = PrintKey(db, *key, command.recursive, console);
  return printed.ok() ? 0 : FailOnStore(console, db, printed);
}

// Adds the key and every key below it, in the order a registry file lists them. Returns the
// failure of a read, or ok.
Status CollectKeys(sqlite3* db, const ShownKey& top, std::vector<ExportedKey>& keys) {
  return VisitTree(db, top, [&](const ShownKey& key) {
    Result<std::vector<store::NamedValue>> values = store::ListValues(db, key.id);
    if (!values.ok())
      return values.status();
    keys.push_back({key.name, std::move(*values)});
    return Status::OK();
  });
}

// Why an export may not write `file`: the store, anything but a regular file, or a symbolic link,
// which could lead anywhere its maker chose. Returns that failure, or ok when it may.
Status CheckExportTarget(const std::string& storePath, const std::string& file) {
  if (IsStoreOrSideFile(storePath, file))
    return Status::Failed(kIsTheStore);
  struct stat status {};
  if (::lstat(file.c_str(), &status) != 0)
    return Status::OK();
  if (S_ISLNK(status.st_mode))
    return Status::Failed("it is a symbolic link; name the file it leads to instead");
  if (S_ISDIR(status.st_mode))
    return Status::Failed("Is a directory");
  return S_ISREG(status.st_mode) ? Status::OK() : Status::Failed("it is not a regular file");
}

}  // namespace

int Query(const Command& command, const std::string& storePath, Console& console) {
  return ReadAtOneMoment(storePath, console, [&](sqlite3* db, Console& buffered) {
    return QueryOpened(command, db, buffered);
  });
}

int Export(const Command& command, const std::string& storePath, Console& console) {
  const std::string cannotWrite = "Cannot write the file " + command.file;
  std::vector<ExportedKey> keys;
  const int status = ReadAtOneMoment(storePath, console, [&](sqlite3* db, Console& buffered) {
    // The target is checked before the store's keys are read, as backup checks its copy's before
    // reading; a store that cannot be used at all is reported first.
    if (const Status target = CheckExportTarget(storePath, command.file); !target.ok())
      return Fail(buffered, cannotWrite, target);
    keys.clear();
    const std::optional<ShownKey> key = FindCommandKey(db, command, buffered);
    if (!key)
      return 1;
    const Status collected = CollectKeys(db, *key, keys);
    return collected.ok() ? 0 : FailOnStore(buffered, db, collected);
  });
  if (status != 0)
    return status;
  struct stat existing {};
  if (!command.force && ::lstat(command.file.c_str(), &existing) == 0 &&
      !Confirm(console, "File " + command.file + " already exists. Overwrite")) {
    return Fail(console, kCancelled);
  }
  // Written beside its place and renamed into it: the file is the whole export or as it was.
  const std::string text = FormatRegistryFile(keys);
  const Result<store::Placed> written = store::CreateWhole(
      command.file, store::BytesFiller(text), store::Placing::Replacing, store::LessUmask(0666));
  if (!written.ok())
    return Fail(console, cannotWrite, written.status());
  console.out << kDone << '\n';
  return 0;
}

}  // namespace reg
