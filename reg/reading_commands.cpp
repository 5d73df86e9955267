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

// A key's values and its subkeys, each sorted by name, or why they could not be read.
struct KeyContents {
  std::vector<store::NamedValue> values;
  std::vector<store::Subkey> subkeys;
  std::string error;
};

KeyContents ReadKeyContents(sqlite3* db, store::KeyId key) {
  store::Listing<store::NamedValue> values = store::ListValues(db, key);
  if (!values.error.empty())
    return {{}, {}, values.error};
  store::Listing<store::Subkey> subkeys = store::ListSubkeys(db, key);
  return {std::move(values.items), std::move(subkeys.items), subkeys.error};
}

ShownKey ShownSubkey(const ShownKey& key, const store::Subkey& subkey) {
  return {subkey.id, key.name + '\\' + subkey.name};
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

// Prints the key in reg's layout: when it has values, or with `always`, its name, its values and a
// blank line. Then its subkeys: their names, or with `recursive` each subkey in the same layout.
// Returns the failure of a read, empty when none failed.
std::string PrintKey(sqlite3* db, const ShownKey& key, bool recursive, bool always,
                     Console& console) {
  const KeyContents contents = ReadKeyContents(db, key.id);
  if (!contents.error.empty())
    return contents.error;
  if (!contents.values.empty() || always) {
    console.out << key.name << '\n';
    for (const store::NamedValue& value : contents.values)
      PrintValue(console, value);
    console.out << '\n';
  }
  for (const store::Subkey& subkey : contents.subkeys) {
    if (!recursive) {
      console.out << key.name << '\\' << subkey.name << '\n';
    } else if (std::string error = PrintKey(db, ShownSubkey(key, subkey), true, true, console);
               !error.empty()) {
      return error;
    }
  }
  return std::string();
}

// How many values a search found, or why it failed.
struct Matches {
  std::size_t count;
  std::string error;
};

// Prints, for the key and every key below it, the value `name` where the key has it.
Matches PrintMatches(sqlite3* db, const ShownKey& key, const std::string& name, Console& console) {
  const store::ValueLookup read = store::ReadValue(db, key.id, name);
  if (read.outcome == Outcome::Failed)
    return {0, read.error};
  Matches matches{0, std::string()};
  if (read.outcome == Outcome::Found) {
    console.out << key.name << '\n';
    PrintValue(console, {name, read.named.value});
    console.out << '\n';
    matches.count = 1;
  }
  const store::Listing<store::Subkey> subkeys = store::ListSubkeys(db, key.id);
  if (!subkeys.error.empty())
    return {0, subkeys.error};
  for (const store::Subkey& subkey : subkeys.items) {
    const Matches below = PrintMatches(db, ShownSubkey(key, subkey), name, console);
    if (!below.error.empty())
      return below;
    matches.count += below.count;
  }
  return matches;
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
  const std::string error = PrintKey(db, *key, command.recursive, false, console);
  return error.empty() ? 0 : FailOnStore(console, db, error);
}

// Adds the key and every key below it, in the order a registry file lists them. Returns the
// failure of a read, empty when none failed.
std::string CollectKeys(sqlite3* db, const ShownKey& key, std::vector<ExportedKey>& keys) {
  KeyContents contents = ReadKeyContents(db, key.id);
  if (!contents.error.empty())
    return contents.error;
  keys.push_back({key.name, std::move(contents.values)});
  for (const store::Subkey& subkey : contents.subkeys) {
    if (std::string error = CollectKeys(db, ShownSubkey(key, subkey), keys); !error.empty())
      return error;
  }
  return std::string();
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
