#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/disk.h"

// Replacing a file, the POSIX way:
//
//   1. Follow symbolic links to the file that is really meant, so that a link
//      the user made keeps pointing at the file after the update; a link that
//      belongs to another user (not root) is not followed.
//   2. Write the new bytes to "<name>.autoexp-setup-XXXXXX" in the same
//      directory (same filesystem, so the rename below cannot turn into a copy),
//      give it the old file's extended attributes, owner and permission bits,
//      and fsync it. The writer holds a lock on that temporary file until it
//      is renamed or removed; a temporary file that nobody holds locked was
//      left by a killed run, and the next run deletes it.
//   3. Check what the caller expects: the old bytes, read once more, and the
//      update lock still kept; or no file, which the rename in step 4 then
//      refuses to replace.
//   4. rename() it over the old name (ReplaceKeepingBackup when a backup is
//      asked for): the one step that makes the new bytes visible, atomic for
//      every reader and across a crash.
//   5. fsync the directory so the rename itself is on disk.
//
// If anything before step 4 fails, the temporary file is removed and the old
// file has not been touched.
//
// The update lock is a read lease (F_SETLEASE) and a flock() on one
// descriptor, open for reading only. flock() keeps other runs out. The lease
// is refused while any process has the file open for writing, so a run waits
// for an editor that saves in place, and the kernel breaks it when a process
// opens the file for writing later, which Kept() then reports. The run's own
// descriptors count too: none of them is ever open for writing. Where no
// lease can be had (a file of another owner without CAP_LEASE, a filesystem
// without leases), an open-file-description lock (F_OFD_SETLK) on a
// descriptor open for writing takes its place, as tools like crudini lock.
// Every one of them goes when the process dies, however it dies.

