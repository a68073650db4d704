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
                      RunSystem{disk, std::chrono::milliseconds(200)});
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
  EXPECT_EQ(RunOn(disk, {"/dbg", "", "71", "install", "x", "y", "1"}), kExitMisuse);
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

// The run against every failure of every primitive call it makes: each
// call failing alone, failing with every call after it (a disk gone bad, or
// the process killed there), running out of memory, refused for a moment by
// another program, and failing alone with one delete of the clean-up after it. It ends with status
// 0 and the files as a finished run leaves them, or with status 1, an error that names the rules
// file, the rules file as it was and the backup's name holding the older
// backup or, where the error says so, the bytes read; killed, the bytes it
// read are in the rules file or the backup. An older release's second name of
// an older backup is never touched, and the next run finishes the job and
// leaves no temporary file.
TEST(RunInstaller, EveryFailingCallLosesNothing) {
  const char kOlderSecondName[] = "/dbg/~ao0000000c";
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
  using Fault = FakeDisk::Fault;
  for (const Scenario& scenario : scenarios) {
    auto arrange = [&](FakeDisk* disk) {
      if (scenario.before != nullptr) {
        disk->files[kRules] = scenario.before;
      }
      if (scenario.olderBackup != nullptr) {
        disk->files[kBackup] = scenario.olderBackup;
      }
      disk->files[kOlderSecondName] = "1.1.0's";
    };
    FakeDisk clean;
    arrange(&clean);
    ASSERT_EQ(RunOn(clean, scenario.arguments), kExitSucceeded) << scenario.name;
    const std::map<std::string, std::string> finished = clean.files;
    // One run with the |n|-th call of |call| failing as |fault|, and with the
    // |removal|-th delete of the run failing too (0: none); returns how many
    // deletes that run made.
    auto check = [&](int call, int n, Fault fault, int removal) -> int {
      SCOPED_TRACE(std::string(scenario.name) + ": call " + std::to_string(n) + " of " +
                   FakeDisk::Name(static_cast<FakeDisk::Call>(call)) + " fails, as fault " +
                   std::to_string(static_cast<int>(fault)) + ", delete " + std::to_string(removal) +
                   " after it");
      FakeDisk disk;
      arrange(&disk);
      const std::map<std::string, std::string> before = disk.files;
      if (removal > 0) {
        disk.Fail(FakeDisk::kRemove, removal);
      }
      disk.Fail(static_cast<FakeDisk::Call>(call), n, fault);
      testing::internal::CaptureStderr();
      int status = RunOn(disk, scenario.arguments);
      std::string traces = testing::internal::GetCapturedStderr();
      int removals = disk.calls[FakeDisk::kRemove];
      if (fault == Fault::kFromThenOn) {  // also a kill
        std::string read = Held(before, kRules);
        EXPECT_TRUE(Held(disk.files, kRules) == read || Held(disk.files, kBackup) == read);
      }
      if (status == kExitSucceeded) {
        EXPECT_EQ(Held(disk.files, kRules), Held(finished, kRules));
        EXPECT_EQ(Held(disk.files, kBackup), Held(finished, kBackup));
      } else {
        EXPECT_EQ(status, kExitFailed);
        EXPECT_NE(traces.find("error: cannot "), std::string::npos) << traces;
        EXPECT_NE(traces.find("/dbg/autoexp."), std::string::npos) << traces;  // or the lock file
        EXPECT_EQ(Held(disk.files, kRules), Held(before, kRules));
        bool made =
            traces.find("; the backup " + std::string(kBackup) + " was made") != std::string::npos;
        EXPECT_EQ(Held(disk.files, kBackup), Held(made ? finished : before, kBackup)) << traces;
      }
      EXPECT_EQ(disk.files[kOlderSecondName], "1.1.0's");
      // What a failed run leaves, the next one, on a good disk, cleans up.
      FakeDisk next;
      next.files = disk.files;
      EXPECT_EQ(RunOn(next, scenario.arguments), kExitSucceeded);
      EXPECT_EQ(Held(next.files, kRules), Held(finished, kRules));
      for (const auto& [path, bytes] : next.files) {
        EXPECT_EQ(IsLeftoverName(path.substr(path.rfind('/') + 1)), false) << path;
      }
      return removals;
    };
    for (int call = 0; call < FakeDisk::kCallKinds; ++call) {
      for (int n = 1; n <= clean.calls[call]; ++n) {
        check(call, n, Fault::kFromThenOn, 0);
        check(call, n, Fault::kBusy, 0);
        if (call != FakeDisk::kRemove) {  // no delete allocates
          check(call, n, Fault::kOutOfMemory, 0);
        }
        int removals = check(call, n, Fault::kOnce, 0);
        for (int removal = 1; call != FakeDisk::kRemove && removal <= removals; ++removal) {
          check(call, n, Fault::kOnce, removal);
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
  auto save = [](FakeDisk& d) {
    d.files[kRules] = std::string(kUserFile) + "[Other]\r\nmine=kept\r\n";
  };
  struct InterferenceCase {
    const char* name;
    bool fileExists;
    std::vector<std::function<void(FakeDisk&)>> meanwhile;
  } cases[] = {
      {"file edited", true, {save}},
      {"file created", false, {save}},
      // An editor that opens the file once it has been compared, and saves
      // once the run lets it go.
      {"file opened after the comparison",
       true,
       {[](FakeDisk&) {}, [](FakeDisk& d) { d.OpenForWriting(kRules); }, save}},
  };
  for (const InterferenceCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDisk disk;
    if (c.fileExists) {
      disk.files[kRules] = kUserFile;
    }
    disk.meanwhile = c.meanwhile;
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

// A killed or failed run's temporary files go; an older release's files,
// which may hold the only copy of an older backup, and other names stay.
TEST(RunInstaller, LeftoversOfKilledRunsAreCleanedOlderReleasesKept) {
  FakeDisk disk;
  disk.files[kRules] = kUserFile;
  for (const char* name :
       {"~an0000000a", "~ab0000000b", "~ao0000000c", "~ak0000000d", "~ae0000000e", "~an0000000"}) {
    disk.files[std::string("/dbg/") + name] = "left";
  }
  EXPECT_EQ(RunOn(disk, Uninstall()), kExitSucceeded);
  std::vector<std::string> names;
  for (const auto& [path, bytes] : disk.files) {
    names.push_back(path);
  }
  EXPECT_EQ(names,
            (std::vector<std::string>{"/dbg/autoexp.dat", "/dbg/~ae0000000e", "/dbg/~ak0000000d",
                                      "/dbg/~an0000000", "/dbg/~ao0000000c"}));
}

// Every failure says its own reason: a lock that was busy at first is no
// reason for a write that fails after; the check's read is a read; a size no
// buffer of this process can hold is no allocation to try.
TEST(RunInstaller, EachFailureGivesItsOwnReason) {
  struct Case {
    const char* name;
    FakeDisk::Call call;
    int n;
    std::uint64_t size;  // what the system tells of the file's size; 0: its own
    const char* error;
  } cases[] = {
      {"write after a busy lock", FakeDisk::kWriteNew, 1, 0,
       "error: cannot write /dbg/autoexp.dat: WriteNew failed"},
      {"the check's read", FakeDisk::kReadAt, 11, 0,
       "error: cannot read /dbg/autoexp.dat: ReadAt failed"},
      {"a size of 2^63 - 1", FakeDisk::kCallKinds, 0, ~0ull >> 1,
       "error: cannot read /dbg/autoexp.dat: file too large"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDisk disk;
    disk.files[kRules] = kUserFile;
    disk.busyTries = 2;
    disk.claimedSize = c.size;
    if (c.call != FakeDisk::kCallKinds) {
      disk.Fail(c.call, c.n);
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(RunOn(disk, Install()), kExitFailed);
    std::string traces = testing::internal::GetCapturedStderr();
    EXPECT_NE(traces.find(c.error), std::string::npos) << traces;
    EXPECT_EQ(disk.files[kRules], kUserFile);
  }
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
