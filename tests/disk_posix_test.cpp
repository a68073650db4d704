#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/disk.h"
#include "tests/disk_calls.h"
#include "tests/program_runner.h"
#include "tests/test_files.h"

// The system's answers this binary's own write() and close() give, for the
// primitives linked into it, while a test asks: a write that writes nothing,
// or a close that fails (as a filesystem that stores at the close does).
namespace {
enum class SystemFault { kNone, kWriteNothing, kCloseFails };
SystemFault gFault = SystemFault::kNone;
int gWritesOfNothing = 0;
}  // namespace

extern "C" ssize_t write(int fd, const void* data, size_t size) {
  if (gFault == SystemFault::kWriteNothing && fd > 2 && ++gWritesOfNothing < 100) {
    return 0;
  }
  return syscall(SYS_write, fd, data, size);
}

extern "C" int close(int fd) {
  int result = static_cast<int>(syscall(SYS_close, fd));
  if (gFault == SystemFault::kCloseFails && fd > 2 && result == 0) {
    errno = EIO;
    return -1;
  }
  return result;
}

namespace {

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

// Replaces the file at |path|, which holds |old|, with "new", keeping |old|
// under |backupPath|.
ReplaceStatus ReplaceWithBackup(const std::string& path, const std::string& old,
                                const std::string& backupPath, std::string* error) {
  return ReplaceLocked(path, std::string_view(old), Pieces{"new"}, backupPath, error);
}

struct stat StatusOf(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
  return status;
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
    Disk::Result status;
  } cases[] = {
      {dir.File("missing"), Disk::Result::kNotFound},
      {dir.File("dangling"), Disk::Result::kNotFound},
      {dir.File("sub"), Disk::Result::kFailed},
      // Without a writer, a blocking open of a FIFO would never return.
      {dir.File("fifo"), Disk::Result::kFailed},
      {"/dev/zero", Disk::Result::kFailed},
      {dir.File("missing/autoexp.dat"), Disk::Result::kNotFound},
  };
  for (const Case& c : cases) {
    std::string contents;
    std::string error;
    EXPECT_EQ(ReadWhole(c.path, &contents, &error), c.status) << c.path;
    EXPECT_EQ(error.empty(), c.status != Disk::Result::kFailed) << c.path << ": " << error;
  }
}

TEST(PosixDiskRead, UnreadableFileFails) {
  TempDir dir;
  WriteBytes(dir.File("f"), "x");
  chmod(dir.File("f").c_str(), 0200);
  EXPECT_TRUE(AsUnprivilegedUser(dir, [&] {
    std::string contents;
    std::string error;
    return ReadWhole(dir.File("f"), &contents, &error) == Disk::Result::kFailed &&
           error == "Permission denied";
  }));
}

TEST(PosixDiskWrite, KeepsModeOwnerAndExtendedAttributes) {
  TempDir dir;
  WriteBytes(dir.File("f"), "old");
  chmod(dir.File("f").c_str(), 0640);
  // The POSIX ACL u:nobody:rw, as the kernel stores it, and a note of the
  // user's.
  struct Entry {
    std::uint16_t tag, permissions;
    std::uint32_t id;
  };
  const Entry entries[] = {
      {0x01, 6, ~0u}, {0x02, 6, kNobody}, {0x04, 4, ~0u}, {0x10, 6, ~0u}, {0x20, 0, ~0u}};
  std::string acl("\x02\0\0\0", 4);
  acl.append(reinterpret_cast<const char*>(entries), sizeof entries);
  if (setxattr(dir.File("f").c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0 ||
      setxattr(dir.File("f").c_str(), "user.note", "mine", 4, 0) != 0) {
    GTEST_SKIP() << "no ACLs or user attributes here: " << std::strerror(errno);
  }
  ASSERT_EQ(chown(dir.File("f").c_str(), geteuid(), getegid()), 0);
  mode_t before = ModeOf(dir.File("f"));

  std::string error;
  ASSERT_EQ(Replace(dir.File("f"), "new", &error), ReplaceStatus::kReplaced) << error;
  EXPECT_EQ(ReadBytes(dir.File("f")), "new");
  EXPECT_EQ(ModeOf(dir.File("f")), before);
  char value[256];
  ssize_t length = getxattr(dir.File("f").c_str(), "system.posix_acl_access", value, sizeof value);
  EXPECT_EQ(std::string(value, static_cast<std::size_t>(std::max<ssize_t>(length, 0))), acl);
  length = getxattr(dir.File("f").c_str(), "user.note", value, sizeof value);
  EXPECT_EQ(std::string(value, static_cast<std::size_t>(std::max<ssize_t>(length, 0))), "mine");

  // A new file gets the usual bits.
  mode_t mask = umask(022);
  ASSERT_EQ(Replace(dir.File("g"), std::string_view("a\0b", 3), &error), ReplaceStatus::kReplaced);
  umask(mask);
  EXPECT_EQ(ModeOf(dir.File("g")), 0644u);
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"f", "g"}));
}

