// Writing and reading registry files.
#include "reg/registry_file.h"

#include <cstdio>
#include <optional>

#include "base/ascii.h"
#include "reg/utf16.h"
#include "reg/value_text.h"

namespace reg {
namespace {

using base::Result;
using base::Status;

constexpr std::string_view kVersion5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kVersion4 = "REGEDIT4";
constexpr std::size_t kLineWidth = 80;
constexpr std::string_view kLoneSurrogate =
    "UTF-16 text holds a lone surrogate, which the store's UTF-8 text cannot hold";

// A line of hex data goes on after a backslash, on the next line indented by two spaces.
constexpr std::string_view kContinuation = "\\\r\n";
constexpr std::size_t kIndent = 2;

// The types a file holds as UTF-16 text in its hex(N) data (in a version 5 file).
bool IsTextType(std::uint32_t type) {
  return type == store::kRegSz || type == store::kRegExpandSz || type == store::kRegMultiSz;
}

// A quoted text's escapes: \\ and \", and \n and \r for line breaks, which would end the line.
std::string Escaped(std::string_view text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '\\' || c == '"' || c == '\n' || c == '\r')
      escaped.push_back('\\');
    escaped.push_back(c == '\n' ? 'n' : c == '\r' ? 'r' : c);
  }
  return escaped;
}

std::string HexByte(unsigned char byte) {
  char pair[3];
  std::snprintf(pair, sizeof pair, "%02x", byte);
  return pair;
}

// The value's line (with its continuation lines), as the registry editor writes it.
std::string FormatValue(const store::NamedValue& named) {
  std::string line = named.name.empty() ? std::string("@=") : "\"" + Escaped(named.name) + "\"=";
  const store::Value& value = named.value;
  const std::string& bytes = value.bytes;
  // A text with line breaks goes as hex(1) bytes, which every reader of these files takes as
  // they are, as does one that holds a null before its end.
  const bool oneLineText = !bytes.empty() && bytes.find('\0') == bytes.size() - 1 &&
                           bytes.find_first_of("\r\n") == std::string::npos;
  if (value.type == store::kRegSz && oneLineText) {
    return line + "\"" + Escaped(bytes.substr(0, bytes.size() - 1)) + "\"\r\n";
  }
  if (value.type == store::kRegDword && bytes.size() == 4) {
    char number[16];
    std::snprintf(number, sizeof number, "dword:%08x",
                  static_cast<unsigned>(store::LittleEndianNumber(bytes)));
    return line + number + "\r\n";
  }
  char prefix[24];
  std::snprintf(prefix, sizeof prefix, value.type == store::kRegBinary ? "hex:" : "hex(%x):",
                static_cast<unsigned>(value.type));
  line += prefix;
  const std::string data = IsTextType(value.type) ? Utf16FromText(bytes) : bytes;
  std::string text;
  std::size_t lineStart = 0;
  for (std::size_t i = 0; i < data.size(); ++i) {
    const std::string piece =
        HexByte(static_cast<unsigned char>(data[i])) + (i + 1 < data.size() ? "," : "");
    if (line.size() - lineStart + piece.size() > kLineWidth - 2 && i + 1 < data.size()) {
      line.append(kContinuation).append(kIndent, ' ');
      lineStart = line.size() - kIndent;
    }
    line += piece;
  }
  return line + "\r\n";
}

std::string_view TrimmedRight(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

std::string_view TrimmedLeft(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  return text;
}

// Reads a quoted text at the start of `text` (after its opening quote), undoing \\ and \", and
// the \n and \r that some exporters write for line breaks. Returns the text and moves `text` past
// the closing quote; nothing when no quote closes it.
std::optional<std::string> ReadQuoted(std::string_view& text) {
  std::string read;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      const char escaped = text[++i];
      read.push_back(escaped == 'n' ? '\n' : escaped == 'r' ? '\r' : escaped);
    } else if (text[i] == '"') {
      text.remove_prefix(i + 1);
      return read;
    } else {
      read.push_back(text[i]);
    }
  }
  return std::nullopt;
}

