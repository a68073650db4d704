// The Windows disk's update protocol, run under Wine or on Windows.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/disk.h"
#include "tests/test_files.h"

namespace {

// Another program holds the file open without delete sharing: the
// replacement fails, after the backup step, and the older backup is back.
TEST(WindowsDiskReplace, OlderBackupSurvivesASharingViolation) {
  TempDir dir;
  WriteBytes(dir.File("f"), "old");
  WriteBytes(dir.File("f.bak"), "older");
  HANDLE holder =
      CreateFileA(dir.File("f").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  std::vector<std::string_view> expected = {"old"};
  Disk::Replacement replacement;
  replacement.expect = Disk::Expect::kTheseBytes;
  replacement.expected = &expected;
  replacement.pieces = {"new"};
  replacement.backupPath = dir.File("f.bak");
  std::string error;
  EXPECT_EQ(SystemDisk().ReplaceFile(dir.File("f"), replacement, &error),
            Disk::ReplaceStatus::kFailed);
  CloseHandle(holder);
  EXPECT_NE(error.find("(32)"), std::string::npos) << error;  // ERROR_SHARING_VIOLATION
  EXPECT_EQ(ReadBytes(dir.File("f")), "old");
  EXPECT_EQ(ReadBytes(dir.File("f.bak")), "older");
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"f", "f.bak"}));
}

TEST(WindowsDiskLock, KeepsOtherRunsOutUntilReleased) {
  TempDir dir;
  WriteBytes(dir.File("f"), "x");
  std::string error;
  std::unique_ptr<Disk::Lock> lock = LockFile(SystemDisk(), dir.File("f"), &error);
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
  TempDir dir;
  // Only "~ae" and eight hexadecimal digits is a name of its own making.
  const char* names[] = {"f",           "~ae0000007b",  "~ae000001c8",
                         "~ae0000012x", "~ae000001234", "~af0000007b"};
  for (const char* name : names) {
    WriteBytes(dir.File(name), "bytes");
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