// A set-group-ID folder gives new files its group; the new rules file keeps
// the old one's.
TEST(PosixDiskWrite, KeepsTheGroupInASetGroupIdFolder) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to give the folder away";
  }
  TempDir dir;
  MakeDirectory(dir.File("shared"));
  ASSERT_EQ(chown(dir.File("shared").c_str(), 0, kNobody), 0);
  ASSERT_EQ(chmod(dir.File("shared").c_str(), 02775), 0);
  WriteBytes(dir.File("shared/f"), "old");
  ASSERT_EQ(chown(dir.File("shared/f").c_str(), 0, 0), 0);
  ASSERT_EQ(chmod(dir.File("shared/f").c_str(), 0640), 0);
  std::string error;
  ASSERT_EQ(ReplaceWithBackup(dir.File("shared/f"), "old", dir.File("shared/f.bak"), &error),
            ReplaceStatus::kReplaced)
      << error;
  for (const char* name : {"shared/f", "shared/f.bak"}) {
    EXPECT_EQ(StatusOf(dir.File(name)).st_gid, 0u) << name;
    EXPECT_EQ(ModeOf(dir.File(name)), 0640u) << name;
  }
}

TEST(PosixDiskWrite, FollowsOnlyLinksTheirOwnerMayLay) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.File("real").c_str(), 0700), 0);
  WriteBytes(dir.File("real/f"), "old");
  ASSERT_EQ(symlink("real/f", dir.File("hop").c_str()), 0);
  ASSERT_EQ(symlink(dir.File("hop").c_str(), dir.File("link").c_str()), 0);
  ASSERT_EQ(symlink("real/new", dir.File("dangling").c_str()), 0);
  std::string error;
  ASSERT_EQ(Replace(dir.File("link"), "new", &error), ReplaceStatus::kReplaced) << error;
  ASSERT_EQ(Replace(dir.File("dangling"), "made", &error), ReplaceStatus::kReplaced) << error;
  EXPECT_TRUE(S_ISLNK(StatusOf(dir.File("link")).st_mode));
  EXPECT_TRUE(S_ISLNK(StatusOf(dir.File("dangling")).st_mode));
  EXPECT_EQ(ReadBytes(dir.File("real/f")), "new");
  EXPECT_EQ(ReadBytes(dir.File("real/new")), "made");

  // Another user's link, anywhere on the way, decides nothing.
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to give a link away";
  }
  ASSERT_EQ(lchown(dir.File("hop").c_str(), kNobody, kNobody), 0);
  std::string contents;
  error.clear();
  EXPECT_EQ(Replace(dir.File("link"), "theirs", &error), ReplaceStatus::kFailed);
  EXPECT_EQ(error, dir.File("link") + ": " + disk_error::kForeignLink);
  EXPECT_EQ(LockOnce(dir.File("link"), "", &error), nullptr);
  EXPECT_EQ(ReadBytes(dir.File("real/f")), "new");
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
    EXPECT_EQ(Replace(path, "new", &error), ReplaceStatus::kFailed) << path;
    EXPECT_FALSE(error.empty()) << path;
  }
  EXPECT_EQ(ReadBytes(dir.File("readonly")), "keep");
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"fifo", "loop", "readonly", "sub"}));
}

