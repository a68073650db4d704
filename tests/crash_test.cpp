// Kills the real program with SIGKILL at random moments of its run and checks
// that the rules file is always either as it was or as a finished run leaves
// it, and that the temporary files of killed runs do not pile up.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/program_runner.h"
#include "tests/sample_rules.h"
#include "tests/test_files.h"

namespace {

constexpr int kKillsPerDirection = 200;

std::vector<std::string> Leftovers(const TempDir& dir) {
  std::vector<std::string> names = dir.Names();
  names.erase(std::remove_if(names.begin(), names.end(),
                             [](const std::string& name) { return name.rfind("~a", 0) != 0; }),
              names.end());
  return names;
}

struct Direction {
  const char* name;
  std::string before;
  std::string after;
  std::vector<std::string> arguments;
};

class CrashConsistency : public testing::TestWithParam<bool> {};

TEST_P(CrashConsistency, KilledRunLeavesBeforeOrAfter) {
  TempDir dir;
  const std::string rules = dir.File("autoexp.dat");
  const std::string filler = OtherSections(4 << 20);
  bool install = GetParam();
  Direction direction = install ? Direction{"install",
                                            kUserRules + filler,
                                            InstalledRules() + filler,
                                            {dir.path(), "/", "71", "I", "5", "6", "1"}}
                                : Direction{"uninstall",
                                            InstalledRules() + filler,
                                            UninstalledRules() + filler,
                                            {dir.path(), "/", "71", "U"}};

  // How long a whole run takes here, so that kills spread over all of it.
  std::chrono::nanoseconds runTime(0);
  for (int i = 0; i < 3; ++i) {
    WriteBytes(rules, direction.before);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(RunSetup(direction.arguments).status, 0);
    runTime = std::max(runTime, std::chrono::steady_clock::now() - start);
    ASSERT_EQ(ReadBytes(rules), direction.after);
  }

  std::mt19937 random(install ? 71u : 17u);
  std::uniform_int_distribution<long long> moment(0, runTime.count() * 11 / 10);
  int sawBefore = 0;
  int sawAfter = 0;
  bool backedUp = false;
  WriteBytes(rules, direction.before);
  for (int kill = 0; kill < kKillsPerDirection; ++kill) {
    RunningProgram program(AUTOEXP_SETUP_PATH, direction.arguments);
    std::this_thread::sleep_for(std::chrono::nanoseconds(moment(random)));
    ::kill(program.pid(), SIGKILL);
    program.Finish();

    std::string now = ReadBytes(rules);
    ASSERT_TRUE(now == direction.before || now == direction.after)
        << direction.name << " killed at run " << kill << " left " << now.size() << " bytes";
    // Each run removes what the last killed one left: at most the temporary
    // file for the rules and the two second names of the backup's steps.
    ASSERT_LE(Leftovers(dir).size(), 3u) << "run " << kill;
    // A backup, once made, holds the bytes a run started from, whenever the
    // next run is killed.
    if (install && !backedUp) {
      backedUp = ReadBytes(dir.File("autoexp.bak")) == direction.before;
    } else if (install) {
      ASSERT_EQ(ReadBytes(dir.File("autoexp.bak")), direction.before) << "run " << kill;
    }
    if (now == direction.after) {
      ++sawAfter;
      WriteBytes(rules, direction.before);
    } else {
      ++sawBefore;
    }
  }
  // Kills landed both before and after the replacement.
  EXPECT_GT(sawBefore, 0);
  EXPECT_GT(sawAfter, 0);

  ASSERT_EQ(RunSetup(direction.arguments).status, 0);
  EXPECT_EQ(ReadBytes(rules), direction.after);
  EXPECT_TRUE(Leftovers(dir).empty());
}

INSTANTIATE_TEST_SUITE_P(Runs, CrashConsistency, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& run) {
                           return run.param ? "Install" : "Uninstall";
                         });

}  // namespace
