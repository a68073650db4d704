#include "platform/disk.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

// The update that disk.h tells, over the primitives of a Disk.

namespace {

using Result = Disk::Result;

constexpr char kTemporaryPrefix[] = "~a";
constexpr std::size_t kPrefixLength = sizeof kTemporaryPrefix - 1;
constexpr std::size_t kTemporaryDigits = 8;
// What a temporary file holds, the letter after the prefix.
constexpr char kNewText = 'n';
constexpr char kNewBackup = 'b';

// The size of the pieces that the check before the replacement reads.
constexpr std::size_t kCheckPiece = 64 * 1024;

// Whether the names |a| and |b| are one as the system compares them: byte for
// byte on POSIX; on Windows without regard to letter case (the names compared
// here are the backup's, which is ASCII, and what a link names, so ASCII
// folding is the system's folding for every name that can equal it).
bool SameName(std::string_view a, std::string_view b) {
#ifdef _WIN32
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
#else
  return a == b;
#endif
}

// Whether |a| and |b| are one name in one folder, however the folder is
// spelled.
bool SameEntry(Disk& disk, const std::string& a, const std::string& b) {
  std::string folderA = FolderOf(a);
  std::string folderB = FolderOf(b);
  return SameName(std::string_view(a).substr(folderA.size()),
                  std::string_view(b).substr(folderB.size())) &&
         disk.SameFile(folderA, folderB);
}

// Growing pauses, from a millisecond to a twentieth of a second, for as long
// as |wait| allows.
class Patience {
 public:
  explicit Patience(std::chrono::milliseconds wait)
      : deadline_(std::chrono::steady_clock::now() + wait) {}
  // Whether there is time left; if so, waits a little first.
  bool Pause() {
    if (std::chrono::steady_clock::now() >= deadline_) {
      return false;
    }
    std::this_thread::sleep_for(pause_);
    pause_ = std::min(pause_ * 2, std::chrono::milliseconds(50));
    return true;
  }

 private:
  std::chrono::steady_clock::time_point deadline_;
  std::chrono::milliseconds pause_{1};
};

// A file of the update's own: "~a", what it holds, eight hexadecimal digits,
// in the folder of the file it is for. It ends in one of two ways: MoveTo
// gives it the name it was made for, or it is deleted as it goes out of
// scope (or, where that fails or the run is killed, by the next run).
class Temporary {
 public:
  Temporary(Disk& disk, const std::string& beside, char kind)
      : disk_(disk), folder_(FolderOf(beside)), kind_(kind) {}
  ~Temporary() {
    if (!path_.empty()) {
      disk_.Remove(path_);
    }
  }
  Temporary(const Temporary&) = delete;
  Temporary& operator=(const Temporary&) = delete;

