#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/disk.h"
#include "platform/wide_windows.h"

// The primitives of the update on Windows: paths are UTF-8 up to here and
// wide at every call, so that any name the system can hold is reached as it
// is, whatever the ANSI code page.
//
// A folder's update lock is a byte-range lock on its lock file (LockFileEx),
// which every spelling of the folder reaches, which runs in other sessions
// and, through a file server, on other machines see, and which the system
// lets go when a process ends, however it ends. The lock file is opened for
// reading and writing (Wine shows a lock to another machine only through a
// handle that may write) and shares no deleting, so that it stays while a run
// holds it. The file is held open for reading and deleting, sharing reading
// and deleting but not writing: no program can open it for writing while the
// run holds it, and one that already has it open for writing, or without
// delete sharing (which would make the rename fail), makes the run wait.
// Links are followed where the system names a file's final path. A rename
// that another program's open refuses says so (kBusy), and the update
// decides what to look at before it tries again.

namespace {

using Result = Disk::Result;

std::string ErrorText(DWORD code) {
  wchar_t* buffer = nullptr;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text = length > 0 ? Utf8(std::wstring_view(buffer, length)) : std::string();
  LocalFree(buffer);
  while (!text.empty() &&
         (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  return (text.empty() ? std::string("system error") : text) + " (" + std::to_string(code) + ")";
}

Result Failed(std::string* error) {
  *error = ErrorText(GetLastError());
  return Result::kFailed;
}

bool IsNotFound(DWORD code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

bool IsTaken(DWORD code) {
  return code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
}

// Whether |code| says that another program's open of a file refused what
// was asked.
bool IsRefusedByAnOpen(DWORD code) {
  return code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED ||
         code == ERROR_LOCK_VIOLATION;
}

std::wstring Here(const std::string& folder) {
  return Wide(folder.empty() ? "." : folder);
}

// An open file, and the name it was opened by.
class File : public Disk::Handle {
 public:
  File(HANDLE handle, std::string path) : handle_(handle), path_(std::move(path)) {}
  ~File() override { CloseHandle(handle_); }
  HANDLE handle() const { return handle_; }
  const std::string& path() const { return path_; }

 private:
  HANDLE handle_;
  std::string path_;
};

// A folder's update lock, held: the lock file, locked, and the folder open
// without delete sharing, so that it can be neither renamed nor moved while
// the run works in it (where another program already has it open so, the
// run goes on without that).
class FolderLock : public File {
 public:
  using File::File;
  ~FolderLock() override {
    if (folder_ != INVALID_HANDLE_VALUE) {
      CloseHandle(folder_);
    }
  }
  void Hold(HANDLE folder) { folder_ = folder; }

 private:
  HANDLE folder_ = INVALID_HANDLE_VALUE;
};

// The identity of what |path| names (a folder too), or false.
bool Identify(const std::string& path, BY_HANDLE_FILE_INFORMATION* info, DWORD* code) {
  HANDLE handle = CreateFileW(Here(path).c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  bool known = handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, info);
  *code = GetLastError();
  if (handle != INVALID_HANDLE_VALUE) {
    CloseHandle(handle);
  }
  return known;
}

bool SameIdentity(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// The path that |path| finally names, every link followed, where it names
// something and the system can tell: Windows Vista and later. (XP has no
// links to files, and the program keeps to XP's imports, so the call is
// looked up as it runs.) Empty where it cannot tell.
std::string LinkTarget(const std::string& path) {
  using Getter = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
  static const Getter get = reinterpret_cast<Getter>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetFinalPathNameByHandleW")));
  HANDLE handle = get == nullptr
                      ? INVALID_HANDLE_VALUE
                      : CreateFileW(Wide(path).c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);  // a device: no link, and refused where it is opened
    handle = INVALID_HANDLE_VALUE;
  }
  if (handle == INVALID_HANDLE_VALUE) {
    return std::string();
  }
  wchar_t final[MAX_PATH * 2];
  DWORD length = get(handle, final, MAX_PATH * 2, 0);
  CloseHandle(handle);
  std::string text = length > 0 && length < MAX_PATH * 2 ? Utf8({final, length}) : "";
  // Only a drive letter's path or a share's is one the other calls take as
  // it stands; any other form (Wine's \\?\unix\...) cannot be told.
  if (text.rfind("\\\\?\\UNC\\", 0) == 0) {
    return "\\\\" + text.substr(8);
  }
  bool drive =
      text.size() >= 7 && text.rfind("\\\\?\\", 0) == 0 && text[5] == ':' && text[6] == '\\';
  return drive ? text.substr(4) : std::string();
}

// Whether |path| is a link: a reparse point, or a name whose target is
// another (how Wine shows a POSIX symbolic link).
bool IsLink(const std::string& path) {
  std::wstring wide = Wide(path);
  DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return true;
  }
  wchar_t full[MAX_PATH * 2];
  DWORD length = GetFullPathNameW(wide.c_str(), MAX_PATH * 2, full, nullptr);
  std::string target = LinkTarget(path);
  return !target.empty() && length > 0 && length < MAX_PATH * 2 &&
         lstrcmpiW(Wide(target).c_str(), full) != 0;
}

HANDLE OpenKeepingWritersOut(const std::string& path, DWORD access) {
  return CreateFileW(Wide(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool WriteAll(HANDLE file, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD chunk = bytes.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!::WriteFile(file, bytes.data(), chunk, &written, nullptr)) {
      return false;
    }
    if (written == 0) {
      SetLastError(ERROR_DISK_FULL);  // tried again, it would never end
      return false;
    }
    bytes.remove_prefix(written);
  }
  return true;
}

// Whether the volume that holds |path| keeps access lists (NTFS does; FAT
// and many shares do not, and refuse to be given one).
bool KeepsAccessLists(const std::string& path) {
  wchar_t root[MAX_PATH + 1];
  DWORD flags = 0;
  return GetVolumePathNameW(Wide(path).c_str(), root, MAX_PATH + 1) &&
         GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
         (flags & FILE_PERSISTENT_ACLS) != 0;
}

// Gives the file at |to| the attributes (read-only aside: such a file is
// never replaced) and the access list of the file at |from|. A volume
// without security (FAT) has no access list to give.
bool CarryOver(const std::string& from, const std::string& to, std::string* error) {
  constexpr DWORD kCarried = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                             FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  std::wstring source = Wide(from);
  std::wstring target = Wide(to);
  DWORD needed = 0;
  if (KeepsAccessLists(to) &&
      !GetFileSecurityW(source.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed)) {
    DWORD code = GetLastError();
    if (code == ERROR_INSUFFICIENT_BUFFER) {
      std::vector<char> descriptor(needed);
      if (!GetFileSecurityW(source.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), needed,
                            &needed) ||
          !SetFileSecurityW(target.c_str(), DACL_SECURITY_INFORMATION, descriptor.data())) {
        *error = ErrorText(GetLastError());
        return false;
      }
    } else if (code != ERROR_NOT_SUPPORTED && code != ERROR_INVALID_FUNCTION) {
      *error = ErrorText(code);
      return false;
    }
  }
  // Set only where they differ: a volume that keeps no attributes of its
  // own (a share, FAT under some drivers) refuses to be given any.
  DWORD attributes = GetFileAttributesW(source.c_str());
  DWORD carried = attributes == INVALID_FILE_ATTRIBUTES ? 0 : attributes & kCarried;
  DWORD fresh = GetFileAttributesW(target.c_str());
  if (fresh != INVALID_FILE_ATTRIBUTES && (fresh & kCarried) == carried) {
    return true;
  }
  if (!SetFileAttributesW(target.c_str(), carried != 0 ? carried : FILE_ATTRIBUTE_NORMAL)) {
    *error = ErrorText(GetLastError());
    return false;
  }
  return true;
}

// Whether a file may be made in |folder|, as far as its access list and its
// volume tell.
bool CanWriteIn(const std::string& folder) {
  HANDLE handle = CreateFileW(Here(folder).c_str(), FILE_ADD_FILE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    return code != ERROR_ACCESS_DENIED && code != ERROR_WRITE_PROTECT;
  }
  CloseHandle(handle);
  return true;
}

class WindowsDisk : public Disk {
 public:
  Result FinalPath(const std::string& path, std::string* final, std::string*) override {
    // A link that points nowhere, or one this Windows cannot follow, is
    // replaced by the file the install makes.
    *final = IsLink(path) && !LinkTarget(path).empty() ? LinkTarget(path) : path;
    return Result::kOkay;
  }

  Result LockFolder(const std::string& folder, std::unique_ptr<Handle>* lock,
                    std::string* error) override {
    std::string path = folder + kLockFileName;
    if (IsLink(path)) {
      *error = disk_error::kLockFileIsLink;
      return Result::kFailed;
    }
    // A link laid meanwhile is opened as itself, never created through.
    constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE;
    constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
    std::wstring wide = Wide(path);
    HANDLE handle = CreateFileW(wide.c_str(), kAccess, kShare, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND) {
      handle = CreateFileW(wide.c_str(), kAccess, kShare, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    }
    if (handle == INVALID_HANDLE_VALUE) {
      DWORD code = GetLastError();
      // No folder: no file, and none can be made. A folder that cannot be
      // written at all: the run can change nothing in it either.
      if (IsNotFound(code) || !CanWriteIn(folder)) {
        return Result::kOkay;
      }
      // Taken, yet nothing there to open: a link that points nowhere.
      if (IsTaken(code) && GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES) {
        *error = disk_error::kLockFileIsLink;
        return Result::kFailed;
      }
      *error = IsTaken(code) ? disk_error::kLockedElsewhere : ErrorText(code);
      return Result::kBusy;
    }
    auto held = std::make_unique<FolderLock>(handle, path);
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info) || GetFileType(handle) != FILE_TYPE_DISK ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
      bool link = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
      *error = link ? disk_error::kLockFileIsLink : disk_error::kNotRegular;
      return link ? Result::kFailed : Result::kBusy;
    }
    OVERLAPPED whole{};
    if (!LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole)) {
      DWORD code = GetLastError();
      *error = code == ERROR_LOCK_VIOLATION ? disk_error::kLockedElsewhere : ErrorText(code);
      return code == ERROR_LOCK_VIOLATION ? Result::kBusy : Result::kFailed;
    }
    held->Hold(CreateFileW(Here(folder).c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    *lock = std::move(held);
    return Result::kOkay;
  }

  Result OpenFile(const std::string& path, std::unique_ptr<Handle>* file, Entry* entry,
                  std::string* error) override {
    DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      return IsNotFound(GetLastError()) ? Result::kNotFound : Failed(error);
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      *error = disk_error::kIsDirectory;
      return Result::kFailed;
    }
    HANDLE handle = OpenKeepingWritersOut(path, GENERIC_READ | DELETE);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
      handle = OpenKeepingWritersOut(path, GENERIC_READ);  // read-only, or no right to delete
    }
    if (handle == INVALID_HANDLE_VALUE) {
      DWORD code = GetLastError();
      if (IsNotFound(code)) {
        return Result::kNotFound;
      }
      if (code != ERROR_SHARING_VIOLATION) {
        *error = ErrorText(code);
        return Result::kFailed;
      }
      // Opened without asking to delete, the file is refused only where a
      // program has it open for writing.
      HANDLE reader = OpenKeepingWritersOut(path, GENERIC_READ);
      *error = reader == INVALID_HANDLE_VALUE ? disk_error::kOpenForWriting
                                              : disk_error::kOpenWithoutDeleteSharing;
      if (reader != INVALID_HANDLE_VALUE) {
        CloseHandle(reader);
      }
      return Result::kBusy;
    }
    auto held = std::make_unique<File>(handle, path);
    // Devices (NUL, CON, COM1) open like files but are none.
    LARGE_INTEGER size;
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileSizeEx(handle, &size)) {
      *error = disk_error::kNotRegular;
      return Result::kFailed;
    }
    entry->kind = Kind::kFile;
    entry->readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    entry->size = static_cast<std::uint64_t>(size.QuadPart);
    *file = std::move(held);
    return Result::kOkay;
  }

