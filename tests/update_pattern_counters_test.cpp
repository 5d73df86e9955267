// The counter update against a fake registry: every seed, report, warning and failure path.
#include "counters/update_pattern_counters.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "tests/fake_platform.h"

namespace {

using fake::Dword;
using fake::StoredValue;

constexpr const char* kReport1350668 =
    "ParentBackRevCount= 5\nBackRevCount= 5\nParent Pattern= 1350668\nCurrent Pattern= 1350668\n";

struct CounterCase {
  const char* title;
  std::map<std::string, StoredValue> before;
  std::set<std::string> unreadable;
  std::set<std::string> refusedWrites;
  std::string argument;
  std::string output;
  std::map<std::string, std::uint32_t> after;  // REG_DWORD values expected afterwards
};

std::map<std::string, StoredValue> Counters(std::uint32_t parentBackRev, std::uint32_t backRev,
                                            std::uint32_t parentPattern,
                                            std::uint32_t usingPattern) {
  return {{"ParentBackRevCounter", Dword(parentBackRev)},
          {"BackRevCounter", Dword(backRev)},
          {"ParentPattern", Dword(parentPattern)},
          {"UsingPattern", Dword(usingPattern)}};
}

// Runs the update on a fresh fake registry and returns what it printed.
std::string RunUpdate(const CounterCase& c) {
  fake::Registry& registry = fake::TheRegistry();
  registry = fake::Registry{};
  registry.values = c.before;
  registry.unreadable = c.unreadable;
  registry.refusedWrites = c.refusedWrites;
  testing::internal::CaptureStdout();
  counters::UpdatePatternCounters(c.argument);
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

std::map<std::string, StoredValue> Without(std::map<std::string, StoredValue> values,
                                           const std::string& name) {
  values.erase(name);
  return values;
}

const CounterCase kCases[] = {
    {"equal counters and patterns",
     Counters(5, 5, 1350668, 1350668),
     {},
     {},
     "C:\\defs\\20030214.012",
     kReport1350668,
     {{"ParentBackRevCounter", 5},
      {"BackRevCounter", 4},
      {"ParentPattern", 1350668},
      {"UsingPattern", 1350668}}},
    {"patterns differ",
     Counters(5, 5, 1350668, 1350656),
     {},
     {},
     "20030214.512",
     "ParentBackRevCount= 5\nBackRevCount= 5\nParent Pattern= 1350668\nCurrent Pattern= 1350656\n"
     "Parent and Local Pattern versions are different.\n",
     {{"ParentPattern", 1350656}, {"BackRevCounter", 4}}},
    {"both counters missing are seeded equal",
     Without(Without(Counters(0, 0, 7, 7), "ParentBackRevCounter"), "BackRevCounter"),
     {},
     {},
     "LPT$QMN.9",
     "Fail to query ParentBackRevCounter.\nCannot query BackRevCounter.\n"
     "ParentBackRevCount= 0\nBackRevCount= 0\nParent Pattern= 7\nCurrent Pattern= 7\n",
     {{"ParentBackRevCounter", 0}, {"BackRevCounter", 9999}, {"ParentPattern", 9}}},
    {"back-revision counter missing beside a parent count of 7",
     Without(Counters(7, 0, 7, 7), "BackRevCounter"),
     {},
     {},
     "LPT$QMN.9",
     "Cannot query BackRevCounter.\n"
     "ParentBackRevCount= 7\nBackRevCount= 0\nParent Pattern= 7\nCurrent Pattern= 7\n"
     "BackRev counts are already different.\n",
     {{"ParentBackRevCounter", 7}, {"BackRevCounter", 9999}}},
    {"pattern in use missing ends the update after the seeds",
     Without(Without(Counters(0, 3, 42, 0), "ParentBackRevCounter"), "UsingPattern"),
     {},
     {},
     "LPT$QMN.9",
     "Fail to query ParentBackRevCounter.\nCannot query UsingPattern.\n",
     {{"ParentBackRevCounter", 0}, {"BackRevCounter", 3}, {"ParentPattern", 42}}},
    {"parent pattern stored as long text is replaced; 9999 steps to 9998",
     [] {
       auto values = Counters(9999, 9999, 0, 1350668);
       values["ParentPattern"] = {1, std::string("1350668\0", 8)};
       return values;
     }(),
     {},
     {},
     "C:\\defs\\20030214.012",
     "Cannot query ParentPattern.\n"
     "ParentBackRevCount= 9999\nBackRevCount= 9999\nParent Pattern= 0\nCurrent Pattern= 1350668\n"
     "Parent and Local Pattern versions are different.\n",
     {{"ParentPattern", 1350668}, {"BackRevCounter", 9998}}},
    {"short values fill the low-order bytes",
     [] {
       auto values = Counters(0, 0, 0, 0);
       values["ParentBackRevCounter"] = {3, "\x01\x02"};
       values["BackRevCounter"] = {0, ""};
       values["UsingPattern"] = {1, std::string("\x07", 1)};
       return values;
     }(),
     {},
     {},
     "",
     "ParentBackRevCount= 513\nBackRevCount= 0\nParent Pattern= 0\nCurrent Pattern= 7\n"
     "Parent and Local Pattern versions are different.\n"
     "BackRev counts are already different.\n",
     {{"BackRevCounter", 9999}, {"ParentPattern", 0}}},
    {"an unreadable counter is seeded like a missing one",
     Counters(5, 5, 9, 9),
     {"BackRevCounter"},
     {},
     "LPT$QMN.9",
     "Cannot query BackRevCounter.\n"
     "ParentBackRevCount= 5\nBackRevCount= 0\nParent Pattern= 9\nCurrent Pattern= 9\n"
     "BackRev counts are already different.\n",
     {{"BackRevCounter", 9999}}},
    {"values above 2^31 print as negative numbers",
     Counters(1, 4294967295u, 4294967295u, 4294967295u),
     {},
     {},
     "VD-1.X",
     "ParentBackRevCount= 1\nBackRevCount= -1\nParent Pattern= -1\nCurrent Pattern= -1\n"
     "BackRev counts are already different.\n",
     {{"BackRevCounter", 4294967294u}, {"ParentPattern", 4294967295u}}},
    {"a refused seed of the parent count ends the update",
     Without(Counters(5, 5, 9, 9), "ParentBackRevCounter"),
     {},
     {"ParentBackRevCounter"},
     "x",
     "Fail to query ParentBackRevCounter.\nCannot set ParentBackRevCounter.\n",
     {{"BackRevCounter", 5}, {"ParentPattern", 9}}},
    {"a refused seed of the counter ends the update",
     Without(Counters(5, 5, 9, 9), "BackRevCounter"),
     {},
     {"BackRevCounter"},
     "x",
     "Cannot query BackRevCounter.\nCannot set BackRevCounter.\n",
     {{"ParentPattern", 9}}},
    {"a refused seed of the parent pattern ends the update, earlier seeds stay",
     Without(Without(Counters(5, 5, 9, 9), "ParentPattern"), "ParentBackRevCounter"),
     {},
     {"ParentPattern"},
     "x",
     "Fail to query ParentBackRevCounter.\nCannot query ParentPattern.\n"
     "Cannot set ParentPattern.\n",
     {{"ParentBackRevCounter", 0}, {"BackRevCounter", 5}}},
    {"a refused parent pattern write ends the update before the step",
     Counters(5, 5, 1350668, 1350668),
     {},
     {"ParentPattern"},
     "LPT$QMN.9",
     std::string(kReport1350668) + "Cannot set ParentPattern.\n",
     {{"ParentPattern", 1350668}, {"BackRevCounter", 5}}},
    {"a refused step keeps the parent pattern written",
     Counters(6, 5, 1350668, 1350668),
     {},
     {"BackRevCounter"},
     "LPT$QMN.9",
     "ParentBackRevCount= 6\nBackRevCount= 5\nParent Pattern= 1350668\nCurrent Pattern= 1350668\n"
     "BackRev counts are already different.\nCannot set BackRevCounter.\n",
     {{"ParentPattern", 9}, {"BackRevCounter", 5}}},
};

TEST(UpdatePatternCounters, PrintsAndWritesAsEachCaseRequires) {
  for (const CounterCase& c : kCases) {
    SCOPED_TRACE(c.title);
    EXPECT_EQ(RunUpdate(c), c.output);
    const fake::Registry& registry = fake::TheRegistry();
    for (const auto& [name, value] : c.after) {
      ASSERT_EQ(registry.values.count(name), 1u) << name;
      EXPECT_EQ(registry.values.at(name).bytes, Dword(value).bytes) << name;
    }
    EXPECT_EQ(registry.calls.back(), "close") << "the key is closed on every path that opened it";
  }
}

TEST(UpdatePatternCounters, ReadsAndWritesInAFixedOrder) {
  RunUpdate({"", Counters(5, 5, 1, 1), {}, {}, "C:\\defs\\20030214.012", "", {}});
  const std::vector<std::string> expected = {
      "open SOFTWARE\\KESTRAN\\Fernhold\\Ostrevin\\CurrentVersion",
      "query ParentBackRevCounter",
      "query BackRevCounter",
      "query ParentPattern",
      "query UsingPattern",
      "set ParentPattern=1350668",
      "set BackRevCounter=4",
      "close"};
  EXPECT_EQ(fake::TheRegistry().calls, expected);
}

TEST(UpdatePatternCounters, SeedsAreWrittenWhereTheReadsFail) {
  RunUpdate({"", {{"UsingPattern", Dword(3)}}, {}, {}, "", "", {}});
  const std::vector<std::string> expected = {
      "open SOFTWARE\\KESTRAN\\Fernhold\\Ostrevin\\CurrentVersion",
      "query ParentBackRevCounter",
      "set ParentBackRevCounter=0",
      "query BackRevCounter",
      "set BackRevCounter=0",
      "query ParentPattern",
      "set ParentPattern=0",
      "query UsingPattern",
      "set ParentPattern=0",
      "set BackRevCounter=9999",
      "close"};
  EXPECT_EQ(fake::TheRegistry().calls, expected);
}

TEST(UpdatePatternCounters, AbsentKeyPrintsOneLineAndTouchesNothing) {
  fake::TheRegistry() = fake::Registry{};
  fake::TheRegistry().keyOpens = false;
  testing::internal::CaptureStdout();
  counters::UpdatePatternCounters("C:\\defs\\20030214.012");
  std::fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Cannot open CurrentVersion key.\n");
  EXPECT_EQ(fake::TheRegistry().calls.size(), 1u);
  EXPECT_TRUE(fake::TheRegistry().values.empty());
}

TEST(UpdatePatternCounters, ArgumentsOfFiftyCharactersOrMoreAreNumberedWhole) {
  const std::string longPath = "C:\\" + std::string(60, 'd') + "\\20030214.012";
  RunUpdate({"", Counters(5, 5, 0, 0), {}, {}, longPath, "", {}});
  EXPECT_EQ(fake::TheRegistry().values.at("ParentPattern").bytes, Dword(1350668).bytes);
}

}  // namespace