// The number that one to `maxDigits` hexadecimal digits spell; nothing for no digits, more, or
// another character.
std::optional<std::uint32_t> HexNumber(std::string_view digits, std::size_t maxDigits) {
  if (digits.empty() || digits.size() > maxDigits)
    return std::nullopt;
  std::uint32_t number = 0;
  for (const char c : digits) {
    const std::optional<std::uint32_t> digit = base::HexDigit(c);
    if (!digit)
      return std::nullopt;
    number = (number << 4) | *digit;
  }
  return number;
}

// The bytes of a comma-separated list of hexadecimal bytes, which may end in a comma and be
// followed by a comment, as reg reads it.
std::optional<std::string> HexBytes(std::string_view list) {
  std::string bytes;
  list = TrimmedRight(TrimmedLeft(list.substr(0, list.find(';'))));
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    const std::string_view item = TrimmedRight(TrimmedLeft(list.substr(0, comma)));
    const std::optional<std::uint32_t> byte = HexNumber(item, 2);
    if (!byte)
      return std::nullopt;
    bytes.push_back(static_cast<char>(*byte));
    if (comma == std::string_view::npos)
      break;
    list = TrimmedLeft(list.substr(comma + 1));
  }
  return bytes;
}

// The text before a comment that follows data, without the spaces around it.
std::string_view BeforeComment(std::string_view data) {
  return TrimmedRight(TrimmedLeft(data.substr(0, data.find(';'))));
}

// A value's data as a line gives it: the value, or nothing to delete the value.
using ParsedData = Result<std::optional<store::Value>>;

// Each returns the data after the `=`, or why it cannot be read. A comment may follow the data,
// as reg reads it.
ParsedData ParseText(std::string_view data) {
  data.remove_prefix(1);
  const std::optional<std::string> text = ReadQuoted(data);
  if (!text || !BeforeComment(data).empty())
    return Status::Failed("a text must end with the line, in quotes");
  return std::optional(store::Value{store::kRegSz, *text + '\0'});
}

ParsedData ParseDword(std::string_view digits) {
  const std::optional<std::uint32_t> number = HexNumber(BeforeComment(digits), 8);
  if (!number)
    return Status::Failed("dword: takes up to 8 hexadecimal digits");
  return std::optional(store::Value{store::kRegDword, store::LittleEndianBytes(*number, 4)});
}

// hex: and hex(N): data, whose text types are UTF-16 (`wideText`, version 5 files) or ANSI text.
ParsedData ParseHex(std::uint32_t type, std::string_view list, bool wideText) {
  std::optional<std::string> bytes = HexBytes(list);
  if (!bytes)
    return Status::Failed("hexadecimal bytes must be separated by commas");
  if (!IsTextType(type))
    return std::optional(store::Value{type, *bytes});
  if (!wideText)
    return std::optional(store::Value{type, TextFromWindows1252(*bytes)});
  if (bytes->size() % 2 != 0)
    return Status::Failed("UTF-16 text must have an even number of bytes");
  const DecodedUtf16 text = TextFromUtf16(*bytes);
  if (text.loneSurrogate)
    return Status::Failed(kLoneSurrogate);
  return std::optional(store::Value{type, text.text});
}

ParsedData ParseData(std::string_view data, bool wideText) {
  data = TrimmedRight(data);
  if (data == "-")
    return std::optional<store::Value>();
  if (data.starts_with('"'))
    return ParseText(data);
  if (data.starts_with("dword:"))
    return ParseDword(data.substr(6));
  if (data.starts_with("hex:"))
    return ParseHex(store::kRegBinary, data.substr(4), wideText);
  const std::size_t close = data.find("):");
  const std::optional<std::uint32_t> type =
      !data.starts_with("hex(") || close == std::string_view::npos
          ? std::nullopt
          : HexNumber(data.substr(4, close - 4), 8);
  if (data.starts_with("hex(") && !type)
    return Status::Failed("hex(N): takes a hexadecimal type number");
  if (!type)
    return Status::Failed("the data is not \"text\", dword:, hex: or hex(N):, nor - to delete");
  return ParseHex(*type, data.substr(close + 2), wideText);
}

