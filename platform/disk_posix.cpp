#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/disk.h"
#include "platform/expected_bytes.h"
#include "platform/replacing_disk.h"

// Replacing a file, the POSIX way:
//
//   1. Follow symbolic links to the file that is really meant, so that a link
//      the user made keeps pointing at the file after the update.
//   2. Write the new bytes to "<name>.autoexp-setup-XXXXXX" in the same
//      directory (same filesystem, so the rename below cannot turn into a copy),
//      give it the old file's permission bits and owner, and fsync it. The
//      writer holds a lock on that temporary file until it is renamed or
//      removed; a temporary file that nobody holds locked was left by a killed
//      run, and the next run deletes it.
//   3. When the caller expects the old bytes, read the file once more and
//      compare; when it expects no file, the rename in step 4 refuses to
//      replace one.
//   4. rename() it over the old name: the one step that makes the new bytes
//      visible, atomic for every reader and across a crash.
//   5. fsync the directory so the rename itself is on disk.
//
// If anything before step 4 fails, the temporary file is removed and the old
// file has not been touched.
//
// The update lock is an open-file-description lock (F_OFD_SETLK) on the whole
// file. It conflicts with the fcntl/lockf locks that other tools take, is not
// dropped when the program closes some other descriptor of the same file, and
// the kernel lets it go when the process dies, however it dies. A rename
// makes a new file under the name, so whoever waited on the old one looks
// again once it gets the lock.

namespace {

constexpr char kTemporaryInfix[] = ".autoexp-setup-";
constexpr char kTemporaryPattern[] = "XXXXXX";
constexpr std::size_t kTemporaryUniqueLength = sizeof kTemporaryPattern - 1;

// How long LockFile waits for another holder of the lock. A run of this
// program holds it for well under a second even on a large file.
constexpr std::chrono::seconds kLockWait(20);

// The size of the pieces ReadPieces hands on: large enough for few system
// calls, small enough to stay in the processor's cache.
constexpr std::size_t kPieceSize = 128 * 1024;

std::string ErrnoText(int error) {
  return std::strerror(error);
}

std::string DirectoryOf(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file that |path| finally names once every symbolic link is followed.
// A link that points nowhere gives the path it points to.
bool FollowLinks(const std::string& path, std::string* target, std::string* error) {
  std::string current = path;
  for (int depth = 0; depth < 40; ++depth) {
    struct stat status;
    if (lstat(current.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
      *target = current;
      return true;
    }
    std::string link(static_cast<std::string::size_type>(status.st_size) + 256, '\0');
    ssize_t length = readlink(current.c_str(), &link[0], link.size());
    if (length < 0) {
      *error = ErrnoText(errno);
      return false;
    }
    link.resize(static_cast<std::string::size_type>(length));
    current = (!link.empty() && link[0] == '/') ? link : DirectoryOf(current) + "/" + link;
  }
  *error = ErrnoText(ELOOP);
  return false;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether |path| still names the file open as |fd|.
bool StillNamed(int fd, const std::string& path) {
  struct stat open, named;
  return fstat(fd, &open) == 0 && lstat(path.c_str(), &named) == 0 && SameFile(open, named);
}

// Tries to lock the whole file open as |fd| without waiting. Returns 0 or the
// errno: EAGAIN (or EACCES) while someone else holds a conflicting lock,
// ENOLCK, EINVAL and the like where the filesystem has no such locks.
int TryLock(int fd, short type) {
#ifdef F_OFD_SETLK
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  return fcntl(fd, F_OFD_SETLK, &lock) == 0 ? 0 : errno;
#else
  // Classic fcntl locks go away when any descriptor of the file is closed,
  // which this program does; without the other kind it does not lock at all.
  (void)fd;
  (void)type;
  return ENOLCK;
#endif
}

bool IsHeldElsewhere(int error) {
  return error == EAGAIN || error == EACCES;
}

class DescriptorLock : public Disk::Lock {
 public:
  explicit DescriptorLock(int fd) : fd_(fd) {}
  ~DescriptorLock() override { close(fd_); }
  DescriptorLock(const DescriptorLock&) = delete;
  DescriptorLock& operator=(const DescriptorLock&) = delete;

 private:
  int fd_;
};

// Writes the pieces one after the other, many to a system call.
bool WriteAll(int fd, const std::vector<std::string_view>& pieces) {
  std::vector<struct iovec> vectors;
  for (std::string_view piece : pieces) {
    if (!piece.empty()) {
      vectors.push_back({const_cast<char*>(piece.data()), piece.size()});
    }
  }
  std::size_t next = 0;
  while (next < vectors.size()) {
    int count = static_cast<int>(std::min<std::size_t>(vectors.size() - next, 1024));
    ssize_t written = writev(fd, &vectors[next], count);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    // Step over what went out; a short write leaves a piece part-way done.
    std::size_t left = static_cast<std::size_t>(written);
    while (next < vectors.size() && left >= vectors[next].iov_len) {
      left -= vectors[next++].iov_len;
    }
    if (left > 0) {
      vectors[next].iov_base = static_cast<char*>(vectors[next].iov_base) + left;
      vectors[next].iov_len -= left;
    }
  }
  return true;
}

// Whether the regular file at |path| holds exactly |expected|, read in
// pieces so that the check needs no second copy of the file in memory.
bool Holds(const std::string& path, const std::vector<std::string_view>& pieces) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  ExpectedBytes expected(pieces);
  struct stat status;
  bool same = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
              static_cast<std::uint64_t>(status.st_size) == expected.size();
  char buffer[1 << 16];
  while (same) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      same = got == 0 && expected.Done();
      break;
    }
    same = expected.Match(std::string_view(buffer, static_cast<std::size_t>(got)));
  }
  close(fd);
  return same;
}

// Moves |from| to |to| only if nothing is at |to|; EEXIST when something is.
int RenameIfAbsent(const std::string& from, const std::string& to) {
#ifdef RENAME_NOREPLACE
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return 0;
  }
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
    return errno;
  }