namespace {

constexpr char kTemporaryInfix[] = ".autoexp-setup-";
constexpr char kTemporaryPattern[] = "XXXXXX";
constexpr std::size_t kTemporaryUniqueLength = sizeof kTemporaryPattern - 1;

// The size of the pieces ReadPieces hands on: large enough for few system
// calls, small enough to stay in the processor's cache.
constexpr std::size_t kPieceSize = 128 * 1024;

std::string ErrnoText(int error) {
  return std::strerror(error);
}

// Records errno as the reason when |ok| is false.
bool Check(bool ok, std::string* error) {
  if (!ok && error->empty()) {
    *error = ErrnoText(errno);
  }
  return ok;
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
// A link that points nowhere gives the path it points to. Only a link that
// belongs to the user who runs the program or to root is followed: another
// user's link would let that user decide which file a run as root writes.
bool FollowLinks(const std::string& path, std::string* target, std::string* error) {
  std::string current = path;
  for (int depth = 0; depth < 40; ++depth) {
    struct stat status;
    if (lstat(current.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
      *target = current;
      return true;
    }
    if (status.st_uid != geteuid() && status.st_uid != 0) {
      *error = disk_error::kForeignLink;
      return false;
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

// Opens the file that FollowLinks found, never a link put there since, and
// never waiting: O_NONBLOCK keeps open() from waiting for a writer when the
// path names a FIFO.
int OpenFound(const std::string& target, int access) {
  return open(target.c_str(), access | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether |path| still names the file open as |fd|.
bool StillNamed(int fd, const std::string& path) {
  struct stat open, named;
  return fstat(fd, &open) == 0 && lstat(path.c_str(), &named) == 0 && SameFile(open, named);
}

// Tries to take an open-file-description lock on the whole file open as |fd|,
// without waiting. Returns 0 or the errno: EAGAIN (or EACCES) while someone
// else holds a conflicting lock, ENOLCK, EINVAL and the like where the
// filesystem has no such locks.
int TryOfdLock(int fd, short type) {
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
  return error == EAGAIN || error == EACCES || error == EWOULDBLOCK;
}

// The kernel tells a lease holder of a break with SIGIO, whose default action
// ends the process; a run asks instead (Kept()).
void IgnoreLeaseBreakSignal() {
  static const bool ignored = signal(SIGIO, SIG_IGN) != SIG_ERR;
  (void)ignored;
}

class FileLock : public Disk::Lock {
 public:
  explicit FileLock(int reader) : reader_(reader) {}
  ~FileLock() override {
    if (writer_ >= 0) {
      close(writer_);
    }
    close(reader_);
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  bool Kept() const override { return !leased_ || fcntl(reader_, F_GETLEASE) == F_RDLCK; }

  int reader() const { return reader_; }
  void set_leased() { leased_ = true; }
  void set_writer(int writer) { writer_ = writer; }

 private:
  int reader_;       // read only: the flock() and the lease
  int writer_ = -1;  // where no lease can be had: the OFD lock
  bool leased_ = false;
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

// Root may write anywhere, but a file whose write bits are all cleared was
// made read-only on purpose and is not to be replaced.
bool IsReadOnly(const std::string& path, const struct stat& status) {
  return (status.st_mode & 0222) == 0 || access(path.c_str(), W_OK) != 0;
}

std::string NotAFile(const struct stat& status) {
  return S_ISDIR(status.st_mode) ? disk_error::kIsDirectory : disk_error::kNotRegular;
}

// A temporary file of a run, "<name>.autoexp-setup-XXXXXX" beside |name|.
// Removed when it goes out of scope unless it has taken its place; its
// descriptor, whose lock marks it as in use, is closed only after that.
struct Temporary {
  std::string path;
  int fd = -1;
  bool placed = false;

  ~Temporary() {
    if (!placed && !path.empty()) {
      unlink(path.c_str());
    }
    if (fd >= 0) {
      close(fd);
    }
  }

  bool Create(const std::string& name, std::string* error) {
    for (;;) {
      path = name + kTemporaryInfix + kTemporaryPattern;
      fd = mkostemp(&path[0], O_CLOEXEC);
      if (fd < 0) {
        *error = ErrnoText(errno);
        path.clear();
        return false;
      }
      // Between its creation and this lock, another run may have taken the
      // file for a leftover and deleted it; then make another.
      int result = TryOfdLock(fd, F_WRLCK);
      if ((result == 0 || !IsHeldElsewhere(result)) && StillNamed(fd, path)) {
        return true;
      }
      close(fd);
      fd = -1;
    }
  }
};

bool IsTemporaryName(const std::string& name, const std::string& prefix) {
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

// Gives the file (or link: never followed) at |from| a second name, a fresh
// temporary one beside |beside|, in |*name|. Returns 0 or the errno.
int LinkUnderTemporaryName(const std::string& from, const std::string& beside, std::string* name) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    *name = beside + kTemporaryInfix + kTemporaryPattern;
    int fd = mkostemp(&(*name)[0], O_CLOEXEC);
    if (fd < 0) {
      return errno;
    }
    // Only the name was wanted: free it for the link.
    close(fd);
    unlink(name->c_str());
    if (linkat(AT_FDCWD, from.c_str(), AT_FDCWD, name->c_str(), 0) == 0) {
      return 0;
    }
    if (errno != EEXIST) {
      return errno;
    }
  }
  return EEXIST;
}

// Gives the file open as |fd| the extended attributes (POSIX ACLs among
// them), owner and permission bits of the file at |from|, or, with |old|
// null, the usual bits of a new file. An attribute that cannot be carried
// over fails it, so that no replacement is ever more open than the file.
bool KeepAttributes(int fd, const std::string& from, const struct stat* old, std::string* error) {
  if (old == nullptr) {
    return Check(fchmod(fd, NewFileMode()) == 0, error);
  }
  // An ACL the directory gave the new file by default is not the old file's.
  if (fremovexattr(fd, "system.posix_acl_access") != 0 && errno != ENODATA && errno != ENOTSUP) {
    *error = "cannot clear the inherited ACL: " + ErrnoText(errno);
    return false;
  }
  ssize_t size = listxattr(from.c_str(), nullptr, 0);
  std::vector<char> names(size > 0 ? static_cast<std::size_t>(size) : 0);
  if (size > 0) {
    size = listxattr(from.c_str(), names.data(), names.size());
  }
  if (size < 0 && errno != ENOTSUP) {
    *error = "cannot list extended attributes: " + ErrnoText(errno);
    return false;
  }
  for (std::size_t at = 0; size > 0 && at < static_cast<std::size_t>(size);) {
    const char* name = &names[at];
    at += std::strlen(name) + 1;
    ssize_t length = getxattr(from.c_str(), name, nullptr, 0);
    std::vector<char> value(length > 0 ? static_cast<std::size_t>(length) : 0);
    if (length > 0) {
      length = getxattr(from.c_str(), name, value.data(), value.size());
    }
    if (length < 0 || fsetxattr(fd, name, value.data(), static_cast<std::size_t>(length), 0) != 0) {
      *error = std::string("cannot keep extended attribute ") + name + ": " + ErrnoText(errno);
      return false;
    }
  }
  if ((old->st_uid != geteuid() || old->st_gid != getegid()) &&
      fchown(fd, old->st_uid, old->st_gid) != 0) {
    *error = "cannot keep the file's owner: " + ErrnoText(errno);
    return false;
  }
  return Check(fchmod(fd, old->st_mode & 07777) == 0, error);
}

// Keeps the old file at |target| as the backup at |backupPath| and, unless
// |temporary| is null, puts |temporary| in |target|'s place:
//
//   1. B: the old file gets a second name, a temporary one beside the
//      backup's name. A hard link, so the backup is the old file itself, with
//      its permission bits, owner and extended attributes, and costs no copy;
//      where no link can be made (another filesystem, one without links), B is
//      a copy of |expected| given the old file's attributes.
//   2. O: whatever stands at the backup's name gets a second name too (a link
//      to it, never through it; where none can be made, it is moved there).
//   3. rename(B, backupPath): the new backup takes the name. What stood there
//      is replaced, never written through.
//   4. rename(temporary, target). If that fails, rename(O, backupPath) puts
//      the older backup back (with none, the new one goes), so a failed run
//      leaves the file and the backup as they were.
//   5. O is removed.
//
// A run killed part-way leaves B or O under its temporary name, each a second
// link to a file that keeps another name, or a file nobody holds locked; the
// next run removes it (RemoveIfUnused).
Disk::ReplaceStatus ReplaceKeepingBackup(const std::string& target, Temporary* temporary,
                                         const std::string& backupPath,
                                         const std::vector<std::string_view>& expected,
                                         const struct stat& old, std::string* error) {
  using Status = Disk::ReplaceStatus;
  struct stat standing;
  bool standingThere = lstat(backupPath.c_str(), &standing) == 0;
  if (!standingThere && errno != ENOENT) {
    *error = ErrnoText(errno);
    return Status::kBackupFailed;
  }
  if (standingThere && !S_ISREG(standing.st_mode) && !S_ISLNK(standing.st_mode)) {
    *error = NotAFile(standing);
    return Status::kBackupFailed;
  }
  if (standingThere && S_ISREG(standing.st_mode) && IsReadOnly(backupPath, standing)) {
    *error = disk_error::kReadOnly;
    return Status::kBackupFailed;
  }

  Temporary b;  // step 1
  int linked = LinkUnderTemporaryName(target, backupPath, &b.path);
  if (linked != 0) {
    b.path.clear();
    bool noLinkHere = linked == EXDEV || linked == EPERM || linked == EMLINK || linked == ENOTSUP ||
                      linked == ENOSYS;
    if (!noLinkHere) {
      *error = ErrnoText(linked);
      return Status::kBackupFailed;
    }
    if (!b.Create(backupPath, error) || !KeepAttributes(b.fd, target, &old, error) ||
        !Check(WriteAll(b.fd, expected) && fsync(b.fd) == 0, error)) {
      return Status::kBackupFailed;
    }
  }

  Temporary o;  // step 2
  bool movedAside = false;
  if (standingThere && LinkUnderTemporaryName(backupPath, backupPath, &o.path) != 0) {
    o.path.clear();
    if (!o.Create(backupPath, error) ||
        !Check(rename(backupPath.c_str(), o.path.c_str()) == 0, error)) {
      return Status::kBackupFailed;
    }
    movedAside = true;
  }
  auto restore = [&] {
    if (!o.path.empty()) {
      o.placed = rename(o.path.c_str(), backupPath.c_str()) == 0;
    } else {
      unlink(backupPath.c_str());
    }
  };

  if (!Check(rename(b.path.c_str(), backupPath.c_str()) == 0, error)) {  // step 3
    if (movedAside) {
      restore();
    }
    return Status::kBackupFailed;
  }
  b.placed = true;
  if (temporary != nullptr && !Check(rename(temporary->path.c_str(), target.c_str()) == 0, error)) {
    restore();  // step 4 failed
    return Status::kFailed;
  }
  if (temporary != nullptr) {
    temporary->placed = true;
  }
  if (DirectoryOf(backupPath) != DirectoryOf(target)) {
    SyncDirectory(DirectoryOf(backupPath));
  }
  return Status::kReplaced;  // step 5: o goes as it leaves scope
}

// Deletes the temporary file at |path| unless a running update holds it.
// Where no lock can be taken, nothing tells a leftover from a file in use,
// and it is kept. A second link to a file, or a link, under a temporary name
// is a backup step that a killed run had not finished: removing it loses
// nothing, as the file keeps its other name, and a run still making one holds
// the update lock that this run's caller holds now.
void RemoveIfUnused(const std::string& path) {
  struct stat named;
  if (lstat(path.c_str(), &named) != 0) {
    return;
  }
  if (S_ISLNK(named.st_mode) || (S_ISREG(named.st_mode) && named.st_nlink > 1)) {
    unlink(path.c_str());
    return;
  }
  int fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return;
  }
  struct stat status;
  if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && TryOfdLock(fd, F_WRLCK) == 0 &&
      StillNamed(fd, path)) {
    unlink(path.c_str());
  }
  close(fd);
}

class PosixDisk : public Disk {
 public:
  LockStatus TryLock(const std::string& path, std::unique_ptr<Lock>* lock,
                     std::string* error) override {
    std::string target;
    if (!FollowLinks(path, &target, error)) {
      return LockStatus::kFailed;
    }
    int reader = OpenFound(target, O_RDONLY);
    if (reader < 0) {
      *lock = std::make_unique<Lock>();  // nothing there yet, or nothing to lock
      return LockStatus::kLocked;
    }
    auto held = std::make_unique<FileLock>(reader);
    struct stat status;
    if (fstat(reader, &status) != 0 || !S_ISREG(status.st_mode)) {
      *lock = std::make_unique<Lock>();
      return LockStatus::kLocked;
    }
    if (flock(reader, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
      *error = disk_error::kLockedElsewhere;
      return LockStatus::kBusy;
    }
    IgnoreLeaseBreakSignal();
    if (fcntl(reader, F_SETLEASE, F_RDLCK) == 0) {
      held->set_leased();
    } else if (errno == EAGAIN) {
      *error = disk_error::kOpenForWriting;
      return LockStatus::kBusy;
    } else {
      // No lease here. A write lock needs a descriptor open for writing; a
      // file this run may not write can still be locked for reading, which
      // is all a run that only reads it needs.
      short type = F_WRLCK;
      int writer = OpenFound(target, O_RDWR);
      if (writer < 0) {
        type = F_RDLCK;
        writer = OpenFound(target, O_RDONLY);
      }
      if (writer >= 0) {
        held->set_writer(writer);
        if (IsHeldElsewhere(TryOfdLock(writer, type))) {
          *error = disk_error::kLockedElsewhere;
          return LockStatus::kBusy;
        }
      }
    }
    if (!StillNamed(reader, target)) {
      *error = disk_error::kLockedElsewhere;  // replaced while being opened: lock the new file
      return LockStatus::kBusy;
    }
    *lock = std::move(held);
    return LockStatus::kLocked;
  }

  void RemoveLeftovers(const std::string& path) override {
    // Beside the name itself (a backup's steps) and beside the file it names.
    std::vector<std::string> places = {path};
    std::string target;
    std::string ignored;
    if (FollowLinks(path, &target, &ignored) && target != path) {
      places.push_back(target);
    }
    for (const std::string& place : places) {
      std::string directory = DirectoryOf(place);
      std::string prefix = NameOf(place) + kTemporaryInfix;
      DIR* listing = opendir(directory.c_str());
      if (listing == nullptr) {
        continue;
      }
      while (struct dirent* entry = readdir(listing)) {
        std::string name = entry->d_name;
        if (IsTemporaryName(name, prefix)) {
          RemoveIfUnused(directory + "/" + name);
        }
      }
      closedir(listing);
    }
  }

  ReadStatus ReadPieces(const std::string& path, const Consumer& consume,
                        std::string* error) override {
    std::string target;
    if (!FollowLinks(path, &target, error)) {
      return ReadStatus::kFailed;
    }
    // Anything but a regular file is refused right after the open.
    int fd = OpenFound(target, O_RDONLY);
    if (fd < 0) {
      if (errno == ENOENT) {
        return ReadStatus::kNotFound;
      }
      *error = ErrnoText(errno);
      return ReadStatus::kFailed;
    }
    struct stat status;
    bool known = fstat(fd, &status) == 0;
    if (!known || !S_ISREG(status.st_mode)) {
      *error = known ? NotAFile(status) : ErrnoText(errno);
      close(fd);
      return ReadStatus::kFailed;
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

  ReplaceStatus ReplaceFile(const std::string& path, const Replacement& replacement,
                            std::string* error) override {
    std::string target;
    if (!FollowLinks(path, &target, error)) {
      return ReplaceStatus::kFailed;
    }
    struct stat old;
    bool exists = lstat(target.c_str(), &old) == 0;
    if (!exists && errno != ENOENT) {
      *error = ErrnoText(errno);
      return ReplaceStatus::kFailed;
    }
    if ((replacement.expect == Expect::kNoFile && exists) ||
        (replacement.expect == Expect::kTheseBytes && !exists)) {
      return ReplaceStatus::kChanged;
    }
    if (exists && !S_ISREG(old.st_mode)) {
      *error = NotAFile(old);
      return ReplaceStatus::kFailed;
    }
    if (exists && !replacement.keepBytes && IsReadOnly(target, old)) {
      *error = disk_error::kReadOnly;
      return ReplaceStatus::kFailed;
    }

    Temporary temporary;
    if (!replacement.keepBytes &&
        (!temporary.Create(target, error) ||
         !KeepAttributes(temporary.fd, target, exists ? &old : nullptr, error) ||
         !Check(WriteAll(temporary.fd, replacement.pieces) && fsync(temporary.fd) == 0, error))) {
      return ReplaceStatus::kFailed;
    }
    if (replacement.expect == Expect::kNoFile) {
      int result = RenameIfAbsent(temporary.path, target);
      if (result == EEXIST) {
        return ReplaceStatus::kChanged;
      }
      if (result != 0) {
        *error = ErrnoText(result);
        return ReplaceStatus::kFailed;
      }
      temporary.placed = true;
      SyncDirectory(DirectoryOf(target));
      return ReplaceStatus::kReplaced;
    }
    // The lock is asked last, right before the rename: a writer that opens
    // the file later waits until the lock goes, and then writes to the file
    // replaced. (That moment is the one this protocol cannot close.)
    if (replacement.expect == Expect::kTheseBytes &&
        (!FileHolds(*this, target, *replacement.expected) ||
         (replacement.lock != nullptr && !replacement.lock->Kept()))) {
      return ReplaceStatus::kChanged;
    }
    Temporary* placed = replacement.keepBytes ? nullptr : &temporary;
    if (replacement.expect == Expect::kTheseBytes && !replacement.backupPath.empty()) {
      ReplaceStatus status = ReplaceKeepingBackup(target, placed, replacement.backupPath,
                                                  *replacement.expected, old, error);
      if (status == ReplaceStatus::kReplaced && placed != nullptr) {
        SyncDirectory(DirectoryOf(target));
      }
      return status;
    }
    if (placed == nullptr) {
      return ReplaceStatus::kReplaced;
    }
    if (!Check(rename(temporary.path.c_str(), target.c_str()) == 0, error)) {
      return ReplaceStatus::kFailed;
    }
    temporary.placed = true;
    SyncDirectory(DirectoryOf(target));
    return ReplaceStatus::kReplaced;
  }
};

}  // namespace

Disk& SystemDisk() {
  static PosixDisk disk;
  return disk;
}
