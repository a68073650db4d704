#include <windows.h>

#include <string>

#include "platform/disk.h"

// Replacing a file, the Windows way:
//
//   1. Write the new bytes to "<name>.autoexp-setup-<unique>" beside the file
//      (same volume, so nothing below turns into a copy) and flush them.
//   2. An existing file is replaced with ReplaceFileA, which keeps its
//      attributes, security and creation time; a new one is moved into place
//      with MoveFileExA, write-through.
//
// If anything fails, the temporary file is deleted and the old file has not
// been touched. Paths stay ANSI strings all the way to the system calls.

namespace {

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

// Creates a temporary file beside |path| that no one else uses.
HANDLE CreateTemporary(const std::string& path, std::string* temporary) {
  DWORD unique = GetCurrentProcessId() * 7919u + GetTickCount();
  for (int attempt = 0; attempt < 100; ++attempt, ++unique) {
    *temporary = path + ".autoexp-setup-" + std::to_string(unique);
    HANDLE file = CreateFileA(temporary->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) {
      return file;
    }
  }
  return INVALID_HANDLE_VALUE;
}

class WindowsDisk : public Disk {
 public:
  ReadStatus ReadFile(const std::string& path, std::string* contents, std::string* error) override {
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
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      DWORD code = GetLastError();
      if (IsNotFound(code)) {
        return ReadStatus::kNotFound;
      }
      *error = ErrorText(code);
      return ReadStatus::kFailed;
    }
    ReadStatus result = ReadOpenFile(file, contents, error);
    CloseHandle(file);
    return result;
  }

  bool WriteFile(const std::string& path, std::string_view contents, std::string* error) override {
    DWORD attributes = GetFileAttributesA(path.c_str());
    bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (!exists && !IsNotFound(GetLastError())) {
      *error = LastErrorText();
      return false;
    }
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      *error = "is a directory";
      return false;
    }
    if (exists && (attributes & FILE_ATTRIBUTE_READONLY)) {
      *error = "file is read-only";
      return false;
    }

    std::string temporary;
    HANDLE file = CreateTemporary(path, &temporary);
    if (file == INVALID_HANDLE_VALUE) {
      *error = LastErrorText();
      return false;
    }
    bool written = WriteAll(file, contents) && FlushFileBuffers(file);
    if (!written) {
      *error = LastErrorText();
    }
    CloseHandle(file);
    if (written) {
      written = exists ? ReplaceFileA(path.c_str(), temporary.c_str(), nullptr,
                                      REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)
                       : MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH);
      if (!written) {
        *error = LastErrorText();
      }
    }
    if (!written) {
      DeleteFileA(temporary.c_str());
    }
    return written;
  }

 private:
  static ReadStatus ReadOpenFile(HANDLE file, std::string* contents, std::string* error) {
    // Devices (NUL, CON, COM1) open like files but are none.
    if (GetFileType(file) != FILE_TYPE_DISK) {
      *error = "not a regular file";
      return ReadStatus::kFailed;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size)) {
      *error = LastErrorText();
      return ReadStatus::kFailed;
    }
    contents->clear();
    contents->reserve(static_cast<std::size_t>(size.QuadPart));
    char buffer[1 << 16];
    for (;;) {
      DWORD got = 0;
      if (!::ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
        *error = LastErrorText();
        return ReadStatus::kFailed;
      }
      if (got == 0) {
        return ReadStatus::kOkay;
      }
      contents->append(buffer, got);
    }
  }
};

}  // namespace

Disk& SystemDisk() {
  static WindowsDisk disk;
  return disk;
}