// Reads a value's name at the start of `line`: @ for the unnamed value, or a quoted name. Returns
// the name and moves `line` past it; nothing when the line starts with neither, `unclosed` set
// when a quote opened a name that no quote closes.
struct ValueName {
  std::optional<std::string> name;
  bool unclosed = false;
};
ValueName ReadValueName(std::string_view& line) {
  if (line.starts_with('@')) {
    line.remove_prefix(1);
    return {std::string()};
  }
  if (!line.starts_with('"'))
    return {};
  line.remove_prefix(1);
  std::optional<std::string> name = ReadQuoted(line);
  return {name, !name};
}

// Whether the line is a value whose data is hexadecimal, which may go on after a backslash.
bool HasHexData(std::string_view line) {
  line = TrimmedLeft(line);
  if (!ReadValueName(line).name)
    return false;
  line = TrimmedLeft(line);
  return line.starts_with('=') && TrimmedLeft(line.substr(1)).starts_with("hex");
}

// The line at the start of `text`, without its end (CR LF, LF or CR alone, as reg reads them);
// moves `text` past it.
std::string_view NextLine(std::string_view& text) {
  const std::size_t end = text.find_first_of("\r\n");
  const std::string_view line = text.substr(0, end);
  const bool crLf = end != std::string_view::npos && text.substr(end).starts_with("\r\n");
  text = end == std::string_view::npos ? std::string_view() : text.substr(end + (crLf ? 2 : 1));
  return line;
}

// The number of the line that the text's byte `at` lies on.
std::size_t LineAt(std::string_view text, std::size_t at) {
  std::string_view before = text.substr(0, at);
  std::size_t number = 1;
  for (; before.find_first_of("\r\n") != std::string_view::npos; NextLine(before))
    ++number;
  return number;
}

// The file's lines, with a value's continuation lines joined to it; each with its first line's
// number.
struct FileLine {
  std::size_t number;
  std::string text;
};
struct LogicalText {
  std::vector<FileLine> lines;
  bool endsInsideValue;  // the last value's data goes on past the end of the file
};
LogicalText LogicalLines(std::string_view text) {
  std::vector<FileLine> lines;
  bool continues = false;
  std::size_t number = 0;
  while (!text.empty()) {
    std::string_view line = TrimmedRight(NextLine(text));
    ++number;
    if (continues) {
      line = TrimmedLeft(line);
    } else {
      lines.push_back({number, {}});
    }
    // Only a value's hex data continues: a backslash ends no other line, nor a comment.
    continues = (continues || HasHexData(line)) && line.ends_with('\\');
    if (continues)
      line.remove_suffix(1);
    lines.back().text += line;
  }
  return {lines, continues};
}

// A file's text, or the line where its UTF-16 holds a lone surrogate. Version 5 files are
// UTF-16LE with a byte order mark (or UTF-8); REGEDIT4 files are ANSI text.
struct DecodedFile {
  std::string text;
  std::optional<std::size_t> loneSurrogateLine;
};
DecodedFile Decoded(std::string_view bytes) {
  if (bytes.starts_with("\xFF\xFE")) {
    DecodedUtf16 decoded = TextFromUtf16(bytes.substr(2));
    if (decoded.loneSurrogate)
      return {std::string(), LineAt(decoded.text, *decoded.loneSurrogate)};
    return {std::move(decoded.text), std::nullopt};
  }
  if (TrimmedLeft(bytes).starts_with(kVersion4))
    return {TextFromWindows1252(bytes), std::nullopt};
  return {std::string(bytes.starts_with("\xEF\xBB\xBF") ? bytes.substr(3) : bytes), std::nullopt};
}

Status Refused(std::size_t line, std::string_view reason) {
  return Status::Failed("line " + std::to_string(line) + ": " + std::string(reason));
}

