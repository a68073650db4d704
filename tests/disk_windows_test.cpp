// The Windows disk's update protocol, run under Wine or on Windows.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/disk.h"
#include "tests/windows_test_files.h"

namespace {

class WindowsTempDir {
 public:
  WindowsTempDir() {
    char base[MAX_PATH];
    GetTempPathA(MAX_PATH, base);
    for (DWORD n = GetCurrentProcessId();; ++n) {
      path_ = std::string(base) + "autoexp-test-" + std::to_string(n);
      if (CreateDirectoryA(path_.c_str(), nullptr)) {
        break;
      }
    }
  }
  ~WindowsTempDir() { RemoveTree(path_); }
  std::string File(const std::string& name) const { return path_ + "\\" + name; }
  std::vector<std::string> Names() const { return ::Names(path_); }

 private:
  std::string path_;
};

TEST(WindowsDiskReplace, GoesAheadOnlyOnTheExpectedState) {
  struct Case {
    const char* name;
    const char* before;  // null: no file
    const char* expected;
    Disk::ReplaceStatus status;
  } cases[] = {
      {"holds the bytes read", "old", "old", Disk::ReplaceStatus::kReplaced},
      {"changed under the run", "old, edited", "old", Disk::ReplaceStatus::kChanged},
      {"same length, other bytes", "Old", "old", Disk::ReplaceStatus::kChanged},
      {"removed under the run", nullptr, "old", Disk::ReplaceStatus::kChanged},
      {"still absent", nullptr, nullptr, Disk::ReplaceStatus::kReplaced},
      {"created under the run", "theirs", nullptr, Disk::ReplaceStatus::kChanged},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WindowsTempDir dir;
    if (c.before != nullptr) {
      WriteAll(dir.File("f"), c.before);
    }
    // The run holds the update lock while it replaces, as a real run does.
    std::string error;
    std::unique_ptr<Disk::Lock> lock = SystemDisk().LockFile(dir.File("f"), &error);
    ASSERT_NE(lock, nullptr) << error;
    std::vector<std::string_view> expected = {c.expected != nullptr ? c.expected : ""};
    Disk::Replacement replacement;
    replacement.expected = c.expected != nullptr ? &expected : nullptr;
    replacement.pieces = {"n", "", "ew"};
    EXPECT_EQ(SystemDisk().ReplaceFile(dir.File("f"), replacement, &error), c.status) << error;
    lock.reset();
    if (c.status == Disk::ReplaceStatus::kReplaced) {
      EXPECT_EQ(ReadAll(dir.File("f")), "new");
    } else if (c.before != nullptr) {
      EXPECT_EQ(ReadAll(dir.File("f")), c.before);
    }
    EXPECT_EQ(dir.Names().size(),
              c.before != nullptr || c.status == Disk::ReplaceStatus::kReplaced ? 1u : 0u);
  }
}

TEST(WindowsDiskReplace, KeepsTheOldBytesAsTheBackup) {
  WindowsTempDir dir;
  WriteAll(dir.File("f"), "old");
  WriteAll(dir.File("f.bak"), "older");
  std::vector<std::string_view> expected = {"old"};
  Disk::Replacement replacement;
  replacement.expected = &expected;
  replacement.pieces = {"new"};
  replacement.backupPath = dir.File("f.bak");
  std::string error;
  EXPECT_EQ(SystemDisk().ReplaceFile(dir.File("f"), replacement, &error),
            Disk::ReplaceStatus::kReplaced)
      << error;
  EXPECT_EQ(ReadAll(dir.File("f")), "new");
  EXPECT_EQ(ReadAll(dir.File("f.bak")), "old");

  // A backup that cannot be made leaves the file as it was.
  SetFileAttributesA(dir.File("f.bak").c_str(), FILE_ATTRIBUTE_READONLY);
  expected = {"new"};
  replacement.pieces = {"newer"};
  EXPECT_EQ(SystemDisk().ReplaceFile(dir.File("f"), replacement, &error),
            Disk::ReplaceStatus::kBackupFailed);
  EXPECT_EQ(ReadAll(dir.File("f")), "new");
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"f", "f.bak"}));
}

TEST(WindowsDiskLock, KeepsOtherRunsOutUntilReleased) {
  WindowsTempDir dir;
  WriteAll(dir.File("f"), "x");
  std::string error;
  std::unique_ptr<Disk::Lock> lock = SystemDisk().LockFile(dir.File("f"), &error);
  ASSERT_NE(lock, nullptr) << error;

  // What another run's attempt meets: the lock range is taken...
  HANDLE other = CreateFileA(dir.File("f").c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  OVERLAPPED where = {};
  where.OffsetHigh = 0x7FFFFFF0;
  EXPECT_FALSE(
      LockFileEx(other, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where));
  // ...but the bytes stay readable by anyone.
  char byte = 0;
  DWORD got = 0;
  EXPECT_TRUE(ReadFile(other, &byte, 1, &got, nullptr));
  EXPECT_EQ(byte, 'x');

  lock.reset();
  EXPECT_TRUE(
      LockFileEx(other, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where));
  CloseHandle(other);
}

TEST(WindowsDiskLeftovers, RemovesUnusedTemporaryFilesOfItsOwnNaming) {
  WindowsTempDir dir;
  // Only "~ae" and eight hexadecimal digits is a name of its own making.
  const char* names[] = {"f",           "~ae0000007b",  "~ae000001c8",
                         "~ae0000012x", "~ae000001234", "~af0000007b"};
  for (const char* name : names) {
    WriteAll(dir.File(name), "bytes");
  }
  // A write in progress holds its temporary file open without sharing.
  HANDLE inUse = CreateFileA(dir.File("~ae000001c8").c_str(), GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(inUse, INVALID_HANDLE_VALUE);
  SystemDisk().RemoveLeftovers(dir.File("f"));
  CloseHandle(inUse);
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"f", "~ae000001234", "~ae0000012x",
                                                   "~ae000001c8", "~af0000007b"}));
}

}  // namespace
