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
#include "platform/expected_bytes.h"
#include "platform/replacing_disk.h"

// Replacing a file, the Windows way:
//
//   1. Write the new bytes to "~ae<unique>" in the file's folder (same volume,
//      so nothing below turns into a copy) and flush them.
//   2. When the caller expects the old bytes, read the file once more and
//      compare.
//   3. An existing file is replaced with ReplaceFileA, which keeps its
//      attributes, security and creation time; a new one is moved into place
//      with MoveFileExA, write-through, which never replaces a file that
//      appeared in the meantime.
//
// If anything fails, the temporary file is deleted and the old file has not
// been touched. Paths stay ANSI strings all the way to the system calls.
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

// How long LockFile waits for another holder of the lock.
constexpr DWORD kLockWaitMilliseconds = 20000;

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

// Whether the file at |path| holds exactly |expected|, read in pieces.
bool Holds(const std::string& path, const std::vector<std::string_view>& pieces) {
  HANDLE file = OpenShared(path);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  ExpectedBytes expected(pieces);
  LARGE_INTEGER size;
  bool same = GetFileType(file) == FILE_TYPE_DISK && GetFileSizeEx(file, &size) &&
              static_cast<std::uint64_t>(size.QuadPart) == expected.size();
  char buffer[1 << 16];
  while (same) {
    DWORD got = 0;
    if (!::ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
      same = false;
      break;
    }
    if (got == 0) {
      same = expected.Done();
      break;
    }
    same = expected.Match(std::string_view(buffer, got));
  }
  CloseHandle(file);
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

class WindowsDisk : public ReplacingDisk {
 public:
  std::unique_ptr<Lock> LockFile(const std::string& path, std::string* error) override {
    DWORD start = GetTickCount();
    DWORD pause = 1;
    for (;;) {
      HANDLE file = OpenShared(path);
      if (file == INVALID_HANDLE_VALUE) {
        return std::make_unique<Lock>();
      }
      if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return std::make_unique<Lock>();
      }
      OVERLAPPED where = {};
      where.OffsetHigh = kLockOffsetHigh;
      bool locked =
          LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where);
      DWORD code = GetLastError();
      if (locked && StillNamed(file, path)) {
        return std::make_unique<HandleLock>(file);
      }
      CloseHandle(file);
      if (locked) {
        continue;  // replaced while it was being opened: lock the new file
      }
      if (code != ERROR_LOCK_VIOLATION && code != ERROR_IO_PENDING) {
        return std::make_unique<Lock>();
      }
      if (GetTickCount() - start >= kLockWaitMilliseconds) {
        *error = "another program kept the file locked";
        return nullptr;
      }
      Sleep(pause);
      pause = std::min<DWORD>(pause * 2, 50);
    }
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

 private:
  ReplaceStatus Replace(const std::string& path, Condition condition,
                        const Replacement& replacement, std::string* error) override {
    DWORD attributes = GetFileAttributesA(path.c_str());
    bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (!exists && !IsNotFound(GetLastError())) {
      *error = LastErrorText();
      return ReplaceStatus::kFailed;
    }
    if ((condition == Condition::kAbsent && exists) ||
        (condition == Condition::kHolds && !exists)) {
      return ReplaceStatus::kChanged;
    }
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      *error = "is a directory";
      return ReplaceStatus::kFailed;
    }
    if (exists && (attributes & FILE_ATTRIBUTE_READONLY)) {
      *error = "file is read-only";
      return ReplaceStatus::kFailed;
    }

    std::string temporary;
    HANDLE file = CreateTemporary(path, &temporary);
    if (file == INVALID_HANDLE_VALUE) {
      *error = LastErrorText();
      return ReplaceStatus::kFailed;
    }
    ReplaceStatus result = ReplaceStatus::kFailed;
    bool written = true;
    for (std::string_view piece : replacement.pieces) {
      written = written && WriteAll(file, piece);
    }
    if (written && FlushFileBuffers(file)) {
      result = ReplaceStatus::kReplaced;
    } else {
      *error = LastErrorText();
    }
    CloseHandle(file);
    static const std::vector<std::string_view> kNone;
    const std::vector<std::string_view>& expected =
        replacement.expected != nullptr ? *replacement.expected : kNone;
    // The backup is a copy of its own: ReplaceFileA may keep the replaced
    // file's identity for the new bytes, so a second link to the old file
    // would not keep the old bytes.
    if (result == ReplaceStatus::kReplaced && condition == Condition::kHolds &&
        !replacement.backupPath.empty()) {
      Replacement backup;
      backup.pieces = expected;
      if (Replace(replacement.backupPath, Condition::kAlways, backup, error) !=
          ReplaceStatus::kReplaced) {
        result = ReplaceStatus::kBackupFailed;
      }
    }
    if (result == ReplaceStatus::kReplaced) {
      result = Commit(path, temporary, condition, expected, error);
    }
    if (result != ReplaceStatus::kReplaced) {
      DeleteFileA(temporary.c_str());
    }
    return result;
  }

  // The last step: checks the condition and puts |temporary| in |path|'s place.
  static ReplaceStatus Commit(const std::string& path, const std::string& temporary,
                              Condition condition, const std::vector<std::string_view>& expected,
                              std::string* error) {
    if (condition == Condition::kHolds && !Holds(path, expected)) {
      return ReplaceStatus::kChanged;
    }
    bool exists = condition == Condition::kHolds ||
                  (condition == Condition::kAlways &&
                   GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES);
    if (exists ? ::ReplaceFileA(path.c_str(), temporary.c_str(), nullptr,
                                REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)
               : MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH)) {
      return ReplaceStatus::kReplaced;
    }
    DWORD code = GetLastError();
    if (condition == Condition::kAbsent &&
        (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS)) {
      return ReplaceStatus::kChanged;
    }
    *error = ErrorText(code);
    return ReplaceStatus::kFailed;
  }

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
      *error = "is a directory";
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
      *error = "not a regular file";
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
