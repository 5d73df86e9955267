// Times whole runs of programs, interleaved, and prints each one's median wall time.
//
// Usage: time_runs ROUNDS CASES_FILE
// Each line of CASES_FILE is one case, its fields separated by tabs: a label, then any
// NAME=VALUE settings for the environment, then the program and its arguments (no shell is
// involved). "{run}" in an argument stands for the number of the run, counted over all cases, so
// that a program that records what it is given records something new each time.
// Every round runs each case once, in an order that rotates from round to round, so that slow
// phases of the machine fall on all cases alike. A run is timed from just before its process is
// spawned until it has been waited for; its standard input and output are /dev/null.
// Prints one line per case: label, median, first and third quartile in microseconds, and runs.
// Exits non-zero when a case cannot be spawned or ends with a non-zero status.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace {

struct Case {
  std::string label;
  std::vector<std::string> environment;  // the parent's, with the case's settings applied
  std::vector<std::string> arguments;
  std::vector<double> microseconds;
};

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream stream(line);
  for (std::string field; std::getline(stream, field, '\t');)
    fields.push_back(field);
  return fields;
}

// The parent's environment with `setting` (NAME=VALUE) added or replacing the same name.
void ApplySetting(std::vector<std::string>& environment, const std::string& setting) {
  const std::string prefix = setting.substr(0, setting.find('=') + 1);
  std::erase_if(environment, [&](const std::string& entry) { return entry.starts_with(prefix); });
  environment.push_back(setting);
}

std::vector<Case> ReadCases(const char* path) {
  std::vector<std::string> parentEnvironment;
  for (char** entry = environ; *entry != nullptr; ++entry)
    parentEnvironment.emplace_back(*entry);
  std::vector<Case> cases;
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) {
    std::vector<std::string> fields = SplitTabs(line);
    if (fields.size() < 2)
      continue;
    Case entry{fields[0], parentEnvironment, {}, {}};
    std::size_t field = 1;
    for (; field < fields.size() && fields[field].find('=') != std::string::npos; ++field) {
      ApplySetting(entry.environment, fields[field]);
    }
    entry.arguments.assign(fields.begin() + static_cast<std::ptrdiff_t>(field), fields.end());
    if (!entry.arguments.empty())
      cases.push_back(std::move(entry));
  }
  return cases;
}

std::vector<char*> PointersTo(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts)
    pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// The arguments with each "{run}" replaced by `run`.
std::vector<std::string> ArgumentsOfRun(const std::vector<std::string>& arguments, int run) {
  constexpr std::string_view kPlaceholder = "{run}";
  std::vector<std::string> result = arguments;
  for (std::string& argument : result) {
    for (std::size_t at = argument.find(kPlaceholder); at != std::string::npos;
         at = argument.find(kPlaceholder, at)) {
      argument.replace(at, kPlaceholder.size(), std::to_string(run));
    }
  }
  return result;
}

// Runs the case once. Returns its wall time in microseconds, or a negative number on failure.
double TimeOneRun(Case& entry, int run) {
  std::vector<std::string> argumentTexts = ArgumentsOfRun(entry.arguments, run);
  std::vector<char*> arguments = PointersTo(argumentTexts);
  std::vector<char*> environment = PointersTo(entry.environment);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);

  const auto start = std::chrono::steady_clock::now();
  pid_t child = 0;
  const int spawned =
      posix_spawnp(&child, arguments[0], &actions, nullptr, arguments.data(), environment.data());
  int status = 0;
  const bool waited = spawned == 0 && waitpid(child, &status, 0) == child;
  const auto end = std::chrono::steady_clock::now();
  posix_spawn_file_actions_destroy(&actions);

  if (!waited || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return -1;
  return std::chrono::duration<double, std::micro>(end - start).count();
}

double Quantile(std::vector<double> values, double q) {
  std::sort(values.begin(), values.end());
  const double position = q * static_cast<double>(values.size() - 1);
  const auto below = static_cast<std::size_t>(position);
  const std::size_t above = std::min(below + 1, values.size() - 1);
  const double fraction = position - static_cast<double>(below);
  return values[below] + fraction * (values[above] - values[below]);
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 3 || std::atoi(argv[1]) <= 0) {
    std::fprintf(stderr, "usage: time_runs ROUNDS CASES_FILE\n");
    return 2;
  }
  const int rounds = std::atoi(argv[1]);
  std::vector<Case> cases = ReadCases(argv[2]);
  if (cases.empty()) {
    std::fprintf(stderr, "time_runs: no cases in %s\n", argv[2]);
    return 2;
  }
  int run = 0;
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t i = 0; i < cases.size(); ++i) {
      Case& entry = cases[(i + static_cast<std::size_t>(round)) % cases.size()];
      const double microseconds = TimeOneRun(entry, ++run);
      if (microseconds < 0) {
        std::fprintf(stderr, "time_runs: case %s failed\n", entry.label.c_str());
        return 1;
      }
      entry.microseconds.push_back(microseconds);
    }
  }
  for (const Case& entry : cases) {
    std::printf("%s\t%.1f\t%.1f\t%.1f\t%zu\n", entry.label.c_str(),
                Quantile(entry.microseconds, 0.5), Quantile(entry.microseconds, 0.25),
                Quantile(entry.microseconds, 0.75), entry.microseconds.size());
  }
  return 0;
}
