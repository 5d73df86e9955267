// Start-up: the fatal framework path, the argument taken, and the exit status.
#include "app/run.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "tests/fake_platform.h"

namespace {

struct RunResult {
  int status;
  std::string out;
  std::string err;
};

RunResult RunTool(std::vector<std::string> arguments) {
  std::vector<char*> argv;
  for (std::string& argument : arguments)
    argv.push_back(argument.data());
  argv.push_back(nullptr);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int status = app::RunPatternCounters(static_cast<int>(arguments.size()), argv.data());
  std::fflush(stdout);
  std::string out = testing::internal::GetCapturedStdout();
  return {status, out, testing::internal::GetCapturedStderr()};
}

void ResetRegistry() {
  fake::TheRegistry() = fake::Registry{};
  fake::TheRegistry().values = {{"ParentBackRevCounter", fake::Dword(5)},
                                {"BackRevCounter", fake::Dword(5)},
                                {"ParentPattern", fake::Dword(1)},
                                {"UsingPattern", fake::Dword(1)}};
}

TEST(RunPatternCounters, FrameworkThatCannotStartEndsWithStatusOneAndNoRegistryAccess) {
  ResetRegistry();
  fake::TheRegistry().frameworkStarts = false;
  const RunResult result = RunTool({"pattern-counters", "C:\\defs\\20030214.012"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Fatal Error: MFC initialization failed\n");
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(fake::TheRegistry().calls.empty());
}

TEST(RunPatternCounters, UsesTheFirstArgumentOnly) {
  const struct {
    std::vector<std::string> arguments;
    std::uint32_t parentPattern;
  } cases[] = {
      {{"pattern-counters"}, 0},
      {{"pattern-counters", "LPT$QMN.12"}, 12},
      {{"pattern-counters", "LPT$QMN.12", "LPT$QMN.34", "x"}, 12},
      {{"pattern-counters", "*.dat"}, 0},
  };
  for (const auto& c : cases) {
    ResetRegistry();
    const RunResult result = RunTool(c.arguments);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(fake::TheRegistry().values.at("ParentPattern").bytes,
              fake::Dword(c.parentPattern).bytes);
  }
}

TEST(RunPatternCounters, FailuresOfTheUpdateStillEndWithStatusZero) {
  ResetRegistry();
  fake::TheRegistry().keyOpens = false;
  const RunResult result = RunTool({"pattern-counters", "x"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "Cannot open CurrentVersion key.\n");
}

}  // namespace
