#include "platform/disk.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/code_page.h"

// The update that disk.h tells, over the primitives of a Disk.

namespace {

using Result = Disk::Result;

constexpr char kTemporaryPrefix[] = "~a";
constexpr std::size_t kPrefixLength = sizeof kTemporaryPrefix - 1;
constexpr std::size_t kTemporaryDigits = 8;
// What a temporary file holds, the letter after the prefix.
constexpr char kNewText = 'n';
constexpr char kNewBackup = 'b';
constexpr char kOlderBackup = 'o';
constexpr char kKeptBackup = 'k';  // an older backup that could not go back; never deleted

// The size of the pieces that the check before the replacement reads.
constexpr std::size_t kCheckPiece = 64 * 1024;

// Whether |a| and |b| are one name in one folder, however the folder is
// spelled.
bool SameEntry(Disk& disk, const std::string& a, const std::string& b) {
  std::string folderA = FolderOf(a);
  std::string folderB = FolderOf(b);
  return a.substr(folderA.size()) == b.substr(folderB.size()) && disk.SameFile(folderA, folderB);
}

// A file of the update's own: "~a", what it holds, eight hexadecimal digits,
// in the folder of the file it is for. It ends in one of three ways: MoveTo
// gives it the name it was made for; Keep leaves it under a name that no run
// deletes; otherwise it is deleted as it goes out of scope.
class Temporary {
 public:
  Temporary(Disk& disk, const std::string& beside, char kind)
      : disk_(disk), folder_(FolderOf(beside)), kind_(kind) {}
  // One that a killed or failed run left at |path|.
  Temporary(Disk& disk, const std::string& path)
      : disk_(disk), folder_(FolderOf(path)), kind_(0), path_(path) {}
  ~Temporary() {
    if (!path_.empty()) {
      disk_.Remove(path_);
    }
  }
  Temporary(const Temporary&) = delete;
  Temporary& operator=(const Temporary&) = delete;

  bool made() const { return !path_.empty(); }

  // Made with |bytes|, attributes of |like|, flushed.
  bool Write(const Pieces& bytes, Disk::Handle* like, std::string* error) {
    return Make([&](const std::string& name) { return disk_.WriteNew(name, bytes, like, error); },
                error);
  }

  // Made as a second name of the file at |from|.
  bool LinkTo(const std::string& from, std::string* error) {
    return Make([&](const std::string& name) { return disk_.Link(from, name, error); }, error);
  }

  // Renamed to |target|, over what is there or (|replace| false) only where
  // nothing is.
  Result MoveTo(const std::string& target, bool replace, std::string* error) {
    Result result = disk_.Rename(path_, target, replace, error);
    if (result == Result::kOkay) {
      path_.clear();
    }
    return result;
  }

  // Renamed to a kept name, or left where it is if that fails; returns where
  // it stays, and it is no longer this object's.
  std::string Keep() {
    std::string kept = path_;
    std::string ignored;
    Result result = Result::kExists;
    for (int attempt = 0; attempt < 16 && result == Result::kExists; ++attempt) {
      std::string name = FreeName(kKeptBackup, attempt);
      result = disk_.Rename(path_, name, false, &ignored);
      kept = result == Result::kOkay ? name : kept;
    }
    path_.clear();
    return kept;
  }

 private:
  // Every run in a folder holds its lock, so a taken name is a file that
  // could not be deleted; another try takes another name.
  template <typename Maker>
  bool Make(const Maker& make, std::string* error) {
    for (int attempt = 0; attempt < 16; ++attempt) {
      std::string name = FreeName(kind_, attempt);
      Result result = make(name);
      if (result == Result::kExists) {
        continue;
      }
      if (result == Result::kFailed) {
        disk_.Remove(name);  // whatever was made of it
        return false;
      }
      path_ = name;
      return true;
    }
    *error = "no free name for a temporary file in " + folder_;
    return false;
  }

  // Names that start where the clock stands, so that a file some run could
  // not delete does not take the first try of every run after it.
  std::string FreeName(char kind, int attempt) const {
    static const auto first = static_cast<unsigned long>(
        std::chrono::steady_clock::now().time_since_epoch().count() / 1000);
    char digits[kTemporaryDigits + 1];
    std::snprintf(digits, sizeof digits, "%08lx",
                  (first + static_cast<unsigned long>(attempt) * 7919u) & 0xFFFFFFFFu);
    return folder_ + kTemporaryPrefix + kind + digits;
  }

