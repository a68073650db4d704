#include <windows.h>
// windows.h maps ReplaceFile to ReplaceFileA, which would rename the Disk
// method of that name here and nowhere else.
#undef ReplaceFile

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/code_page.h"
#include "platform/disk.h"

// Updating a file, the Windows way.
//
// The update lock is a named mutex for the file's folder, named after the
// folder's identity (volume serial number and file index), so that every
// spelling of the path (8.3 names, letter case, "/", "." and "..") reaches
// the same one, whether the file exists or not. It lives in the
// session-independent namespace, so that runs in other sessions (a setup run
// as a service) wait too, and the system lets it go when a process ends,
// however it ends. All runs in one folder take turns: that is what lets a run
// take every temporary file it finds there for a leftover. With the mutex the
// lock holds the file itself open for reading, sharing reading and deleting
// but not writing: no program can open it for writing while the run works,
// and a program that already has it open for writing (or open without delete
// sharing, which would make the replacement fail) makes the run wait.
//
// Replacing the file; every temporary file is "~a", a letter that says what
// it holds, and eight hexadecimal digits, in the folder of the file it is for:
//
//   1. "~an": the new bytes, flushed, with the old file's attributes and
//      access list, so that the new file is no more open than the old one.
//   2. "~ab": a backup asked for, the bytes the edits started from, flushed.
//   3. The file must still hold the bytes the edits started from.
//   4. An older backup gets a second name, "~ao" (a hard link, or a copy
//      where the volume has no links), then "~ab" is renamed over the
//      backup's name. The backup's name holds a backup at every instant.
//   5. The lock's handle on the file is closed (the system renames nothing
//      over an open file) and "~an" is renamed over the file: one rename,
//      write-through, so that the file's name holds the old bytes or the new
//      at every instant. Between the close and the rename a writer is no
//      longer kept out: that moment is the one that no lock taken by one side
//      only can close.
//   6. If that rename fails, "~ao" is renamed back over the backup's name
//      (where there was no older backup, the new one is deleted). If even
//      that fails, the older backup is kept as "~ak" and the error names it.
//      Else "~ao" is deleted.
//
// A run killed at any step leaves the file and the backup's name holding the
// old or the new bytes, so no "~an", "~ab" or "~ao" file ever holds the only
// copy of anything, and the next run deletes them. "~ak" files, and the
// "~ae" files of older versions of this program (which replaced the file in
// two steps, so that such a file may hold the only copy of its new text), are
// never deleted. Paths stay ANSI strings all the way to the system calls.

