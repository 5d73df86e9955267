// The tool's platform on systems without a Windows registry: the registry store stands in for it.
//
// Every failure of the store (no location, no file, not a store, no write access, a lock not
// obtained in time, any SQLite error) is answered as the registry would answer it: the key does
// not open, the value cannot be read, or the write is refused. Once a read has failed for the
// store's sake (damaged pages, an I/O error) rather than for a missing value, every later write
// through the key is refused: a seed would otherwise overwrite a value that exists but could not
// be read, in a file that is best left as it is.
#include <csignal>

#include "platform/platform.h"
#include "store/registry_store.h"
#include "store/store_file.h"
#include "store/store_location.h"

struct RegistryKey {
  store::Store db;
  store::KeyId id;
  bool storeFailedARead;
  // Prepared at their first use and kept for the other values. Declared after the store, so that
  // they are finalized before it closes.
  store::Statement readValue;
  store::Statement writeValue;
};

// There is no framework to bring up on this platform. A reader of the output that has gone must
// not end the run before its writes, nor change its exit status, as on Windows: a write to a closed
// pipe then fails rather than raising SIGPIPE.
bool StartFramework() {
  std::signal(SIGPIPE, SIG_IGN);
  return true;
}

RegistryKey* OpenLocalMachineKey(const char* path) {
  store::Result<store::OpenedStore> opened =
      store::OpenStore(store::StorePath(), store::Access::ReadWrite);
  if (!opened.ok())
    return nullptr;
  const store::Result<store::Key> key =
      store::FindKey(opened->db.get(), store::Root::LocalMachine, path);
  if (!key.ok())
    return nullptr;
  return new RegistryKey{std::move(opened->db), key->id, false, nullptr, nullptr};
}

std::optional<std::uint32_t> QueryValue(RegistryKey* key, const char* valueName) {
  if (!key->readValue)
    key->readValue = store::PrepareReadValue(key->db.get());
  const store::Result<store::NamedValue> read =
      store::ReadValueWith(key->db.get(), key->readValue.get(), key->id, valueName);
  if (!read.ok() && !read.status().IsNotFound())
    key->storeFailedARead = true;
  if (!read.ok() || read->value.bytes.size() > 4)
    return std::nullopt;
  return static_cast<std::uint32_t>(store::LittleEndianNumber(read->value.bytes));
}

bool SetDwordValue(RegistryKey* key, const char* valueName, std::uint32_t value) {
  if (key->storeFailedARead)
    return false;
  if (!key->writeValue)
    key->writeValue = store::PrepareWriteValue(key->db.get());
  return store::WriteValueWith(key->db.get(), key->writeValue.get(), key->id, valueName,
                               {store::kRegDword, store::LittleEndianBytes(value, 4)})
      .ok();
}

void CloseKey(RegistryKey* key) {
  delete key;
}
