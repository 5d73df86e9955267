// UTF-8 and UTF-16LE conversions for values and registry files.
#include "reg/utf16.h"

#include <array>
#include <cstdint>

namespace reg {
namespace {

void AppendUnit(std::string& bytes, std::uint32_t unit) {
  bytes.push_back(static_cast<char>(unit & 0xFF));
  bytes.push_back(static_cast<char>((unit >> 8) & 0xFF));
}

void AppendUtf8(std::string& text, std::uint32_t code) {
  const auto byte = [](std::uint32_t value) { return static_cast<char>(value); };
  if (code < 0x80) {
    text.push_back(byte(code));
  } else if (code < 0x800) {
    text.push_back(byte(0xC0 | (code >> 6)));
    text.push_back(byte(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    text.push_back(byte(0xE0 | (code >> 12)));
    text.push_back(byte(0x80 | ((code >> 6) & 0x3F)));
    text.push_back(byte(0x80 | (code & 0x3F)));
  } else {
    text.push_back(byte(0xF0 | (code >> 18)));
    text.push_back(byte(0x80 | ((code >> 12) & 0x3F)));
    text.push_back(byte(0x80 | ((code >> 6) & 0x3F)));
    text.push_back(byte(0x80 | (code & 0x3F)));
  }
}

// The code point of the UTF-8 sequence at `text[at]` and its length, or 0 for no valid sequence.
std::size_t DecodeUtf8(std::string_view text, std::size_t at, std::uint32_t& code) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07u;
  }
  if (length == 0 || at + length > text.size())
    return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xC0) != 0x80)
      return 0;
    code = (code << 6) | (next & 0x3Fu);
  }
  const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
  if (overlong || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
    return 0;
  return length;
}

}  // namespace

std::optional<std::size_t> FirstNotUtf8(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    std::uint32_t code = static_cast<unsigned char>(text[at]);
    const std::size_t length = code < 0x80 ? 1 : DecodeUtf8(text, at, code);
    if (length == 0)
      return at;
    at += length;
  }
  return std::nullopt;
}

std::string Utf16FromText(std::string_view text) {
  std::string bytes;
  for (std::size_t at = 0; at < text.size();) {
    std::uint32_t code = static_cast<unsigned char>(text[at]);
    const std::size_t length = code < 0x80 ? 1 : DecodeUtf8(text, at, code);
    if (length == 0)
      code = static_cast<unsigned char>(text[at]);
    at += length == 0 ? 1 : length;
    if (code >= 0x10000) {
      AppendUnit(bytes, 0xD800 + ((code - 0x10000) >> 10));
      AppendUnit(bytes, 0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      AppendUnit(bytes, code);
    }
  }
  return bytes;
}

DecodedUtf16 TextFromUtf16(std::string_view bytes) {
  DecodedUtf16 decoded;
  std::string& text = decoded.text;
  const auto unitAt = [&](std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8);
  };
  for (std::size_t at = 0; at + 1 < bytes.size(); at += 2) {
    std::uint32_t code = unitAt(at);
    if (code >= 0xD800 && code <= 0xDBFF && at + 3 < bytes.size() && unitAt(at + 2) >= 0xDC00 &&
        unitAt(at + 2) <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (unitAt(at + 2) - 0xDC00);
      at += 2;
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      if (!decoded.loneSurrogate)
        decoded.loneSurrogate = text.size();
      code = 0xFFFD;
    }
    AppendUtf8(text, code);
  }
  return decoded;
}

std::string TextFromWindows1252(std::string_view bytes) {
  // The characters of 0x80 to 0x9F; the rest of the code page is Latin-1.
  static constexpr std::array<std::uint16_t, 32> kHighControls = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  std::string text;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    AppendUtf8(text, byte >= 0x80 && byte < 0xA0 ? kHighControls[byte - 0x80] : byte);
  }
  return text;
}

}  // namespace reg
