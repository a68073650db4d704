// The real program against what can go wrong around the rules file: writes
// that fail part-way, files it may not read or write, things that are no
// regular file, and inputs far larger than usual. Whatever happens, the
// user's bytes stay as they were unless the run finishes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "profile/profile_store.h"
#include "rules/display_rules.h"
#include "rules/rule_editing.h"
#include "tests/program_runner.h"
#include "tests/sample_rules.h"
#include "tests/test_files.h"

namespace {

std::vector<std::string> InstallIn(const std::string& directory, const char* backup = "1") {
  return {directory, "/", "71", "I", "5", "6", backup};
}
std::vector<std::string> UninstallIn(const std::string& directory) {
  return {directory, "/", "71", "U"};
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(Faults, WriteFailingPartWayLeavesEverythingAsItWas) {
  const std::string user = kUserRules + OtherSections(1 << 20);
  const std::string installed = InstalledRules() + OtherSections(1 << 20);
  struct Case {
    const char* name;
    const std::string& start;
    bool install;
    const char* backup;
    rlim_t limit;
    const char* error;  // how the error trace starts
  } cases[] = {
      // The installed rules are larger than the file was; the backup would
      // be made as the new rules take the file's place, so none is made. (A
      // backup alone is the old file under a second name: it writes nothing.)
      {"install", user, true, "1", user.size() + 100, "error: cannot write "},
      {"install without backup", user, true, "0", user.size() + 100, "error: cannot write "},
      {"uninstall", installed, false, "0", 4096, "error: cannot write "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string& start = c.start;
    WriteBytes(dir.File("autoexp.dat"), start);
    ProgramOptions options;
    options.fileSizeLimit = c.limit;
    Outcome outcome =
        RunSetup(c.install ? InstallIn(dir.path(), c.backup) : UninstallIn(dir.path()), options);
    EXPECT_EQ(outcome.status, 1);
    ASSERT_FALSE(outcome.traces.empty());
    EXPECT_EQ(outcome.traces.back().rfind(c.error, 0), 0u) << outcome.traces.back();
    EXPECT_TRUE(Contains(outcome.traces.back(), "File too large")) << outcome.traces.back();
    EXPECT_EQ(ReadBytes(dir.File("autoexp.dat")), start);
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"autoexp.dat"});
  }
}

// Stopped by the system part-way, a run still ends by itself with status 1,
// the files as they were and no temporary file left. (The file-size limit is
// the test above: the program starts with SIGXFSZ at its default action.)
TEST(Faults, NoDeathBySignalOrAllocation) {
  struct Case {
    const char* name;
    ProgramOptions options;
    std::size_t size;   // of the rules file
    const char* trace;  // how the last trace ends; null: none can be read
  };
  std::vector<Case> cases;
  cases.push_back({"standard error closed by its reader", {}, 0, nullptr});
  cases.back().options.closedStandardError = true;
#ifndef __SANITIZE_ADDRESS__
  // AddressSanitizer reserves far more address space than any limit here.
  cases.push_back({"address space smaller than the file", {}, 96 << 20, ": out of memory"});
  cases.back().options.addressSpaceLimit = 64 << 20;
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string start = kUserRules + OtherSections(c.size);
    WriteBytes(dir.File("autoexp.dat"), start);
    WriteBytes(dir.File("autoexp.bak"), "an older backup");
    Outcome outcome = RunSetup(InstallIn(dir.path()), c.options);
    EXPECT_EQ(outcome.signal, 0);
    EXPECT_EQ(outcome.status, 1);
    if (c.trace != nullptr) {
      ASSERT_FALSE(outcome.traces.empty());
      const std::string& last = outcome.traces.back();
      EXPECT_EQ(last.rfind("error: ", 0), 0u) << last;
      EXPECT_TRUE(Contains(last, dir.File("autoexp.dat"))) << last;
      EXPECT_EQ(last.substr(last.size() - std::min(last.size(), std::strlen(c.trace))), c.trace);
    }
    EXPECT_EQ(ReadBytes(dir.File("autoexp.dat")), start);
    EXPECT_EQ(ReadBytes(dir.File("autoexp.bak")), "an older backup");
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"autoexp.bak", "autoexp.dat"}));
  }
}

