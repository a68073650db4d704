#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/disk.h"
#include "tests/program_runner.h"
#include "tests/test_files.h"

namespace {

// The whole file at |path|, read as a run reads it.
Disk::ReadStatus ReadWhole(const std::string& path, std::string* contents, std::string* error) {
  return SystemDisk().ReadPieces(
      path,
      [contents](std::string_view piece, std::uint64_t) {
        contents->append(piece);
        return true;
      },
      error);
}

// Runs |check| in a child process as a user without root's powers (when the
// tests run as root), so that permission bits mean what they say. |dir| is
// opened up so that user can reach what is inside it.
bool AsUnprivilegedUser(const TempDir& dir, const std::function<bool()>& check) {
  if (geteuid() != 0) {
    return check();
  }
  chmod(dir.path().c_str(), 0777);
  pid_t child = fork();
  if (child == 0) {
    bool dropped = setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0;
    _exit(dropped && check() ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Whether another process would find |path| locked (the way lockf asks).
bool LockedForOthers(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR);
  struct flock probe = {};
  probe.l_type = F_WRLCK;
  // A classic fcntl lock query from this process would not see conflicts
  // with locks of its own; an OFD query does, as another process would.
  bool locked = fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
  close(fd);
  return locked;
}

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
    EXPECT_EQ(ReadWhole(c.path, &contents, &error), c.status) << c.path;
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
  ASSERT_EQ(ReadWhole(dir.File("f"), &contents, &error), Disk::ReadStatus::kOkay);
  EXPECT_EQ(contents, bytes);
}

TEST(PosixDiskRead, UnreadableFileFails) {
  TempDir dir;
  WriteBytes(dir.File("f"), "x");
  chmod(dir.File("f").c_str(), 0200);
  EXPECT_TRUE(AsUnprivilegedUser(dir, [&] {
    std::string contents;
    std::string error;
    return ReadWhole(dir.File("f"), &contents, &error) == Disk::ReadStatus::kFailed &&
           error == "Permission denied";
  }));
}

TEST(PosixDiskWrite, ReplacesAndKeepsPermissionBits) {
  TempDir dir;
  WriteBytes(dir.File("f"), "old");
  chmod(dir.File("f").c_str(), 0640);
  std::string error;
  ASSERT_TRUE(SystemDisk().WriteFile(dir.File("f"), {"new"}, &error)) << error;
  EXPECT_EQ(ReadBytes(dir.File("f")), "new");
  EXPECT_EQ(ModeOf(dir.File("f")), 0640u);
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"f"});
}

TEST(PosixDiskWrite, CreatesWithTheUsualBits) {
  TempDir dir;
  mode_t mask = umask(022);
  std::string error;
  ASSERT_TRUE(SystemDisk().WriteFile(dir.File("f"), {std::string_view("a\0b", 3)}, &error))
      << error;
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
  ASSERT_TRUE(SystemDisk().WriteFile(dir.File("link"), {"new"}, &error)) << error;
  ASSERT_TRUE(SystemDisk().WriteFile(dir.File("dangling"), {"made"}, &error)) << error;
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
    EXPECT_FALSE(SystemDisk().WriteFile(path, {"new"}, &error)) << path;
    EXPECT_FALSE(error.empty()) << path;
  }
  EXPECT_EQ(ReadBytes(dir.File("readonly")), "keep");
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"fifo", "loop", "readonly", "sub"}));
}

TEST(PosixDiskWrite, ReadOnlyDirectoryRefused) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.File("ro").c_str(), 0755), 0);
  WriteBytes(dir.File("ro/f"), "keep");
  chmod(dir.File("ro/f").c_str(), 0666);
  chmod(dir.File("ro").c_str(), 0555);
  EXPECT_TRUE(AsUnprivilegedUser(dir, [&] {
    std::string error;
    return !SystemDisk().WriteFile(dir.File("ro/f"), {"new"}, &error) && !error.empty();
  }));
  EXPECT_EQ(ReadBytes(dir.File("ro/f")), "keep");
}

TEST(PosixDiskReplace, GoesAheadOnlyOnTheExpectedState) {
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
    TempDir dir;
    if (c.before != nullptr) {
      WriteBytes(dir.File("f"), c.before);
    }
    std::vector<std::string_view> expected = {c.expected != nullptr ? c.expected : ""};
    Disk::Replacement replacement;
    replacement.expected = c.expected != nullptr ? &expected : nullptr;
    replacement.pieces = {"n", "", "ew"};
    std::string error;
    EXPECT_EQ(SystemDisk().ReplaceFile(dir.File("f"), replacement, &error), c.status) << error;
    if (c.status == Disk::ReplaceStatus::kReplaced) {
      EXPECT_EQ(ReadBytes(dir.File("f")), "new");
    } else if (c.before != nullptr) {
      EXPECT_EQ(ReadBytes(dir.File("f")), c.before);
    }
    EXPECT_EQ(dir.Names(), c.before != nullptr || c.status == Disk::ReplaceStatus::kReplaced
                               ? std::vector<std::string>{"f"}
                               : std::vector<std::string>{});
  }
}