  Disk& disk_;
  std::string folder_;
  char kind_;
  std::string path_;  // empty: not made, or no longer ours
};

// The check before the replacement: the lock still holds the file at its
// name, and the file holds exactly |expected|, read in pieces.
bool StillAsExpected(Disk& disk, FileLock& lock, std::string_view expected) {
  if (!lock.held || !disk.StillHolds(*lock.held, lock.file)) {
    return false;
  }
  std::vector<char> buffer(kCheckPiece);
  std::string ignored;
  for (std::uint64_t offset = 0;;) {
    std::size_t got = 0;
    if (!disk.ReadAt(*lock.held, offset, buffer.data(), buffer.size(), &got, &ignored)) {
      return false;
    }
    if (got == 0 || offset + got > expected.size() ||
        std::string_view(buffer.data(), got) != expected.substr(offset, got)) {
      return got == 0 && offset == expected.size();
    }
    offset += got;
  }
}

// One try at the whole lock.
Result TryLock(Disk& disk, const std::string& path, const std::string& backupPath,
               std::unique_ptr<FileLock>* lock, std::string* error) {
  auto held = std::make_unique<FileLock>();
  Result result = disk.FinalPath(path, &held->file, error);
  if (result != Result::kOkay) {
    return result;
  }
  held->folders = {FolderOf(held->file)};
  std::string backupFolder = FolderOf(backupPath);
  if (!backupPath.empty() && backupFolder != held->folders[0] &&
      !disk.SameFile(held->folders[0], backupFolder)) {
    held->folders.push_back(backupFolder);  // a link led elsewhere
  }
  for (const std::string& folder : held->folders) {
    held->folderLocks.emplace_back();
    result = disk.LockFolder(folder, &held->folderLocks.back(), error);
    if (result != Result::kOkay) {
      return result;
    }
  }
  result = disk.OpenFile(held->file, &held->held, &held->entry, error);
  if (result == Result::kBusy) {
    return result;
  }
  if (result == Result::kFailed) {
    held->unreadable = *error;  // the read says so
  }
  *lock = std::move(held);
  return Result::kOkay;
}

// The whole file at |path| (no link followed), or false.
bool ReadPath(Disk& disk, const std::string& path, std::string* bytes) {
  FileLock file;
  file.file = path;
  std::string ignored;
  return disk.OpenFile(path, &file.held, &file.entry, &ignored) == Result::kOkay &&
         ReadFile(disk, file, bytes, &ignored) == Result::kOkay;
}

// Whether the older backup's second name at |path|, which a run left, holds
// nothing that a backup name does not: the backup's name holds its bytes
// again (the run was killed before it replaced the backup), or the rules
// file no longer holds the backup's bytes (the run put its rules in place,
// and the older backup was meant to go). Otherwise the run failed to put it
// back, or was killed between the backup's rename and the file's, and it is
// the only copy of the older backup.
bool OlderBackupIsRedundant(Disk& disk, const FileLock& lock, const std::string& path,
                            const std::string& backupPath) {
  std::string older, backup, rules;
  if (backupPath.empty() || !ReadPath(disk, path, &older) || !ReadPath(disk, backupPath, &backup)) {
    return false;
  }
  bool rulesRead = lock.held != nullptr && ReadPath(disk, lock.file, &rules);
  return older == backup || (rulesRead && rules != backup);
}

}  // namespace

std::string FolderOf(const std::string& path) {
#ifdef _WIN32
  static const LeadByteTable kLeadBytes = SystemLeadBytes();
  constexpr std::string_view kSeparators = "\\/:";
#else
  constexpr std::string_view kSeparators = "/";
#endif
  std::size_t nameStart = 0;
  for (std::size_t i = 0; i < path.size(); ++i) {
#ifdef _WIN32
    if (kLeadBytes.IsLead(static_cast<unsigned char>(path[i]))) {
      ++i;
      continue;
    }
#endif
    if (kSeparators.find(path[i]) != std::string_view::npos) {
      nameStart = i + 1;
    }
  }
  return path.substr(0, nameStart);
}

bool IsLeftoverName(std::string_view name) {
  if (name.size() != kPrefixLength + 1 + kTemporaryDigits ||
      name.substr(0, kPrefixLength) != kTemporaryPrefix) {
    return false;
  }
  char kind = name[kPrefixLength];
  return (kind == kNewText || kind == kNewBackup || kind == kOlderBackup) &&
         name.find_first_not_of("0123456789abcdef", kPrefixLength + 1) == std::string_view::npos;
}