// What is at the rules file's place, who runs the program, and what it must
// make of that.
struct KindCase {
  const char* name;
  std::function<void(const TempDir&)> arrange;  // the rules file is written first
  bool install;
  bool unprivileged;
  int status;
  // The end of the last trace after the directory, such as
  // "autoexp.dat: Permission denied"; null when no error is expected.
  const char* error;
  std::vector<std::string> names;     // what the directory holds afterwards
  std::string contents = kUserRules;  // the rules file before the run
};

class PermissionsAndKinds : public testing::TestWithParam<int> {};

const std::vector<KindCase>& KindCases() {
  auto chmodFile = [](mode_t mode) {
    return [mode](const TempDir& d) { chmod(d.File("autoexp.dat").c_str(), mode); };
  };
  auto replaceWith = [](std::function<int(const std::string&)> make) {
    return [make](const TempDir& d) {
      unlink(d.File("autoexp.dat").c_str());
      make(d.File("autoexp.dat"));
    };
  };
  static const std::vector<KindCase> cases = {
      // A refused write makes no backup either.
      {"read-only file",
       chmodFile(0444),
       true,
       false,
       1,
       "autoexp.dat: file is read-only",
       {"autoexp.dat"}},
      // Nothing to write, so nothing is refused; the backup asked for is made.
      {"read-only file, already installed",
       chmodFile(0444),
       true,
       false,
       0,
       nullptr,
       {"autoexp.bak", "autoexp.dat"},
       InstalledRules()},
      {"read-only file, nothing to remove",
       chmodFile(0444),
       false,
       false,
       0,
       nullptr,
       {"autoexp.dat"},
       "[AutoExpand]\r\nCPoint=x=<x> y=<y>\r\n"},
      {"unreadable file",
       chmodFile(0200),
       true,
       true,
       1,
       "autoexp.dat: Permission denied",
       {"autoexp.dat"}},
      {"unreadable file, uninstall",
       chmodFile(0200),
       false,
       true,
       1,
       "autoexp.dat: Permission denied",
       {"autoexp.dat"}},
      {"read-only directory",
       [](const TempDir& d) {
         chmod(d.File("autoexp.dat").c_str(), 0666);
         chmod(d.path().c_str(), 0555);
       },
       true,
       true,
       1,
       "autoexp.dat: Permission denied",
       {"autoexp.dat"}},
      // A folder that may be written and searched, not listed, is locked all
      // the same.
      {"folder that cannot be listed",
       [](const TempDir& d) { chmod(d.path().c_str(), 0333); },
       false,
       true,
       0,
       nullptr,
       {"autoexp.dat"},
       "[AutoExpand]\r\nCPoint=x=<x> y=<y>\r\n"},
      {"directory in the file's place",
       replaceWith([](auto p) { return mkdir(p.c_str(), 0700); }),
       true,
       false,
       1,
       "autoexp.dat: is a directory",
       {"autoexp.dat"}},
      {"FIFO in the file's place",
       replaceWith([](auto p) { return mkfifo(p.c_str(), 0600); }),
       true,
       false,
       1,
       "autoexp.dat: not a regular file",
       {"autoexp.dat"}},
      {"FIFO, uninstall",
       replaceWith([](auto p) { return mkfifo(p.c_str(), 0600); }),
       false,
       false,
       1,
       "autoexp.dat: not a regular file",
       {"autoexp.dat"}},
      {"link to a device",
       replaceWith([](auto p) { return symlink("/dev/zero", p.c_str()); }),
       true,
       false,
       1,
       "autoexp.dat: not a regular file",
       {"autoexp.dat"}},
      // Another user may not decide which file a run writes.
      {"another user's link",
       [](const TempDir& d) {
         rename(d.File("autoexp.dat").c_str(), d.File("real.dat").c_str());
         symlink("real.dat", d.File("autoexp.dat").c_str());
         lchown(d.File("autoexp.dat").c_str(), kNobody, kNobody);
       },
       true,
       false,
       1,
       "autoexp.dat: a symbolic link that belongs to another user, not followed",
       {"autoexp.dat", "real.dat"}},
      {"dangling link, uninstall",
       replaceWith([](auto p) { return symlink("real.dat", p.c_str()); }),
       false,
       false,
       0,
       nullptr,
       {"autoexp.dat"}},
  };
  return cases;
}