  // Made with |bytes|, attributes of |like|, flushed. Every run in a folder
  // holds its lock, so a taken name is a file that could not be deleted;
  // another try takes another name.
  bool Write(const Pieces& bytes, Disk::Handle* like, std::string* error) {
    for (int attempt = 0; attempt < 16; ++attempt) {
      std::string name = FreeName(attempt);
      Result result = disk_.WriteNew(name, bytes, like, error);
      if (result == Result::kExists) {
        continue;
      }
      if (result != Result::kOkay) {
        disk_.Remove(name);  // whatever was made of it
        return false;
      }
      path_ = name;
      return true;
    }
    *error = "no free name for a temporary file in " + folder_;
    return false;
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

 private:
  // Names that start where the clock stands, so that a file some run could
  // not delete does not take the first try of every run after it.
  std::string FreeName(int attempt) const {
    static const auto first = static_cast<unsigned long>(
        std::chrono::steady_clock::now().time_since_epoch().count() / 1000);
    char digits[kTemporaryDigits + 1];
    std::snprintf(digits, sizeof digits, "%08lx",
                  (first + static_cast<unsigned long>(attempt) * 7919u) & 0xFFFFFFFFu);
    return folder_ + kTemporaryPrefix + kind_ + digits;
  }

  Disk& disk_;
  std::string folder_;
  char kind_;
  std::string path_;  // empty: not made, or no longer ours
};

// The check before the replacement, its last look at the file: the file
// holds exactly |expected|, read in pieces, and then the lock still holds it
// at its name, no writer seen (a writer that opened it during the comparison
// is seen here). A read error is a failure of its own, in |*error|.
Result StillAsExpected(Disk& disk, FileLock& lock, std::string_view expected, std::string* error) {
  if (!lock.held) {
    return Result::kBusy;
  }
  std::vector<char> buffer(kCheckPiece);
  for (std::uint64_t offset = 0;;) {
    std::size_t got = 0;
    if (!disk.ReadAt(*lock.held, offset, buffer.data(), buffer.size(), &got, error)) {
      return Result::kFailed;
    }
    if (got == 0 || offset + got > expected.size() ||
        std::string_view(buffer.data(), got) != expected.substr(offset, got)) {
      bool same = got == 0 && offset == expected.size();
      return same && disk.StillHolds(*lock.held, lock.file) ? Result::kOkay : Result::kBusy;
    }
    offset += got;
  }
}

// One try at the whole lock.
Result TryLock(Disk& disk, const std::string& path, const std::string& backupPath, bool lockFolders,
               std::unique_ptr<FileLock>* lock, std::string* error) {
  auto held = std::make_unique<FileLock>();
  Result result = disk.FinalPath(path, &held->file, error);
  if (result != Result::kOkay) {
    *error = path + ": " + *error;
    return result;
  }
  held->folders = {FolderOf(held->file)};
  std::string backupFolder = FolderOf(backupPath);
  if (!backupPath.empty() && backupFolder != held->folders[0] &&
      !disk.SameFile(held->folders[0], backupFolder)) {
    held->folders.push_back(backupFolder);  // a link led elsewhere
  }
  for (const std::string& folder : held->folders) {
    if (!lockFolders) {
      break;
    }
    held->folderLocks.emplace_back();
    result = disk.LockFolder(folder, &held->folderLocks.back(), error);
    if (result != Result::kOkay) {
      *error = folder + kLockFileName + ": " + *error;
      return result;
    }
  }
  result = disk.OpenFile(held->file, &held->held, &held->entry, error);
  if (result == Result::kBusy) {
    *error = path + ": " + *error;
    return result;
  }
  if (result == Result::kFailed) {
    held->unreadable = *error;  // the read says so
  }
  *lock = std::move(held);
  return Result::kOkay;
}

}  // namespace

std::string FolderOf(const std::string& path) {
#ifdef _WIN32
  constexpr std::string_view kSeparators = "\\/:";
#else
  constexpr std::string_view kSeparators = "/";
#endif
  std::size_t nameStart = path.find_last_of(kSeparators);
  return path.substr(0, nameStart == std::string::npos ? 0 : nameStart + 1);
}

bool IsLeftoverName(std::string_view name) {
  if (name.size() != kPrefixLength + 1 + kTemporaryDigits ||
      name.substr(0, kPrefixLength) != kTemporaryPrefix) {
    return false;
  }
  char kind = name[kPrefixLength];
  return (kind == kNewText || kind == kNewBackup) &&
         name.find_first_not_of("0123456789abcdef", kPrefixLength + 1) == std::string_view::npos;
}

std::unique_ptr<FileLock> LockFile(Disk& disk, const std::string& path,
                                   const std::string& backupPath, std::string* error,
                                   std::chrono::milliseconds wait, bool lockFolders) {
  for (Patience patience(wait);;) {
    std::unique_ptr<FileLock> lock;
    Result result = TryLock(disk, path, backupPath, lockFolders, &lock, error);
    if (result == Result::kOkay) {
      error->clear();  // a busy try before says nothing about what follows
      lock->wait = wait;
      return lock;
    }
    if (result != Result::kBusy || !patience.Pause()) {
      return nullptr;
    }
  }
}

void RemoveLeftovers(Disk& disk, const FileLock& lock) {
  for (const std::string& folder : lock.folders) {
    for (const std::string& name : disk.List(folder, kTemporaryPrefix)) {
      if (IsLeftoverName(name)) {
        disk.Remove(folder + name);
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
  if (lock.entry.size >= bytes->max_size() / 2) {
    *error = "file too large";  // for any buffer of this process
    return Result::kFailed;
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
  if (backup) {  // b
    Temporary fresh(disk, backupPath, kNewBackup);
    if (!fresh.Write({*replacement.expected}, lock.held.get(), error)) {
      return ReplaceStatus::kBackupFailed;
    }
    // A backup's name that is a second name of the file itself: Windows
    // renames nothing over a name of a file that is open, so the file is let
    // go, and opened again for the check.
    bool secondName = older.kind == Disk::Kind::kFile && disk.SameFile(backupPath, target);
    if (secondName) {
      lock.held.reset();
    }
    Result moved;
    for (Patience patience(lock.wait);;) {
      moved = fresh.MoveTo(backupPath, true, error);
      if (moved != Result::kBusy || !patience.Pause()) {
        break;
      }
    }
    if (moved != Result::kOkay) {
      return ReplaceStatus::kBackupFailed;
    }
    if (replacement.backupMade != nullptr) {
      *replacement.backupMade = true;
    }
    if (secondName && disk.OpenFile(target, &lock.held, &lock.entry, error) != Result::kOkay) {
      return ReplaceStatus::kChanged;
    }
  }
  for (Patience patience(lock.wait);;) {
    if (exists) {  // c
      Result check = StillAsExpected(disk, lock, *replacement.expected, error);
      if (check != Result::kOkay) {
        return check == Result::kFailed ? ReplaceStatus::kReadFailed : ReplaceStatus::kChanged;
      }
    }
    if (!replacement.bytes) {
      return ReplaceStatus::kReplaced;
    }
    lock.held.reset();  // d
    Result moved = text.MoveTo(target, exists, error);
    if (moved == Result::kOkay) {
      return ReplaceStatus::kReplaced;
    }
    if (moved == Result::kExists) {
      return ReplaceStatus::kChanged;  // made by another program meanwhile
    }
    if (moved != Result::kBusy || !patience.Pause()) {
      return ReplaceStatus::kFailed;
    }
    // Refused by another program's open: the file is looked at once more.
    if (exists && disk.OpenFile(target, &lock.held, &lock.entry, error) != Result::kOkay) {
      return ReplaceStatus::kChanged;
    }
  }
}
