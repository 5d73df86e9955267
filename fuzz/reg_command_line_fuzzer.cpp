// Fuzz target for the companion's command line: the input, split at NUL bytes, is the argument
// list (an argument can never hold a NUL itself).
//
// Besides what the sanitizers catch, it checks that an accepted key name comes back unchanged
// when written out in full and parsed again, and that accepted data of the types that show
// every byte reads back as the same bytes from what query would show.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "reg/command_line.h"
#include "reg/operation_table.h"
#include "reg/value_text.h"

namespace {

// The companion's operations, from its own table, without what runs them.
#define PATTERN_COUNTERS_OPERATION(name, words, options, complete, usage, run) \
  {name, words, options, complete, usage, nullptr},
constexpr reg::Operation kOperations[] = {
    PATTERN_COUNTERS_REG_OPERATIONS(PATTERN_COUNTERS_OPERATION)};
#undef PATTERN_COUNTERS_OPERATION

void Require(bool holds) {
  if (!holds)
    std::abort();
}

std::vector<std::string_view> SplitAtNul(std::string_view input) {
  std::vector<std::string_view> arguments;
  while (!input.empty()) {
    const std::size_t end = input.find('\0');
    arguments.push_back(input.substr(0, end));
    input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
  }
  return arguments;
}

void CheckKeyNameRoundTrip(const reg::Command& command) {
  const base::Result<reg::KeyName> again = reg::ParseKeyName(reg::FullKeyName(command.key));
  Require(again.ok());
  Require(again->root == command.key.root && again->path == command.key.path);
}

// Types whose shown data is enough to write the same bytes again (REG_NONE is given as text but
// shown as its bytes).
bool ShowsEveryByte(std::uint32_t type) {
  return type == store::kRegSz || type == store::kRegExpandSz || type == store::kRegBinary ||
         type == store::kRegDword || type == store::kRegQword;
}

void CheckDataRoundTrip(const reg::Command& command) {
  const reg::EncodedData encoded = reg::EncodeData(command.type, command.data, command.separator);
  if (!encoded.ok())
    return;
  const std::string shown = reg::DisplayData({command.type, *encoded});
  if (!ShowsEveryByte(command.type))
    return;
  const reg::EncodedData reread = reg::EncodeData(command.type, shown, command.separator);
  Require(reread.ok() && *reread == *encoded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const base::Result<reg::Command> parsed = reg::ParseCommandLine(kOperations, SplitAtNul(input));
  if (!parsed.ok() || parsed->operation == nullptr)
    return 0;
  if (parsed->operation->words != reg::Words::File)
    CheckKeyNameRoundTrip(*parsed);
  if (parsed->operation->name == "add")
    CheckDataRoundTrip(*parsed);
  return 0;
}