// Every answer of the system is heard: a write that writes nothing is not
// tried forever, and a close that fails fails the write.
TEST(PosixDiskWrite, WriteOfNothingAndFailedCloseFailTheWrite) {
  for (SystemFault fault : {SystemFault::kWriteNothing, SystemFault::kCloseFails}) {
    TempDir dir;
    WriteBytes(dir.File("f"), "old");
    std::string error;
    gWritesOfNothing = 0;
    gFault = fault;
    ReplaceStatus status = Replace(dir.File("f"), "new", &error);
    gFault = SystemFault::kNone;
    EXPECT_EQ(status, ReplaceStatus::kFailed);
    EXPECT_EQ(error, std::strerror(fault == SystemFault::kCloseFails ? EIO : ENOSPC));
    EXPECT_LE(gWritesOfNothing, 1);
    EXPECT_EQ(ReadBytes(dir.File("f")), "old");
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"f"});
  }
}

TEST(PosixDiskWrite, ReadOnlyDirectoryRefused) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.File("ro").c_str(), 0755), 0);
  WriteBytes(dir.File("ro/f"), "keep");
  chmod(dir.File("ro/f").c_str(), 0666);
  chmod(dir.File("ro").c_str(), 0555);
  EXPECT_TRUE(AsUnprivilegedUser(dir, [&] {
    std::string error;
    return Replace(dir.File("ro/f"), "new", &error) == ReplaceStatus::kFailed && !error.empty();
  }));
  EXPECT_EQ(ReadBytes(dir.File("ro/f")), "keep");
}

// Run as root in a folder that another user owns, who may put anything at
// the backup's name: it is replaced by a rename, never written through, and
// the new backup is no more open than the file it copies.
TEST(PosixDiskBackup, WhateverStandsAtItsNameIsReplacedNotWrittenThrough) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to act for another user";
  }
  struct Case {
    const char* name;
    std::function<void(const TempDir&)> arrange;
  } cases[] = {
      {"a link to the other user's file",
       [](const TempDir& d) { symlink(d.File("victim").c_str(), d.File("f.bak").c_str()); }},
      {"a link that points nowhere",
       [](const TempDir& d) { symlink(d.File("made").c_str(), d.File("f.bak").c_str()); }},
      {"the other user's empty file",
       [](const TempDir& d) {
         WriteBytes(d.File("f.bak"), "");
         chmod(d.File("f.bak").c_str(), 0666);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    WriteBytes(dir.File("f"), "root's secret");
    chmod(dir.File("f").c_str(), 0600);
    WriteBytes(dir.File("victim"), "the other user's");
    c.arrange(dir);
    for (const char* name : {"victim", "f.bak"}) {
      lchown(dir.File(name).c_str(), kNobody, kNobody);
    }
    chown(dir.path().c_str(), kNobody, kNobody);
    std::string error;
    ASSERT_EQ(ReplaceWithBackup(dir.File("f"), "root's secret", dir.File("f.bak"), &error),
              ReplaceStatus::kReplaced)
        << error;
    EXPECT_EQ(ReadBytes(dir.File("victim")), "the other user's");
    struct stat backup = StatusOf(dir.File("f.bak"));
    EXPECT_TRUE(S_ISREG(backup.st_mode));
    EXPECT_EQ(backup.st_mode & 07777, 0600u);
    EXPECT_EQ(backup.st_uid, 0u);
    EXPECT_EQ(ReadBytes(dir.File("f.bak")), "root's secret");
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"f", "f.bak", "victim"}));
  }
}

