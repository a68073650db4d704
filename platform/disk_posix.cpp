#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/disk.h"

// The primitives of the update on POSIX.
//
// A folder's update lock is an open-file-description lock (F_OFD_SETLK) on
// its lock file: NFS servers see it, so runs on two clients of one share
// take turns, and a folder that may be written and searched but not listed
// allows it. The lock file is made readable and writable by everyone, so
// that one made by a run of another user never keeps out a run that may
// edit the rules file. The file is held open for reading only, with a read
// lease (F_SETLEASE): the kernel refuses the lease while any process has the
// file open for writing, so a run waits for an editor that saves in place,
// and it breaks the lease when a process opens the file for writing later,
// which StillHolds then reports. Where no lease can be had (a file of another
// owner without CAP_LEASE, a filesystem without leases), the comparison of
// the bytes alone tells. The descriptor also takes the read locks that
// flock() and fcntl() users (flock(1), crudini) take: such a tool's write
// lock makes the run wait, and its later lock waits for the run. None of the
// run's own descriptors of the file is ever open for writing, and every lock
// goes when the process dies, however it dies.

namespace {

using Result = Disk::Result;

std::string ErrnoText(int error) {
  return std::strerror(error);
}

Result Failed(std::string* error) {
  *error = ErrnoText(errno);
  return Result::kFailed;
}

const char* Here(const std::string& folder) {
  return folder.empty() ? "." : folder.c_str();
}

// The folders this process holds the update lock of, as the update spells
// them, with a descriptor of each, taken when the lock was.
std::map<std::string, int>& LockedFolders() {
  static std::map<std::string, int> folders;
  return folders;
}

// Where the calls find |path|: within a folder this process holds the
// update lock of, by its name relative to that folder's descriptor, so that
// a folder swapped for a link meanwhile cannot move the run into another
// one; elsewhere by the path.
struct Place {
  int folder;
  std::string name;
  const char* c_str() const { return name.c_str(); }
};
Place At(const std::string& path) {
  std::string folder = FolderOf(path);
  auto locked = LockedFolders().find(folder);
  if (locked == LockedFolders().end()) {
    return {AT_FDCWD, Here(path)};
  }
  std::string name = path.substr(folder.size());
  return {locked->second, name.empty() ? "." : name};
}

// A descriptor the caller holds.
class Descriptor : public Disk::Handle {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() override {
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  int fd() const { return fd_; }
  // No longer this object's to close.
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  bool leased = false;

 private:
  int fd_;
};

// A folder's update lock: its lock file, locked, and the folder's descriptor,
// which the calls go through while it is held.
class FolderLock : public Descriptor {
 public:
  FolderLock(int lockFile, int folder, std::string spelled)
      : Descriptor(lockFile), spelled_(std::move(spelled)) {
    LockedFolders()[spelled_] = folder;
  }
  ~FolderLock() override {
    close(LockedFolders()[spelled_]);
    LockedFolders().erase(spelled_);
  }

