// Registry values as the store, the companion and the tool's platform share them: value types by
// number, and the byte order of their numbers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace store {

// A registry value: its type number and its bytes.
struct Value {
  std::uint32_t type;
  std::string bytes;
};

// Registry value types, by their numbers.
inline constexpr std::uint32_t kRegNone = 0;
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegMultiSz = 7;
inline constexpr std::uint32_t kRegQword = 11;

// The `size` low-order bytes of `number`, least significant first.
inline std::string LittleEndianBytes(std::uint64_t number, std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>(number >> (8 * i));
  return bytes;
}

// The number that up to 8 bytes hold, least significant first; missing high bytes are 0.
inline std::uint64_t LittleEndianNumber(std::string_view bytes) {
  std::uint64_t number = 0;
  for (std::size_t i = 0; i < bytes.size() && i < 8; ++i)
    number |= std::uint64_t{static_cast<unsigned char>(bytes[i])} << (8 * i);
  return number;
}

// A value with its name.
struct NamedValue {
  std::string name;
  Value value;
};

}  // namespace store
