#include "app/run_installer.h"

#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "app/backup.h"
#include "app/command_line.h"
#include "app/paths.h"
#include "platform/code_page.h"
#include "platform/trace.h"
#include "rules/display_rules.h"
#include "rules/profile_store.h"
#include "rules/rule_editing.h"

namespace {

// How often the edits are made again on a file that another program changed
// under this run.
constexpr int kUpdateAttempts = 5;

int Fail(const std::string& text) {
  DebugTrace(text);
  return kExitFailed;
}

int Fail(const char* what, const std::string& path, const std::string& reason) {
  return Fail(std::string("error: ") + what + " " + path + ": " + reason + "\n");
}

}  // namespace

int RunInstaller(int count, const char* const* arguments) {
  return RunInstaller(count, arguments, SystemDisk());
}

int RunInstaller(int count, const char* const* arguments, Disk& disk) {
  CommandLine line = ParseCommandLine(count, arguments);
  DebugTrace(line.baseDirectory);
  DebugTrace(line.subPath);
  std::string dirPrefix = DirPrefix(line.baseDirectory, line.subPath, SystemLeadBytes());
  std::string rulesPath = RulesPath(dirPrefix);

  RunMode mode = SelectRunMode(line);
  if (mode == RunMode::kNone) {
    return kExitSucceeded;
  }
  if (mode == RunMode::kUninstall) {
    DebugTrace("Uninstall\n");
    DebugTrace(rulesPath);
  }

  // Another program may write the file between this run's read and its
  // write. ReplaceFile notices, and the edits are made again on what that
  // program left, so its change is kept; a file that keeps changing is left
  // alone in the end.
  std::string reason;
  std::string backupPath = BackupPath(dirPrefix);
  bool backup = mode == RunMode::kInstall && WantsBackup(line);
  bool tag71 = IsTag71(line.versionTag);
  for (int attempt = 0; attempt < kUpdateAttempts; ++attempt) {
    // Taken afresh each time: the file may not have existed the last time.
    std::unique_ptr<Disk::Lock> lock = disk.LockFile(rulesPath, &reason);
    if (lock == nullptr) {
      return Fail("cannot lock", rulesPath, reason);
    }
    if (attempt == 0) {
      disk.RemoveLeftovers(rulesPath);
      if (backup) {
        disk.RemoveLeftovers(backupPath);
      }
    }
    // A file that is there but cannot be read is never taken for an empty
    // one: the edits would then be written over the user's rules.
    std::string contents;
    Disk::ReadStatus status = disk.ReadFile(rulesPath, &contents, &reason);
    if (status == Disk::ReadStatus::kFailed) {
      return Fail("cannot read", rulesPath, reason);
    }
    bool exists = status == Disk::ReadStatus::kOkay;
    if (backup && exists) {
      std::string error;
      if (!MakeBackup(disk, rulesPath, backupPath, contents, &error)) {
        return Fail(error);
      }
    }

    ProfileStore store(std::move(contents));
    for (const DisplayRule& rule : kDisplayRules) {
      if (mode == RunMode::kInstall) {
        AddRule(store, RuleKey(rule, tag71), rule.value);
      } else {
        RemoveRule(store, RuleKey(rule, tag71));
      }
    }
    // A run that changes nothing leaves the file alone, modification time
    // and all.
    if (!store.changed()) {
      return kExitSucceeded;
    }
    std::string_view original = store.original();
    switch (disk.ReplaceFile(rulesPath, exists ? &original : nullptr, store.Contents(), &reason)) {
      case Disk::ReplaceStatus::kReplaced:
        return kExitSucceeded;
      case Disk::ReplaceStatus::kFailed:
        return Fail("cannot write", rulesPath, reason);
      case Disk::ReplaceStatus::kChanged:
        break;
    }
  }
  return Fail("cannot write", rulesPath, "another program kept changing the file");
}
