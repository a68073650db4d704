#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/disk.h"
#include "tests/test_files.h"

namespace {

mode_t ModeOf(const std::string& path) {
  struct stat status;
  EXPECT_EQ(stat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

TEST(PosixDiskRead, RefusesWhatIsNoRegularFile) {
  TempDir dir;
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
  ASSERT_EQ(mkdir(dir.File("sub").c_str(), 0700), 0);
  ASSERT_EQ(symlink("nowhere", dir.File("dangling").c_str()), 0);
  struct Case {
    std::string path;
    Disk::ReadStatus status;
  } cases[] = {
      {dir.File("missing"), Disk::ReadStatus::kNotFound},
      {dir.File("dangling"), Disk::ReadStatus::kNotFound},
      {dir.File("sub"), Disk::ReadStatus::kFailed},
      // Without a writer, a blocking open of a FIFO would never return.
      {dir.File("fifo"), Disk::ReadStatus::kFailed},
      {"/dev/zero", Disk::ReadStatus::kFailed},
      {dir.File("missing/autoexp.dat"), Disk::ReadStatus::kNotFound},
  };
  for (const Case& c : cases) {
    std::string contents;
    std::string error;
    EXPECT_EQ(SystemDisk().ReadFile(c.path, &contents, &error), c.status) << c.path;
    EXPECT_EQ(error.empty(), c.status != Disk::ReadStatus::kFailed) << c.path << ": " << error;
  }
}

TEST(PosixDiskRead, ReadsEveryByte) {
  TempDir dir;
  std::string bytes(200000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<char>(i * 7);
  }
  WriteBytes(dir.File("f"), bytes);
  std::string contents;
  std::string error;
  ASSERT_EQ(SystemDisk().ReadFile(dir.File("f"), &contents, &error), Disk::ReadStatus::kOkay);
  EXPECT_EQ(contents, bytes);
}

TEST(PosixDiskRead, UnreadableFileFails) {
  if (geteuid() == 0) {
    GTEST_SKIP() << "root reads any file";
  }
  TempDir dir;
  WriteBytes(dir.File("f"), "x");
  chmod(dir.File("f").c_str(), 0200);
  std::string contents;
  std::string error;
  EXPECT_EQ(SystemDisk().ReadFile(dir.File("f"), &contents, &error), Disk::ReadStatus::kFailed);
}

TEST(PosixDiskWrite, ReplacesAndKeepsPermissionBits) {
  TempDir dir;
  WriteBytes(dir.File("f"), "old");
  chmod(dir.File("f").c_str(), 0640);
  std::string error;
  ASSERT_TRUE(SystemDisk().WriteFile(dir.File("f"), "new", &error)) << error;
  EXPECT_EQ(ReadBytes(dir.File("f")), "new");
  EXPECT_EQ(ModeOf(dir.File("f")), 0640u);
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"f"});
}

TEST(PosixDiskWrite, CreatesWithTheUsualBits) {
  TempDir dir;
  mode_t mask = umask(022);
  std::string error;
  ASSERT_TRUE(SystemDisk().WriteFile(dir.File("f"), std::string("a\0b", 3), &error)) << error;
  umask(mask);
  EXPECT_EQ(ReadBytes(dir.File("f")), std::string("a\0b", 3));
  EXPECT_EQ(ModeOf(dir.File("f")), 0644u);
}

TEST(PosixDiskWrite, FollowsLinksAndKeepsThem) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.File("real").c_str(), 0700), 0);
  WriteBytes(dir.File("real/f"), "old");
  ASSERT_EQ(symlink("real/f", dir.File("hop").c_str()), 0);
  ASSERT_EQ(symlink(dir.File("hop").c_str(), dir.File("link").c_str()), 0);
  ASSERT_EQ(symlink("real/new", dir.File("dangling").c_str()), 0);
  std::string error;
  ASSERT_TRUE(SystemDisk().WriteFile(dir.File("link"), "new", &error)) << error;
  ASSERT_TRUE(SystemDisk().WriteFile(dir.File("dangling"), "made", &error)) << error;
  struct stat status;
  ASSERT_EQ(lstat(dir.File("link").c_str(), &status), 0);
  EXPECT_TRUE(S_ISLNK(status.st_mode));
  EXPECT_EQ(ReadBytes(dir.File("real/f")), "new");
  EXPECT_EQ(ReadBytes(dir.File("real/new")), "made");
  ASSERT_EQ(lstat(dir.File("dangling").c_str(), &status), 0);
  EXPECT_TRUE(S_ISLNK(status.st_mode));
}

TEST(PosixDiskWrite, RefusesWithoutLeavingATrace) {
  TempDir dir;
  WriteBytes(dir.File("readonly"), "keep");
  chmod(dir.File("readonly").c_str(), 0444);
  ASSERT_EQ(mkdir(dir.File("sub").c_str(), 0700), 0);
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink("loop", dir.File("loop").c_str()), 0);
  const std::string paths[] = {dir.File("readonly"), dir.File("sub"), dir.File("fifo"),
                               dir.File("missing/f"), dir.File("loop")};
  for (const std::string& path : paths) {
    std::string error;
    EXPECT_FALSE(SystemDisk().WriteFile(path, "new", &error)) << path;
    EXPECT_FALSE(error.empty()) << path;
  }
  EXPECT_EQ(ReadBytes(dir.File("readonly")), "keep");
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"fifo", "loop", "readonly", "sub"}));
}

TEST(PosixDiskWrite, ReadOnlyDirectoryRefused) {
  if (geteuid() == 0) {
    GTEST_SKIP() << "root writes into any directory";
  }
  TempDir dir;
  ASSERT_EQ(mkdir(dir.File("ro").c_str(), 0700), 0);
  WriteBytes(dir.File("ro/f"), "keep");
  chmod(dir.File("ro").c_str(), 0500);
  std::string error;
  EXPECT_FALSE(SystemDisk().WriteFile(dir.File("ro/f"), "new", &error));
  EXPECT_EQ(ReadBytes(dir.File("ro/f")), "keep");
}

}  // namespace
