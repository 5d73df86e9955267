// Measures the pattern numbering against the floor of any implementation: copying and scanning
// the same names. Prints nanoseconds per name for both and their ratio after the usual report.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "pattern/pattern_number.h"

namespace {

constexpr std::size_t kNameCount = 1024;
constexpr std::size_t kLongestName = 64;

// A fixed pseudo-random sequence, so that every run measures the same names.
std::uint32_t NextRandom(std::uint32_t& state) {
  state = state * 1664525u + 1013904223u;
  return state >> 8;
}

std::string Digits(std::uint32_t value, int width) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*u", width, static_cast<unsigned>(value));
  return text;
}

// Names of every form, upper and lower case, bare and behind drive and folder prefixes, with a
// share that fits no form. Each is shorter than kLongestName.
std::vector<std::string> MixedNames() {
  static constexpr std::array<std::string_view, 4> kPrefixes = {
      "", "C:\\defs\\", "D:", "C:\\Program Files\\av\\pat\\"};
  std::uint32_t state = 2003;
  std::vector<std::string> names;
  names.reserve(kNameCount);
  for (std::size_t i = 0; i < kNameCount; ++i) {
    const std::uint32_t r = NextRandom(state);
    std::string name(kPrefixes[r % kPrefixes.size()]);
    switch (i % 6) {
      case 0:
        name += Digits(1998 + r % 30, 4) + Digits(1 + r % 12, 2) + Digits(1 + r % 28, 2) + "." +
                Digits(r % 1000, 3);
        break;
      case 1:
        name += std::string(r % 2 ? "AV" : "qm") + Digits(r % 5000, 1 + static_cast<int>(r % 4)) +
                std::string("ABCDEFGH", r % 5) + ".ZIP";
        break;
      case 2:
        name += "VD" + Digits(r % 100000, 5) + "a2b.dat";
        break;
      case 3:
        name += std::string(r % 2 ? "LPT$QMN." : "lpt$qmn.") +
                Digits(r % 100000, 1 + static_cast<int>(r % 5));
        break;
      case 4:
        name += Digits(r % 100000000, 8) + ".01";
        break;
      default:
        name += "readme" + Digits(r % 100, 2) + ".txt";
        break;
    }
    names.push_back(name);
  }
  return names;
}

const std::vector<std::string>& Names() {
  static const std::vector<std::string> names = MixedNames();
  return names;
}

// The least that any implementation does with a name: copy it and look at every character once,
// here to find its last backslash.
std::size_t CopyAndScan(std::string_view name) {
  std::array<char, kLongestName> copy;
  const std::size_t length = std::min(name.size(), copy.size());
  std::memcpy(copy.data(), name.data(), length);
  benchmark::DoNotOptimize(copy);
  std::size_t lastBackslash = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (copy[i] == '\\')
      lastBackslash = i;
  }
  return lastBackslash;
}

void SetNamesProcessed(benchmark::State& state) {
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(Names().size()));
}

void BM_CopyAndScanFloor(benchmark::State& state) {
  for (auto _ : state) {
    for (const std::string& name : Names())
      benchmark::DoNotOptimize(CopyAndScan(name));
  }
  SetNamesProcessed(state);
}
BENCHMARK(BM_CopyAndScanFloor);

void BM_PatternNumberFromName(benchmark::State& state) {
  for (auto _ : state) {
    for (const std::string& name : Names()) {
      benchmark::DoNotOptimize(pattern::PatternNumberFromName(name));
    }
  }
  SetNamesProcessed(state);
}
BENCHMARK(BM_PatternNumberFromName);

// The console report, which also keeps each benchmark's CPU nanoseconds per name (CPU time, as
// other work on the machine inflates wall time): one entry per
// repetition, or the median of the repetitions when only aggregates are reported.
class NanosecondsPerNameReporter : public benchmark::ConsoleReporter {
 public:
  using ConsoleReporter::ConsoleReporter;

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const bool repetition = run.run_type == Run::RT_Iteration;
      if (!repetition && run.aggregate_name != "median")
        continue;
      const double nanoseconds = run.GetAdjustedCPUTime() * 1e9 /
                                 benchmark::GetTimeUnitMultiplier(run.time_unit) /
                                 static_cast<double>(Names().size());
      perName_[run.run_name.function_name].push_back(nanoseconds);
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // The median of what was kept for the benchmark, or 0 when it did not run.
  double MedianNanoseconds(const std::string& benchmark) {
    std::vector<double>& values = perName_[benchmark];
    if (values.empty())
      return 0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
  }

 private:
  std::map<std::string, std::vector<double>> perName_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  NanosecondsPerNameReporter reporter(isatty(STDOUT_FILENO)
                                          ? benchmark::ConsoleReporter::OO_ColorTabular
                                          : benchmark::ConsoleReporter::OO_Tabular);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const double floor = reporter.MedianNanoseconds("BM_CopyAndScanFloor");
  const double numbering = reporter.MedianNanoseconds("BM_PatternNumberFromName");
  std::printf("\n%zu mixed names\n", Names().size());
  std::printf("copy-and-scan floor     %8.2f ns per name\n", floor);
  std::printf("PatternNumberFromName   %8.2f ns per name\n", numbering);
  if (floor > 0 && numbering > 0)
    std::printf("ratio to the floor      %8.2f\n", numbering / floor);
  return 0;
}
