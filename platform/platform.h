// What the tool needs of its platform: the framework start and four registry operations.
//
// One implementation per platform is chosen by the build (the Windows registry, or the embedded
// registry store on other systems); the unit tests link a fake instead, so that every failure path
// of the callers can be driven without a registry.
#pragma once

#include <cstdint>
#include <optional>

// An open registry key. Each implementation defines what it holds.
struct RegistryKey;

// Starts the application framework. Returns false when it cannot start.
bool StartFramework();

// Opens an existing key below HKEY_LOCAL_MACHINE for reading and writing (all access). Never
// creates it. Returns the key, or nullptr when it is absent or access is refused.
RegistryKey* OpenLocalMachineKey(const char* path);

// Reads a value of at most 4 bytes, whatever its type, as a little-endian number: a shorter value
// fills only the low-order bytes. Returns nothing when the value is missing, is longer than
// 4 bytes or cannot be read.
std::optional<std::uint32_t> QueryValue(RegistryKey* key, const char* valueName);

// Creates or replaces the value as a REG_DWORD, whatever type it had. Returns false when the write
// is refused.
bool SetDwordValue(RegistryKey* key, const char* valueName, std::uint32_t value);

// Closes a key returned by OpenLocalMachineKey.
void CloseKey(RegistryKey* key);