  bool StillHolds(Handle& file, const std::string& path) override {
    BY_HANDLE_FILE_INFORMATION held, named;
    DWORD code = 0;
    return GetFileInformationByHandle(static_cast<File&>(file).handle(), &held) &&
           Identify(path, &named, &code) && SameIdentity(held, named);
  }

  bool ReadAt(Handle& file, std::uint64_t offset, char* into, std::size_t size, std::size_t* got,
              std::string* error) override {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    if (!::ReadFile(static_cast<File&>(file).handle(), into, chunk, &read, &at) &&
        GetLastError() != ERROR_HANDLE_EOF) {
      *error = ErrorText(GetLastError());
      return false;
    }
    *got = read;
    return true;
  }

  Result Look(const std::string& path, Entry* entry, std::string* error) override {
    *entry = Entry();
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) {
      return IsNotFound(GetLastError()) ? Result::kOkay : Failed(error);
    }
    DWORD attributes = data.dwFileAttributes;
    entry->kind = (attributes & FILE_ATTRIBUTE_DIRECTORY)       ? Kind::kDirectory
                  : (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? Kind::kLink
                                                                : Kind::kFile;
    entry->readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    entry->size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    return Result::kOkay;
  }

  bool SameFile(const std::string& a, const std::string& b) override {
    BY_HANDLE_FILE_INFORMATION first, second;
    DWORD code = 0;
    return Identify(a, &first, &code) && Identify(b, &second, &code) && SameIdentity(first, second);
  }

