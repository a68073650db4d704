#include "app/run_installer.h"

#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/command_line.h"
#include "app/paths.h"
#include "platform/code_page.h"
#include "platform/trace.h"
#include "profile/profile_encoding.h"
#include "profile/profile_store.h"
#include "rules/display_rules.h"
#include "rules/rule_editing.h"

namespace {

// How often the edits are made again on a file that another program changed
// under this run.
constexpr int kUpdateAttempts = 5;

// What a run is to do, as the command line says.
struct Job {
  std::string rulesPath;
  std::string backupPath;  // where a backup is, whether this run makes one or not
  bool backup = false;     // whether it makes one
  RunMode mode = RunMode::kNone;
  bool tag71 = false;
  bool backupMade = false;  // an attempt put the bytes it read at the backup's name
};

// Every error trace of a run: what could not be done and why, and where the
// backup was made before, that the backup holds the file as the run read it.
int Fail(const Job& job, const std::string& whatAndWhy) {
  std::string made = "; the backup " + job.backupPath + " was made and holds the file as read";
  DebugTrace("error: " + whatAndWhy + (job.backupMade ? made : "") + "\n");
  return kExitFailed;
}
int Fail(const Job& job, const std::string& what, const std::string& reason) {
  return Fail(job, what + ": " + reason);
}

// What the edits of a run did: how many rules they wrote or removed, and
// how many values they saved or put back.
struct Tally {
  int rules = 0;
  int values = 0;
};

// |count| |what|, in the plural where it is not one.
std::string Count(int count, const std::string& what) {
  return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

// Makes the run's edits in |*store|, every rule added or every rule removed,
// after telling it the keys they ask for.
Tally ApplyRules(ProfileStore* store, const Job& job) {
  std::vector<std::string> keys;
  for (const DisplayRule& rule : kDisplayRules) {
    keys.emplace_back(RuleKey(rule, job.tag71));
    keys.push_back(SavedKey(keys.back()));
  }
  store->Index(kAutoExpandSection, keys);
  Tally tally;
  for (const DisplayRule& rule : kDisplayRules) {
    RuleEdit edit = job.mode == RunMode::kInstall
                        ? AddRule(*store, RuleKey(rule, job.tag71), rule.value)
                        : RemoveRule(*store, RuleKey(rule, job.tag71));
    tally.rules += edit != RuleEdit::kNone;
    tally.values += edit == RuleEdit::kSaved || edit == RuleEdit::kRestored;
  }
  return tally;
}

// The last line of a run that did its job: what it did, and where.
std::string Outcome(const Job& job, bool existed, const Tally& tally, bool backup) {
  const std::string& path = job.rulesPath;
  if (!existed) {
    return job.mode == RunMode::kInstall ? "created " + path + " with " + Count(tally.rules, "rule")
                                         : "no rules file at " + path + ": nothing to remove";
  }
  std::vector<std::string> notes;
  if (tally.values > 0) {
    notes.push_back(Count(tally.values, "value") +
                    (job.mode == RunMode::kInstall ? " saved" : " restored"));
  }
  if (backup) {
    notes.push_back("backup " + job.backupPath);
  }
  std::string line = tally.rules == 0 ? "nothing to change in " + path
                     : job.mode == RunMode::kInstall
                         ? "installed " + Count(tally.rules, "rule") + " in " + path
                         : "removed " + Count(tally.rules, "rule") + " from " + path;
  for (std::size_t i = 0; i < notes.size(); ++i) {
    line += (i == 0 ? " (" : "; ") + notes[i] + (i + 1 == notes.size() ? ")" : "");
  }
  return line;
}

// Reads the file that |lock| holds into |*bytes| and decodes it into
// |*text|, as every run reads it: |*read| is kOkay, or kNotFound for no
// file. A file that is there but cannot be read is never taken for an empty
// one (the edits would be written over the user's rules): the run's status
// then, after its error line.
std::optional<int> ReadRules(Disk& disk, FileLock& lock, const Job& job, std::string* bytes,
                             ProfileText* text, Disk::Result* read) {
  std::string reason;
  *read = ReadFile(disk, lock, bytes, &reason);
  if (*read == Disk::Result::kFailed) {
    return Fail(job, "cannot read " + job.rulesPath, reason);
  }
  if (!text->Decode(*bytes)) {
    return Fail(job, "cannot read " + job.rulesPath, "a UTF-16 text of an odd number of bytes");
  }
  return std::nullopt;
}

// A query: reads the file as the other runs do, changes nothing and makes no
// lock file; kExitSucceeded when all rules of the tag hold the add-in's
// values, kExitNotAllIn when not (the last line says which keys).
int Query(const RunSystem& system, const Job& job) {
  std::string reason;
  std::unique_ptr<FileLock> lock =
      LockFile(system.disk, job.rulesPath, "", &reason, system.lockWait, false);
  if (lock == nullptr) {
    return Fail(job, "cannot read " + reason);
  }
  std::string bytes;
  ProfileText text;
  Disk::Result read;
  if (std::optional<int> failed = ReadRules(system.disk, *lock, job, &bytes, &text, &read)) {
    return *failed;
  }
  ProfileStore store(text.text());
  std::string missing;
  int count = 0;
  for (const DisplayRule& rule : kDisplayRules) {
    std::string key = RuleKey(rule, job.tag71);
    if (store.Read(kAutoExpandSection, key) != rule.value) {
      missing += (count++ == 0 ? ": " : ", ") + key;
    }
  }
  const std::string all = Count(static_cast<int>(kDisplayRuleCount), "rule");
  if (read == Disk::Result::kNotFound) {
    DebugTrace("no rules file at " + job.rulesPath + ": none of the " + all + " in\n");
  } else if (count == 0) {
    DebugTrace("all " + all + " in " + job.rulesPath + "\n");
  } else {
    DebugTrace(std::to_string(count) + " of " + all + " missing or different in " + job.rulesPath +
               missing + "\n");
  }
  return read == Disk::Result::kOkay && count == 0 ? kExitSucceeded : kExitNotAllIn;
}

// One attempt at the whole update, as platform/disk.h tells it: lock, clean
// up, read, edit, replace. Returns the run's exit status, or nothing when
// another program changed the file between the read and the replacement, so
// that its change is kept by making the edits again on what it left.
std::optional<int> Attempt(const RunSystem& system, Job& job, bool first) {
  Disk& disk = system.disk;
  std::string reason;
  // Taken afresh each time: the file may not have existed the last time.
  std::unique_ptr<FileLock> lock =
      LockFile(disk, job.rulesPath, job.backupPath, &reason, system.lockWait);
  if (lock == nullptr) {
    return Fail(job, "cannot lock " + reason);  // it names what is busy or refused
  }
  // No attempt of this run leaves one behind.
  if (first) {
    RemoveLeftovers(disk, *lock);
  }
  std::string bytes;
  ProfileText text;
  Disk::Result read;
  if (std::optional<int> failed = ReadRules(disk, *lock, job, &bytes, &text, &read)) {
    return *failed;
  }
  ProfileStore store(text.text());
  Tally tally = ApplyRules(&store, job);

  // A run that changes nothing leaves the file alone, modification time and
  // all. The backup is made as part of the replacement, so that a failed
  // write leaves no new backup behind; one asked for of an unchanged file is
  // that same replacement, with the file's bytes kept as they are.
  bool exists = read == Disk::Result::kOkay;
  bool backup = exists && job.backup;
  if (!store.edited() && !backup) {
    DebugTrace(Outcome(job, exists, tally, false) + "\n");
    return kExitSucceeded;
  }
  Replacement replacement;
  if (exists) {
    replacement.expected = bytes;
  }
  if (store.edited()) {
    replacement.bytes = text.Encode(store.Pieces());
  }
  if (backup) {
    replacement.backupPath = job.backupPath;
    replacement.backupMade = &job.backupMade;
  }
  switch (ReplaceFile(disk, *lock, replacement, &reason)) {
    case ReplaceStatus::kReplaced:
      DebugTrace(Outcome(job, exists, tally, backup) + "\n");
      return kExitSucceeded;
    case ReplaceStatus::kFailed:
      return Fail(job, "cannot write " + job.rulesPath, reason);
    case ReplaceStatus::kReadFailed:
      return Fail(job, "cannot read " + job.rulesPath, reason);
    case ReplaceStatus::kBackupFailed:
      return Fail(job, "cannot back up " + job.rulesPath + " to " + job.backupPath, reason);
    case ReplaceStatus::kChanged:
      break;
  }
  return std::nullopt;
}

// The whole run, for RunInstaller.
int Run(int count, const char* const* arguments, const RunSystem& system) {
  CommandLine line = ParseCommandLine(count, arguments);
  // The traces are the run's only report: where they cannot be written, the
  // run does nothing.
  bool traced = DebugTrace(line.baseDirectory);
  traced = DebugTrace(line.subPath) && traced;
  std::string dirPrefix = DirPrefix(line.baseDirectory, line.subPath, SystemLeadBytes());
  Job job;
  job.rulesPath = RulesPath(dirPrefix);
  job.mode = SelectRunMode(line);
  // A mistaken command line fails loudly: a silent setup takes status 0 for
  // a job done.
  std::string misuse = Misuse(line);
  if (!misuse.empty()) {
    return traced && DebugTrace("error: " + misuse + "\n") ? kExitMisuse : kExitFailed;
  }
  if (job.mode == RunMode::kUninstall) {
    traced = DebugTrace("Uninstall\n") && traced;
    traced = DebugTrace(job.rulesPath) && traced;
  }
  if (!traced) {
    return kExitFailed;
  }
  job.backupPath = BackupPath(dirPrefix);
  job.backup = job.mode == RunMode::kInstall && WantsBackup(line);
  job.tag71 = IsTag71(line.versionTag);
  if (job.mode == RunMode::kQuery) {
    return Query(system, job);
  }

  // Out of memory (a file larger than the address space allows) ends the run
  // like any other failure: the files are as they were, and the temporary
  // ones go as the attempt unwinds.
  try {
    for (int attempt = 0; attempt < kUpdateAttempts; ++attempt) {
      if (std::optional<int> status = Attempt(system, job, attempt == 0)) {
        return *status;
      }
    }
  } catch (const std::bad_alloc&) {
    return Fail(job, "cannot update " + job.rulesPath, "out of memory");
  } catch (const std::length_error&) {
    return Fail(job, "cannot update " + job.rulesPath, "file too large");
  }
  return Fail(job, "cannot write " + job.rulesPath, "another program kept changing the file");
}

}  // namespace

int RunInstaller(int count, const char* const* arguments) {
  return RunInstaller(count, arguments, RunSystem{SystemDisk()});
}

int RunInstaller(int count, const char* const* arguments, const RunSystem& system) {
  // Memory that runs out where the run cannot yet name the file (the
  // argument traces), or while it says so, ends it too: status 1, nothing
  // changed, and the error line where one can still be written.
  try {
    return Run(count, arguments, system);
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  try {
    DebugTrace("error: out of memory\n");
  } catch (...) {
  }
  return kExitFailed;
}