TEST_P(PermissionsAndKinds, ExpectedOutcomeAndNoByteLost) {
  const KindCase& c = KindCases()[static_cast<std::size_t>(GetParam())];
  SCOPED_TRACE(c.name);
  TempDir dir;
  WriteBytes(dir.File("autoexp.dat"), c.contents);
  ProgramOptions options;
  if (c.unprivileged && geteuid() == 0) {
    // Root may read and write anything; the user must be an ordinary one,
    // who can reach the directory.
    chmod(dir.path().c_str(), 0777);
    options.user = kNobody;
  }
  c.arrange(dir);
  struct stat before;
  bool regular = lstat(dir.File("autoexp.dat").c_str(), &before) == 0 && S_ISREG(before.st_mode);
  auto started = std::chrono::steady_clock::now();
  Outcome outcome = RunSetup(c.install ? InstallIn(dir.path()) : UninstallIn(dir.path()), options);
  // A FIFO or device is refused at once, never read until a writer comes.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  EXPECT_EQ(outcome.status, c.status);
  if (c.error != nullptr) {
    ASSERT_FALSE(outcome.traces.empty());
    EXPECT_TRUE(Contains(outcome.traces.back(), dir.File(c.error))) << outcome.traces.back();
  } else {
    EXPECT_TRUE(outcome.traces.empty() || outcome.traces.back().rfind("error:", 0) != 0);
  }
  chmod(dir.path().c_str(), 0700);
  chmod(dir.File("autoexp.dat").c_str(), 0600);
  if (regular) {
    EXPECT_EQ(ReadBytes(dir.File("autoexp.dat")), c.contents);
  }
  if (std::count(c.names.begin(), c.names.end(), "real.dat") != 0) {
    EXPECT_EQ(ReadBytes(dir.File("real.dat")), c.contents);
  }
  EXPECT_EQ(dir.Names(), c.names);
}

INSTANTIATE_TEST_SUITE_P(Cases, PermissionsAndKinds,
                         testing::Range(0, static_cast<int>(KindCases().size())));

TEST(Faults, MissingDirectoryIsAnErrorForInstallAndNothingForUninstall) {
  TempDir dir;
  std::string missing = dir.File("no/such/dir");
  Outcome install = RunSetup(InstallIn(missing));
  EXPECT_EQ(install.status, 1);
  ASSERT_FALSE(install.traces.empty());
  EXPECT_EQ(install.traces.back(),
            "error: cannot write " + missing + "/autoexp.dat: No such file or directory");
  EXPECT_EQ(RunSetup(UninstallIn(missing)).status, 0);
  EXPECT_TRUE(dir.Names().empty());
}

TEST(Faults, LinksAreFollowedAndSurvive) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.File("real").c_str(), 0700), 0);
  WriteBytes(dir.File("real/rules.dat"), kUserRules);
  ASSERT_EQ(symlink("real/rules.dat", dir.File("autoexp.dat").c_str()), 0);
  ASSERT_EQ(RunSetup(InstallIn(dir.path(), "0")).status, 0);
  EXPECT_EQ(ReadBytes(dir.File("real/rules.dat")), InstalledRules());
  ASSERT_EQ(RunSetup(UninstallIn(dir.path())).status, 0);
  EXPECT_EQ(ReadBytes(dir.File("real/rules.dat")), UninstalledRules());
  struct stat link;
  ASSERT_EQ(lstat(dir.File("autoexp.dat").c_str(), &link), 0);
  EXPECT_TRUE(S_ISLNK(link.st_mode));
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"autoexp.dat", "real"}));

  // A link to a file not there yet: the install makes the file, the link stays.
  TempDir other;
  ASSERT_EQ(symlink("made.dat", other.File("autoexp.dat").c_str()), 0);
  ASSERT_EQ(RunSetup(InstallIn(other.path())).status, 0);
  EXPECT_EQ(ReadBytes(other.File("made.dat")).rfind("[AutoExpand]\r\n", 0), 0u);
  ASSERT_EQ(lstat(other.File("autoexp.dat").c_str(), &link), 0);
  EXPECT_TRUE(S_ISLNK(link.st_mode));
}

