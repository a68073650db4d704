#include <windows.h>
// windows.h maps ReplaceFile to ReplaceFileA, which would rename the Disk
// method of that name here and nowhere else.
#undef ReplaceFile

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/code_page.h"
#include "platform/disk.h"

// Replacing a file, the Windows way:
//
//   1. Write the new bytes to "~ae<unique>" in the file's folder (same volume,
//      so nothing below turns into a copy) and flush them.
//   2. When the caller expects the old bytes, read the file once more and
//      compare.
//   3. A backup asked for: its bytes go to a temporary file of their own in
//      the backup's folder; an older backup is moved aside to a temporary
//      name, and the new one moved in (ReplaceBackup).
//   4. An existing file is replaced with ReplaceFileA, which keeps its
//      attributes, security and creation time; a new one is moved into place
//      with MoveFileExA, write-through, which never replaces a file that
//      appeared in the meantime. If that fails (another program holds the
//      file open without delete sharing), the older backup is moved back.
//
// If anything fails, the temporary files are deleted and the old file and
// backup have not been touched. Paths stay ANSI strings all the way to the
// system calls.
//
// The update lock is a byte-range lock far beyond the end of any real file:
// it keeps other runs of this program out without getting in the way of
// anyone reading or writing the file's bytes, and the system lets it go when
// the process ends. A temporary file is open without sharing while it is
// written, so deleting one that a running write still uses fails; the one
// moment it is not open, right before the replacement, is covered by the
// update lock of the file it replaces.

