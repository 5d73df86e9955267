// Text between the store's narrow form (UTF-8, as the programs pass it) and Windows' UTF-16LE,
// and from Windows' ANSI code page (Windows-1252) of older registry files.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace reg {

// Where the first byte stands that starts no valid UTF-8 character (an encoded surrogate starts
// none), or nothing when the whole text is UTF-8.
std::optional<std::size_t> FirstNotUtf8(std::string_view text);

// The UTF-16LE bytes of UTF-8 text. A byte that starts no valid UTF-8 sequence stands for the
// character of the same number, so that no text is refused or lost.
std::string Utf16FromText(std::string_view text);

// The UTF-8 text of UTF-16LE bytes, an odd last byte ignored. UTF-8 cannot hold a lone surrogate:
// it becomes U+FFFD, and `loneSurrogate` tells where in the text the first one stands.
struct DecodedUtf16 {
  std::string text;
  std::optional<std::size_t> loneSurrogate;
};
DecodedUtf16 TextFromUtf16(std::string_view bytes);

// The UTF-8 text of Windows-1252 bytes. The five bytes that code page leaves undefined stand for
// the characters of the same numbers, as Windows converts them.
std::string TextFromWindows1252(std::string_view bytes);

}  // namespace reg
