#include "platform/disk.h"

#include <algorithm>
#include <chrono>
#include <thread>

// What the disks of both systems share, written once above their system
// calls.

std::unique_ptr<Disk::Lock> LockFile(Disk& disk, const std::string& path, std::string* error,
                                     std::chrono::milliseconds wait) {
  auto deadline = std::chrono::steady_clock::now() + wait;
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    std::unique_ptr<Disk::Lock> lock;
    switch (disk.TryLock(path, &lock, error)) {
      case Disk::LockStatus::kLocked:
        error->clear();  // a busy try before says nothing about what follows
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

bool Disk::StillAsExpected(Lock& lock, const Replacement& replacement) {
  return !replacement.expected ||
         (lock.Kept() && (lock.SeesEveryWriter() || FileHolds(*this, lock, *replacement.expected)));
}

Disk::ReadStatus Disk::ReadIntoBuffer(Lock& lock, std::string* buffer, std::string_view* bytes,
                                      std::string* error) {
  buffer->clear();
  ReadStatus status = ReadPieces(
      lock,
      [buffer](std::string_view piece, std::uint64_t size) {
        if (buffer->empty()) {
          buffer->reserve(static_cast<std::size_t>(size));
        }
        buffer->append(piece);
        return true;
      },
      error);
  *bytes = *buffer;
  return status;
}

bool FileHolds(Disk& disk, Disk::Lock& lock, const std::vector<std::string_view>& expected) {
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
      lock,
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
