// The tool's platform on Windows: the registry API of ADVAPI32 and a framework start of our own.
//
// Each registry call counts as successful only when it returns 0. Numbers cross the API as exactly
// four little-endian bytes, assembled and taken apart here, so nothing depends on the width of the
// compiler's integer types.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <array>

#include "platform/platform.h"

struct RegistryKey {
  HKEY handle;
};

namespace {

using DwordBytes = std::array<BYTE, 4>;

std::uint32_t NumberFromBytes(const DwordBytes& bytes) {
  return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
         std::uint32_t{bytes[3]} << 24;
}

DwordBytes BytesFromNumber(std::uint32_t value) {
  return {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8), static_cast<BYTE>(value >> 16),
          static_cast<BYTE>(value >> 24)};
}

}  // namespace

// The framework is ready when the process knows its own module and its command line.
bool StartFramework() {
  const HMODULE module = GetModuleHandleA(nullptr);
  const char* commandLine = GetCommandLineA();
  return module != nullptr && commandLine != nullptr;
}

RegistryKey* OpenLocalMachineKey(const char* path) {
  HKEY handle = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &handle) != 0)
    return nullptr;
  return new RegistryKey{handle};
}

// A zeroed 4-byte buffer on every call: a shorter value fills only its low-order bytes, a longer
// one makes the call fail. The type the registry reports is deliberately not examined.
std::optional<std::uint32_t> QueryValue(RegistryKey* key, const char* valueName) {
  DwordBytes buffer{};
  DWORD size = static_cast<DWORD>(buffer.size());
  DWORD type = 0;
  if (RegQueryValueExA(key->handle, valueName, nullptr, &type, buffer.data(), &size) != 0) {
    return std::nullopt;
  }
  return NumberFromBytes(buffer);
}

bool SetDwordValue(RegistryKey* key, const char* valueName, std::uint32_t value) {
  const DwordBytes bytes = BytesFromNumber(value);
  return RegSetValueExA(key->handle, valueName, 0, REG_DWORD, bytes.data(),
                        static_cast<DWORD>(bytes.size())) == 0;
}

// The result of closing is not examined: there is nothing the tool could do about a failure.
void CloseKey(RegistryKey* key) {
  RegCloseKey(key->handle);
  delete key;
}
