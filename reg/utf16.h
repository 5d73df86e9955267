// Text between the store's narrow form (UTF-8, as the programs pass it) and Windows' UTF-16LE.
#pragma once

#include <string>
#include <string_view>

namespace reg {

// The UTF-16LE bytes of UTF-8 text. A byte that starts no valid UTF-8 sequence stands for the
// character of the same number, so that no text is refused or lost.
std::string Utf16FromText(std::string_view text);

// The UTF-8 text of UTF-16LE bytes; a lone surrogate becomes U+FFFD, an odd last byte is ignored.
std::string TextFromUtf16(std::string_view bytes);

}  // namespace reg