namespace {

// A temporary file is named "~ae" and eight hexadecimal digits: eleven
// characters, no more than "autoexp.dat" and "autoexp.bak", so that in any
// folder where the system can name those (the ANSI calls take paths of at
// most MAX_PATH - 1 characters) it can name the temporary file too. The name
// does not tell which file it was meant for; a run that removes leftovers
// spares those still open, and in the rare folder holding two rules files
// under different names, a run of the other one that loses its temporary
// file in the moment before the replacement fails without writing.
constexpr char kTemporaryPrefix[] = "~ae";
constexpr std::size_t kTemporaryDigits = 8;

// The size of the pieces a file is read in.
constexpr std::size_t kPieceSize = 128 * 1024;

// Where the update lock sits: no file reaches this offset.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFF0;

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

bool IsTemporaryName(const std::string& name) {
  constexpr std::size_t kPrefixLength = sizeof kTemporaryPrefix - 1;
  return name.size() == kPrefixLength + kTemporaryDigits &&
         name.compare(0, kPrefixLength, kTemporaryPrefix) == 0 &&
         name.find_first_not_of("0123456789abcdef", kPrefixLength) == std::string::npos;
}

// Creates a temporary file in |path|'s folder that no one else uses.
HANDLE CreateTemporary(const std::string& path, std::string* temporary) {
  DWORD unique = GetCurrentProcessId() * 7919u + GetTickCount();
  for (int attempt = 0; attempt < 100; ++attempt, ++unique) {
    char digits[kTemporaryDigits + 1];
    std::snprintf(digits, sizeof digits, "%08lx", static_cast<unsigned long>(unique));
    *temporary = FolderOf(path) + kTemporaryPrefix + digits;
    HANDLE file = CreateFileA(temporary->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) {
      return file;
    }
  }
  return INVALID_HANDLE_VALUE;
}

HANDLE OpenShared(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Whether |path| still names the file open as |file|.
bool StillNamed(HANDLE file, const std::string& path) {
  HANDLE named = OpenShared(path);
  if (named == INVALID_HANDLE_VALUE) {
    return false;
  }
  BY_HANDLE_FILE_INFORMATION a, b;
  bool same = GetFileInformationByHandle(file, &a) && GetFileInformationByHandle(named, &b) &&
              a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
              a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
  CloseHandle(named);
  return same;
}

class HandleLock : public Disk::Lock {
 public:
  explicit HandleLock(HANDLE file) : file_(file) {}
  ~HandleLock() override { CloseHandle(file_); }
  HandleLock(const HandleLock&) = delete;
  HandleLock& operator=(const HandleLock&) = delete;

 private:
  HANDLE file_;
};

// A temporary file of a run, written without sharing; deleted when it goes
// out of scope unless it has taken its place.
struct Temporary {
  std::string path;
  HANDLE file = INVALID_HANDLE_VALUE;
  bool placed = false;

  ~Temporary() {
    Close();
    if (!placed && !path.empty()) {
      DeleteFileA(path.c_str());
    }
  }
  void Close() {
    if (file != INVALID_HANDLE_VALUE) {
      CloseHandle(file);
      file = INVALID_HANDLE_VALUE;
    }
  }
  // Creates it in |beside|'s folder and writes |pieces| to it, flushed.
  bool Write(const std::string& beside, const std::vector<std::string_view>& pieces,
             std::string* error) {
    file = CreateTemporary(beside, &path);
    if (file == INVALID_HANDLE_VALUE) {
      path.clear();
      *error = LastErrorText();
      return false;
    }
    bool written = true;
    for (std::string_view piece : pieces) {
      written = written && WriteAll(file, piece);
    }
    if (!written || !FlushFileBuffers(file)) {
      *error = LastErrorText();
      return false;
    }
    Close();
    return true;
  }
};

// Undoes ReplaceBackup below: the older backup back in place, or none.
void RestoreBackup(const std::string& backupPath, Temporary* aside) {
  if (aside->path.empty()) {
    DeleteFileA(backupPath.c_str());
  } else {
    aside->placed = MoveFileExA(aside->path.c_str(), backupPath.c_str(),
                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  }
}

// Puts the backup written to |fresh| at |backupPath|. An older backup is
// first moved aside to a temporary name, |*aside|, so that the caller can put
// it back with RestoreBackup when the replacement that follows fails; a file
// held open without delete sharing cannot be moved, and nothing changes.
bool ReplaceBackup(Temporary* fresh, const std::string& backupPath, Temporary* aside,
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
    // A name of our own, freed for the move.
    HANDLE reserved = CreateTemporary(backupPath, &aside->path);
    if (reserved == INVALID_HANDLE_VALUE) {
      *error = LastErrorText();
      aside->path.clear();
      return false;
    }
    CloseHandle(reserved);
    if (!MoveFileExA(backupPath.c_str(), aside->path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      *error = LastErrorText();
      return false;
    }
  } else if (!IsNotFound(GetLastError())) {
    *error = LastErrorText();
    return false;
  }
  if (!MoveFileExA(fresh->path.c_str(), backupPath.c_str(), MOVEFILE_WRITE_THROUGH)) {
    *error = LastErrorText();
    RestoreBackup(backupPath, aside);
    return false;
  }
  fresh->placed = true;
  return true;
}

class WindowsDisk : public Disk {
 public:
  LockStatus TryLock(const std::string& path, std::unique_ptr<Lock>* lock,
                     std::string* error) override {
    HANDLE file = OpenShared(path);
    if (file == INVALID_HANDLE_VALUE || GetFileType(file) != FILE_TYPE_DISK) {
      if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
      }
      *lock = std::make_unique<Lock>();  // nothing there yet, or nothing to lock
      return LockStatus::kLocked;
    }
    OVERLAPPED where = {};
    where.OffsetHigh = kLockOffsetHigh;
    bool locked =
        LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where);
    DWORD code = GetLastError();
    if (locked && StillNamed(file, path)) {
      *lock = std::make_unique<HandleLock>(file);
      return LockStatus::kLocked;
    }
    CloseHandle(file);
    if (!locked && code != ERROR_LOCK_VIOLATION && code != ERROR_IO_PENDING) {
      *lock = std::make_unique<Lock>();  // a filesystem without locks
      return LockStatus::kLocked;
    }
    // Held elsewhere, or replaced while it was being opened: try again.
    *error = disk_error::kLockedElsewhere;
    return LockStatus::kBusy;
  }

  void RemoveLeftovers(const std::string& path) override {
    WIN32_FIND_DATAA found;
    std::string folder = FolderOf(path);
    HANDLE search = FindFirstFileA((folder + kTemporaryPrefix + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
      return;
    }
    do {
      // The pattern matches short names too; only a name of this program's
      // own making is taken.
      if (IsTemporaryName(found.cFileName) &&
          !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFileA((folder + found.cFileName).c_str());
      }
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }

  ReadStatus ReadPieces(const std::string& path, const Consumer& consume,
                        std::string* error) override {
    HANDLE file = INVALID_HANDLE_VALUE;
    ReadStatus opened = OpenRegular(path, &file, error);
    if (opened != ReadStatus::kOkay) {
      return opened;
    }
    LARGE_INTEGER size;
    std::uint64_t known =
        GetFileSizeEx(file, &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
    ReadStatus result = ReadOpenFile(
        file, [&](std::string_view piece) { return consume(piece, known); }, error);
    CloseHandle(file);
    return result;
  }

  ReplaceStatus ReplaceFile(const std::string& path, const Replacement& replacement,
                            std::string* error) override {
    DWORD attributes = GetFileAttributesA(path.c_str());
    bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (!exists && !IsNotFound(GetLastError())) {
      *error = LastErrorText();
      return ReplaceStatus::kFailed;
    }
    if ((replacement.expect == Expect::kNoFile && exists) ||
        (replacement.expect == Expect::kTheseBytes && !exists)) {
      return ReplaceStatus::kChanged;
    }
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      *error = disk_error::kIsDirectory;
      return ReplaceStatus::kFailed;
    }
    if (exists && !replacement.keepBytes && (attributes & FILE_ATTRIBUTE_READONLY)) {
      *error = disk_error::kReadOnly;
      return ReplaceStatus::kFailed;
    }

    Temporary temporary;
    if (!replacement.keepBytes && !temporary.Write(path, replacement.pieces, error)) {
      return ReplaceStatus::kFailed;
    }
    bool backup = replacement.expect == Expect::kTheseBytes && !replacement.backupPath.empty();
    // The backup is a copy of its own: ReplaceFileA may keep the replaced
    // file's identity for the new bytes, so a second link to the old file
    // would not keep the old bytes.
    Temporary fresh;
    if (backup && !fresh.Write(replacement.backupPath, *replacement.expected, error)) {
      return ReplaceStatus::kBackupFailed;
    }
    if (replacement.expect == Expect::kTheseBytes &&
        (!FileHolds(*this, path, *replacement.expected) ||
         (replacement.lock != nullptr && !replacement.lock->Kept()))) {
      return ReplaceStatus::kChanged;
    }
    // A program that holds the file open without delete sharing makes
    // ReplaceFileA fail; asked first, it leaves the backup untouched too.
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
    Temporary aside;
    if (backup && !ReplaceBackup(&fresh, replacement.backupPath, &aside, error)) {
      return ReplaceStatus::kBackupFailed;
    }
    if (replacement.keepBytes) {
      return ReplaceStatus::kReplaced;
    }
    bool replaced = exists
                        ? ::ReplaceFileA(path.c_str(), temporary.path.c_str(), nullptr,
                                         REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)
                        : MoveFileExA(temporary.path.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH);
    DWORD code = GetLastError();
    if (replaced) {
      temporary.placed = true;
      return ReplaceStatus::kReplaced;
    }
    if (backup) {
      RestoreBackup(replacement.backupPath, &aside);
    }
    if (replacement.expect == Expect::kNoFile &&
        (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS)) {
      return ReplaceStatus::kChanged;
    }
    *error = ErrorText(code);
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