TEST(PosixDiskReplace, KeepsTheOldFileAsTheBackup) {
  struct Case {
    const char* name;
    std::function<void(const TempDir&)> arrange;
    Disk::ReplaceStatus status;
  } cases[] = {
      {"no backup yet", [](const TempDir&) {}, Disk::ReplaceStatus::kReplaced},
      {"older backup", [](const TempDir& d) { WriteBytes(d.File("f.bak"), "older"); },
       Disk::ReplaceStatus::kReplaced},
      {"backup already the same file",
       [](const TempDir& d) { link(d.File("f").c_str(), d.File("f.bak").c_str()); },
       Disk::ReplaceStatus::kReplaced},
      {"directory in the backup's place",
       [](const TempDir& d) { mkdir(d.File("f.bak").c_str(), 0700); },
       Disk::ReplaceStatus::kBackupFailed},
      {"read-only backup",
       [](const TempDir& d) {
         WriteBytes(d.File("f.bak"), "older");
         chmod(d.File("f.bak").c_str(), 0444);
       },
       Disk::ReplaceStatus::kBackupFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    WriteBytes(dir.File("f"), "old");
    c.arrange(dir);
    std::vector<std::string_view> expected = {"old"};
    Disk::Replacement replacement;
    replacement.expected = &expected;
    replacement.pieces = {"new"};
    replacement.backupPath = dir.File("f.bak");
    std::string error;
    EXPECT_EQ(SystemDisk().ReplaceFile(dir.File("f"), replacement, &error), c.status) << error;
    if (c.status == Disk::ReplaceStatus::kReplaced) {
      EXPECT_EQ(ReadBytes(dir.File("f")), "new");
      EXPECT_EQ(ReadBytes(dir.File("f.bak")), "old");
      // Two files, each of its own: editing one leaves the other.
      struct stat status;
      ASSERT_EQ(stat(dir.File("f.bak").c_str(), &status), 0);
      EXPECT_EQ(status.st_nlink, 1u);
    } else {
      EXPECT_FALSE(error.empty());
      EXPECT_EQ(ReadBytes(dir.File("f")), "old");
    }
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"f", "f.bak"}));
  }
}

TEST(PosixDiskReplace, BackupOnAnotherFilesystemIsACopy) {
  // /dev/shm is a tmpfs of its own on most systems; a link cannot reach it.
  TempDir dir;
  char pattern[] = "/dev/shm/autoexp-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    GTEST_SKIP() << "no /dev/shm";
  }
  std::string other = pattern;
  struct stat here, there;
  stat(dir.path().c_str(), &here);
  stat(other.c_str(), &there);
  if (here.st_dev == there.st_dev) {
    rmdir(other.c_str());
    GTEST_SKIP() << "/dev/shm is on the same filesystem";
  }
  WriteBytes(dir.File("f"), "old");
  std::vector<std::string_view> expected = {"old"};
  Disk::Replacement replacement;
  replacement.expected = &expected;
  replacement.pieces = {"new"};
  replacement.backupPath = other + "/f.bak";
  std::string error;
  EXPECT_EQ(SystemDisk().ReplaceFile(dir.File("f"), replacement, &error),
            Disk::ReplaceStatus::kReplaced)
      << error;
  EXPECT_EQ(ReadBytes(other + "/f.bak"), "old");
  EXPECT_EQ(ReadBytes(dir.File("f")), "new");
  unlink((other + "/f.bak").c_str());
  rmdir(other.c_str());
}

TEST(PosixDiskLock, ConflictsWithOtherLockersUntilReleased) {
  TempDir dir;
  WriteBytes(dir.File("f"), "x");
  std::string error;
  std::unique_ptr<Disk::Lock> lock = SystemDisk().LockFile(dir.File("f"), &error);
  ASSERT_NE(lock, nullptr) << error;
  // What crudini and other lockf users see.
  EXPECT_TRUE(LockedForOthers(dir.File("f")));
  lock.reset();
  EXPECT_FALSE(LockedForOthers(dir.File("f")));

  // Nothing to lock is no failure: the read or write reports what matters.
  EXPECT_NE(SystemDisk().LockFile(dir.File("missing"), &error), nullptr);
  EXPECT_NE(SystemDisk().LockFile(dir.path(), &error), nullptr);
}

TEST(PosixDiskLeftovers, RemovesOnlyUnusedFilesOfItsOwnNaming) {
  TempDir dir;
  const char* names[] = {
      "f",
      "f.autoexp-setup-a1B2c3",   // left by a killed run
      "f.autoexp-setup-InUse0",   // a running write holds it
      "f.autoexp-setup-abc12",    // not of the pattern
      "f.autoexp-setup-abc1234",  // not of the pattern
      "f.autoexp-setup-ab.123",   // not of the pattern
      "g.autoexp-setup-a1B2c3",   // another file's
  };
  for (const char* name : names) {
    WriteBytes(dir.File(name), "bytes");
  }
  int inUse = open(dir.File("f.autoexp-setup-InUse0").c_str(), O_RDWR);
  struct flock hold = {};
  hold.l_type = F_WRLCK;
  ASSERT_EQ(fcntl(inUse, F_OFD_SETLK, &hold), 0);
  SystemDisk().RemoveLeftovers(dir.File("f"));
  close(inUse);
  EXPECT_EQ(dir.Names(),
            (std::vector<std::string>{"f", "f.autoexp-setup-InUse0", "f.autoexp-setup-ab.123",
                                      "f.autoexp-setup-abc12", "f.autoexp-setup-abc1234",
                                      "g.autoexp-setup-a1B2c3"}));
}

}  // namespace