TEST(PosixDiskBackup, OnAnotherFilesystemIsACopy) {
  // /dev/shm is a tmpfs of its own on most systems; a link cannot reach it.
  TempDir dir;
  char pattern[] = "/dev/shm/autoexp-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    GTEST_SKIP() << "no /dev/shm";
  }
  std::string other = pattern;
  if (StatusOf(dir.path()).st_dev == StatusOf(other).st_dev) {
    rmdir(other.c_str());
    GTEST_SKIP() << "/dev/shm is on the same filesystem";
  }
  WriteBytes(dir.File("f"), "old");
  chmod(dir.File("f").c_str(), 0640);
  std::string error;
  EXPECT_EQ(ReplaceWithBackup(dir.File("f"), "old", other + "/f.bak", &error),
            ReplaceStatus::kReplaced)
      << error;
  EXPECT_EQ(ReadBytes(other + "/f.bak"), "old");
  EXPECT_EQ(ModeOf(other + "/f.bak"), 0640u);
  EXPECT_EQ(ReadBytes(dir.File("f")), "new");
  EXPECT_EQ(NamesIn(other), std::vector<std::string>{"f.bak"});
  RemoveTree(other);
}

// A replacement that fails after the backup step: the rules file is a busy
// mount point, which rename() cannot replace. The backup, made first, holds
// the bytes read.
TEST(PosixDiskBackup, IsMadeFirstAndKeptThoughTheReplacementFails) {
  TempDir dir;
  WriteBytes(dir.File("f"), "old");
  WriteBytes(dir.File("f.bak"), "older");
  WriteBytes(dir.File("other"), "old");
  std::string bind = "mount --bind " + dir.File("other") + " " + dir.File("f") + " 2>/dev/null";
  if (std::system(bind.c_str()) != 0) {
    GTEST_SKIP() << "cannot make a mount point here";
  }
  std::string error;
  ReplaceStatus status = ReplaceWithBackup(dir.File("f"), "old", dir.File("f.bak"), &error);
  std::system(("umount " + dir.File("f")).c_str());
  EXPECT_EQ(status, ReplaceStatus::kFailed);
  EXPECT_EQ(error, std::strerror(EBUSY));
  EXPECT_EQ(ReadBytes(dir.File("f")), "old");
  EXPECT_EQ(ReadBytes(dir.File("f.bak")), "old");
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"f", "f.bak", "other"}));
}

// The rules file a link of the user's own to its backup: refused, nothing
// changed (else the rules would go into the backup, and the old bytes only
// into a temporary file).
TEST(PosixDiskBackup, RulesFileThatIsALinkToItsBackupIsRefused) {
  TempDir dir;
  WriteBytes(dir.File("f.bak"), "old");
  ASSERT_EQ(symlink("f.bak", dir.File("f").c_str()), 0);
  std::string error;
  EXPECT_EQ(ReplaceWithBackup(dir.File("f"), "old", dir.File("f.bak"), &error),
            ReplaceStatus::kBackupFailed);
  EXPECT_EQ(error, disk_error::kLinkToBackup);
  EXPECT_EQ(ReadBytes(dir.File("f.bak")), "old");
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"f", "f.bak"}));
}

// Another program moves a file of the same bytes, with attributes of its
// own, over the one the run locked: the run never takes that file's
// attributes (nor replaces it unread); it starts over.
TEST(PosixDiskWrite, FileMovedOverTheLockedOneIsNotTheOneReplaced) {
  TempDir dir;
  WriteBytes(dir.File("f"), "old");
  WriteBytes(dir.File("theirs"), "old");
  if (setxattr(dir.File("theirs").c_str(), "user.secret", "x", 1, 0) != 0) {
    GTEST_SKIP() << "no user attributes here: " << std::strerror(errno);
  }
  std::string error;
  std::unique_ptr<FileLock> lock = LockOnce(dir.File("f"), "", &error);
  ASSERT_NE(lock, nullptr) << error;
  ASSERT_EQ(::rename(dir.File("theirs").c_str(), dir.File("f").c_str()), 0);
  Replacement replacement;
  replacement.expected = "old";
  replacement.bytes = Pieces{"new"};
  EXPECT_EQ(ReplaceFile(SystemDisk(), *lock, replacement, &error), ReplaceStatus::kChanged);
  EXPECT_EQ(ReadBytes(dir.File("f")), "old");
}

