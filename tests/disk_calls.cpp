#include "tests/disk_calls.h"

#include <chrono>
#include <functional>
#include <memory>

namespace {

std::unique_ptr<Disk::Lock> Lock(const std::string& path, std::string* error) {
  return LockFile(SystemDisk(), path, error, std::chrono::milliseconds(0));
}

Disk::ReadStatus ReadLocked(Disk::Lock& lock, std::string* contents, std::string* error) {
  std::string_view bytes;
  Disk::ReadStatus status = SystemDisk().Read(lock, &bytes, error);
  contents->assign(bytes);
  return status;
}

}  // namespace

Disk::ReadStatus ReadWhole(const std::string& path, std::string* contents, std::string* error) {
  std::unique_ptr<Disk::Lock> lock = Lock(path, error);
  return lock == nullptr ? Disk::ReadStatus::kFailed : ReadLocked(*lock, contents, error);
}

Disk::ReplaceStatus ReplaceLocked(const std::string& path, Pieces expected, Pieces bytes,
                                  const std::string& backupPath, std::string* error) {
  std::unique_ptr<Disk::Lock> lock = Lock(path, error);
  if (lock == nullptr) {
    return Disk::ReplaceStatus::kFailed;
  }
  Disk::Replacement replacement;
  replacement.expected = std::move(expected);
  replacement.bytes = std::move(bytes);
  replacement.backupPath = backupPath;
  return SystemDisk().ReplaceFile(*lock, replacement, error);
}

Disk::ReplaceStatus ReplaceAsRun(const std::string& path, std::string_view bytes,
                                 const std::function<void()>& meanwhile, std::string* error) {
  std::unique_ptr<Disk::Lock> lock = Lock(path, error);
  if (lock == nullptr) {
    return Disk::ReplaceStatus::kFailed;
  }
  std::string_view read;
  Disk::ReadStatus status = SystemDisk().Read(*lock, &read, error);
  if (status == Disk::ReadStatus::kFailed) {
    return Disk::ReplaceStatus::kFailed;
  }
  Disk::Replacement replacement;
  if (status == Disk::ReadStatus::kOkay) {
    replacement.expected = {{read}};
  }
  replacement.bytes = {{bytes}};
  if (meanwhile) {
    meanwhile();
  }
  return SystemDisk().ReplaceFile(*lock, replacement, error);
}

Disk::ReplaceStatus Replace(const std::string& path, std::string_view bytes, std::string* error) {
  return ReplaceAsRun(path, bytes, nullptr, error);
}
