#include "tests/disk_calls.h"

#include <chrono>
#include <memory>

namespace {

std::unique_ptr<Disk::Lock> Lock(const std::string& path, std::string* error) {
  return LockFile(SystemDisk(), path, error, std::chrono::milliseconds(0));
}

Disk::ReadStatus ReadLocked(Disk::Lock& lock, std::string* contents, std::string* error) {
  return SystemDisk().ReadPieces(
      lock,
      [contents](std::string_view piece, std::uint64_t) {
        contents->append(piece);
        return true;
      },
      error);
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

Disk::ReplaceStatus Replace(const std::string& path, std::string_view bytes, std::string* error) {
  std::unique_ptr<Disk::Lock> lock = Lock(path, error);
  if (lock == nullptr) {
    return Disk::ReplaceStatus::kFailed;
  }
  std::string contents;
  Disk::ReadStatus read = ReadLocked(*lock, &contents, error);
  if (read == Disk::ReadStatus::kFailed) {
    return Disk::ReplaceStatus::kFailed;
  }
  Disk::Replacement replacement;
  if (read == Disk::ReadStatus::kOkay) {
    replacement.expected = {{contents}};
  }
  replacement.bytes = {{bytes}};
  return SystemDisk().ReplaceFile(*lock, replacement, error);
}
