// What every Disk promises (platform/disk.h), checked against the real disk
// of the system the tests run on: POSIX natively, Windows under Wine.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/disk.h"
#include "tests/disk_calls.h"
#include "tests/test_files.h"

namespace {

using Status = ReplaceStatus;

TEST(DiskContract, ReadsEveryByteAndRefusesWhatIsNoFile) {
  TempDir dir;
  std::string bytes;
  for (int i = 0; i < 300000; ++i) {
    bytes += static_cast<char>(i * 7 % 256);
  }
  WriteBytes(dir.File("f"), bytes);
  MakeDirectory(dir.File("sub"));
  struct Case {
    std::string path;
    Disk::Result status;
    std::string contents;
  } cases[] = {
      {dir.File("f"), Disk::Result::kOkay, bytes},
      {dir.File("missing"), Disk::Result::kNotFound, ""},
      {dir.File("sub"), Disk::Result::kFailed, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string contents;
    std::string error;
    EXPECT_EQ(ReadWhole(c.path, &contents, &error), c.status);
    EXPECT_EQ(contents, c.contents);
    EXPECT_EQ(error.empty(), c.status != Disk::Result::kFailed) << error;
  }
}

// What another program does between a run's read and its replacement, on
// both systems: the run finds out (the lock, or a comparison), and replaces
// nothing it did not read.
TEST(DiskContract, ReplacesOnlyAsExpected) {
  struct Case {
    const char* name;
    const char* before;  // null: no file
    std::function<void(const TempDir&)> meanwhile;
    Status status;
    const char* after;               // null: no file
    std::vector<std::string> names;  // what the folder holds after
    bool readOnly = false;
  } cases[] = {
      {"holds the bytes read", "old", nullptr, Status::kReplaced, "oldnew", {"f"}},
      {"moved away, another file in its place",
       "old",
       [](const TempDir& d) {
         MoveOver(d.File("f"), d.File("f.old"));
         WriteBytes(d.File("f"), "theirs");
       },
       Status::kChanged,
       "theirs",
       {"f", "f.old"}},
#ifndef _WIN32
      // (Windows keeps a file deleted while open under its name, delete
      // pending, until the lock lets it go, and refuses to open it, which the
      // lock's check sees; Wine opens it, so the row runs here only.)
      {"removed under the run",
       "old",
       [](const TempDir& d) { RemoveTree(d.File("f")); },
       Status::kChanged,
       nullptr,
       {}},
#endif
      {"still absent", nullptr, nullptr, Status::kReplaced, "new", {"f"}},
      {"created under the run",
       nullptr,
       [](const TempDir& d) { WriteBytes(d.File("f"), "theirs"); },
       Status::kChanged,
       "theirs",
       {"f"}},
      {"read-only file", "old", nullptr, Status::kFailed, "old", {"f"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    if (c.before != nullptr) {
      WriteBytes(dir.File("f"), c.before);
      if (c.readOnly) {
        MakeReadOnly(dir.File("f"));
      }
    }
    std::string error;
    // The new bytes are made from the bytes read, as a run makes them.
    auto edit = [](std::string_view read) { return std::string(read) + "new"; };
    EXPECT_EQ(
        ReplaceAsRun(dir.File("f"), edit,
                     c.meanwhile ? [&] { c.meanwhile(dir); } : std::function<void()>(), &error),
        c.status)
        << error;
    EXPECT_EQ(error.empty(), c.status != Status::kFailed) << error;
    EXPECT_EQ(ReadBytes(dir.File("f")), c.after == nullptr ? "" : c.after);
    // No temporary file is left, whatever the outcome.
    EXPECT_EQ(dir.Names(), c.names);
  }
}

TEST(DiskContract, KeepsTheOldBytesAsTheBackup) {
  // POSIX replaces a read-only backup by a rename whatever its bits (a backup
  // of a read-only file has them); on Windows only the user sets the
  // read-only attribute (no backup the program makes gets it): refused.
#ifdef _WIN32
  constexpr Status kReadOnlyBackup = Status::kBackupFailed;
#else
  constexpr Status kReadOnlyBackup = Status::kReplaced;
#endif
  struct Case {
    const char* name;
    std::function<void(const TempDir&)> arrange;
    bool keepBytes;  // a run that changes nothing: the backup alone
    Status status;
  } cases[] = {
      {"no backup yet", [](const TempDir&) {}, false, Status::kReplaced},
      {"older backup", [](const TempDir& d) { WriteBytes(d.File("f.bak"), "older"); }, false,
       Status::kReplaced},
      {"backup alone", [](const TempDir& d) { WriteBytes(d.File("f.bak"), "older"); }, true,
       Status::kReplaced},
      // A backup's name that is already a second name of the file (a kill
      // part-way, or the user's own link) becomes a backup of its own.
      {"backup name a second name of the file",
       [](const TempDir& d) { MakeHardLink(d.File("f"), d.File("f.bak")); }, false,
       Status::kReplaced},
      {"backup alone, its name a second name of the file",
       [](const TempDir& d) { MakeHardLink(d.File("f"), d.File("f.bak")); }, true,
       Status::kReplaced},
      {"directory in the backup's place", [](const TempDir& d) { MakeDirectory(d.File("f.bak")); },
       false, Status::kBackupFailed},
      {"read-only backup",
       [](const TempDir& d) {
         WriteBytes(d.File("f.bak"), "older");
         MakeReadOnly(d.File("f.bak"));
       },
       false, kReadOnlyBackup},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    WriteBytes(dir.File("f"), "old");
    c.arrange(dir);
    std::string olderBackup = ReadBytes(dir.File("f.bak"));
    std::string error;
    std::optional<Pieces> bytes;
    if (!c.keepBytes) {
      bytes = Pieces{"new"};
    }
    EXPECT_EQ(ReplaceLocked(dir.File("f"), "old", bytes, dir.File("f.bak"), &error), c.status)
        << error;
    if (c.status == Status::kReplaced) {
      EXPECT_EQ(ReadBytes(dir.File("f")), c.keepBytes ? "old" : "new");
      EXPECT_EQ(ReadBytes(dir.File("f.bak")), "old");
      // The backup is a file of its own: the file edited in place leaves it.
      WriteBytes(dir.File("f"), "edited in place");
      EXPECT_EQ(ReadBytes(dir.File("f.bak")), "old");
    } else {
      EXPECT_FALSE(error.empty());
      EXPECT_EQ(ReadBytes(dir.File("f")), "old");
      EXPECT_EQ(ReadBytes(dir.File("f.bak")), olderBackup);
    }
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"f", "f.bak"}));
  }
}

TEST(DiskContract, LockKeepsOthersOutUntilReleased) {
  TempDir dir;
  WriteBytes(dir.File("f"), "x");
  std::string error;
  std::unique_ptr<FileLock> lock = LockOnce(dir.File("f"), "", &error);
  ASSERT_NE(lock, nullptr) << error;
  EXPECT_TRUE(SystemDisk().StillHolds(*lock->held, lock->file));
  // Another file of the folder, or none yet: the folder's lock is taken.
  for (const char* name : {"f", "g"}) {
    EXPECT_EQ(LockOnce(dir.File(name), "", &error), nullptr) << name;
    EXPECT_FALSE(error.empty());
  }
  lock.reset();
  EXPECT_NE(LockOnce(dir.File("f"), "", &error), nullptr) << error;
  Disk::Entry kept;
  EXPECT_EQ(SystemDisk().Look(dir.File(kLockFileName), &kept, &error), Disk::Result::kOkay);
  EXPECT_EQ(kept.kind, Disk::Kind::kFile);

  // A lock file that cannot be opened is busy, never no lock; one that is a
  // link is refused, and nothing is made where it points.
  struct LockFileCase {
    const char* name;
    std::function<void(const std::string&)> lay;
    std::string error;
  } lockFiles[] = {
      {"a folder", MakeDirectory, ""},
#ifndef _WIN32
      {"a link", [](const std::string& at) { symlink("made-by-a-run", at.c_str()); },
       std::string(disk_error::kLockFileIsLink)},
#endif
  };
  for (const LockFileCase& c : lockFiles) {
    SCOPED_TRACE(c.name);
    TempDir other;
    c.lay(other.File(kLockFileName));
    EXPECT_EQ(LockOnce(other.File("f"), "", &error), nullptr);
    EXPECT_EQ(error.rfind(other.File(kLockFileName) + ": " + c.error, 0), 0u) << error;
    EXPECT_EQ(other.Names(), std::vector<std::string>{});
  }

  // Nothing to lock is no failure: the read or the replacement reports what
  // matters.
  MakeDirectory(dir.File("sub"));
  for (const std::string& path : {dir.File("missing"), dir.File("sub"), dir.File("no/f")}) {
    EXPECT_NE(LockOnce(path, "", &error), nullptr) << path << ": " << error;
  }
}

}  // namespace
