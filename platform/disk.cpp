#include "platform/disk.h"

#include <algorithm>
#include <chrono>
#include <thread>

// What the disks of both systems share, written once above their system
// calls.

namespace {

// How long LockFile waits for another holder of the lock or a writer of the
// file. A run of this program holds it for well under a second even on a
// large file.
constexpr std::chrono::seconds kLockWait(20);

}  // namespace

std::unique_ptr<Disk::Lock> LockFile(Disk& disk, const std::string& path, std::string* error) {
  auto deadline = std::chrono::steady_clock::now() + kLockWait;
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    std::unique_ptr<Disk::Lock> lock;
    switch (disk.TryLock(path, &lock, error)) {
      case Disk::LockStatus::kLocked:
        return lock;
      case Disk::LockStatus::kFailed:
        return nullptr;
      case Disk::LockStatus::kBusy:
        break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return nullptr;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
}

bool FileHolds(Disk& disk, const std::string& path, const std::vector<std::string_view>& expected) {
  std::uint64_t total = 0;
  for (std::string_view piece : expected) {
    total += piece.size();
  }
  // The pieces expected, walked along as the pieces read come.
  std::size_t next = 0;
  std::string_view left = expected.empty() ? std::string_view() : expected[0];
  bool same = true;
  bool sized = false;
  std::string ignored;
  Disk::ReadStatus status = disk.ReadPieces(
      path,
      [&](std::string_view read, std::uint64_t size) {
        if (!sized) {
          sized = true;
          same = size == total;
        }
        while (same && !read.empty()) {
          while (left.empty() && next + 1 < expected.size()) {
            left = expected[++next];
          }
          std::size_t length = std::min(read.size(), left.size());
          same = length > 0 && read.substr(0, length) == left.substr(0, length);
          read.remove_prefix(length);
          left.remove_prefix(length);
        }
        return same;
      },
      &ignored);
  while (left.empty() && next + 1 < expected.size()) {
    left = expected[++next];
  }
  return status == Disk::ReadStatus::kOkay && same && left.empty() && (sized || total == 0);
}