#endif
  // A hard link is never made over an existing name either.
  if (link(from.c_str(), to.c_str()) != 0) {
    return errno;
  }
  unlink(from.c_str());
  return 0;
}

void SyncDirectory(const std::string& directory) {
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    // Some filesystems cannot sync a directory; the rename has happened
    // either way, so there is nothing to undo.
    fsync(fd);
    close(fd);
  }
}

mode_t NewFileMode() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

class PosixDisk : public ReplacingDisk {
 public:
  std::unique_ptr<Lock> LockFile(const std::string& path, std::string* error) override {
    std::string target;
    std::string ignored;
    if (!FollowLinks(path, &target, &ignored)) {
      return std::make_unique<Lock>();
    }
    auto deadline = std::chrono::steady_clock::now() + kLockWait;
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
      struct stat status;
      if (stat(target.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::make_unique<Lock>();
      }
      // A write lock needs a descriptor open for writing; a file this run
      // may not write can still be locked for reading, which is all a run
      // that only reads it needs.
      short type = F_WRLCK;
      int fd = open(target.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
      if (fd < 0) {
        type = F_RDLCK;
        fd = open(target.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
      }
      if (fd < 0) {
        return std::make_unique<Lock>();
      }
      int result = TryLock(fd, type);
      if (result == 0 && StillNamed(fd, target)) {
        return std::make_unique<DescriptorLock>(fd);
      }
      close(fd);
      if (result == 0) {
        continue;  // replaced while it was being opened: lock the new file
      }
      if (!IsHeldElsewhere(result)) {
        return std::make_unique<Lock>();
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        *error = "another program kept the file locked";
        return nullptr;
      }
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
  }

  void RemoveLeftovers(const std::string& path) override {
    std::string target;
    std::string ignored;
    if (!FollowLinks(path, &target, &ignored)) {
      return;
    }
    std::string directory = DirectoryOf(target);
    std::string prefix = NameOf(target) + kTemporaryInfix;
    DIR* listing = opendir(directory.c_str());
    if (listing == nullptr) {
      return;
    }
    while (struct dirent* entry = readdir(listing)) {
      std::string name = entry->d_name;
      if (IsTemporaryName(name, prefix)) {
        RemoveIfUnused(directory + "/" + name);
      }
    }
    closedir(listing);
  }

  ReadStatus ReadPieces(const std::string& path, const Consumer& consume,
                        std::string* error) override {
    int fd = -1;
    struct stat status;
    ReadStatus opened = OpenRegular(path, &fd, &status, error);
    if (opened != ReadStatus::kOkay) {
      return opened;
    }
    const std::uint64_t size = static_cast<std::uint64_t>(status.st_size);
    std::vector<char> buffer(kPieceSize);
    ReadStatus result = ReadStatus::kOkay;
    for (;;) {
      ssize_t got = read(fd, buffer.data(), buffer.size());
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got < 0) {
        *error = ErrnoText(errno);
        result = ReadStatus::kFailed;
      }
      if (got <= 0 ||
          !consume(std::string_view(buffer.data(), static_cast<std::size_t>(got)), size)) {
        break;
      }
    }
    close(fd);
    return result;
  }

 private:
  ReplaceStatus Replace(const std::string& path, Condition condition,
                        const Replacement& replacement, std::string* error) override {
    std::string target;
    if (!FollowLinks(path, &target, error)) {
      return ReplaceStatus::kFailed;
    }
    struct stat old;
    bool exists = stat(target.c_str(), &old) == 0;
    if (!exists && errno != ENOENT) {
      *error = ErrnoText(errno);
      return ReplaceStatus::kFailed;
    }
    if ((condition == Condition::kAbsent && exists) ||
        (condition == Condition::kHolds && !exists)) {
      return ReplaceStatus::kChanged;
    }
    if (exists && !S_ISREG(old.st_mode)) {
      *error = "not a regular file";
      return ReplaceStatus::kFailed;
    }
    if (exists && IsReadOnly(target, old)) {
      *error = "file is read-only";
      return ReplaceStatus::kFailed;
    }

    std::string temporary;
    int fd = CreateTemporary(target, &temporary, error);
    if (fd < 0) {
      return ReplaceStatus::kFailed;
    }
    ReplaceStatus result = ReplaceStatus::kFailed;
    if (KeepAttributes(fd, exists ? &old : nullptr, error) &&
        Check(WriteAll(fd, replacement.pieces) && fsync(fd) == 0, error)) {
      result = Commit(temporary, target, condition, replacement, error);
    }
    if (result != ReplaceStatus::kReplaced) {
      unlink(temporary.c_str());
    }
    // Closed only now: until the rename, the lock on it marks the temporary
    // file as in use.
    close(fd);
    if (result == ReplaceStatus::kReplaced) {
      SyncDirectory(DirectoryOf(target));
    }
    return result;
  }

  // The last step: checks the condition, keeps the backup and puts
  // |temporary| in |target|'s place.
  ReplaceStatus Commit(const std::string& temporary, const std::string& target, Condition condition,
                       const Replacement& replacement, std::string* error) {
    static const std::vector<std::string_view> kNone;
    const std::vector<std::string_view>& expected =
        replacement.expected != nullptr ? *replacement.expected : kNone;
    if (condition == Condition::kAbsent) {
      int result = RenameIfAbsent(temporary, target);
      if (result == EEXIST) {
        return ReplaceStatus::kChanged;
      }
      if (result != 0) {
        *error = ErrnoText(result);
        return ReplaceStatus::kFailed;
      }
      return ReplaceStatus::kReplaced;
    }
    if (condition == Condition::kHolds && !Holds(target, expected)) {
      return ReplaceStatus::kChanged;
    }
    std::string backup;
    bool linked = false;
    if (condition == Condition::kHolds && !replacement.backupPath.empty() &&
        !KeepAsBackup(target, replacement.backupPath, expected, &backup, &linked, error)) {
      return ReplaceStatus::kBackupFailed;
    }
    if (!Check(rename(temporary.c_str(), target.c_str()) == 0, error)) {
      // The backup is still the file itself under a second name; make it a
      // file of its own, so that a later edit of the one is not the other's.
      if (linked) {
        std::string ignored;
        WriteFile(backup, expected, &ignored);
      }
      return ReplaceStatus::kFailed;
    }
    if (!backup.empty() && DirectoryOf(backup) != DirectoryOf(target)) {
      SyncDirectory(DirectoryOf(backup));
    }
    return ReplaceStatus::kReplaced;
  }

  // Makes the file at |backupPath| (links followed; its final name goes to
  // |*backup|) hold |expected|, the bytes of |target|. Preferably as a hard
  // link to |target| itself, given the backup's name in one rename: the old
  // file is about to leave |target|'s name and stays whole under the new one.
  // Where links cannot be made (another filesystem, a filesystem without
  // them), the bytes are written as a file of their own.
  bool KeepAsBackup(const std::string& target, const std::string& backupPath,
                    const std::vector<std::string_view>& expected, std::string* backup,
                    bool* linked, std::string* error) {
    if (!FollowLinks(backupPath, backup, error)) {
      return false;
    }
    struct stat old;
    if (stat(backup->c_str(), &old) == 0) {
      if (!S_ISREG(old.st_mode)) {
        *error = S_ISDIR(old.st_mode) ? "is a directory" : "not a regular file";
        return false;
      }
      if (IsReadOnly(*backup, old)) {
        *error = "file is read-only";
        return false;
      }
    }
    std::string name;
    int result = LinkUnderTemporaryName(target, *backup, &name);
    if (result != 0) {
      if (result == EXDEV || result == EPERM || result == EMLINK || result == ENOTSUP ||
          result == ENOSYS) {
        return WriteFile(*backup, expected, error);
      }
      *error = ErrnoText(result);
      return false;
    }
    if (rename(name.c_str(), backup->c_str()) != 0) {
      *error = ErrnoText(errno);
      unlink(name.c_str());
      return false;
    }
    // A backup that already was the same file makes the rename a no-op that
    // leaves the temporary name in place.
    unlink(name.c_str());
    *linked = true;
    return true;
  }

  // Gives |target| a second, temporary name beside |backup|; 0 or the errno.
  static int LinkUnderTemporaryName(const std::string& target, const std::string& backup,
                                    std::string* name) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      *name = backup + kTemporaryInfix + kTemporaryPattern;
      int fd = mkostemp(&(*name)[0], O_CLOEXEC);
      if (fd < 0) {
        return errno;
      }
      // Only the name was wanted: free it for the link.
      close(fd);
      unlink(name->c_str());
      if (link(target.c_str(), name->c_str()) == 0) {
        return 0;
      }
      if (errno != EEXIST) {
        return errno;
      }
    }
    return EEXIST;
  }