TEST(LargeInputs, HundredMegabyteFile) {
  TempDir dir;
  const std::string filler = OtherSections(100 << 20);
  WriteBytes(dir.File("autoexp.dat"), kUserRules + filler);
  ASSERT_EQ(RunSetup(InstallIn(dir.path())).status, 0);
  EXPECT_TRUE(ReadBytes(dir.File("autoexp.dat")) == InstalledRules() + filler);
  EXPECT_TRUE(ReadBytes(dir.File("autoexp.bak")) == kUserRules + filler);
  ASSERT_EQ(RunSetup(UninstallIn(dir.path())).status, 0);
  EXPECT_TRUE(ReadBytes(dir.File("autoexp.dat")) == UninstalledRules() + filler);
}

TEST(LargeInputs, MegabyteLinesAreSavedAndRestoredWhole) {
  TempDir dir;
  const std::string longValue(1 << 20, 'v');
  const std::string key = RuleKey(kDisplayRules[0], true);
  const std::string text = "; " + std::string(1 << 20, 'c') + "\n[AutoExpand]\n" + key + "=" +
                           longValue + "\n[Other]\nlong=" + longValue + "\n";
  WriteBytes(dir.File("autoexp.dat"), text);
  ASSERT_EQ(RunSetup(InstallIn(dir.path(), "0")).status, 0);
  {
    std::string installedText = ReadBytes(dir.File("autoexp.dat"));
    ProfileStore installed(installedText);
    EXPECT_TRUE(installed.Read(kAutoExpandSection, std::string(kSavedKeyPrefix) + key) ==
                longValue);
    EXPECT_EQ(installed.Read(kAutoExpandSection, key), kDisplayRules[0].value);
  }
  ASSERT_EQ(RunSetup(UninstallIn(dir.path())).status, 0);
  std::string after = ReadBytes(dir.File("autoexp.dat"));
  ProfileStore uninstalled(after);
  EXPECT_TRUE(uninstalled.Read(kAutoExpandSection, key) == longValue);
  EXPECT_TRUE(uninstalled.Read("Other", "long") == longValue);
  EXPECT_EQ(after.rfind("; " + std::string(1 << 20, 'c') + "\n", 0), 0u);
}

TEST(LargeInputs, HundredKilobyteArgumentsAreTracedAndRefused) {
  TempDir dir;
  const std::string longDirectory = dir.path() + "/" + std::string(100 << 10, 'd');
  Outcome outcome = RunSetup(InstallIn(longDirectory));
  EXPECT_EQ(outcome.status, 1);
  ASSERT_EQ(outcome.traces.size(), 3u);
  EXPECT_EQ(outcome.traces[0], longDirectory);
  EXPECT_TRUE(Contains(outcome.traces[2], "File name too long")) << outcome.traces[2].substr(0, 80);

  // Long arguments that do not name a path are taken as they come.
  WriteBytes(dir.File("autoexp.dat"), kUserRules);
  const std::string longWord(100 << 10, 'x');
  EXPECT_EQ(RunSetup({dir.path(), "/", longWord, "I", longWord, longWord, longWord}).status, 0);
  Outcome longSubPath = RunSetup({dir.path(), longWord, "71", "U"});
  EXPECT_EQ(longSubPath.status, 1);
  ASSERT_FALSE(longSubPath.traces.empty());
  EXPECT_TRUE(Contains(longSubPath.traces.back(), "File name too long"));
  EXPECT_TRUE(dir.Names() == std::vector<std::string>{"autoexp.dat"});
}

TEST(LargeInputs, BytesValidInNoEncodingAreKept) {
  std::mt19937 random(5);
  std::string noise(1 << 20, '\0');
  for (char& byte : noise) {
    byte = static_cast<char>(random());
  }
  // Headers in the noise might name AutoExpand; this keeps them out so the
  // edits have one place to go.
  for (std::size_t i = 0; i + 1 < noise.size(); ++i) {
    if (noise[i] == '[') {
      noise[i] = '\xFF';
    }
  }
  // The first line end sets the one that new lines get.
  noise = "; noise follows\r\n" + noise + "\n";
  TempDir dir;
  WriteBytes(dir.File("autoexp.dat"), noise + kUserRules);
  ASSERT_EQ(RunSetup(InstallIn(dir.path())).status, 0);
  EXPECT_TRUE(ReadBytes(dir.File("autoexp.dat")) == noise + InstalledRules());
  ASSERT_EQ(RunSetup(UninstallIn(dir.path())).status, 0);
  EXPECT_TRUE(ReadBytes(dir.File("autoexp.dat")) == noise + UninstalledRules());
}

}  // namespace
