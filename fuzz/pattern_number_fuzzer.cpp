// Fuzz target for the pattern numbering: any bytes, any length, as the argument text.
//
// Besides what the sanitizers catch, it checks two things the numbering promises: the number
// depends on the file name alone (so the same name below another folder gives the same number),
// and only the case of the stem's letters is folded (so upper-casing them changes nothing).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "pattern/pattern_number.h"

namespace {

// The file name as the numbering finds it: after the last backslash, else after the first colon.
std::string_view FileNameOf(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  if (const auto backslash = text.rfind('\\'); backslash != std::string_view::npos) {
    return text.substr(backslash + 1);
  }
  if (const auto colon = text.find(':'); colon != std::string_view::npos) {
    return text.substr(colon + 1);
  }
  return text;
}

// The file name with the letters of its stem (before the first dot among its first 15
// characters) in upper case.
std::string WithUpperCaseStem(std::string_view fileName) {
  std::string name(fileName);
  const std::size_t dot = name.substr(0, 15).find('.');
  for (std::size_t i = 0; i < dot && i < name.size(); ++i) {
    if (name[i] >= 'a' && name[i] <= 'z')
      name[i] = static_cast<char>(name[i] - 'a' + 'A');
  }
  return name;
}

void Require(bool holds) {
  if (!holds)
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::uint32_t number = pattern::PatternNumberFromName(text);

  // Below a folder, so that a colon in the file name is not taken for a drive's.
  const std::string folder = "D:\\patterns\\";
  const std::string_view fileName = FileNameOf(text);
  Require(pattern::PatternNumberFromName(folder + std::string(fileName)) == number);
  Require(pattern::PatternNumberFromName(folder + WithUpperCaseStem(fileName)) == number);
  return 0;
}
