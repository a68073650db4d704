// Runs of the real program at the same time as each other and as crudini
// editing another key of the same file: whatever the timing, the file must
// end as some one-after-the-other order of the runs leaves it, and no edit
// may be lost.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "rules/profile_store.h"
#include "tests/program_runner.h"
#include "tests/sample_rules.h"
#include "tests/test_files.h"

namespace {

constexpr char kCrudiniPath[] = "/usr/bin/crudini";

enum class Step { kInstall, kUninstall, kCrudini };

std::unique_ptr<RunningProgram> Start(Step step, const TempDir& dir) {
  switch (step) {
    case Step::kInstall:
      return std::make_unique<RunningProgram>(
          AUTOEXP_SETUP_PATH, std::vector<std::string>{dir.path(), "/", "71", "I", "5", "6", "0"});
    case Step::kUninstall:
      return std::make_unique<RunningProgram>(AUTOEXP_SETUP_PATH,
                                              std::vector<std::string>{dir.path(), "/", "71", "U"});
    case Step::kCrudini:
      break;
  }
  return std::make_unique<RunningProgram>(
      kCrudiniPath,
      std::vector<std::string>{"--set", dir.File("autoexp.dat"), "Other", "mine", "kept"});
}

// Every text that running |runs| one after the other, in any order, leaves.
std::set<std::string> SerialOutcomes(std::vector<Step> runs, const std::string& start) {
  std::set<std::string> outcomes;
  std::sort(runs.begin(), runs.end());
  do {
    TempDir dir;
    WriteBytes(dir.File("autoexp.dat"), start);
    for (Step step : runs) {
      EXPECT_EQ(Start(step, dir)->Finish().status, 0);
    }
    outcomes.insert(ReadBytes(dir.File("autoexp.dat")));
  } while (std::next_permutation(runs.begin(), runs.end()));
  return outcomes;
}

struct RaceCase {
  const char* name;
  std::vector<Step> runs;
  int rounds;
};

void PrintTo(const RaceCase& race, std::ostream* out) {
  *out << race.name;
}

class Concurrency : public testing::TestWithParam<RaceCase> {};

TEST_P(Concurrency, OutcomeIsSomeSerialOrder) {
  const RaceCase& c = GetParam();
  bool withCrudini = std::count(c.runs.begin(), c.runs.end(), Step::kCrudini) > 0;
  if (withCrudini && access(kCrudiniPath, X_OK) != 0) {
    GTEST_SKIP() << "crudini is not installed (scripts/test.sh installs it)";
  }
  const std::string start = kUserRules + OtherSections(withCrudini ? 64 << 10 : 1 << 20);
  const std::set<std::string> serial = SerialOutcomes(c.runs, start);

  std::mt19937 random(11);
  // crudini takes tens of milliseconds to start; staggering the starts
  // makes its read, lock and write meet the program's at varied moments.
  std::uniform_int_distribution<int> stagger(0, withCrudini ? 40000 : 3000);
  TempDir dir;
  for (int round = 0; round < c.rounds; ++round) {
    WriteBytes(dir.File("autoexp.dat"), start);
    std::vector<std::unique_ptr<RunningProgram>> running;
    for (Step step : c.runs) {
      running.push_back(Start(step, dir));
      std::this_thread::sleep_for(std::chrono::microseconds(stagger(random)));
    }
    for (auto& program : running) {
      Outcome outcome = program->Finish();
      ASSERT_EQ(outcome.status, 0)
          << "round " << round << ": " << (outcome.traces.empty() ? "" : outcome.traces.back());
    }
    std::string result = ReadBytes(dir.File("autoexp.dat"));
    if (withCrudini) {
      ASSERT_EQ(ProfileStore(result).Read("Other", "mine"), "kept") << "round " << round;
    }
    ASSERT_EQ(serial.count(result), 1u) << "round " << round << " left no serial outcome";
  }
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"autoexp.dat"});
}

INSTANTIATE_TEST_SUITE_P(
    Races, Concurrency,
    testing::Values(
        RaceCase{"InstallAgainstUninstall", {Step::kInstall, Step::kUninstall}, 60},
        RaceCase{"InstallAgainstInstall", {Step::kInstall, Step::kInstall}, 60},
        RaceCase{"CrudiniDuringBoth", {Step::kCrudini, Step::kInstall, Step::kUninstall}, 40},
        RaceCase{"InstallDuringCrudini", {Step::kCrudini, Step::kInstall}, 40}),
    [](const testing::TestParamInfo<RaceCase>& race) { return race.param.name; });

}  // namespace