// Where the reading of a file's lines has got to.
struct FileReading {
  bool wideText;  // a version 5 file, whose text types' hex data is UTF-16
  std::vector<FileChange> changes = {};
  std::optional<std::string> key = {};  // the key the values below belong to
  bool keyDeleted = false;              // its values are passed over, as reg does
};

// Reads a key's line: [KEY], or [-KEY] to delete it. The name ends at the last bracket; what
// follows it (a comment) is passed over. Returns why the line is refused, or ok.
Status ReadKeyLine(std::string_view line, std::size_t number, FileReading& reading) {
  const std::size_t close = line.rfind(']');
  const bool remove = line.size() > 1 && line[1] == '-';
  const std::size_t start = remove ? 2 : 1;
  if (close == std::string_view::npos || close <= start)
    return Status::Failed("a key name must be in brackets");
  reading.key = std::string(line.substr(start, close - start));
  reading.keyDeleted = remove;
  reading.changes.push_back({remove ? FileChange::Kind::DeleteKey : FileChange::Kind::CreateKey,
                             number,
                             *reading.key,
                             {}});
  return Status::OK();
}

// Reads a value's line: NAME=DATA, or NAME=- to delete the value. Returns why the line is
// refused, or ok.
Status ReadValueLine(std::string_view line, std::size_t number, FileReading& reading) {
  if (!reading.key)
    return Status::Failed("a value must follow the name of a key");
  if (reading.keyDeleted)
    return Status::OK();
  const ValueName name = ReadValueName(line);
  if (name.unclosed)
    return Status::Failed("a value's name must be in quotes");
  if (!name.name)
    return Status::Failed("not a key, a value or a comment");
  line = TrimmedLeft(line);
  if (!line.starts_with('='))
    return Status::Failed("a value's name must be followed by =");
  const ParsedData data = ParseData(TrimmedLeft(line.substr(1)), reading.wideText);
  if (!data.ok())
    return data.status();
  using Kind = FileChange::Kind;
  reading.changes.push_back({*data ? Kind::WriteValue : Kind::DeleteValue,
                             number,
                             *reading.key,
                             {*name.name, data->value_or(store::Value{})}});
  return Status::OK();
}

// Reads one line after the header: a key, a value, or nothing (blank, or a comment). Returns why
// the line is refused, or ok.
Status ReadLine(std::string_view line, std::size_t number, FileReading& reading) {
  if (line.empty() || line.starts_with(';'))
    return Status::OK();
  if (line.starts_with('['))
    return ReadKeyLine(line, number, reading);
  return ReadValueLine(line, number, reading);
}

}  // namespace

std::string FormatRegistryFile(const std::vector<ExportedKey>& keys) {
  std::string text = std::string(kVersion5) + "\r\n\r\n";
  for (const ExportedKey& key : keys) {
    text += "[" + key.name + "]\r\n";
    for (const store::NamedValue& value : key.values)
      text += FormatValue(value);
    text += "\r\n";
  }
  return "\xFF\xFE" + Utf16FromText(text);
}

Result<std::vector<FileChange>> ParseRegistryFile(std::string_view bytes) {
  const DecodedFile decoded = Decoded(bytes);
  if (decoded.loneSurrogateLine)
    return Refused(*decoded.loneSurrogateLine, kLoneSurrogate);
  const LogicalText text = LogicalLines(decoded.text);
  if (text.endsInsideValue)
    return Refused(text.lines.back().number, "the file ends inside this value's data");
  const std::string_view header =
      text.lines.empty() ? std::string_view() : TrimmedLeft(text.lines[0].text);
  if (header != kVersion5 && header != kVersion4) {
    return Refused(1,
                   "a registry file starts with \"Windows Registry Editor Version 5.00\" or "
                   "\"REGEDIT4\"");
  }
  FileReading reading{header == kVersion5};
  for (std::size_t i = 1; i < text.lines.size(); ++i) {
    const FileLine& line = text.lines[i];
    if (Status read = ReadLine(TrimmedLeft(line.text), line.number, reading); !read.ok())
      return Refused(line.number, read.message());
  }
  return std::move(reading.changes);
}

}  // namespace reg
