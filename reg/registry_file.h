// Registry files, as Windows' registry editor and reg export and import them.
//
// Export writes "Windows Registry Editor Version 5.00" in UTF-16LE with a byte order mark. Import
// reads that and the older "REGEDIT4" (ANSI text): keys in brackets ([-KEY] deletes one), values
// as "text", dword:, hex: and hex(N): data (a trailing backslash continues the bytes on the next
// line), @ for the unnamed value, NAME=- to delete a value, and ; comments. The store keeps text
// as the programs pass it (UTF-8), where Windows keeps UTF-16: text types are converted both ways.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "store/registry_values.h"

namespace reg {

// A key with its values, named in full (HKEY_...\...).
struct ExportedKey {
  std::string name;
  std::vector<store::NamedValue> values;
};

// The bytes of a registry file holding the keys, in order.
std::string FormatRegistryFile(const std::vector<ExportedKey>& keys);

// One change a registry file asks for, in file order.
struct FileChange {
  enum class Kind { CreateKey, DeleteKey, WriteValue, DeleteValue };
  Kind kind;
  std::size_t line;     // where the file asks for it
  std::string keyName;  // in full, as the file writes it
  store::NamedValue value;
};

// The changes the file's bytes ask for, or why the file is refused, naming the line.
base::Result<std::vector<FileChange>> ParseRegistryFile(std::string_view bytes);

}  // namespace reg
