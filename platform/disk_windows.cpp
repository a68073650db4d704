#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/disk.h"

// The primitives of the update on Windows, ANSI paths all the way to the
// system calls.
//
// A folder's update lock is a named mutex, named after the folder's identity
// (volume serial number and file index), so that every spelling of the path
// (8.3 names, letter case, "/", "." and "..") reaches the same one. It lives
// in the session-independent namespace, so that runs in other sessions (a
// setup run as a service) wait too, and the system lets it go when a process
// ends, however it ends; a byte-range lock on a lock file in the folder
// keeps out runs on other machines that share it. The file is held open for
// reading and deleting, sharing reading and deleting but not writing: no
// program can open it for writing while the run holds it, and one that
// already has it open for writing, or without delete sharing (which would
// make the rename fail), makes the run wait. Links are followed where the
// system names a file's final path; renames and deletes that a program
// holding a file for a moment refuses are tried again.

namespace {

using Result = Disk::Result;

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

// How long a rename or a delete that another program's open refuses is
// tried again. Virus scanners and indexers open a file right after it is
// written, for a moment; careful Windows tools wait such a moment out.
constexpr DWORD kPatience = 4000;  // milliseconds in all

// Runs |step| until it succeeds, or fails for another reason than a file
// open elsewhere, or |kPatience| has passed, with growing pauses between.
template <typename Step>
bool Patiently(const Step& step) {
  DWORD pause = 10;
  for (DWORD waited = 0;; waited += pause, pause = pause < 500 ? pause * 2 : pause) {
    if (step()) {
      return true;
    }
    DWORD code = GetLastError();
    if ((code != ERROR_SHARING_VIOLATION && code != ERROR_ACCESS_DENIED &&
         code != ERROR_LOCK_VIOLATION) ||
        waited >= kPatience) {
      SetLastError(code);
      return false;
    }
    Sleep(pause);
  }
}

const char* Here(const std::string& folder) {
  return folder.empty() ? "." : folder.c_str();
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

// The lock file of a folder's update lock, hidden, beside the rules file.
constexpr char kLockFileName[] = "autoexp-setup.lock";

// A folder's mutex, held. A mutex is its owning thread's again whenever it
// asks, so the names this process holds are kept too, to keep out a second
// lock of its own.
class FolderMutex : public Disk::Handle {
 public:
  static std::set<std::string>& HeldHere() {
    static std::set<std::string> names;
    return names;
  }
  FolderMutex(HANDLE mutex, std::string name) : mutex_(mutex), name_(std::move(name)) {
    HeldHere().insert(name_);
  }
  ~FolderMutex() override {
    if (lockFile_ != INVALID_HANDLE_VALUE) {
      CloseHandle(lockFile_);  // its byte-range lock goes with it
    }
    HeldHere().erase(name_);
    ReleaseMutex(mutex_);
    CloseHandle(mutex_);
  }

  // Runs on other machines that share the folder see no mutex of this one:
  // a byte-range lock on a lock file in the folder, which the file server
  // enforces for every client, keeps them out too. False while another
  // holds it; true where no lock file can be made (a folder this run may
  // not write, which it then changes nothing in, or a share without locks).
  bool LockTheFile(const std::string& folder) {
    lockFile_ = CreateFileA((folder + kLockFileName).c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr);
    OVERLAPPED whole{};
    return lockFile_ == INVALID_HANDLE_VALUE ||
           LockFileEx(lockFile_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                      &whole) ||
           GetLastError() != ERROR_LOCK_VIOLATION;
  }

 private:
  HANDLE mutex_;
  std::string name_;
  HANDLE lockFile_ = INVALID_HANDLE_VALUE;
};

// The identity of what |path| names (a folder too), or false.
bool Identify(const std::string& path, BY_HANDLE_FILE_INFORMATION* info, DWORD* code) {
  HANDLE handle = CreateFileA(Here(path), FILE_READ_ATTRIBUTES,
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
  using Getter = DWORD(WINAPI*)(HANDLE, LPSTR, DWORD, DWORD);
  static const Getter get = reinterpret_cast<Getter>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetFinalPathNameByHandleA")));
  HANDLE handle = get == nullptr
                      ? INVALID_HANDLE_VALUE
                      : CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle != INVALID_HANDLE_VALUE && GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);  // a device: no link, and refused where it is opened
    handle = INVALID_HANDLE_VALUE;
  }
  if (handle == INVALID_HANDLE_VALUE) {
    return std::string();
  }
  char final[MAX_PATH * 2];
  DWORD length = get(handle, final, sizeof final, 0);
  CloseHandle(handle);
  std::string text = length > 0 && length < sizeof final ? std::string(final, length) : "";
  if (text.rfind("\\\\?\\UNC\\", 0) == 0) {
    return "\\\\" + text.substr(8);
  }
  return text.rfind("\\\\?\\", 0) == 0 ? text.substr(4) : text;
}

// Whether |path| is a link: a reparse point, or a name whose target is
// another (how Wine shows a POSIX symbolic link).
bool IsLink(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return true;
  }
  char full[MAX_PATH * 2];
  DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  std::string target = LinkTarget(path);
  return !target.empty() && length > 0 && length < sizeof full &&
         lstrcmpiA(target.c_str(), full) != 0;
}