  Result WriteNew(const std::string& path, const std::vector<std::string_view>& bytes, Handle* like,
                  std::string* error) override {
    HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      return IsTaken(GetLastError()) ? Result::kExists : Failed(error);
    }
    bool written = true;
    for (std::string_view piece : bytes) {
      written = written && WriteAll(file, piece);
    }
    written = written && FlushFileBuffers(file);
    if (!written) {
      *error = ErrorText(GetLastError());
    }
    // A file system that stores at the close tells of a failed store there.
    if (!CloseHandle(file) && written) {
      *error = ErrorText(GetLastError());
      written = false;
    }
    if (written && like != nullptr) {
      written = CarryOver(static_cast<File*>(like)->path(), path, error);
    }
    return written ? Result::kOkay : Result::kFailed;
  }

  Result Rename(const std::string& from, const std::string& to, bool replace,
                std::string* error) override {
    DWORD flags = (replace ? MOVEFILE_REPLACE_EXISTING : 0) | MOVEFILE_WRITE_THROUGH;
    if (MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), flags)) {
      return Result::kOkay;
    }
    DWORD code = GetLastError();
    if (!replace && IsTaken(code)) {
      return Result::kExists;
    }
    *error = ErrorText(code);
    return IsRefusedByAnOpen(code) ? Result::kBusy : Result::kFailed;
  }

  bool Remove(const std::string& path) override { return DeleteFileW(Wide(path).c_str()) != 0; }

  std::vector<std::string> List(const std::string& folder, std::string_view prefix) override {
    std::vector<std::string> names;
    // A name is judged against the folder's final path, so that a leftover
    // is found whatever spelling (an 8.3 name, letter case) the folder had.
    std::string base = LinkTarget(folder.empty() ? std::string(".") : folder);
    if (!base.empty() && base.back() != '\\') {
      base += '\\';
    }
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(Wide(folder + std::string(prefix) + "*").c_str(), &found);
    while (search != INVALID_HANDLE_VALUE) {
      // The pattern matches short names too: only the long name counts.
      std::string name = Utf8(found.cFileName);
      if (name.compare(0, prefix.size(), prefix) == 0 &&
          !(found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
          !(base.empty() ? IsLink(folder + name)
                         : lstrcmpiW(Wide(LinkTarget(folder + name)).c_str(),
                                     Wide(base + name).c_str()) != 0)) {
        names.push_back(name);
      }
      if (!FindNextFileW(search, &found)) {
        FindClose(search);
        search = INVALID_HANDLE_VALUE;
      }
    }
    return names;
  }
};

}  // namespace

Disk& SystemDisk() {
  static WindowsDisk disk;
  return disk;
}
