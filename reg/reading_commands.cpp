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

using store::Outcome;

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
// reads, empty when none failed. Returns the first failure, empty when none failed.
template <typename Visit>
std::string VisitTree(sqlite3* db, const ShownKey& top, Visit&& visit) {
  std::vector<ShownKey> waiting = {top};
  while (!waiting.empty()) {
    const ShownKey key = std::move(waiting.back());
    waiting.pop_back();
    if (std::string error = visit(key); !error.empty())
      return error;
    const store::Listing<store::Subkey> subkeys = store::ListSubkeys(db, key.id);
    if (!subkeys.error.empty())
      return subkeys.error;
    for (auto subkey = subkeys.items.rbegin(); subkey != subkeys.items.rend(); ++subkey) {
      if (!IsRoot(subkey->id))
        waiting.push_back(ShownSubkey(key, *subkey));
    }
  }
  return std::string();
}

// The key the command names, shown with the name the command line gave it; nothing after
// reporting that it is missing or could not be read.
std::optional<ShownKey> FindCommandKey(sqlite3* db, const Command& command, Console& console) {
  const store::KeyLookup key = store::FindKey(db, command.key.root, command.key.path);
  if (key.outcome == Outcome::NotFound) {
    Fail(console, kNotFound);
    return std::nullopt;
  }
  if (key.outcome == Outcome::Failed) {
    FailOnStore(console, db, key.error);
    return std::nullopt;
  }
  return ShownKey{key.id, FullKeyName(command.key)};
}

// Prints the key in reg's layout when it has values, or with `always`: its name, its values and
// a blank line. Returns the failure of the read, empty when it did not fail.
std::string PrintKeyValues(sqlite3* db, const ShownKey& key, bool always, Console& console) {
  const store::Listing<store::NamedValue> values = store::ListValues(db, key.id);
  if (!values.error.empty())
    return values.error;
  if (!values.items.empty() || always) {
    console.out << key.name << '\n';
    for (const store::NamedValue& value : values.items)
      PrintValue(console, value);
    console.out << '\n';
  }
  return std::string();
}

// Prints the key in reg's layout, then the names of its subkeys, or with `recursive` every key
// below it in the same layout. Returns the failure of a read, empty when none failed.
std::string PrintKey(sqlite3* db, const ShownKey& top, bool recursive, Console& console) {
  if (recursive) {
    return VisitTree(db, top, [&](const ShownKey& key) {
      return PrintKeyValues(db, key, key.id != top.id, console);
    });
  }
  if (std::string error = PrintKeyValues(db, top, false, console); !error.empty())
    return error;
  const store::Listing<store::Subkey> subkeys = store::ListSubkeys(db, top.id);
  for (const store::Subkey& subkey : subkeys.items)
    console.out << top.name << '\\' << subkey.name << '\n';
  return subkeys.error;
}

// How many values a search found, or why it failed.
struct Matches {
  std::size_t count;
  std::string error;
};

// Prints, for the key and every key below it, the value `name` where the key has it.
Matches PrintMatches(sqlite3* db, const ShownKey& top, const std::string& name, Console& console) {
  std::size_t count = 0;
  const std::string error = VisitTree(db, top, [&](const ShownKey& key) {
    const store::ValueLookup read = store::ReadValue(db, key.id, name);
    if (read.outcome == Outcome::Found) {
      console.out << key.name << '\n';
      PrintValue(console, {name, read.named.value});
      console.out << '\n';
      ++count;
    }
    return read.error;
  });
  return {error.empty() ? count : 0, error};
}

// Prints the value `name` of the key, as reg query /v shows it. Returns the exit status.
int PrintOneValue(sqlite3* db, const ShownKey& key, const std::string& name, Console& console) {
  const store::ValueLookup read = store::ReadValue(db, key.id, name);
  if (read.outcome == Outcome::Failed)
    return FailOnStore(console, db, read.error);
  if (read.outcome == Outcome::NotFound && !name.empty())
    return Fail(console, kNotFound);
  console.out << key.name << '\n';
  if (read.outcome == Outcome::NotFound) {
    console.out << "    (Default)    REG_SZ    (value not set)\n";
    return 0;
  }
  PrintValue(console, {name, read.named.value});
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
    const Matches matches = PrintMatches(db, *key, *command.valueName, console);
    if (!matches.error.empty())
      return FailOnStore(console, db, matches.error);
    console.out << "End of search: " << matches.count << " match(es) found.\n";
    return 0;
  }
  if (command.valueName)
    return PrintOneValue(db, *key, *command.valueName, console);
  const std::string error = PrintKey(db, *key, command.recursive, console);
  return error.empty() ? 0 : FailOnStore(console, db, error);
}

// Adds the key and every key below it, in the order a registry file lists them. Returns the
// failure of a read, empty when none failed.
std::string CollectKeys(sqlite3* db, const ShownKey& top, std::vector<ExportedKey>& keys) {
  return VisitTree(db, top, [&](const ShownKey& key) {
    store::Listing<store::NamedValue> values = store::ListValues(db, key.id);
    keys.push_back({key.name, std::move(values.items)});
    return values.error;
  });
}

// Why an export may not write `file`: the store, anything but a regular file, or a symbolic link,
// which could lead anywhere its maker chose. Empty when it may.
std::string WhyNotExportTarget(const std::string& storePath, const std::string& file) {
  if (IsStoreOrSideFile(storePath, file))
    return std::string(kIsTheStore);
  struct stat status {};
  if (::lstat(file.c_str(), &status) != 0)
    return std::string();
  if (S_ISLNK(status.st_mode))
    return "it is a symbolic link; name the file it leads to instead";
  if (S_ISDIR(status.st_mode))
    return "Is a directory";
  return S_ISREG(status.st_mode) ? std::string() : "it is not a regular file";
}

}  // namespace

int Query(const Command& command, const std::string& storePath, Console& console) {
  return ReadAtOneMoment(storePath, console, [&](sqlite3* db, Console& buffered) {
    return QueryOpened(command, db, buffered);
  });
}

int Export(const Command& command, const std::string& storePath, Console& console) {
  std::vector<ExportedKey> keys;
  const int status = ReadAtOneMoment(storePath, console, [&](sqlite3* db, Console& buffered) {
    keys.clear();
    const std::optional<ShownKey> key = FindCommandKey(db, command, buffered);
    if (!key)
      return 1;
    const std::string error = CollectKeys(db, *key, keys);
    return error.empty() ? 0 : FailOnStore(buffered, db, error);
  });
  if (status != 0)
    return status;
  const auto cannotWrite = [&](std::string_view reason) {
    return Fail(console,
                "ERROR: Cannot write the file " + command.file + ": " + std::string(reason) + ".");
  };
  if (const std::string reason = WhyNotExportTarget(storePath, command.file); !reason.empty())
    return cannotWrite(reason);
  struct stat existing {};
  if (!command.force && ::lstat(command.file.c_str(), &existing) == 0 &&
      !Confirm(console, "File " + command.file + " already exists. Overwrite")) {
    return Fail(console, kCancelled);
  }
  // Written beside its place and renamed into it: the file is the whole export or as it was.
  const std::string text = FormatRegistryFile(keys);
  const store::NewFile written = store::CreateWhole(
      command.file, store::BytesFiller(text), store::Placing::Replacing, store::LessUmask(0666));
  if (!written.failure.empty())
    return cannotWrite(written.failure);
  console.out << kDone << '\n';
  return 0;
}

}  // namespace reg
