// Fuzz target for reading registry files: the input is the file's bytes.
//
// Besides what the sanitizers catch, it checks that every value the file writes, written out
// again in a file of its own, reads back as the same value under the same key.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "reg/registry_file.h"
#include "reg/utf16.h"

namespace {

void Require(bool holds) {
  if (!holds)
    std::abort();
}

// Text types go through UTF-16 in a file; bytes that are not UTF-8 cannot come back the same.
bool SurvivesUtf16(const store::Value& value) {
  const bool text = value.type == store::kRegSz || value.type == store::kRegExpandSz ||
                    value.type == store::kRegMultiSz;
  return !text || reg::TextFromUtf16(reg::Utf16FromText(value.bytes)).text == value.bytes;
}

void CheckRoundTrip(const reg::FileChange& change) {
  // Each name on its own: two halves of a character are each lost, though together they survive.
  if (change.kind != reg::FileChange::Kind::WriteValue || !SurvivesUtf16(change.value.value) ||
      !SurvivesUtf16({store::kRegSz, change.keyName}) ||
      !SurvivesUtf16({store::kRegSz, change.value.name})) {
    return;
  }
  const base::Result<std::vector<reg::FileChange>> again =
      reg::ParseRegistryFile(reg::FormatRegistryFile({{change.keyName, {change.value}}}));
  Require(again.ok() && again->size() == 2);
  const reg::FileChange& written = (*again)[1];
  Require((*again)[0].keyName == change.keyName && written.keyName == change.keyName);
  Require(written.value.name == change.value.name);
  Require(written.value.value.type == change.value.value.type);
  Require(written.value.value.bytes == change.value.value.bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const base::Result<std::vector<reg::FileChange>> parsed = reg::ParseRegistryFile(input);
  if (!parsed.ok())
    return 0;
  for (const reg::FileChange& change : *parsed)
    CheckRoundTrip(change);
  return 0;
}