 private:
  std::string spelled_;
};

int FdOf(Disk::Handle& handle) {
  return static_cast<Descriptor&>(handle).fd();
}

bool SameInode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool StillNamed(int fd, const std::string& path) {
  struct stat open, named;
  Place at = At(path);
  return fstat(fd, &open) == 0 &&
         fstatat(at.folder, at.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && SameInode(open, named);
}

// Root may write anywhere, but a file whose write bits are all cleared was
// made read-only on purpose and is not to be replaced.
bool IsReadOnly(const std::string& path, const struct stat& status) {
  Place at = At(path);
  return (status.st_mode & 0222) == 0 || faccessat(at.folder, at.c_str(), W_OK, 0) != 0;
}

// Takes an open-file-description lock of |type| on the whole file: false
// with errno where another holds a conflicting one (EAGAIN, EACCES), or the
// filesystem has none. (fcntl locks of the classic kind would go whenever
// any descriptor of the file is closed, which this program does.)
bool LockWhole(int fd, short type) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// Whether another program holds the file open as |fd| locked for writing,
// with flock() or fcntl(); takes the read locks that keep such a lock out.
bool LockedElsewhere(int fd) {
  if (flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    return true;
  }
  return !LockWhole(fd, F_RDLCK) && (errno == EAGAIN || errno == EACCES);
}

// Writes every piece whole; false with errno, ENOSPC for a write that
// wrote nothing of a piece (which, tried again, would never end).
bool WriteAll(int fd, const std::vector<std::string_view>& pieces) {
  for (std::string_view piece : pieces) {
    while (!piece.empty()) {
      ssize_t written = write(fd, piece.data(), piece.size());
      if (written == 0) {
        errno = ENOSPC;
      }
      if (written <= 0 && !(written < 0 && errno == EINTR)) {
        return false;
      }
      piece.remove_prefix(written > 0 ? static_cast<std::size_t>(written) : 0);
    }
  }
  return true;
}

// Gives the file open as |fd| the extended attributes (POSIX ACLs among
// them), owner and permission bits of the file open as |from|, read from the
// open file, never by a name that someone could point elsewhere meanwhile.
// An attribute that cannot be carried over fails it, so that no new file is
// ever more open than the old one. (Attributes the runner cannot see, such
// as trusted.* for a user other than root, cannot be carried over, nor known.)
bool KeepAttributes(int fd, int from, std::string* error) {
  struct stat old, fresh;
  if (fstat(from, &old) != 0 || fstat(fd, &fresh) != 0) {
    *error = ErrnoText(errno);
    return false;
  }
  // An ACL the folder gave the new file by default is not the old file's.
  if (fremovexattr(fd, "system.posix_acl_access") != 0 && errno != ENODATA && errno != ENOTSUP) {
    *error = "cannot clear the inherited ACL: " + ErrnoText(errno);
    return false;
  }
  ssize_t size = flistxattr(from, nullptr, 0);
  std::vector<char> names(size > 0 ? static_cast<std::size_t>(size) : 0);
  if (size > 0) {
    size = flistxattr(from, names.data(), names.size());
  }
  if (size < 0 && errno != ENOTSUP) {
    *error = "cannot list extended attributes: " + ErrnoText(errno);
    return false;
  }
  for (std::size_t at = 0; size > 0 && at < static_cast<std::size_t>(size);) {
    const char* name = &names[at];
    at += std::strlen(name) + 1;
    ssize_t length = fgetxattr(from, name, nullptr, 0);
    std::vector<char> value(length > 0 ? static_cast<std::size_t>(length) : 0);
    if (length > 0) {
      length = fgetxattr(from, name, value.data(), value.size());
    }
    if (length < 0 || fsetxattr(fd, name, value.data(), static_cast<std::size_t>(length), 0) != 0) {
      *error = std::string("cannot keep extended attribute ") + name + ": " + ErrnoText(errno);
      return false;
    }
  }
  // Compared with what the new file got, not with the run's own ids: a
  // set-group-ID folder gives new files its group.
  if ((old.st_uid != fresh.st_uid || old.st_gid != fresh.st_gid) &&
      fchown(fd, old.st_uid, old.st_gid) != 0) {
    *error = "cannot keep the file's owner: " + ErrnoText(errno);
    return false;
  }
  if (fchmod(fd, old.st_mode & 07777) != 0) {
    *error = ErrnoText(errno);
    return false;
  }
  return true;
}

// Renames |from| to |to| only where nothing is there; false with errno.
bool RenameNoReplace(const Place& from, const Place& to) {
#ifdef RENAME_NOREPLACE
  if (renameat2(from.folder, from.c_str(), to.folder, to.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
    return false;
  }
#endif
  // A hard link is never made over a name that is taken either.
  if (linkat(from.folder, from.c_str(), to.folder, to.c_str(), 0) != 0) {
    return false;
  }
  unlinkat(from.folder, from.c_str(), 0);
  return true;
}

void SyncFolder(const std::string& folder) {
  Place at = At(folder);
  int fd = openat(at.folder, at.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    // Some filesystems cannot sync a folder; the rename has happened either
    // way, so there is nothing to undo.
    fsync(fd);
    close(fd);
  }
}

class PosixDisk : public Disk {
 public:
  Result FinalPath(const std::string& path, std::string* final, std::string* error) override {
    std::string current = path;
    for (int depth = 0; depth < 40; ++depth) {
      struct stat status;
      if (lstat(current.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
        *final = current;
        return Result::kOkay;
      }
      // Another user's link would let that user decide which file a run as
      // root writes.
      if (status.st_uid != geteuid() && status.st_uid != 0) {
        *error = disk_error::kForeignLink;
        return Result::kFailed;
      }
      std::string link(static_cast<std::string::size_type>(status.st_size) + 256, '\0');
      ssize_t length = readlink(current.c_str(), &link[0], link.size());
      if (length < 0) {
        return Failed(error);
      }
      link.resize(static_cast<std::string::size_type>(length));
      current = (!link.empty() && link[0] == '/') ? link : FolderOf(current) + link;
    }
    *error = ErrnoText(ELOOP);
    return Result::kFailed;
  }

  Result LockFolder(const std::string& folder, std::unique_ptr<Handle>* lock,
                    std::string* error) override {
    // The folder as it is now; whatever its path names later, the run works
    // in this one.
    int dir = open(Here(folder), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
      // No folder: no file, and none can be made.
      return errno == ENOENT || errno == ENOTDIR ? Result::kOkay : Failed(error);
    }
    Descriptor folderHeld(dir);
    int fd = openat(dir, kLockFileName, O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
      fd = openat(dir, kLockFileName, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
      // Past the umask: every user who may edit the rules file may lock it.
      if (fd >= 0) {
        fchmod(fd, 0666);
      } else if (errno == EEXIST) {
        *error = disk_error::kLockedElsewhere;  // made meanwhile: the next try opens it
        return Result::kBusy;
      }
    }
    if (fd < 0) {
      int code = errno;
      if (code == ELOOP) {
        *error = disk_error::kLockFileIsLink;
        return Result::kFailed;
      }
      // A folder that cannot be written at all: the run can change nothing
      // in it either.
      if (faccessat(dir, ".", W_OK, 0) != 0 && (errno == EACCES || errno == EROFS)) {
        return Result::kOkay;
      }
      *error = ErrnoText(code);
      return Result::kBusy;
    }
    Descriptor lockFile(fd);
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
      *error = disk_error::kNotRegular;
      return Result::kBusy;
    }
    if (!LockWhole(fd, F_WRLCK)) {
      if (errno != EAGAIN && errno != EACCES) {
        return Failed(error);
      }
      *error = disk_error::kLockedElsewhere;
      return Result::kBusy;
    }
    *lock = std::make_unique<FolderLock>(lockFile.Release(), folderHeld.Release(), folder);
    return Result::kOkay;
  }

  Result OpenFile(const std::string& path, std::unique_ptr<Handle>* file, Entry* entry,
                  std::string* error) override {
    // O_NONBLOCK keeps open() from waiting for a FIFO's writer, or a lease.
    Place at = At(path);
    int fd =
        openat(at.folder, at.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT) {
        return Result::kNotFound;
      }
      // Another program's write lease; or a link laid since it was followed.
      if (errno == EWOULDBLOCK || errno == ELOOP) {
        *error = errno == ELOOP ? disk_error::kLockedElsewhere : disk_error::kOpenForWriting;
        return Result::kBusy;
      }
      return Failed(error);
    }
    auto held = std::make_unique<Descriptor>(fd);
    struct stat status;
    if (fstat(fd, &status) != 0) {
      return Failed(error);
    }
    if (!S_ISREG(status.st_mode)) {
      *error = S_ISDIR(status.st_mode) ? disk_error::kIsDirectory : disk_error::kNotRegular;
      return Result::kFailed;
    }
    entry->kind = Kind::kFile;
    entry->readOnly = IsReadOnly(path, status);
    entry->size = static_cast<std::uint64_t>(status.st_size);
    // The kernel tells a lease holder of a break with SIGIO, whose default
    // action ends the process; a run asks instead (StillHolds).
    static const bool ignored = signal(SIGIO, SIG_IGN) != SIG_ERR;
    (void)ignored;
    if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
      held->leased = true;
    } else if (errno == EAGAIN) {
      *error = disk_error::kOpenForWriting;
      return Result::kBusy;
    }
    if (LockedElsewhere(fd)) {
      *error = disk_error::kLockedElsewhere;
      return Result::kBusy;
    }
    if (!StillNamed(fd, path)) {
      *error = disk_error::kLockedElsewhere;  // replaced while being opened: lock the new one
      return Result::kBusy;
    }
    *file = std::move(held);
    return Result::kOkay;
  }

  bool StillHolds(Handle& file, const std::string& path) override {
    auto& held = static_cast<Descriptor&>(file);
    return (!held.leased || fcntl(held.fd(), F_GETLEASE) == F_RDLCK) && StillNamed(held.fd(), path);
  }

  bool ReadAt(Handle& file, std::uint64_t offset, char* into, std::size_t size, std::size_t* got,
              std::string* error) override {
    for (;;) {
      ssize_t read = pread(FdOf(file), into, size, static_cast<off_t>(offset));
      if (read >= 0) {
        *got = static_cast<std::size_t>(read);
        return true;
      }
      if (errno != EINTR) {
        *error = ErrnoText(errno);
        return false;
      }
    }
  }

  Result Look(const std::string& path, Entry* entry, std::string* error) override {
    struct stat status;
    *entry = Entry();
    Place at = At(path);
    if (fstatat(at.folder, at.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      return errno == ENOENT ? Result::kOkay : Failed(error);
    }
    entry->kind = S_ISREG(status.st_mode)   ? Kind::kFile
                  : S_ISLNK(status.st_mode) ? Kind::kLink
                  : S_ISDIR(status.st_mode) ? Kind::kDirectory
                                            : Kind::kOther;
    entry->size = static_cast<std::uint64_t>(status.st_size);
    return Result::kOkay;
  }

  bool SameFile(const std::string& a, const std::string& b) override {
    struct stat first, second;
    Place atA = At(a);
    Place atB = At(b);
    return fstatat(atA.folder, atA.c_str(), &first, 0) == 0 &&
           fstatat(atB.folder, atB.c_str(), &second, 0) == 0 && SameInode(first, second);
  }

  Result WriteNew(const std::string& path, const std::vector<std::string_view>& bytes, Handle* like,
                  std::string* error) override {
    // Private until it has the old file's attributes.
    Place at = At(path);
    int fd = openat(at.folder, at.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    like != nullptr ? 0600 : 0666);
    if (fd < 0) {
      return errno == EEXIST ? Result::kExists : Failed(error);
    }
    bool written = like == nullptr || KeepAttributes(fd, FdOf(*like), error);
    if (written && !(WriteAll(fd, bytes) && fsync(fd) == 0)) {
      *error = ErrnoText(errno);
      written = false;
    }
    // A filesystem that stores at the close (FUSE mounts of object stores)
    // tells of a failed store only there.
    if (close(fd) != 0 && written) {
      *error = ErrnoText(errno);
      written = false;
    }
    return written ? Result::kOkay : Result::kFailed;
  }

  Result Rename(const std::string& from, const std::string& to, bool replace,
                std::string* error) override {
    Place source = At(from);
    Place target = At(to);
    if (replace ? renameat(source.folder, source.c_str(), target.folder, target.c_str()) != 0
                : !RenameNoReplace(source, target)) {
      return errno == EEXIST && !replace ? Result::kExists : Failed(error);
    }
    SyncFolder(FolderOf(to));
    return Result::kOkay;
  }

  bool Remove(const std::string& path) override {
    Place at = At(path);
    return unlinkat(at.folder, at.c_str(), 0) == 0;
  }

  std::vector<std::string> List(const std::string& folder, std::string_view prefix) override {
    std::vector<std::string> names;
    Place at = At(folder);
    int fd = openat(at.folder, at.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* listing = fd < 0 ? nullptr : fdopendir(fd);
    if (listing == nullptr && fd >= 0) {
      close(fd);
    }
    while (listing != nullptr) {
      struct dirent* entry = readdir(listing);
      if (entry == nullptr) {
        closedir(listing);
        break;
      }
      std::string name = entry->d_name;
      struct stat status;
      if (name.compare(0, prefix.size(), prefix) == 0 &&
          fstatat(dirfd(listing), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISREG(status.st_mode)) {
        names.push_back(name);
      }
    }
    return names;
  }
};

}  // namespace

Disk& SystemDisk() {
  static PosixDisk disk;
  return disk;
}
