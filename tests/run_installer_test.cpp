#include "app/run_installer.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "profile/profile_store.h"
#include "rules/display_rules.h"
#include "rules/rule_editing.h"
#include "tests/fake_disk.h"

namespace {

int RunOn(FakeDisk& disk, std::vector<const char*> arguments) {
  arguments.insert(arguments.begin(), "autoexp-setup");
  return RunInstaller(static_cast<int>(arguments.size()), arguments.data(),
                      RunSystem{disk, true, std::chrono::milliseconds(200)});
}

const char kRules[] = "/dbg/autoexp.dat";
const char kBackup[] = "/dbg/autoexp.bak";
const char kUserFile[] =
    "; mine\r\n[AutoExpand]\r\nCEdit=<m_hWnd>\r\n\r\n[hresult]\r\n1=S_FALSE\r\n";

std::vector<const char*> Install(const char* backupFlag = "0") {
  return {"/dbg ", "/", "71", "I", "x", "y", backupFlag};
}
std::vector<const char*> Uninstall() {
  return {"/dbg", "/", "71", "U"};
}

TEST(RunInstaller, NoRunTouchesNoFile) {
  FakeDisk disk;
  EXPECT_EQ(RunOn(disk, {"/dbg", "", "71", "install", "x", "y", "1"}), kExitSucceeded);
  EXPECT_EQ(disk.calls[FakeDisk::kFinalPath], 0);
  EXPECT_TRUE(disk.files.empty());
}

TEST(RunInstaller, InstallWritesEveryRuleOnceAndSavesReplacedValue) {
  FakeDisk disk;
  disk.files[kRules] = kUserFile;
  EXPECT_EQ(RunOn(disk, Install()), kExitSucceeded);
  EXPECT_EQ(disk.calls[FakeDisk::kOpenFile], 1);
  ASSERT_EQ(disk.renamedTo, std::vector<std::string>{kRules});
  ProfileStore result(disk.files[kRules]);
  for (const DisplayRule& rule : kDisplayRules) {
    EXPECT_EQ(result.Read(kAutoExpandSection, RuleKey(rule, true)), rule.value);
  }
  EXPECT_EQ(result.Read(kAutoExpandSection, "ov-CEdit"), "<m_hWnd>");
  EXPECT_EQ(result.Read("hresult", "1"), "S_FALSE");
}

TEST(RunInstaller, SecondInstallAndUninstallOfNothingWriteNothing) {
  FakeDisk disk;
  disk.files[kRules] = kUserFile;
  ASSERT_EQ(RunOn(disk, Install()), kExitSucceeded);
  std::string installed = disk.files[kRules];
  EXPECT_EQ(RunOn(disk, Install()), kExitSucceeded);
  EXPECT_EQ(disk.renamedTo.size(), 1u);
  EXPECT_EQ(disk.files[kRules], installed);

  FakeDisk empty;
  EXPECT_EQ(RunOn(empty, Uninstall()), kExitSucceeded);
  EXPECT_TRUE(empty.files.empty());
}

TEST(RunInstaller, UninstallRestoresEverySavedValue) {
  FakeDisk disk;
  disk.files[kRules] = kUserFile;
  ASSERT_EQ(RunOn(disk, Install()), kExitSucceeded);
  ASSERT_EQ(RunOn(disk, Uninstall()), kExitSucceeded);
  EXPECT_EQ(disk.files[kRules], kUserFile);
}

TEST(RunInstaller, InstallCreatesMissingFileWithoutBackup) {
  FakeDisk disk;
  EXPECT_EQ(RunOn(disk, Install("1")), kExitSucceeded);
  ASSERT_EQ(disk.renamedTo, std::vector<std::string>{kRules});
  EXPECT_EQ(disk.files[kRules].rfind("[AutoExpand]\r\n", 0), 0u);
  EXPECT_EQ(disk.files.size(), 1u);
}

// What a file holds, "(none)" where there is none.
std::string Held(const std::map<std::string, std::string>& files, const std::string& path) {
  auto found = files.find(path);
  return found == files.end() ? "(none)" : found->second;
}

// The run against every failure of every primitive call it makes, one at a
// time: it ends with status 0 and the files as a finished run leaves them, or
// with status 1, an error that names the rules file, the rules file as it
// was and the older backup where it was (or where the error says); either
// way the next run finishes the job and leaves no temporary file.
TEST(RunInstaller, EveryFailingCallLosesNothing) {
  struct Scenario {
    const char* name;
    std::vector<const char*> arguments;
    const char* before;       // null: no rules file
    const char* olderBackup;  // null: none
  } scenarios[] = {
      {"install with backup over an older one", Install("1"), kUserFile, "an older backup"},
      {"install with the first backup", Install("1"), kUserFile, nullptr},
      {"install creating the file", Install("1"), nullptr, nullptr},
      {"uninstall", Uninstall(), "[AutoExpand]\nCEdit=$ADDIN(Orvelin.dll,e)\nov-CEdit=mine\n",
       nullptr},
  };
  for (const Scenario& scenario : scenarios) {
    auto arrange = [&](FakeDisk* disk) {
      if (scenario.before != nullptr) {
        disk->files[kRules] = scenario.before;
      }
      if (scenario.olderBackup != nullptr) {
        disk->files[kBackup] = scenario.olderBackup;
      }
    };
    FakeDisk clean;
    arrange(&clean);
    ASSERT_EQ(RunOn(clean, scenario.arguments), kExitSucceeded) << scenario.name;
    const std::map<std::string, std::string> finished = clean.files;
    for (int call = 0; call < FakeDisk::kCallKinds; ++call) {
      for (int n = 1; n <= clean.calls[call]; ++n) {
        SCOPED_TRACE(std::string(scenario.name) + ": call " + std::to_string(n) + " of " +
                     FakeDisk::Name(static_cast<FakeDisk::Call>(call)) + " fails");
        FakeDisk disk;
        arrange(&disk);
        const std::map<std::string, std::string> before = disk.files;
        disk.Fail(static_cast<FakeDisk::Call>(call), n);
        testing::internal::CaptureStderr();
        int status = RunOn(disk, scenario.arguments);
        std::string traces = testing::internal::GetCapturedStderr();
        if (status == kExitSucceeded) {
          EXPECT_EQ(Held(disk.files, kRules), Held(finished, kRules));
          EXPECT_EQ(Held(disk.files, kBackup), Held(finished, kBackup));
        } else {
          ASSERT_EQ(status, kExitFailed);
          EXPECT_NE(traces.find("error: cannot "), std::string::npos) << traces;
          EXPECT_NE(traces.find(kRules), std::string::npos) << traces;
          EXPECT_EQ(Held(disk.files, kRules), Held(before, kRules));
          std::size_t kept = traces.find("kept as ");
          std::string backup = kept == std::string::npos
                                   ? kBackup
                                   : traces.substr(kept + 8, traces.find('\n', kept) - kept - 8);
          EXPECT_EQ(Held(disk.files, backup), Held(before, kBackup)) << traces;
        }
        // What a failed run leaves, the next one cleans up.
        ASSERT_EQ(RunOn(disk, scenario.arguments), kExitSucceeded);
        EXPECT_EQ(Held(disk.files, kRules), Held(finished, kRules));
        for (const auto& [path, bytes] : disk.files) {
          EXPECT_EQ(IsLeftoverName(path.substr(path.rfind('/') + 1)), false) << path;
        }
      }
    }
  }
}

TEST(RunInstaller, BackupHoldsTheBytesRead) {
  FakeDisk disk;
  disk.files[kRules] = kUserFile;
  disk.files[kBackup] = "older backup";
  EXPECT_EQ(RunOn(disk, Install("1")), kExitSucceeded);
  EXPECT_EQ(disk.renamedTo, (std::vector<std::string>{kBackup, kRules}));
  EXPECT_EQ(disk.files[kBackup], kUserFile);
  EXPECT_EQ(disk.files.size(), 2u);
}

TEST(RunInstaller, ChangeByAnotherProgramIsKeptAndTheEditsMadeAgain) {
  struct InterferenceCase {
    const char* name;
    bool fileExists;
  } cases[] = {{"file edited", true}, {"file created", false}};
  for (const InterferenceCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDisk disk;
    if (c.fileExists) {
      disk.files[kRules] = kUserFile;
    }
    disk.meanwhile.push_back(
        [](FakeDisk& d) { d.files[kRules] = std::string(kUserFile) + "[Other]\r\nmine=kept\r\n"; });
    EXPECT_EQ(RunOn(disk, Install("1")), kExitSucceeded);
    ProfileStore result(disk.files[kRules]);
    EXPECT_EQ(result.Read("Other", "mine"), "kept");
    EXPECT_EQ(result.Read(kAutoExpandSection, "ov-CEdit"), "<m_hWnd>");
    EXPECT_NE(result.Read(kAutoExpandSection, "CEdit"), "<m_hWnd>");
    // The backup holds what the edits finally started from.
    EXPECT_EQ(disk.files[kBackup], std::string(kUserFile) + "[Other]\r\nmine=kept\r\n");
  }
}

TEST(RunInstaller, FileThatKeepsChangingIsLeftAlone) {
  const std::string user = "[hresult]\r\n1=S_FALSE\r\n";
  FakeDisk disk;
  disk.files[kRules] = user;
  for (int i = 0; i < 100; ++i) {
    disk.meanwhile.push_back(
        [user, i](FakeDisk& d) { d.files[kRules] = user + std::to_string(i); });
  }
  EXPECT_EQ(RunOn(disk, Uninstall()), kExitSucceeded);  // nothing to remove
  EXPECT_EQ(RunOn(disk, Install()), kExitFailed);
  EXPECT_GE(disk.calls[FakeDisk::kFinalPath], 2);
  EXPECT_LT(disk.calls[FakeDisk::kFinalPath], 20);
  EXPECT_TRUE(disk.renamedTo.empty());
  EXPECT_EQ(disk.files[kRules].rfind(user, 0), 0u);
  EXPECT_EQ(disk.files.size(), 1u);
}

TEST(RunInstaller, LockHeldElsewhereFailsBeforeAnyRead) {
  FakeDisk disk;
  disk.files[kRules] = kUserFile;
  disk.busyTries = 1000000;
  EXPECT_EQ(RunOn(disk, Install("1")), kExitFailed);
  EXPECT_EQ(disk.calls[FakeDisk::kOpenFile], 0);
  EXPECT_EQ(disk.files.size(), 1u);
}

// A killed or failed run's temporary files go, but what may be the only copy
// of something: a kept older backup, an older version's files, and an older
// backup's second name where no backup name holds its bytes (the backup's
// name holds the rules file's bytes instead), which is kept.
TEST(RunInstaller, LeftoversOfKilledRunsAreCleanedKeptBackupsKept) {
  struct Case {
    const char* name;
    const char* backup;
    bool olderKept;
  } cases[] = {
      {"the backup holds the older bytes again", "older", false},
      {"the backup holds the rules file's bytes", kUserFile, true},
      {"no backup at all", nullptr, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDisk disk;
    disk.files[kRules] = kUserFile;
    if (c.backup != nullptr) {
      disk.files[kBackup] = c.backup;
    }
    for (const char* name :
         {"~an0000000a", "~ab0000000b", "~ak0000000d", "~ae0000000e", "~an0000000"}) {
      disk.files[std::string("/dbg/") + name] = "left";
    }
    disk.files["/dbg/~ao0000000c"] = "older";
    EXPECT_EQ(RunOn(disk, Uninstall()), kExitSucceeded);
    std::vector<std::string> names;
    for (const auto& [path, bytes] : disk.files) {
      if (path.rfind("/dbg/~ak", 0) == 0 && bytes == "older") {
        names.push_back("the older backup, kept");
      } else if (path != kBackup) {
        names.push_back(path);
      }
    }
    std::vector<std::string> expected = {"/dbg/autoexp.dat", "/dbg/~ae0000000e", "/dbg/~ak0000000d",
                                         "/dbg/~an0000000"};
    if (c.olderKept) {
      expected.insert(expected.begin() + 3, "the older backup, kept");
    }
    EXPECT_EQ(names, expected);
  }
}

// Every failure says its own reason: a lock that was busy at first is no
// reason for a write that fails after.
TEST(RunInstaller, EachFailureGivesItsOwnReason) {
  FakeDisk disk;
  disk.files[kRules] = kUserFile;
  disk.busyTries = 2;
  disk.Fail(FakeDisk::kWriteNew, 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(RunOn(disk, Install()), kExitFailed);
  std::string traces = testing::internal::GetCapturedStderr();
  EXPECT_NE(traces.find("error: cannot write /dbg/autoexp.dat: WriteNew failed"), std::string::npos)
      << traces;
}

TEST(RunInstaller, TagChoosesTheKeysOfRowsFiveAndSix) {
  FakeDisk disk;
  ASSERT_EQ(RunOn(disk, {"/dbg", "/", "70", "I", "x", "y"}), kExitSucceeded);
  // An uninstall under the other tag removes the 17 shared rules only.
  ASSERT_EQ(RunOn(disk, Uninstall()), kExitSucceeded);
  ProfileStore result(disk.files[kRules]);
  for (std::size_t row = 0; row < kDisplayRuleCount; ++row) {
    bool kept = row == 4 || row == 5;
    EXPECT_EQ(result.Read(kAutoExpandSection, RuleKey(kDisplayRules[row], false)),
              kept ? kDisplayRules[row].value : "")
        << "row " << row + 1;
  }
}

}  // namespace
