// The fake platform operations over fake::TheRegistry().
#include "tests/fake_platform.h"

#include "platform/platform.h"

struct RegistryKey {};

namespace fake {

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

StoredValue Dword(std::uint32_t value) {
  std::string bytes(4, '\0');
  for (std::size_t i = 0; i < 4; ++i)
    bytes[i] = static_cast<char>(value >> (8 * i));
  return {4, bytes};
}

}  // namespace fake

namespace {
RegistryKey theKey;
}

bool StartFramework() {
  return fake::TheRegistry().frameworkStarts;
}

RegistryKey* OpenLocalMachineKey(const char* path) {
  fake::Registry& registry = fake::TheRegistry();
  registry.calls.push_back(std::string("open ") + path);
  return registry.keyOpens ? &theKey : nullptr;
}

std::optional<std::uint32_t> QueryValue(RegistryKey*, const char* valueName) {
  fake::Registry& registry = fake::TheRegistry();
  registry.calls.push_back(std::string("query ") + valueName);
  const auto found = registry.values.find(valueName);
  if (found == registry.values.end() || registry.unreadable.count(valueName) != 0 ||
      found->second.bytes.size() > 4) {
    return std::nullopt;
  }
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < found->second.bytes.size(); ++i) {
    value |= std::uint32_t{static_cast<unsigned char>(found->second.bytes[i])} << (8 * i);
  }
  return value;
}

bool SetDwordValue(RegistryKey*, const char* valueName, std::uint32_t value) {
  fake::Registry& registry = fake::TheRegistry();
  registry.calls.push_back(std::string("set ") + valueName + "=" + std::to_string(value));
  if (registry.refusedWrites.count(valueName) != 0)
    return false;
  registry.values[valueName] = fake::Dword(value);
  return true;
}

void CloseKey(RegistryKey*) {
  fake::TheRegistry().calls.push_back("close");
}
