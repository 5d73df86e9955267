// The tool's platform on systems without a Windows registry: the registry store stands in for it.
//
// Every failure of the store (no location, no file, not a store, no write access, a lock not
// obtained in time, any SQLite error) is answered as the registry would answer it: the key does
// not open, the value cannot be read, or the write is refused.
#include <sqlite3.h>

#include "platform/platform.h"
#include "platform/registry_store.h"
#include "platform/store_location.h"

struct RegistryKey {
  store::Store db;
  store::KeyId id;
};

// There is no framework to bring up on this platform, so it always starts.
bool StartFramework() {
  return true;
}

RegistryKey* OpenLocalMachineKey(const char* path) {
  store::OpenedStore opened = store::OpenStore(store::StorePath(), store::Access::ReadWrite);
  if (!opened.db)
    return nullptr;
  const store::KeyLookup key = store::FindKey(opened.db.get(), store::Root::LocalMachine, path);
  if (key.outcome != store::Outcome::Found)
    return nullptr;
  return new RegistryKey{std::move(opened.db), key.id};
}

std::optional<std::uint32_t> QueryValue(RegistryKey* key, const char* valueName) {
  const store::ValueLookup read = store::ReadValue(key->db.get(), key->id, valueName);
  if (read.outcome != store::Outcome::Found || read.named.value.bytes.size() > 4)
    return std::nullopt;
  return static_cast<std::uint32_t>(store::LittleEndianNumber(read.named.value.bytes));
}

bool SetDwordValue(RegistryKey* key, const char* valueName, std::uint32_t value) {
  return store::WriteValue(key->db.get(), key->id, valueName,
                           {store::kRegDword, store::LittleEndianBytes(value, 4)});
}

void CloseKey(RegistryKey* key) {
  delete key;
}
