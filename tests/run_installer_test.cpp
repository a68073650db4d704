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

namespace {

// Files in memory; any path can be made to fail to read or to write, and a
// test can play another program that writes the file under a run, or holds
// its lock.
class FakeDisk : public Disk {
 public:
  LockStatus TryLock(const std::string& path, std::unique_ptr<Lock>* lock,
                     std::string* error) override {
    if (lockedElsewhere.count(path) != 0 || busyTries > 0) {
      --busyTries;
      *error = disk_error::kLockedElsewhere;
      return LockStatus::kBusy;
    }
    ++locks;
    *lock = std::make_unique<Lock>(path);
    return LockStatus::kLocked;
  }

  void RemoveLeftovers(const Lock& lock, const std::string& backupPath) override {
    cleaned.push_back(lock.file());
    if (!backupPath.empty()) {
      cleaned.push_back(backupPath);
    }
  }

  // A copy of the file as it is now, kept as long as the fake lives.
  ReadStatus Read(Lock& lock, std::string_view* bytes, std::string* error) override {
    ++reads;
    snapshots.emplace_back();
    return ReadIntoBuffer(lock, &snapshots.back(), bytes, error);
  }

  // In pieces of a few bytes, as the check before a replacement reads.
  ReadStatus ReadPieces(Lock& lock, const Consumer& consume, std::string* error) override {
    if (unreadable.count(lock.file()) != 0) {
      *error = "Permission denied";
      return ReadStatus::kFailed;
    }
    auto file = files.find(lock.file());
    if (file == files.end()) {
      return ReadStatus::kNotFound;
    }
    const std::string contents = file->second;
    for (std::size_t at = 0; at < contents.size(); at += 7) {
      std::string_view piece = std::string_view(contents).substr(at, 7);
      if (!consume(piece, contents.size())) {
        break;
      }
    }
    return ReadStatus::kOkay;
  }

  ReplaceStatus ReplaceFile(Lock& lock, const Replacement& replacement,
                            std::string* error) override {
    const std::string& path = lock.file();
    if (!interference.empty()) {
      interference.front()(files);
      interference.erase(interference.begin());
    }
    // The check is the disk's own, as on the real ones.
    if ((files.count(path) != 0) != replacement.expected.has_value() ||
        !StillAsExpected(lock, replacement)) {
      return ReplaceStatus::kChanged;
    }
    if (unwritable.count(path) != 0 && replacement.bytes) {
      *error = "File too large";
      return ReplaceStatus::kFailed;
    }
    if (!replacement.backupPath.empty()) {
      if (unwritable.count(replacement.backupPath) != 0) {
        *error = "No space left on device";
        return ReplaceStatus::kBackupFailed;
      }
      written.push_back(replacement.backupPath);
      files[replacement.backupPath] = Join(*replacement.expected);
    }
    if (replacement.bytes) {
      written.push_back(path);
      files[path] = Join(*replacement.bytes);
    }
    return ReplaceStatus::kReplaced;
  }

  std::map<std::string, std::string> files;
  std::set<std::string> unreadable;
  std::set<std::string> unwritable;
  std::set<std::string> lockedElsewhere;
  int busyTries = 0;  // how many tries at the lock find it busy first
  // Run one each, in order, by the next replacements, right before the check.
  std::vector<std::function<void(std::map<std::string, std::string>&)>> interference;
  std::vector<std::string> written;
  std::vector<std::string> cleaned;
  std::deque<std::string> snapshots;  // what Read gave
  int reads = 0;
  int locks = 0;

