#include "tests/test_files.h"

#include <algorithm>
#include <stdexcept>

#include "platform/disk.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/wide_windows.h"

namespace {
constexpr char kSeparator = '\\';
}  // namespace

TempDir::TempDir() {
  char base[MAX_PATH];
  GetTempPathA(MAX_PATH, base);
  for (DWORD n = GetCurrentProcessId();; ++n) {
    path_ = std::string(base) + "autoexp-test-" + std::to_string(n);
    if (CreateDirectoryW(Wide(path_).c_str(), nullptr)) {
      break;
    }
  }
}

std::string ReadBytes(const std::string& path) {
  std::string bytes;
  HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return bytes;
  }
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    bytes.append(buffer, got);
  }
  CloseHandle(file);
  return bytes;
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  HANDLE file =
      CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  bool ok = file != INVALID_HANDLE_VALUE &&
            WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
            written == bytes.size();
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
  }
  if (!ok) {
    throw std::runtime_error("cannot write " + path);
  }
}

namespace {

// Every name in the folder |path|, sorted.
std::vector<std::string> AllNamesIn(const std::string& path) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(Wide(path + "\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::string name = Utf8(found.cFileName);
      if (name != "." && name != "..") {
        names.push_back(name);
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

void RemoveTree(const std::string& path) {
  for (const std::string& name : AllNamesIn(path)) {
    std::string child = path + "\\" + name;
    DWORD attributes = GetFileAttributesW(Wide(child).c_str());
    SetFileAttributesW(Wide(child).c_str(), FILE_ATTRIBUTE_NORMAL);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      RemoveTree(child);
    } else {
      DeleteFileW(Wide(child).c_str());
    }
  }
  RemoveDirectoryW(Wide(path).c_str());
}

void MakeDirectory(const std::string& path) {
  if (!CreateDirectoryW(Wide(path).c_str(), nullptr)) {
    throw std::runtime_error("cannot make " + path);
  }
}

void MakeReadOnly(const std::string& path) {
  SetFileAttributesW(Wide(path).c_str(), FILE_ATTRIBUTE_READONLY);
}

void MoveOver(const std::string& from, const std::string& to) {
  if (!MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING)) {
    throw std::runtime_error("cannot move " + from);
  }
}

void MakeHardLink(const std::string& from, const std::string& to) {
  if (!CreateHardLinkW(Wide(to).c_str(), Wide(from).c_str(), nullptr)) {
    throw std::runtime_error("cannot link " + to);
  }
}

#else
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {
constexpr char kSeparator = '/';
}  // namespace

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/autoexp-test-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = pattern;
}

std::string ReadBytes(const std::string& path) {
  std::string bytes;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return bytes;
  }
  char buffer[1 << 16];
  for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) {
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  close(fd);
  return bytes;
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  bool ok = fd >= 0 && write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  if (fd >= 0) {
    close(fd);
  }
  if (!ok) {
    throw std::runtime_error("cannot write " + path);
  }
}

namespace {

std::vector<std::string> AllNamesIn(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(path.c_str())) {
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") {
        names.push_back(name);
      }
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

void RemoveTree(const std::string& path) {
  // Tests chmod things; give every directory back its bits so it can go.
  nftw(
      path.c_str(),
      [](const char* name, const struct stat*, int type, struct FTW*) {
        if (type == FTW_D || type == FTW_DP) {
          chmod(name, 0700);
        }
        return 0;
      },
      16, FTW_PHYS);
  nftw(
      path.c_str(),
      [](const char* name, const struct stat*, int, struct FTW*) { return std::remove(name); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

void MakeDirectory(const std::string& path) {
  if (mkdir(path.c_str(), 0700) != 0) {
    throw std::runtime_error("cannot make " + path);
  }
}

void MakeReadOnly(const std::string& path) {
  chmod(path.c_str(), 0444);
}

void MoveOver(const std::string& from, const std::string& to) {
  if (rename(from.c_str(), to.c_str()) != 0) {
    throw std::runtime_error("cannot move " + from);
  }
}

void MakeHardLink(const std::string& from, const std::string& to) {
  if (link(from.c_str(), to.c_str()) != 0) {
    throw std::runtime_error("cannot link " + to);
  }
}
#endif

// The lock file of the folder's update lock stays for good; the tests look
// at everything else.
std::vector<std::string> NamesIn(const std::string& path) {
  std::vector<std::string> names = AllNamesIn(path);
  names.erase(std::remove(names.begin(), names.end(), kLockFileName), names.end());
  return names;
}

TempDir::~TempDir() {
  RemoveTree(path_);
}

std::string TempDir::File(const std::string& name) const {
  return path_ + kSeparator + name;
}

std::vector<std::string> TempDir::Names() const {
  return NamesIn(path_);
}
