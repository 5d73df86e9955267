// The registry store's file: opened, created, copied and restored whole.
//
// Anything but a store of ours is refused before SQLite writes anything beside it; a new store
// and a backup appear whole or not at all. Every operation returns its failure as a value.
#pragma once

#include <memory>
#include <string>

#include "store/registry_store.h"

namespace store {

struct StoreCloser {
  void operator()(sqlite3* db) const;
};
using Store = std::unique_ptr<sqlite3, StoreCloser>;

// How long a program waits for another's lock, or for a read that writers keep refusing, before
// it fails.
inline constexpr int kLockWaitMilliseconds = 10000;

enum class Access { ReadOnly, ReadWrite };

// An opened store.
struct OpenedStore {
  Store db;
  std::string snapshotOf = {};  // the file's stamp, when it was opened as a snapshot
};

// Opens an existing store, named by its resolved path. Anything but a regular file, a file with
// more than one name, a file that is not a store of ours (not SQLite's, another application's,
// made by an earlier development version, or without the store's tables), a journal beside a
// store in write-ahead-log mode, which never writes one, and for ReadWrite a store this process
// may not write, all fail, with the reason, and leave every file as it was. ReadWrite lets SQLite
// roll back a journal of a store in rollback-journal mode and puts the store back into
// write-ahead-log mode. ReadOnly leaves nothing beside the store: with no log or journal there,
// the file alone is read as a snapshot (`snapshotOf`); a log without its index, or a journal that
// SQLite must roll back, is refused to a process that may not write the store. Returns the store,
// or why it could not be opened (Transient when SQLite refused it for the moment).
Result<OpenedStore> OpenStore(const std::string& path, Access access);

// Opens the store for reading: for writing where this process may, so that reads see the store
// through SQLite's own locks, else (or when that failed, on a full disk say) for reading only.
// Returns the store, or why it could not be opened.
Result<OpenedStore> OpenForReading(const std::string& path);

// Whether a store opened as a snapshot was read as its file still is: as it was at one moment.
bool SnapshotStillCurrent(const std::string& path, const OpenedStore& opened);

// Creates an empty store, whole or not at all, and its folders, when there is no file at `path`:
// each for this user alone, whatever the umask. Returns the failure, ok when the store is there.
Status CreateStoreIfMissing(const std::string& path);

// The open store as the bytes of a store file, as it is at one moment, or why it could not be read.
Result<std::string> ImageOf(sqlite3* db);

// Writes a backup of the store, its image, to a new file at `path`, whole or not at all, which
// only this user may read; an existing file is never replaced. Returns the failure, or ok.
Status WriteBackup(const std::string& image, const std::string& path);

// A backup to restore from, checked: its resolved path, and its stamp when it is read as a
// snapshot.
struct Backup {
  std::string path;
  std::string snapshotOf;
};

// Checks the backup at `path` (a resolved path) as OpenStore checks a store opened for reading,
// before anything is asked or made. Returns the backup, or why it may not be restored from.
Result<Backup> CheckBackup(const std::string& path);

// Replaces every key and value of the open store, in one write transaction, with those of the
// checked backup, read at one moment and never written. The keys get ids that no key of this
// store had, so that a write through a key opened before the restore is refused; the ids grow by
// the number of keys restored. Returns the failure, or ok.
Status RestoreFrom(sqlite3* db, const Backup& backup);

}  // namespace store
