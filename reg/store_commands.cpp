// backup and restore: the whole store copied to a new file, or replaced by such a copy's keys and
// values.
#include <filesystem>
#include <ostream>

#include "reg/commands.h"
#include "store/store_location.h"

namespace reg {

int Backup(const Command& command, const std::string& storePath, Console& console) {
  const auto cannotWrite = [&](const std::string& reason) {
    return Fail(console, "ERROR: Cannot write the backup " + command.file + ": " + reason + ".");
  };
  if (IsStoreOrSideFile(storePath, command.file))
    return cannotWrite(std::string(kIsTheStore));
  store::StoreImage image;
  const int status = ReadAtOneMoment(storePath, console, [&](sqlite3* db, Console&) {
    image = store::ImageOf(db);
    return 0;
  });
  if (status != 0)
    return status;
  if (!image.error.empty())
    return cannotWrite(image.error);
  if (const store::Status written = store::WriteBackup(image, command.file); !written.ok()) {
    return cannotWrite(written.error);
  }
  console.out << kDone << '\n';
  return 0;
}

int Restore(const Command& command, const std::string& storePath, Console& console) {
  const auto cannotRestore = [&](const std::string& reason) {
    return Fail(console, "ERROR: Cannot restore from " + command.file + ": " + reason + ".");
  };
  // The backup is read under one name, the file it names, by every check and by SQLite.
  const std::string backupPath = store::ResolvedPath(command.file);
  std::error_code notSame;
  if (std::filesystem::equivalent(backupPath, storePath, notSame))
    return cannotRestore("it is the registry store itself");
  // The backup is checked before anything is asked, or made.
  if (const store::OpenedStore backup = store::OpenStore(backupPath, store::Access::ReadOnly);
      !backup.db) {
    return cannotRestore(backup.error);
  }
  // A store that does not exist yet is made, with nothing in it to replace or to ask about.
  std::error_code ignored;
  const bool existed = std::filesystem::exists(std::filesystem::symlink_status(storePath, ignored));
  const store::Store db = CreateAndOpen(storePath, console);
  if (!db)
    return 1;
  if (existed && !command.force &&
      !Confirm(console,
               "Replace every key and value of the registry store with those of " + command.file)) {
    return Fail(console, kCancelled);
  }
  if (const store::Status restored = store::RestoreFrom(db.get(), backupPath); !restored.ok())
    return cannotRestore(restored.error);
  console.out << kDone << '\n';
  return 0;
}

}  // namespace reg
