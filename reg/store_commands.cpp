// backup and restore: the whole store copied to a new file, or replaced by such a copy's keys and
// values.
#include <filesystem>
#include <ostream>

#include "reg/commands.h"
#include "store/store_location.h"

namespace reg {

int Backup(const Command& command, const std::string& storePath, Console& console) {
  const std::string cannotWrite = "Cannot write the backup " + command.file;
  if (IsStoreOrSideFile(storePath, command.file))
    return Fail(console, cannotWrite, store::Status::Failed(kIsTheStore));
  store::Result<std::string> image = std::string();
  const int status = ReadAtOneMoment(storePath, console, [&](sqlite3* db, Console&) {
    image = store::ImageOf(db);
    return 0;
  });
  if (status != 0)
    return status;
  if (!image.ok())
    return Fail(console, cannotWrite, image.status());
  if (const store::Status written = store::WriteBackup(*image, command.file); !written.ok())
    return Fail(console, cannotWrite, written);
  console.out << kDone << '\n';
  return 0;
}

int Restore(const Command& command, const std::string& storePath, Console& console) {
  const std::string cannotRestore = "Cannot restore from " + command.file;
  // The backup is read under one name, the file it names, by every check and by SQLite.
  const std::string backupPath = store::ResolvedPath(command.file);
  std::error_code notSame;
  if (std::filesystem::equivalent(backupPath, storePath, notSame))
    return Fail(console, cannotRestore, store::Status::Failed("it is the registry store itself"));
  // The backup is checked before anything is asked, or made.
  const store::Result<store::Backup> backup = store::CheckBackup(backupPath);
  if (!backup.ok())
    return Fail(console, cannotRestore, backup.status());
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
  if (const store::Status restored = store::RestoreFrom(db.get(), *backup); !restored.ok())
    return Fail(console, cannotRestore, restored);
  console.out << kDone << '\n';
  return 0;
}

}  // namespace reg
