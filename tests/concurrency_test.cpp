// Runs of the real program at the same time as each other and as crudini
// editing another key of the same file: whatever the timing, the file must
// end as some one-after-the-other order of the runs leaves it, and no edit
// may be lost; and a run against an editor that saves in place.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/wait.h>
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

#include "profile/profile_store.h"
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

// An editor that saves in place, without a lock: opens the file, truncates
// it, takes a moment, writes its text. Started before a run, or while a run
// holds the file, its text is always there afterwards, and the rules too.
TEST(Concurrency, InPlaceWriterLosesNothing) {
  const std::string large = OtherSections(4 << 20);  // a run that takes a while
  const std::string before = "; before the editor saved\r\n" + large;
  const std::string saved = kUserRules + large;
  const std::string installed = InstalledRules() + large;
  TempDir dir;
  const std::string path = dir.File("autoexp.dat");
  std::mt19937 random(7);
  std::uniform_int_distribution<int> stagger(1000, 10000);
  for (int round = 0; round < 20; ++round) {
    WriteBytes(path, before);
    // The writer is started ahead and waits for a byte on a pipe, so that
    // it opens the file the moment it is told to.
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    pid_t writer = fork();
    if (writer == 0) {
      char byte;
      bool told = read(go[0], &byte, 1) == 1;
      int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
      usleep(50000);
      bool written = told && fd >= 0 &&
                     write(fd, saved.data(), saved.size()) == static_cast<ssize_t>(saved.size());
      _exit(written && close(fd) == 0 ? 0 : 1);
    }
    close(go[0]);
    bool writerFirst = round % 2 == 0;
    std::unique_ptr<RunningProgram> run;
    if (writerFirst) {
      ASSERT_EQ(write(go[1], "!", 1), 1);
      std::this_thread::sleep_for(std::chrono::microseconds(stagger(random)));
      run = Start(Step::kInstall, dir);
    } else {
      // The run's first step opens the file to lock it: the writer is told
      // the moment that open happens.
      int watch = inotify_init1(IN_CLOEXEC);
      ASSERT_GE(inotify_add_watch(watch, path.c_str(), IN_OPEN), 0);
      run = Start(Step::kInstall, dir);
      struct pollfd opened = {watch, POLLIN, 0};
      ASSERT_EQ(poll(&opened, 1, 10000), 1);
      ASSERT_EQ(write(go[1], "!", 1), 1);
      close(watch);
    }
    close(go[1]);
    Outcome outcome = run->Finish();
    int status = 0;
    waitpid(writer, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
    ASSERT_EQ(outcome.status, 0) << "round " << round << ": "
                                 << (outcome.traces.empty() ? "" : outcome.traces.back());
    std::string result = ReadBytes(path);
    ASSERT_TRUE(result == installed)
        << "round " << round << (writerFirst ? ", writer first" : ", writer during the run") << ": "
        << result.size() << " bytes, " << installed.size() << " expected";
  }
}

// A program that holds a write lease on the file (a file server, an editor
// that caches) is told to let go when a run opens it, and writes back what
// it holds first. The run waits for it, never taking the refused open for a
// missing file, and edits what it wrote.
// Another program that holds the file for writing, by a write lease or a
// lock of flock() or fcntl() as tools take them, is waited for, and what it
// saves (by a rename, as flock(1) users do) is edited.
TEST(Concurrency, WritersAndLockersAreWaitedFor) {
  struct Holder {
    const char* name;
    int mode;  // how the holder opens the file
    bool (*take)(int fd);
  } holders[] = {
      {"a write lease", O_RDWR, [](int fd) { return fcntl(fd, F_SETLEASE, F_WRLCK) == 0; }},
      {"flock()", O_RDONLY, [](int fd) { return flock(fd, LOCK_EX) == 0; }},
      {"an fcntl() lock", O_RDWR, [](int fd) { return lockf(fd, F_LOCK, 0) == 0; }},
  };
  for (const Holder& h : holders) {
    SCOPED_TRACE(h.name);
    TempDir dir;
    const std::string path = dir.File("autoexp.dat");
    WriteBytes(path, "; before\r\n");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    if (holder == 0) {
      signal(SIGIO, SIG_IGN);
      int fd = open(path.c_str(), h.mode);
      bool held = fd >= 0 && h.take(fd);
      if (write(ready[1], held ? "y" : "n", 1) != 1 || !held) {
        _exit(2);
      }
      // A lease's break pending shows as the lease it is to become; a lock
      // is held a while.
      for (int wait = 0; wait < 10000 && fcntl(fd, F_GETLEASE) == F_WRLCK; ++wait) {
        usleep(1000);
      }
      usleep(300000);
      WriteBytes(path + ".new", kUserRules);
      _exit(rename((path + ".new").c_str(), path.c_str()) == 0 ? 0 : 1);
    }
    char held = 0;
    ASSERT_EQ(read(ready[0], &held, 1), 1);
    close(ready[0]);
    close(ready[1]);
    if (held != 'y') {
      waitpid(holder, nullptr, 0);
      continue;  // no write leases here
    }
    Outcome outcome = Start(Step::kInstall, dir)->Finish();
    int status = 0;
    waitpid(holder, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(outcome.status, 0) << (outcome.traces.empty() ? "" : outcome.traces.back());
    EXPECT_EQ(ReadBytes(path), InstalledRules());
  }
}

}  // namespace
