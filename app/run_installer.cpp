#include "app/run_installer.h"

#include <string>
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

  // A file that is there but cannot be read is never taken for an empty one:
  // the edits would then be written over the user's rules.
  std::string contents;
  std::string reason;
  Disk::ReadStatus status = disk.ReadFile(rulesPath, &contents, &reason);
  if (status == Disk::ReadStatus::kFailed) {
    return Fail("cannot read", rulesPath, reason);
  }
  if (mode == RunMode::kInstall && WantsBackup(line) && status == Disk::ReadStatus::kOkay) {
    std::string error;
    if (!MakeBackup(disk, rulesPath, BackupPath(dirPrefix), contents, &error)) {
      return Fail(error);
    }
  }

  ProfileStore store(std::move(contents));
  bool tag71 = IsTag71(line.versionTag);
  for (const DisplayRule& rule : kDisplayRules) {
    if (mode == RunMode::kInstall) {
      AddRule(store, RuleKey(rule, tag71), rule.value);
    } else {
      RemoveRule(store, RuleKey(rule, tag71));
    }
  }

  // A run that changes nothing leaves the file alone, modification time and all.
  if (store.changed() && !disk.WriteFile(rulesPath, store.Contents(), &reason)) {
    return Fail("cannot write", rulesPath, reason);
  }
  return kExitSucceeded;
}
