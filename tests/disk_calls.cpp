#include "tests/disk_calls.h"

#include <chrono>
#include <functional>
#include <memory>

std::unique_ptr<FileLock> LockOnce(const std::string& path, const std::string& backupPath,
                                   std::string* error) {
  return LockFile(SystemDisk(), path, backupPath, error, std::chrono::milliseconds(0));
}

Disk::Result ReadWhole(const std::string& path, std::string* contents, std::string* error) {
  std::unique_ptr<FileLock> lock = LockOnce(path, "", error);
  return lock == nullptr ? Disk::Result::kFailed : ReadFile(SystemDisk(), *lock, contents, error);
}

ReplaceStatus ReplaceLocked(const std::string& path, std::optional<std::string_view> expected,
                            std::optional<Pieces> bytes, const std::string& backupPath,
                            std::string* error) {
  std::unique_ptr<FileLock> lock = LockOnce(path, backupPath, error);
  if (lock == nullptr) {
    return ReplaceStatus::kFailed;
  }
  Replacement replacement;
  replacement.expected = std::move(expected);
  replacement.bytes = std::move(bytes);
  replacement.backupPath = backupPath;
  return ReplaceFile(SystemDisk(), *lock, replacement, error);
}

ReplaceStatus ReplaceAsRun(const std::string& path,
                           const std::function<std::string(std::string_view)>& edit,
                           const std::function<void()>& meanwhile, std::string* error) {
  std::unique_ptr<FileLock> lock = LockOnce(path, "", error);
  if (lock == nullptr) {
    return ReplaceStatus::kFailed;
  }
  std::string read;
  Disk::Result status = ReadFile(SystemDisk(), *lock, &read, error);
  if (status == Disk::Result::kFailed) {
    return ReplaceStatus::kFailed;
  }
  Replacement replacement;
  if (status == Disk::Result::kOkay) {
    replacement.expected = read;
  }
  std::string edited = edit(read);
  replacement.bytes = Pieces{edited};
  if (meanwhile) {
    meanwhile();
  }
  return ReplaceFile(SystemDisk(), *lock, replacement, error);
}

ReplaceStatus Replace(const std::string& path, std::string_view bytes, std::string* error) {
  return ReplaceAsRun(
      path, [&](std::string_view) { return std::string(bytes); }, nullptr, error);
}