// A folder on the path swapped for a link to another folder while the run
// works (its owner can do that to a run as root): the run goes on in the
// folder it locked, and the other folder is never touched.
TEST(PosixDiskWrite, FolderSwappedForALinkDoesNotMoveTheRun) {
  TempDir dir;
  for (const char* name : {"home", "other"}) {
    MakeDirectory(dir.File(name));
    WriteBytes(dir.File(name) + "/f", "old");
  }
  std::string error;
  std::unique_ptr<FileLock> lock = LockOnce(dir.File("home/f"), "", &error);
  ASSERT_NE(lock, nullptr) << error;
  MoveOver(dir.File("home"), dir.File("home.real"));
  ASSERT_EQ(symlink("other", dir.File("home").c_str()), 0);
  Replacement replacement;
  replacement.expected = "old";
  replacement.bytes = Pieces{"new"};
  replacement.backupPath = dir.File("home/f.bak");
  EXPECT_EQ(ReplaceFile(SystemDisk(), *lock, replacement, &error), ReplaceStatus::kReplaced);
  EXPECT_EQ(ReadBytes(dir.File("home.real/f")), "new");
  EXPECT_EQ(ReadBytes(dir.File("home.real/f.bak")), "old");
  EXPECT_EQ(NamesIn(dir.File("other")), std::vector<std::string>{"f"});
}