std::unique_ptr<FileLock> LockFile(Disk& disk, const std::string& path,
                                   const std::string& backupPath, std::string* error,
                                   std::chrono::milliseconds wait) {
  auto deadline = std::chrono::steady_clock::now() + wait;
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    std::unique_ptr<FileLock> lock;
    Result result = TryLock(disk, path, backupPath, &lock, error);
    if (result == Result::kOkay) {
      error->clear();  // a busy try before says nothing about what follows
      return lock;
    }
    if (result != Result::kBusy || std::chrono::steady_clock::now() >= deadline) {
      return nullptr;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
}

void RemoveLeftovers(Disk& disk, const FileLock& lock, const std::string& backupPath) {
  for (const std::string& folder : lock.folders) {
    for (const std::string& name : disk.List(folder, kTemporaryPrefix)) {
      if (!IsLeftoverName(name)) {
        continue;
      }
      Temporary leftover(disk, folder + name);
      if (name[kPrefixLength] == kOlderBackup &&
          !OlderBackupIsRedundant(disk, lock, folder + name, backupPath)) {
        leftover.Keep();
      }
    }
  }
}

Result ReadFile(Disk& disk, FileLock& lock, std::string* bytes, std::string* error) {
  bytes->clear();
  if (!lock.unreadable.empty()) {
    *error = lock.unreadable;
    return Result::kFailed;
  }
  if (!lock.held) {
    return Result::kNotFound;
  }
  // Sized once from the file's size; a file that grew meanwhile is read on.
  bytes->resize(static_cast<std::size_t>(lock.entry.size) + 1);
  std::size_t length = 0;
  for (;;) {
    if (length == bytes->size()) {
      bytes->resize(bytes->size() * 2);
    }
    std::size_t got = 0;
    if (!disk.ReadAt(*lock.held, length, &(*bytes)[length], bytes->size() - length, &got, error)) {
      bytes->clear();
      return Result::kFailed;
    }
    if (got == 0) {
      bytes->resize(length);
      return Result::kOkay;
    }
    length += got;
  }
}

ReplaceStatus ReplaceFile(Disk& disk, FileLock& lock, const Replacement& replacement,
                          std::string* error) {
  const std::string& target = lock.file;
  bool exists = lock.held != nullptr;
  if (!lock.unreadable.empty()) {
    *error = lock.unreadable;
    return ReplaceStatus::kFailed;
  }
  if (exists != replacement.expected.has_value()) {
    return ReplaceStatus::kChanged;
  }
  if (exists && replacement.bytes && lock.entry.readOnly) {
    *error = disk_error::kReadOnly;
    return ReplaceStatus::kFailed;
  }
  const std::string& backupPath = replacement.backupPath;
  bool backup = exists && !backupPath.empty();
  Disk::Entry older;
  if (backup) {
    if (disk.Look(backupPath, &older, error) == Result::kFailed) {
      return ReplaceStatus::kBackupFailed;
    }
    if (older.kind == Disk::Kind::kDirectory || older.kind == Disk::Kind::kOther) {
      *error =
          older.kind == Disk::Kind::kDirectory ? disk_error::kIsDirectory : disk_error::kNotRegular;
      return ReplaceStatus::kBackupFailed;
    }
    if (older.kind == Disk::Kind::kFile && older.readOnly) {
      *error = disk_error::kReadOnly;
      return ReplaceStatus::kBackupFailed;
    }
    if (SameEntry(disk, target, backupPath)) {
      *error = disk_error::kLinkToBackup;
      return ReplaceStatus::kBackupFailed;
    }
  }

  Temporary text(disk, target, kNewText);  // a
  if (replacement.bytes && !text.Write(*replacement.bytes, lock.held.get(), error)) {
    return ReplaceStatus::kFailed;
  }
  Temporary fresh(disk, backupPath, kNewBackup);  // b
  if (backup && !fresh.Write({*replacement.expected}, lock.held.get(), error)) {
    return ReplaceStatus::kBackupFailed;
  }
  if (exists && !StillAsExpected(disk, lock, *replacement.expected)) {  // c
    return ReplaceStatus::kChanged;
  }
  Temporary second(disk, backupPath, kOlderBackup);  // d
  if (backup && older.kind != Disk::Kind::kNone && !second.LinkTo(backupPath, error)) {
    return ReplaceStatus::kBackupFailed;
  }
  // A backup's name that is a second name of the file itself: Windows
  // replaces no name of a file that is open, so the file is let go first.
  if (backup && older.kind != Disk::Kind::kNone && disk.SameFile(backupPath, target)) {
    lock.held.reset();
  }
  if (backup && fresh.MoveTo(backupPath, true, error) != Result::kOkay) {  // e
    return ReplaceStatus::kBackupFailed;
  }
  if (!replacement.bytes) {
    return ReplaceStatus::kReplaced;
  }
  lock.held.reset();  // f
  Result moved = text.MoveTo(target, exists, error);
  if (moved == Result::kOkay) {
    return ReplaceStatus::kReplaced;  // g: the second name goes as it leaves scope
  }
  if (backup) {  // g
    std::string ignored;
    if (!second.made()) {
      if (!disk.Remove(backupPath)) {
        *error += "; the new backup could not be removed and stays as " + backupPath;
      }
    } else if (second.MoveTo(backupPath, true, &ignored) != Result::kOkay) {
      *error += "; the older backup could not be put back and is kept as " + second.Keep();
    }
  }
  return moved == Result::kExists ? ReplaceStatus::kChanged : ReplaceStatus::kFailed;
}