  // Root may write anywhere, but a file whose write bits are all cleared was
  // made read-only on purpose and is not to be replaced.
  static bool IsReadOnly(const std::string& path, const struct stat& status) {
    return (status.st_mode & 0222) == 0 || access(path.c_str(), W_OK) != 0;
  }

  // Creates and locks a fresh temporary file beside |target|.
  static int CreateTemporary(const std::string& target, std::string* temporary,
                             std::string* error) {
    for (;;) {
      *temporary = target + kTemporaryInfix + kTemporaryPattern;
      int fd = mkostemp(&(*temporary)[0], O_CLOEXEC);
      if (fd < 0) {
        *error = ErrnoText(errno);
        return -1;
      }
      // Between its creation and this lock, another run may have taken the
      // file for a leftover and deleted it; then make another.
      int result = TryLock(fd, F_WRLCK);
      if ((result == 0 || !IsHeldElsewhere(result)) && StillNamed(fd, *temporary)) {
        return fd;
      }
      close(fd);
    }
  }

  static bool IsTemporaryName(const std::string& name, const std::string& prefix) {
    if (name.size() != prefix.size() + kTemporaryUniqueLength ||
        name.compare(0, prefix.size(), prefix) != 0) {
      return false;
    }
    for (std::size_t i = prefix.size(); i < name.size(); ++i) {
      char c = name[i];
      if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) {
        return false;
      }
    }
    return true;
  }

  // Deletes the temporary file at |path| unless a running write holds it.
  // Where no lock can be taken, nothing tells a leftover from a file in use,
  // and it is kept. A temporary name that is a second link to a file is a
  // backup that a killed run had not finished naming: removing it loses
  // nothing, as the file keeps its other name, and a run still making one
  // holds the update lock that this run's caller holds now.
  static void RemoveIfUnused(const std::string& path) {
    struct stat named;
    if (lstat(path.c_str(), &named) == 0 && S_ISREG(named.st_mode) && named.st_nlink > 1) {
      unlink(path.c_str());
      return;
    }
    int fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
      return;
    }
    struct stat status;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && TryLock(fd, F_WRLCK) == 0 &&
        StillNamed(fd, path)) {
      unlink(path.c_str());
    }
    close(fd);
  }

  // Opens |path| for reading, refusing anything but a regular file.
  static ReadStatus OpenRegular(const std::string& path, int* fd, struct stat* status,
                                std::string* error) {
    // O_NONBLOCK keeps open() from waiting for a writer when the path names
    // a FIFO; anything but a regular file is refused right after.
    *fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (*fd < 0) {
      if (errno == ENOENT) {
        return ReadStatus::kNotFound;
      }
      *error = ErrnoText(errno);
      return ReadStatus::kFailed;
    }
    if (fstat(*fd, status) != 0) {
      *error = ErrnoText(errno);
    } else if (!S_ISREG(status->st_mode)) {
      *error = S_ISDIR(status->st_mode) ? "is a directory" : "not a regular file";
    } else {
      return ReadStatus::kOkay;
    }
    close(*fd);
    return ReadStatus::kFailed;
  }

  // Gives the temporary file the permission bits and owner of the file it
  // replaces, or the usual bits of a new file.
  static bool KeepAttributes(int fd, const struct stat* old, std::string* error) {
    if (old == nullptr) {
      return Check(fchmod(fd, NewFileMode()) == 0, error);
    }
    if ((old->st_uid != geteuid() || old->st_gid != getegid()) &&
        fchown(fd, old->st_uid, old->st_gid) != 0) {
      *error = "cannot keep the file's owner: " + ErrnoText(errno);
      return false;
    }
    return Check(fchmod(fd, old->st_mode & 07777) == 0, error);
  }

  // Records errno as the reason when |ok| is false.
  static bool Check(bool ok, std::string* error) {
    if (!ok && error->empty()) {
      *error = ErrnoText(errno);
    }
    return ok;
  }
};

}  // namespace

Disk& SystemDisk() {
  static PosixDisk disk;
  return disk;
}