// An overlay's upper layer changed behind the mount: the kernel grants the
// lease and nothing breaks it (FUSE and network filesystems do the same), so
// only comparing the bytes shows the change; the new bytes, made from the
// bytes read, are the run's own, so a file shortened meanwhile is no harm.
TEST(PosixDiskWrite, ChangeBehindAnOverlayIsSeenThoughTheLeaseHolds) {
  TempDir dir;
  for (const char* name : {"lower", "upper", "work", "merged"}) {
    MakeDirectory(dir.File(name));
  }
  std::string mount = "mount -t overlay overlay -o lowerdir=" + dir.File("lower") +
                      ",upperdir=" + dir.File("upper") + ",workdir=" + dir.File("work") + " " +
                      dir.File("merged") + " 2>/dev/null";
  if (std::system(mount.c_str()) != 0) {
    GTEST_SKIP() << "cannot mount an overlay here";
  }
  struct Case {
    const char* name;
    const char* theirs;
  } cases[] = {{"same size, other bytes", "odd"}, {"shortened", "o"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(dir.File("merged/f"), "old");  // now in the upper layer
    std::string error;
    ReplaceStatus status = ReplaceAsRun(
        dir.File("merged/f"), [](std::string_view read) { return std::string(read) + "new"; },
        [&] {
          int fd = open(dir.File("upper/f").c_str(), O_WRONLY | O_TRUNC);
          EXPECT_EQ(write(fd, c.theirs, std::strlen(c.theirs)),
                    static_cast<ssize_t>(std::strlen(c.theirs)));
          close(fd);
        },
        &error);
    EXPECT_EQ(status, ReplaceStatus::kChanged) << error;
    EXPECT_EQ(ReadBytes(dir.File("merged/f")), c.theirs);
  }
  std::system(("umount " + dir.File("merged")).c_str());
}

TEST(PosixDiskLock, LostWhenAnotherProcessOpensTheFileToWrite) {
  TempDir dir;
  WriteBytes(dir.File("f"), "x");
  std::string error;
  std::unique_ptr<FileLock> lock = LockOnce(dir.File("f"), "", &error);
  ASSERT_NE(lock, nullptr) << error;
  auto kept = [&] { return SystemDisk().StillHolds(*lock->held, lock->file); };
  EXPECT_TRUE(kept());
  // A reader changes nothing.
  pid_t reader = fork();
  if (reader == 0) {
    _exit(open(dir.File("f").c_str(), O_RDONLY | O_NONBLOCK) >= 0 ? 0 : 1);
  }
  int status = 0;
  waitpid(reader, &status, 0);
  EXPECT_TRUE(kept());
  // A writer that would have to wait for the run is seen at once.
  pid_t writer = fork();
  if (writer == 0) {
    _exit(open(dir.File("f").c_str(), O_WRONLY | O_NONBLOCK) < 0 ? 0 : 1);
  }
  waitpid(writer, &status, 0);
  EXPECT_FALSE(kept());
  lock.reset();

  // While a writer holds the file open, the lock is not had.
  int open_for_writing = open(dir.File("f").c_str(), O_WRONLY);
  pid_t other = fork();
  if (other == 0) {
    std::string reason;
    bool busy = LockOnce(dir.File("f"), "", &reason) == nullptr &&
                reason == dir.File("f") + ": " + disk_error::kOpenForWriting;
    _exit(busy ? 0 : 1);
  }
  waitpid(other, &status, 0);
  close(open_for_writing);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Two mounts of one folder, as two NFS clients of one share: a pass-through
// that forwards locks to the folder stands for the server.
TEST(PosixDiskLock, TwoMountsOfOneFolderTakeTurns) {
  TempDir dir;
  for (const char* name : {"shared", "a", "b"}) {
    MakeDirectory(dir.File(name));
  }
  for (const char* client : {"a", "b"}) {
    std::string mount = "bindfs --multithreaded --enable-lock-forwarding " + dir.File("shared") +
                        " " + dir.File(client) + " 2>/dev/null";
    if (std::system(mount.c_str()) != 0) {
      std::system(("umount " + dir.File("a") + " 2>/dev/null").c_str());
      GTEST_SKIP() << "cannot mount a FUSE pass-through here (bindfs)";
    }
  }
  std::string error;
  std::unique_ptr<FileLock> lock = LockOnce(dir.File("a/autoexp.dat"), "", &error);
  EXPECT_NE(lock, nullptr) << error;
  EXPECT_EQ(LockOnce(dir.File("b/autoexp.dat"), "", &error), nullptr);
  lock.reset();
  EXPECT_NE(LockOnce(dir.File("b/autoexp.dat"), "", &error), nullptr) << error;
  std::system(("umount " + dir.File("a") + " " + dir.File("b")).c_str());
}

TEST(PosixDiskLock, WithoutALeaseLockfUsersSeeIt) {
  // Another user's file: no lease without CAP_LEASE, so the lock is the one
  // crudini and other lockf users take.
  TempDir dir;
  WriteBytes(dir.File("f"), "x");
  chmod(dir.File("f").c_str(), 0666);
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to run as another user";
  }
  EXPECT_TRUE(AsUnprivilegedUser(dir, [&] {
    std::string error;
    std::unique_ptr<FileLock> lock = LockOnce(dir.File("f"), "", &error);
    bool seen = lock != nullptr && LockedForOthers(dir.File("f"));
    lock.reset();
    return seen && !LockedForOthers(dir.File("f"));
  }));
}

// The sweep removes files of its own naming only, and never acts through a
// link: a link under such a name is left, and so is what it points to.
TEST(PosixDiskLeftovers, RemovesOnlyItsOwnFilesNeverThroughALink) {
  TempDir dir;
  for (const char* name : {"f", "~an0000abcd", "~ak0000abcd", "~an0000abc", "~aX0000abcd"}) {
    WriteBytes(dir.File(name), "bytes");
  }
  MakeDirectory(dir.File("elsewhere"));
  WriteBytes(dir.File("elsewhere/theirs"), "theirs");
  ASSERT_EQ(symlink("elsewhere/theirs", dir.File("~ab0000abcd").c_str()), 0);
  std::string error;
  std::unique_ptr<FileLock> lock = LockOnce(dir.File("f"), "", &error);
  ASSERT_NE(lock, nullptr) << error;
  RemoveLeftovers(SystemDisk(), *lock);
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"elsewhere", "f", "~aX0000abcd", "~ab0000abcd",
                                                   "~ak0000abcd", "~an0000abc"}));
  EXPECT_EQ(ReadBytes(dir.File("elsewhere/theirs")), "theirs");
}

}  // namespace