namespace {

// A temporary file's name: eleven characters, no more than "autoexp.dat" and
// "autoexp.bak", so that in any folder where the system can name those (the
// ANSI calls take paths of at most MAX_PATH - 1 characters) it can name the
// temporary file too.
constexpr char kTemporaryPrefix[] = "~a";
constexpr std::size_t kTemporaryDigits = 8;
// What a temporary file holds, the letter after the prefix.
constexpr char kNewText = 'n';
constexpr char kNewBackup = 'b';
constexpr char kOlderBackup = 'o';
constexpr char kKeptBackup = 'k';  // an older backup that could not go back; never deleted

// The size of the pieces a file is read in.
constexpr std::size_t kPieceSize = 128 * 1024;

std::string ErrorText(DWORD code) {
  char* buffer = nullptr;
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
  std::string text = length > 0 ? std::string(buffer, length) : std::string();
  LocalFree(buffer);
  while (!text.empty() &&
         (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  return (text.empty() ? std::string("system error") : text) + " (" + std::to_string(code) + ")";
}

std::string LastErrorText() {
  return ErrorText(GetLastError());
}

bool IsNotFound(DWORD code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

bool WriteAll(HANDLE file, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD chunk = bytes.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!::WriteFile(file, bytes.data(), chunk, &written, nullptr)) {
      return false;
    }
    bytes.remove_prefix(written);
  }
  return true;
}

// The folder part of |path|, with its last separator: where a name begins.
// A trail byte with a backslash's code is part of its character, not a
// separator.
std::string FolderOf(const std::string& path) {
  static const LeadByteTable kLeadBytes = SystemLeadBytes();
  std::size_t nameStart = 0;
  for (std::size_t i = 0; i < path.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(path[i]);
    if (kLeadBytes.IsLead(c)) {
      ++i;
    } else if (c == '\\' || c == '/' || c == ':') {
      nameStart = i + 1;
    }
  }
  return path.substr(0, nameStart);
}

// Whether |name| is a temporary file that a run may delete as a leftover.
bool IsLeftoverName(const std::string& name) {
  constexpr std::size_t kPrefixLength = sizeof kTemporaryPrefix - 1;
  if (name.size() != kPrefixLength + 1 + kTemporaryDigits ||
      name.compare(0, kPrefixLength, kTemporaryPrefix) != 0) {
    return false;
  }
  char kind = name[kPrefixLength];
  return (kind == kNewText || kind == kNewBackup || kind == kOlderBackup) &&
         name.find_first_not_of("0123456789abcdef", kPrefixLength + 1) == std::string::npos;
}

HANDLE OpenShared(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Whether |path| names the file open as |file|.
bool Names(const std::string& path, HANDLE file) {
  HANDLE named = OpenShared(path);
  BY_HANDLE_FILE_INFORMATION a, b;
  bool same = named != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &a) &&
              GetFileInformationByHandle(named, &b) &&
              a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
              a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
  if (named != INVALID_HANDLE_VALUE) {
    CloseHandle(named);
  }
  return same;
}

// Opens |path| as the update lock holds it: for reading (and deleting, where
// that may be asked), sharing reading and deleting but not writing.
HANDLE OpenKeepingWritersOut(const std::string& path, DWORD access) {
  return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The name of the update lock of the files in |folder| (empty: the current
// folder), from the folder's identity; false with *error set when the folder
// cannot be asked, and *missing when there is no such folder.
bool LockName(const std::string& folder, std::string* name, bool* missing, std::string* error) {
  HANDLE handle = CreateFileA(folder.empty() ? "." : folder.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  BY_HANDLE_FILE_INFORMATION info;
  bool known = handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info);
  DWORD code = GetLastError();
  if (handle != INVALID_HANDLE_VALUE) {
    CloseHandle(handle);
  }
  if (!known) {
    *missing = IsNotFound(code);
    *error = ErrorText(code);
    return false;
  }
  char text[64];
  std::snprintf(text, sizeof text, "Global\\autoexp-setup-%08lx-%08lx%08lx",
                static_cast<unsigned long>(info.dwVolumeSerialNumber),
                static_cast<unsigned long>(info.nFileIndexHigh),
                static_cast<unsigned long>(info.nFileIndexLow));
  *name = text;
  return true;
}

// The folder's mutex (none where there is no folder) and, while the update
// reads and checks, the file itself.
class FileLock : public Disk::Lock {
 public:
  // A mutex is its owning thread's again whenever it asks, so the names this
  // process holds are kept here too, to keep out a second lock of its own.
  static std::set<std::string>& HeldHere() {
    static std::set<std::string> names;
    return names;
  }

  FileLock(std::string path, HANDLE mutex, std::string name)
      : Lock(std::move(path)), mutex_(mutex), name_(std::move(name)) {
    HeldHere().insert(name_);
  }
  ~FileLock() override {
    LetFileGo();
    HeldHere().erase(name_);
    if (mutex_ != nullptr) {
      ReleaseMutex(mutex_);
      CloseHandle(mutex_);
    }
  }

  // The name still holds the file held: a program that moved another file
  // into its place took no lock.
  bool Kept() const override { return file_ == INVALID_HANDLE_VALUE || Names(file(), file_); }

  void LetFileGo() override {
    if (file_ != INVALID_HANDLE_VALUE) {
      CloseHandle(file_);
      file_ = INVALID_HANDLE_VALUE;
    }
  }
  void Hold(HANDLE file) { file_ = file; }
  HANDLE held() const { return file_; }
  std::string& buffer() { return buffer_; }

 private:
  HANDLE mutex_;
  std::string name_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  std::string buffer_;  // what Read gave
};

// A file of a run's own, "~a" + kind + eight hexadecimal digits in the
// folder of the file it is for; deleted when it goes out of scope, unless it
// was moved to a name of its own (MoveTo) or kept (Keep).
class Temporary {
 public:
  explicit Temporary(char kind) : kind_(kind) {}
  ~Temporary() {
    Close();
    if (!path_.empty()) {
      DeleteFileA(path_.c_str());
    }
  }
  Temporary(const Temporary&) = delete;
  Temporary& operator=(const Temporary&) = delete;

  const std::string& path() const { return path_; }

  // Creates it in |beside|'s folder and writes |pieces| to it, flushed.
  bool Write(const std::string& beside, const std::vector<std::string_view>& pieces,
             std::string* error) {
    path_ = FreeName(beside, kind_);
    file_ = CreateFileA(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                        nullptr);
    if (file_ == INVALID_HANDLE_VALUE) {
      *error = LastErrorText();
      path_.clear();
      return false;
    }
    bool written = true;
    for (std::string_view piece : pieces) {
      written = written && WriteAll(file_, piece);
    }
    if (!written || !FlushFileBuffers(file_)) {
      *error = LastErrorText();
      return false;
    }
    Close();
    return true;
  }

  // Gives the file at |target| a second name of this kind: a hard link, or a
  // copy where the volume has none.
  bool Link(const std::string& target, std::string* error) {
    path_ = FreeName(target, kind_);
    if (!CreateHardLinkA(path_.c_str(), target.c_str(), nullptr) &&
        !CopyFileA(target.c_str(), path_.c_str(), TRUE)) {
      *error = LastErrorText();
      path_.clear();
      return false;
    }
    return true;
  }

  // Renames it to |target| (MoveFileExA |flags|); on success it is no longer
  // a temporary file.
  bool MoveTo(const std::string& target, DWORD flags) {
    if (!MoveFileExA(path_.c_str(), target.c_str(), flags)) {
      return false;
    }
    path_.clear();
    return true;
  }

  // Renames it to a name of |kind| and leaves it there, or where it is if
  // that fails; returns where it stays.
  std::string Keep(char kind) {
    std::string kept = FreeName(path_, kind);
    if (!MoveFileExA(path_.c_str(), kept.c_str(), MOVEFILE_WRITE_THROUGH)) {
      kept = path_;
    }
    path_.clear();
    return kept;
  }

 private:
  // A name of |kind| in |beside|'s folder that nothing has. Only runs of this
  // program make such names, and they take turns in a folder.
  static std::string FreeName(const std::string& beside, char kind) {
    DWORD unique = GetCurrentProcessId() * 7919u + GetTickCount();
    std::string name;
    for (int attempt = 0; attempt < 1000; ++attempt, ++unique) {
      char digits[kTemporaryDigits + 1];
      std::snprintf(digits, sizeof digits, "%08lx", static_cast<unsigned long>(unique));
      name = FolderOf(beside) + kTemporaryPrefix + kind + digits;
      if (GetFileAttributesA(name.c_str()) == INVALID_FILE_ATTRIBUTES &&
          GetLastError() == ERROR_FILE_NOT_FOUND) {
        break;
      }
    }
    return name;
  }
  void Close() {
    if (file_ != INVALID_HANDLE_VALUE) {
      CloseHandle(file_);
      file_ = INVALID_HANDLE_VALUE;
    }
  }

  char kind_;
  std::string path_;  // empty: none, or no longer ours
  HANDLE file_ = INVALID_HANDLE_VALUE;
};

// Gives the file at |to| the attributes (read-only aside: such a file is
// never replaced) and the access list of the file at |from|, whose
// attributes are |attributes|. A volume without security (FAT) has no access
// list to give.
bool CarryOver(const std::string& from, const std::string& to, DWORD attributes,
               std::string* error) {
  constexpr DWORD kCarried = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                             FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  DWORD needed = 0;
  if (!GetFileSecurityA(from.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed)) {
    DWORD code = GetLastError();
    if (code == ERROR_INSUFFICIENT_BUFFER) {
      std::vector<char> descriptor(needed);
      if (!GetFileSecurityA(from.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), needed,
                            &needed) ||
          !SetFileSecurityA(to.c_str(), DACL_SECURITY_INFORMATION, descriptor.data())) {
        *error = LastErrorText();
        return false;
      }
    } else if (code != ERROR_NOT_SUPPORTED && code != ERROR_INVALID_FUNCTION) {
      *error = ErrorText(code);
      return false;
    }
  }
  DWORD carried = attributes & kCarried;
  if (!SetFileAttributesA(to.c_str(), carried != 0 ? carried : FILE_ATTRIBUTE_NORMAL)) {
    *error = LastErrorText();
    return false;
  }
  return true;
}

// Puts the backup written to |fresh| at |backupPath| with one rename. An
// older backup there first gets a second name, |*older|, so that the caller
// can put it back (UndoBackup) when the replacement that follows fails.
bool PlaceBackup(Temporary* fresh, const std::string& backupPath, Temporary* older,
                 std::string* error) {
  DWORD attributes = GetFileAttributesA(backupPath.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      *error = disk_error::kIsDirectory;
      return false;
    }
    if (attributes & FILE_ATTRIBUTE_READONLY) {
      *error = disk_error::kReadOnly;
      return false;
    }
    if (!older->Link(backupPath, error)) {
      return false;
    }
  } else if (!IsNotFound(GetLastError())) {
    *error = LastErrorText();
    return false;
  }
  if (!fresh->MoveTo(backupPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    *error = LastErrorText();
    return false;
  }
  return true;
}

// Undoes PlaceBackup after a failed replacement: the older backup back at
// |backupPath|, or none where there was none. Returns the empty string, or,
// when the older backup cannot go back (a program holds the new one open),
// where it is kept instead: never deleted.
std::string UndoBackup(const std::string& backupPath, Temporary* older) {
  if (older->path().empty()) {
    DeleteFileA(backupPath.c_str());
    return std::string();
  }
  if (older->MoveTo(backupPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return std::string();
  }
  return older->Keep(kKeptBackup);
}

class WindowsDisk : public Disk {
 public:
  LockStatus TryLock(const std::string& path, std::unique_ptr<Lock>* lock,
                     std::string* error) override {
    std::string name;
    bool missing = false;
    if (!LockName(FolderOf(path), &name, &missing, error)) {
      if (missing) {
        // No folder: no file, and none can be made.
        *lock = std::make_unique<FileLock>(path, nullptr, std::string());
        return LockStatus::kLocked;
      }
      return LockStatus::kFailed;
    }
    if (FileLock::HeldHere().count(name) != 0) {
      *error = disk_error::kLockedElsewhere;
      return LockStatus::kBusy;
    }
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    if (mutex == nullptr) {
      // A named object exists only while a process holds it open: this one
      // is another user's run, working now.
      if (GetLastError() == ERROR_ACCESS_DENIED) {
        *error = disk_error::kLockedElsewhere;
        return LockStatus::kBusy;
      }
      *error = LastErrorText();
      return LockStatus::kFailed;
    }
    // WAIT_ABANDONED: a run that held it was killed; it is ours now.
    DWORD waited = WaitForSingleObject(mutex, 0);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
      *error = waited == WAIT_TIMEOUT ? disk_error::kLockedElsewhere : LastErrorText();
      CloseHandle(mutex);
      return waited == WAIT_TIMEOUT ? LockStatus::kBusy : LockStatus::kFailed;
    }
    auto held = std::make_unique<FileLock>(path, mutex, name);
    HANDLE file = OpenKeepingWritersOut(path, GENERIC_READ | DELETE);
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
      file = OpenKeepingWritersOut(path, GENERIC_READ);  // read-only, or no right to delete
    }
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION) {
      // Opened without asking to delete, the file is refused only where a
      // program has it open for writing.
      HANDLE reader = OpenKeepingWritersOut(path, GENERIC_READ);
      *error = reader == INVALID_HANDLE_VALUE ? disk_error::kOpenForWriting
                                              : disk_error::kOpenWithoutDeleteSharing;
      if (reader != INVALID_HANDLE_VALUE) {
        CloseHandle(reader);
      }
      return LockStatus::kBusy;
    }
    // Nothing there yet, or nothing that can be read: ReadPieces says which.
    if (file != INVALID_HANDLE_VALUE) {
      held->Hold(file);
    }
    *lock = std::move(held);
    return LockStatus::kLocked;
  }

  void RemoveLeftovers(const Lock& lock, const std::string& backupPath) override {
    for (const std::string& place : {lock.file(), backupPath}) {
      WIN32_FIND_DATAA found;
      std::string folder = FolderOf(place);
      HANDLE search = place.empty()
                          ? INVALID_HANDLE_VALUE
                          : FindFirstFileA((folder + kTemporaryPrefix + "*").c_str(), &found);
      while (search != INVALID_HANDLE_VALUE) {
        // The pattern matches short names too; only a name of this
        // program's own making is taken.
        if (IsLeftoverName(found.cFileName) &&
            !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
          DeleteFileA((folder + found.cFileName).c_str());
        }
        if (!FindNextFileA(search, &found)) {
          FindClose(search);
          search = INVALID_HANDLE_VALUE;
        }
      }
    }
  }

  // Read into a buffer: while the lock holds the file, no program can write
  // it, but the lock lets it go right before the replacement, and a mapping
  // of a file shortened then would fault.
  ReadStatus Read(Lock& lock, std::string_view* bytes, std::string* error) override {
    return ReadIntoBuffer(lock, &static_cast<FileLock&>(lock).buffer(), bytes, error);
  }

  ReadStatus ReadPieces(Lock& lock, const Consumer& consume, std::string* error) override {
    // Through the lock's handle; where it holds none, the file is opened.
    HANDLE held = static_cast<FileLock&>(lock).held();
    HANDLE file = held;
    if (held != INVALID_HANDLE_VALUE) {
      SetFilePointer(held, 0, nullptr, FILE_BEGIN);
    } else if (ReadStatus opened = OpenRegular(lock.file(), &file, error);
               opened != ReadStatus::kOkay) {
      return opened;
    }
    LARGE_INTEGER size;
    std::uint64_t known =
        GetFileSizeEx(file, &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
    ReadStatus result = ReadOpenFile(
        file, [&](std::string_view piece) { return consume(piece, known); }, error);
    if (file != held) {
      CloseHandle(file);
    }
    return result;
  }

  ReplaceStatus ReplaceFile(Lock& lock, const Replacement& replacement,
                            std::string* error) override {
    const std::string& path = lock.file();
    DWORD attributes = GetFileAttributesA(path.c_str());
    bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (!exists && !IsNotFound(GetLastError())) {
      *error = LastErrorText();
      return ReplaceStatus::kFailed;
    }
    if (exists != replacement.expected.has_value()) {
      return ReplaceStatus::kChanged;
    }
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      *error = disk_error::kIsDirectory;
      return ReplaceStatus::kFailed;
    }
    if (exists && replacement.bytes && (attributes & FILE_ATTRIBUTE_READONLY)) {
      *error = disk_error::kReadOnly;
      return ReplaceStatus::kFailed;
    }

    Temporary temporary(kNewText);
    if (replacement.bytes && (!temporary.Write(path, *replacement.bytes, error) ||
                              (exists && !CarryOver(path, temporary.path(), attributes, error)))) {
      return ReplaceStatus::kFailed;
    }
    bool backup = !replacement.backupPath.empty();
    Temporary fresh(kNewBackup);
    if (backup && !fresh.Write(replacement.backupPath, *replacement.expected, error)) {
      return ReplaceStatus::kBackupFailed;
    }
    if (!StillAsExpected(lock, replacement)) {
      return ReplaceStatus::kChanged;
    }
    // A program that holds the file open without delete sharing makes the
    // rename fail; asked first, it leaves the backup untouched too.
    if (exists) {
      HANDLE probe =
          CreateFileA(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (probe == INVALID_HANDLE_VALUE) {
        *error = LastErrorText();
        return ReplaceStatus::kFailed;
      }
      CloseHandle(probe);
    }
    // A backup's name that is a second name of the file: the rename below
    // alone leaves the old file there; to keep the bytes, a copy replaces it,
    // which the file's own handle would keep from going.
    HANDLE file = OpenShared(path);
    bool backupIsTheFile =
        backup && file != INVALID_HANDLE_VALUE && Names(replacement.backupPath, file);
    if (file != INVALID_HANDLE_VALUE) {
      CloseHandle(file);
    }
    if (backupIsTheFile) {
      lock.LetFileGo();
      backup = !replacement.bytes;
    }
    Temporary older(kOlderBackup);
    if (backup && !PlaceBackup(&fresh, replacement.backupPath, &older, error)) {
      return ReplaceStatus::kBackupFailed;
    }
    if (!replacement.bytes) {
      return ReplaceStatus::kReplaced;
    }
    lock.LetFileGo();
    if (temporary.MoveTo(path, (exists ? MOVEFILE_REPLACE_EXISTING : 0) | MOVEFILE_WRITE_THROUGH)) {
      return ReplaceStatus::kReplaced;
    }
    DWORD code = GetLastError();
    std::string kept = backup ? UndoBackup(replacement.backupPath, &older) : std::string();
    if (kept.empty() && !replacement.expected &&
        (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS)) {
      return ReplaceStatus::kChanged;
    }
    *error = ErrorText(code);
    if (!kept.empty()) {
      *error += "; the older backup could not be put back and is kept as " + kept;
    }
    return ReplaceStatus::kFailed;
  }

 private:
  // Opens |path| for reading, refusing anything but a file on a disk.
  static ReadStatus OpenRegular(const std::string& path, HANDLE* file, std::string* error) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      DWORD code = GetLastError();
      if (IsNotFound(code)) {
        return ReadStatus::kNotFound;
      }
      *error = ErrorText(code);
      return ReadStatus::kFailed;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      *error = disk_error::kIsDirectory;
      return ReadStatus::kFailed;
    }
    *file = OpenShared(path);
    if (*file == INVALID_HANDLE_VALUE) {
      DWORD code = GetLastError();
      if (IsNotFound(code)) {
        return ReadStatus::kNotFound;
      }
      *error = ErrorText(code);
      return ReadStatus::kFailed;
    }
    // Devices (NUL, CON, COM1) open like files but are none.
    if (GetFileType(*file) != FILE_TYPE_DISK) {
      CloseHandle(*file);
      *error = disk_error::kNotRegular;
      return ReadStatus::kFailed;
    }
    return ReadStatus::kOkay;
  }

  static ReadStatus ReadOpenFile(HANDLE file, const std::function<bool(std::string_view)>& consume,
                                 std::string* error) {
    std::vector<char> buffer(kPieceSize);
    for (;;) {
      DWORD got = 0;
      if (!::ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
        *error = LastErrorText();
        return ReadStatus::kFailed;
      }
      if (got == 0 || !consume(std::string_view(buffer.data(), got))) {
        return ReadStatus::kOkay;
      }
    }
  }
};

}  // namespace

Disk& SystemDisk() {
  static WindowsDisk disk;
  return disk;
}
