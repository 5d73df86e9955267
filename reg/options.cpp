// The options of the companion's operations, and what add needs of a command beyond them.
#include "reg/options.h"

#include <cstdio>
#include <optional>
#include <string>
#include <utility>

#include "reg/utf16.h"
#include "reg/value_text.h"

namespace reg {
namespace {

// Why add refuses the command's text, ok when it does not: the store keeps text as UTF-8, and
// registry files carry it as UTF-16, so text that is not UTF-8 would not come back as it was
// given.
base::Status CheckUtf8(const Command& command) {
  const std::pair<std::string_view, std::string_view> texts[] = {
      {"key name", command.key.path},
      {"value name", command.valueName ? std::string_view(*command.valueName) : std::string_view()},
      {"data", command.data ? std::string_view(*command.data) : std::string_view()}};
  for (const auto& [what, text] : texts) {
    if (const std::optional<std::size_t> at = FirstNotUtf8(text)) {
      char byte[8];
      std::snprintf(byte, sizeof byte, "0x%02X", static_cast<unsigned char>(text[*at]));
      return base::Status::Failed(
          "ERROR: The " + std::string(what) + " is not UTF-8 text: its byte " +
          std::to_string(*at + 1) + " (" + byte +
          ") starts no UTF-8 character, and the store keeps text as UTF-8.");
    }
  }
  return base::Status::OK();
}

}  // namespace

base::Status SetValueName(std::string_view word, Command& command) {
  command.valueName = std::string(word);
  return base::Status::OK();
}

base::Status SetUnnamedValue(std::string_view, Command& command) {
  command.valueName = std::string();
  return base::Status::OK();
}

base::Status SetAllValues(std::string_view, Command& command) {
  command.allValues = true;
  return base::Status::OK();
}

base::Status SetType(std::string_view word, Command& command) {
  const std::optional<std::uint32_t> type = TypeNumber(word);
  if (!type)
    return base::Status::Failed("ERROR: Invalid type: " + std::string(word) + ".");
  command.type = *type;
  return base::Status::OK();
}

base::Status SetData(std::string_view word, Command& command) {
  command.data = std::string(word);
  return base::Status::OK();
}

base::Status SetSeparator(std::string_view word, Command& command) {
  if (word.size() != 1)
    return base::Status::Failed("ERROR: The separator of /s must be one character.");
  command.separator = std::string(word);
  return base::Status::OK();
}

base::Status SetForce(std::string_view, Command& command) {
  command.force = true;
  return base::Status::OK();
}

base::Status SetRecursive(std::string_view, Command& command) {
  command.recursive = true;
  return base::Status::OK();
}

base::Status SetNothing(std::string_view, Command&) {
  return base::Status::OK();
}

base::Status CompleteAdd(Command& command) {
  if (!command.valueName)
    command.valueName = std::string();
  if (!command.data && (command.type == store::kRegDword || command.type == kRegDwordBigEndian))
    return base::Status::Failed(
        InvalidSyntax("a " + TypeName(command.type) + " value needs its number after /d"));
  return CheckUtf8(command);
}

}  // namespace reg