HANDLE OpenKeepingWritersOut(const std::string& path, DWORD access) {
  return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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

// Whether the volume that holds |path| keeps access lists (NTFS does; FAT
// and many shares do not, and refuse to be given one).
bool KeepsAccessLists(const std::string& path) {
  char root[MAX_PATH + 1];
  DWORD flags = 0;
  return GetVolumePathNameA(path.c_str(), root, sizeof root) &&
         GetVolumeInformationA(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
         (flags & FILE_PERSISTENT_ACLS) != 0;
}

// Gives the file at |to| the attributes (read-only aside: such a file is
// never replaced) and the access list of the file at |from|. A volume
// without security (FAT) has no access list to give.
bool CarryOver(const std::string& from, const std::string& to, std::string* error) {
  constexpr DWORD kCarried = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                             FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  DWORD needed = 0;
  if (KeepsAccessLists(to) &&
      !GetFileSecurityA(from.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed)) {
    DWORD code = GetLastError();
    if (code == ERROR_INSUFFICIENT_BUFFER) {
      std::vector<char> descriptor(needed);
      if (!GetFileSecurityA(from.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), needed,
                            &needed) ||
          !SetFileSecurityA(to.c_str(), DACL_SECURITY_INFORMATION, descriptor.data())) {
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
  DWORD attributes = GetFileAttributesA(from.c_str());
  DWORD carried = attributes == INVALID_FILE_ATTRIBUTES ? 0 : attributes & kCarried;
  DWORD fresh = GetFileAttributesA(to.c_str());
  if (fresh != INVALID_FILE_ATTRIBUTES && (fresh & kCarried) == carried) {
    return true;
  }
  if (!SetFileAttributesA(to.c_str(), carried != 0 ? carried : FILE_ATTRIBUTE_NORMAL)) {
    *error = ErrorText(GetLastError());
    return false;
  }
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
    BY_HANDLE_FILE_INFORMATION info;
    DWORD code = 0;
    if (!Identify(folder, &info, &code)) {
      if (IsNotFound(code)) {
        return Result::kOkay;  // no folder: no file, and none can be made
      }
      *error = ErrorText(code);
      return Result::kFailed;
    }
    char name[64];
    std::snprintf(name, sizeof name, "Global\\autoexp-setup-%08lx-%08lx%08lx",
                  static_cast<unsigned long>(info.dwVolumeSerialNumber),
                  static_cast<unsigned long>(info.nFileIndexHigh),
                  static_cast<unsigned long>(info.nFileIndexLow));
    if (FolderMutex::HeldHere().count(name) != 0) {
      *error = disk_error::kLockedElsewhere;
      return Result::kBusy;
    }
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
    if (mutex == nullptr) {
      // A named object exists only while a process holds it open: this one
      // is another user's run, working now.
      if (GetLastError() == ERROR_ACCESS_DENIED) {
        *error = disk_error::kLockedElsewhere;
        return Result::kBusy;
      }
      return Failed(error);
    }
    // WAIT_ABANDONED: a run that held it was killed; it is ours now.
    DWORD waited = WaitForSingleObject(mutex, 0);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
      *error = waited == WAIT_TIMEOUT ? disk_error::kLockedElsewhere : ErrorText(GetLastError());
      CloseHandle(mutex);
      return waited == WAIT_TIMEOUT ? Result::kBusy : Result::kFailed;
    }
    auto held = std::make_unique<FolderMutex>(mutex, name);
    if (!held->LockTheFile(folder)) {
      *error = disk_error::kLockedElsewhere;
      return Result::kBusy;
    }
    *lock = std::move(held);
    return Result::kOkay;
  }

  Result OpenFile(const std::string& path, std::unique_ptr<Handle>* file, Entry* entry,
                  std::string* error) override {
    DWORD attributes = GetFileAttributesA(path.c_str());
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
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
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
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
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
    CloseHandle(file);
    if (written && like != nullptr) {
      written = CarryOver(static_cast<File*>(like)->path(), path, error);
    }
    return written ? Result::kOkay : Result::kFailed;
  }

  Result Link(const std::string& from, const std::string& to, std::string* error) override {
    if (CreateHardLinkA(to.c_str(), from.c_str(), nullptr) ||
        CopyFileA(from.c_str(), to.c_str(), TRUE)) {
      return Result::kOkay;
    }
    return IsTaken(GetLastError()) ? Result::kExists : Failed(error);
  }

  Result Rename(const std::string& from, const std::string& to, bool replace,
                std::string* error) override {
    DWORD flags = (replace ? MOVEFILE_REPLACE_EXISTING : 0) | MOVEFILE_WRITE_THROUGH;
    if (Patiently([&] { return MoveFileExA(from.c_str(), to.c_str(), flags) != 0; })) {
      return Result::kOkay;
    }
    return !replace && IsTaken(GetLastError()) ? Result::kExists : Failed(error);
  }

  bool Remove(const std::string& path) override {
    return Patiently([&] { return DeleteFileA(path.c_str()) != 0; });
  }

  std::vector<std::string> List(const std::string& folder, std::string_view prefix) override {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + std::string(prefix) + "*").c_str(), &found);
    while (search != INVALID_HANDLE_VALUE) {
      // The pattern matches short names too: only the long name counts.
      std::string name = found.cFileName;
      if (name.compare(0, prefix.size(), prefix) == 0 &&
          !(found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
          !IsLink(folder + name)) {
        names.push_back(name);
      }
      if (!FindNextFileA(search, &found)) {
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
