// The Windows disk's primitives, run under Wine or on Windows.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which it needs.
#include <sddl.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/disk.h"
#include "tests/disk_calls.h"
#include "tests/test_files.h"

namespace {

// The file's access list as text, or its owner's SID.
std::string Security(const std::string& path, SECURITY_INFORMATION what) {
  char descriptor[4096];
  DWORD needed = 0;
  char* text = nullptr;
  if (!GetFileSecurityA(path.c_str(), what, descriptor, sizeof descriptor, &needed) ||
      !ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, what,
                                                            &text, nullptr)) {
    return "unreadable";
  }
  std::string result = text;
  LocalFree(text);
  return result;
}

// The new file is no more open than the old one: it gets its access list
// (here: its owner and the system only) and its attributes.
TEST(WindowsDiskReplace, NewFileKeepsAccessListAndAttributes) {
  TempDir dir;
  WriteBytes(dir.File("f"), "old");
  std::string owner = Security(dir.File("f"), OWNER_SECURITY_INFORMATION);  // "O:S-1-..."
  ASSERT_EQ(owner.rfind("O:", 0), 0u) << owner;
  PSECURITY_DESCRIPTOR narrow = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
      ("D:P(A;;FA;;;SY)(A;;FA;;;" + owner.substr(2) + ")").c_str(), SDDL_REVISION_1, &narrow,
      nullptr));
  ASSERT_TRUE(SetFileSecurityA(dir.File("f").c_str(), DACL_SECURITY_INFORMATION, narrow));
  LocalFree(narrow);
  ASSERT_TRUE(SetFileAttributesA(dir.File("f").c_str(), FILE_ATTRIBUTE_HIDDEN));
  std::string before = Security(dir.File("f"), DACL_SECURITY_INFORMATION);
  DWORD attributes = GetFileAttributesA(dir.File("f").c_str());
  WriteBytes(dir.File("other"), "");
  ASSERT_NE(Security(dir.File("other"), DACL_SECURITY_INFORMATION), before);

  std::string error;
  ASSERT_EQ(ReplaceLocked(dir.File("f"), "old", Pieces{"new"}, "", &error),
            ReplaceStatus::kReplaced)
      << error;
  EXPECT_EQ(ReadBytes(dir.File("f")), "new");
  EXPECT_EQ(Security(dir.File("f"), DACL_SECURITY_INFORMATION), before);
  EXPECT_EQ(GetFileAttributesA(dir.File("f").c_str()), attributes);
}

HANDLE Open(const std::string& path, DWORD access, DWORD share) {
  return CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The lock is the folder's, however the path is spelled, and keeps writers
// out of the file while readers read on.
TEST(WindowsDiskLock, OneLockForEverySpellingKeepingWritersOut) {
  TempDir dir;
  WriteBytes(dir.File("f"), "x");
  std::string error;
  std::unique_ptr<FileLock> lock = LockOnce(dir.File("f"), "", &error);
  ASSERT_NE(lock, nullptr) << error;

  char shortName[MAX_PATH];
  ASSERT_GT(GetShortPathNameA(dir.path().c_str(), shortName, MAX_PATH), 0u);
  std::string upper = dir.path();
  CharUpperBuffA(&upper[0], static_cast<DWORD>(upper.size()));
  std::string slashed = dir.path();
  std::replace(slashed.begin(), slashed.end(), '\\', '/');
  for (const std::string& path :
       {std::string(shortName) + "\\f", upper + "\\F", slashed + "/./f",
        dir.path() + "\\..\\" + dir.path().substr(dir.path().rfind('\\') + 1) + "\\f",
        dir.File("not-there-yet")}) {
    EXPECT_EQ(LockOnce(path, "", &error), nullptr) << path;
    EXPECT_NE(error.find(disk_error::kLockedElsewhere), std::string::npos) << error;
  }
  HANDLE reader = Open(dir.File("f"), GENERIC_READ, kShareAll);
  EXPECT_NE(reader, INVALID_HANDLE_VALUE);
  CloseHandle(reader);
  // An editor that shares everything still cannot open the file to write.
  EXPECT_EQ(Open(dir.File("f"), GENERIC_WRITE, kShareAll), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_SHARING_VIOLATION});

  lock.reset();
  HANDLE writer = Open(dir.File("f"), GENERIC_WRITE, kShareAll);
  EXPECT_NE(writer, INVALID_HANDLE_VALUE);
  // Now the editor is there first: the run waits for it, and says why.
  EXPECT_EQ(LockOnce(dir.File("f"), "", &error), nullptr);
  EXPECT_EQ(error, dir.File("f") + ": " + disk_error::kOpenForWriting);
  CloseHandle(writer);
  HANDLE holder = Open(dir.File("f"), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
  EXPECT_EQ(LockOnce(dir.File("f"), "", &error), nullptr);
  EXPECT_EQ(error, dir.File("f") + ": " + disk_error::kOpenWithoutDeleteSharing);
  CloseHandle(holder);
  EXPECT_NE(LockOnce(dir.File("f"), "", &error), nullptr) << error;
}

TEST(WindowsDiskLeftovers, RemovesOnlyWhatHoldsNoOnlyCopy) {
  TempDir dir;
  // New text and new backup go; an older release's second name of an older
  // backup and its kept older backup, older versions' "~ae" files and other
  // names stay.
  const char* names[] = {
      "f",           "f.bak",       "~an0000007b", "~ab000001c8",  "~ao0000012f",
      "~ak0000007b", "~ae0000007b", "~an0000012x", "~an000001234", "~af0000007b"};
  for (const char* name : names) {
    WriteBytes(dir.File(name), "bytes");
  }
  // The folder given by its 8.3 name: its leftovers are found all the same.
  char shortName[MAX_PATH];
  ASSERT_GT(GetShortPathNameA(dir.path().c_str(), shortName, MAX_PATH), 0u);
  ASSERT_NE(std::string(shortName), dir.path());
  std::string error;
  std::unique_ptr<FileLock> lock = LockOnce(std::string(shortName) + "\\f", "", &error);
  ASSERT_NE(lock, nullptr) << error;
  RemoveLeftovers(SystemDisk(), *lock);
  EXPECT_EQ(dir.Names(),
            (std::vector<std::string>{"f", "f.bak", "~ae0000007b", "~af0000007b", "~ak0000007b",
                                      "~an000001234", "~an0000012x", "~ao0000012f"}));
}

}  // namespace