 private:
  static std::string Join(const std::vector<std::string_view>& pieces) {
    std::string joined;
    for (std::string_view piece : pieces) {
      joined.append(piece);
    }
    return joined;
  }
};

int RunOn(FakeDisk& disk, std::vector<const char*> arguments) {
  arguments.insert(arguments.begin(), "autoexp-setup");
  return RunInstaller(static_cast<int>(arguments.size()), arguments.data(),
                      RunSystem{disk, true, std::chrono::milliseconds(200)});
}

const char kRules[] = "D:\\Dbg\\autoexp.dat";
const char kBackup[] = "D:\\Dbg\\autoexp.bak";
const char kUserFile[] =
    "; mine\r\n[AutoExpand]\r\nCEdit=<m_hWnd>\r\n\r\n[hresult]\r\n1=S_FALSE\r\n";

std::vector<const char*> Install(const char* backupFlag = "0") {
  return {"D:\\Dbg\\ ", "\\", "71", "I", "x", "y", backupFlag};
}
std::vector<const char*> Uninstall() {
  return {"D:\\Dbg\\", "\\", "71", "U"};
}

TEST(RunInstaller, NoRunTouchesNoFile) {
  FakeDisk disk;
  EXPECT_EQ(RunOn(disk, {"D:\\Dbg", "", "71", "install", "x", "y", "1"}), kExitSucceeded);
  EXPECT_EQ(disk.reads, 0);
  EXPECT_TRUE(disk.written.empty());
}

TEST(RunInstaller, InstallWritesEveryRuleOnceAndSavesReplacedValue) {
  FakeDisk disk;
  disk.files[kRules] = kUserFile;
  EXPECT_EQ(RunOn(disk, Install()), kExitSucceeded);
  EXPECT_EQ(disk.reads, 1);
  ASSERT_EQ(disk.written, std::vector<std::string>{kRules});
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
  disk.reads = 0;
  EXPECT_EQ(RunOn(disk, Install()), kExitSucceeded);
  EXPECT_EQ(disk.reads, 1);
  EXPECT_EQ(disk.written.size(), 1u);
  EXPECT_EQ(disk.files[kRules], installed);

  FakeDisk empty;
  EXPECT_EQ(RunOn(empty, Uninstall()), kExitSucceeded);
  EXPECT_TRUE(empty.written.empty());
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
  ASSERT_EQ(disk.written, std::vector<std::string>{kRules});
  EXPECT_EQ(disk.files[kRules].rfind("[AutoExpand]\r\n", 0), 0u);
}

TEST(RunInstaller, BackupHoldsTheBytesRead) {
  FakeDisk disk;
  disk.files[kRules] = kUserFile;
  disk.files[kBackup] = "older backup";
  EXPECT_EQ(RunOn(disk, Install("1")), kExitSucceeded);
  EXPECT_EQ(disk.written, (std::vector<std::string>{kBackup, kRules}));
  EXPECT_EQ(disk.files[kBackup], kUserFile);
}

TEST(RunInstaller, FailuresLeaveTheRulesFileAlone) {
  struct FailureCase {
    const char* name;
    std::vector<const char*> arguments;
    const char* unreadable;
    const char* unwritable;
  } cases[] = {
      {"unreadable install", Install(), kRules, nullptr},
      {"unreadable uninstall", Uninstall(), kRules, nullptr},
      {"backup fails", Install("1"), nullptr, kBackup},
      {"write fails", Install(), nullptr, kRules},
      {"uninstall write fails", Uninstall(), nullptr, kRules},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDisk disk;
    disk.files[kRules] = "[AutoExpand]\nCEdit=old\n";
    disk.files[kRules] += "ov-CEdit=older\n";
    if (c.unreadable != nullptr) {
      disk.unreadable.insert(c.unreadable);
    }
    if (c.unwritable != nullptr) {
      disk.unwritable.insert(c.unwritable);
    }
    EXPECT_EQ(RunOn(disk, c.arguments), kExitFailed);
    EXPECT_EQ(disk.files[kRules], "[AutoExpand]\nCEdit=old\nov-CEdit=older\n");
    EXPECT_TRUE(disk.written.empty());
  }
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
    disk.interference.push_back([](std::map<std::string, std::string>& files) {
      files[kRules] = std::string(kUserFile) + "[Other]\r\nmine=kept\r\n";
    });
    EXPECT_EQ(RunOn(disk, Install("1")), kExitSucceeded);
    EXPECT_EQ(disk.locks, 2);
    EXPECT_EQ(disk.reads, 2);
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
    disk.interference.push_back([user, i](std::map<std::string, std::string>& files) {
      files[kRules] = user + std::to_string(i);
    });
  }
  EXPECT_EQ(RunOn(disk, Uninstall()), kExitSucceeded);  // nothing to remove
  EXPECT_EQ(RunOn(disk, Install()), kExitFailed);
  EXPECT_GE(disk.locks, 2);
  EXPECT_LT(disk.locks, 20);
  EXPECT_TRUE(disk.written.empty());
  EXPECT_EQ(disk.files[kRules].rfind(user, 0), 0u);
}

TEST(RunInstaller, LockHeldElsewhereFailsBeforeAnyRead) {
  FakeDisk disk;
  disk.files[kRules] = kUserFile;
  disk.lockedElsewhere.insert(kRules);
  EXPECT_EQ(RunOn(disk, Install("1")), kExitFailed);
  EXPECT_EQ(disk.reads, 0);
  EXPECT_TRUE(disk.written.empty());
}

TEST(RunInstaller, LeftoversOfKilledRunsAreCleanedBesideEveryFileWritten) {
  FakeDisk disk;
  disk.files[kRules] = kUserFile;
  EXPECT_EQ(RunOn(disk, Install("1")), kExitSucceeded);
  EXPECT_EQ(disk.cleaned, (std::vector<std::string>{kRules, kBackup}));
  FakeDisk second;
  EXPECT_EQ(RunOn(second, Uninstall()), kExitSucceeded);
  EXPECT_EQ(second.cleaned, std::vector<std::string>{kRules});
}

// Every failure says its own reason: a lock that was busy at first is no
// reason for a write that fails after.
TEST(RunInstaller, EachFailureGivesItsOwnReason) {
  FakeDisk disk;
  disk.files[kRules] = kUserFile;
  disk.busyTries = 2;
  disk.unwritable.insert(kRules);
  testing::internal::CaptureStderr();
  EXPECT_EQ(RunOn(disk, Install()), kExitFailed);
  std::string traces = testing::internal::GetCapturedStderr();
  EXPECT_NE(traces.find("error: cannot write D:\\Dbg\\autoexp.dat: File too large"),
            std::string::npos)
      << traces;
}

TEST(RunInstaller, TagChoosesTheKeysOfRowsFiveAndSix) {
  FakeDisk disk;
  ASSERT_EQ(RunOn(disk, {"D:\\Dbg", "\\", "70", "I", "x", "y"}), kExitSucceeded);
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
