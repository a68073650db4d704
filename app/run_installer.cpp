#include "app/run_installer.h"

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/backup.h"
#include "app/command_line.h"
#include "app/paths.h"
#include "platform/code_page.h"
#include "platform/trace.h"
#include "rules/display_rules.h"
#include "rules/key_line_collector.h"
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

// Makes the run's edits: every rule added, or every rule removed.
void ApplyRules(ProfileStore& store, RunMode mode, bool tag71) {
  for (const DisplayRule& rule : kDisplayRules) {
    if (mode == RunMode::kInstall) {
      AddRule(store, RuleKey(rule, tag71), rule.value);
    } else {
      RemoveRule(store, RuleKey(rule, tag71));
    }
  }
}

// Whether the run's edits would change the file at |path|, found by looking
// through it piece by piece for the rule keys alone. Much cheaper than
// holding the file, and the usual answer for a repeated install or
// uninstall is no.
Disk::ReadStatus WouldChange(Disk& disk, const std::string& path, RunMode mode, bool tag71,
                             bool* changes, std::string* error) {
  std::vector<std::string> keys;
  for (const DisplayRule& rule : kDisplayRules) {
    keys.emplace_back(RuleKey(rule, tag71));
    keys.push_back(SavedKey(RuleKey(rule, tag71)));
  }
  KeyLineCollector collector(kAutoExpandSection, keys);
  Disk::ReadStatus status = disk.ReadPieces(
      path, [&](std::string_view piece) { return collector.Feed(piece); }, error);
  ProfileStore preview(collector.Finish());
  ApplyRules(preview, mode, tag71);
  *changes = preview.changed();
  return status;
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
    if (!backup) {
      bool changes = true;
      if (WouldChange(disk, rulesPath, mode, tag71, &changes, &reason) ==
          Disk::ReadStatus::kFailed) {
        return Fail("cannot read", rulesPath, reason);
      }
      // A run that changes nothing leaves the file alone, modification
      // time and all.
      if (!changes) {
        return kExitSucceeded;
      }
    }
    std::string contents;
    Disk::ReadStatus status = disk.ReadFile(rulesPath, &contents, &reason);
    if (status == Disk::ReadStatus::kFailed) {
      return Fail("cannot read", rulesPath, reason);
    }
    bool exists = status == Disk::ReadStatus::kOkay;
    ProfileStore store(std::move(contents));
    std::string_view original = store.original();
    ApplyRules(store, mode, tag71);
    if (!store.changed()) {
      // Nothing to replace, but the backup asked for is made all the same.
      std::string error;
      if (backup && exists && !MakeBackup(disk, rulesPath, backupPath, original, &error)) {
        return Fail(error);
      }
      return kExitSucceeded;
    }
    // The backup is made as part of the replacement, so that a failed write
    // leaves no new backup behind and a large file is not written twice.
    Disk::Replacement replacement;
    replacement.expected = exists ? &original : nullptr;
    replacement.pieces = store.Pieces();
    if (backup && exists) {
      replacement.backupPath = backupPath;
    }
    switch (disk.ReplaceFile(rulesPath, replacement, &reason)) {
      case Disk::ReplaceStatus::kReplaced:
        return kExitSucceeded;
      case Disk::ReplaceStatus::kFailed:
        return Fail("cannot write", rulesPath, reason);
      case Disk::ReplaceStatus::kBackupFailed:
        return Fail(BackupError(rulesPath, backupPath, reason));
      case Disk::ReplaceStatus::kChanged:
        break;
    }
  }
  return Fail("cannot write", rulesPath, "another program kept changing the file");
}
