#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/disk.h"

// Replacing a file, the POSIX way:
//
//   1. The lock (TryLock) follows symbolic links to the file that is really
//      meant, so that a link the user made keeps pointing at the file after
//      the update; a link that belongs to another user (not root) is not
//      followed. It holds that file open: reading goes through it, and its
//      attributes are read from it.
//   2. Write the new bytes to "<name>.autoexp-setup-XXXXXX" in the same
//      directory (same filesystem, so the rename below cannot turn into a copy),
//      give it the old file's extended attributes, owner and permission bits,
//      and fsync it. The writer holds a lock on that temporary file until it
//      is renamed or removed; a temporary file that nobody holds locked was
//      left by a killed run, and the next run deletes it.
//   3. Check what the caller expects: the old bytes, read once more, and the
//      update lock still kept, on the file the name still holds; or no file,
//      which the rename in step 4 then refuses to replace.
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

// Records errno as the reason when |ok| is false: every failure says its own.
bool Check(bool ok, std::string* error) {
  if (!ok) {
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

// The mapping that a run reads, for OnBusError; one at a time.
std::atomic<char*> gMapped{nullptr};
std::atomic<std::size_t> gMappedSize{0};
std::size_t gPageSize = 4096;

// A mapped file that another program shortens faults past its new end. Under
// a lease that takes a writer waiting out the whole lease-break time while
// the run still reads; should it happen, the page reads as zeros instead of
// ending the process, and the broken lease then fails the check before the
// replacement, so the run starts over. A fault anywhere else is left to the
// default action, which the next try of the faulting instruction meets.
void OnBusError(int, siginfo_t* info, void*) {
  char* at = static_cast<char*>(info->si_addr);
  char* mapped = gMapped.load();
  if (mapped != nullptr && at >= mapped && at < mapped + gMappedSize.load()) {
    char* page = at - reinterpret_cast<std::uintptr_t>(at) % gPageSize;
    if (mmap(page, gPageSize, PROT_READ, MAP_PRIVATE | MAP_FIXED | MAP_ANONYMOUS, -1, 0) !=
        MAP_FAILED) {
      return;
    }
  }
  signal(SIGBUS, SIG_DFL);
}

void CatchBusErrors() {
  static const bool caught = [] {
    gPageSize = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    struct sigaction action = {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGBUS, &action, nullptr) == 0;
  }();
  (void)caught;
}

// Holds the file found open for reading (|reader|, -1 where nothing could be
// locked), and with it the lock; and what Read gave of the file: a mapping
// or a buffer.
class FileLock : public Disk::Lock {
 public:
  FileLock(std::string target, int reader) : Lock(std::move(target)), reader_(reader) {}
  ~FileLock() override {
    if (mapped_ != nullptr) {
      gMapped = nullptr;
      munmap(mapped_, mappedSize_);
    }
    if (writer_ >= 0) {
      close(writer_);
    }
    if (reader_ >= 0) {
      close(reader_);
    }
  }

  // The lease is held (where there was one), and the name still holds the
  // file locked: a program that renamed another file over it took no lock.
  bool Kept() const override {
    return reader_ < 0 ||
           ((!leased_ || fcntl(reader_, F_GETLEASE) == F_RDLCK) && StillNamed(reader_, file()));
  }

  bool SeesEveryWriter() const override { return leased_; }

  int reader() const { return reader_; }
  void set_leased() { leased_ = true; }
  void set_writer(int writer) { writer_ = writer; }

  // Maps the first |size| bytes of the file held, for as long as the lock
  // lives; false where the system will not.
  bool Map(std::size_t size, std::string_view* bytes) {
    CatchBusErrors();
    void* mapped = mmap(nullptr, size, PROT_READ, MAP_SHARED, reader_, 0);
    if (mapped == MAP_FAILED) {
      return false;
    }
    mapped_ = static_cast<char*>(mapped);
    mappedSize_ = size;
    gMappedSize = size;
    gMapped = mapped_;
    *bytes = std::string_view(mapped_, size);
    return true;
  }
  void Keep(std::unique_ptr<char[]> buffer) { buffer_ = std::move(buffer); }

 private:
  int reader_;       // read only: the flock() and the lease
  int writer_ = -1;  // where no lease can be had: the OFD lock
  bool leased_ = false;
  char* mapped_ = nullptr;
  std::size_t mappedSize_ = 0;
  std::unique_ptr<char[]> buffer_;
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

// A temporary file of a run, "<name>.autoexp-setup-XXXXXX" beside |name|,
// held locked while it is open so that other runs see it is in use. It ends
// in one of three ways: MoveTo gives it a name of its own; Keep leaves it
// under a name no run deletes; otherwise it is deleted as it goes out of
// scope.
class Temporary {
 public:
  explicit Temporary(std::string beside) : beside_(std::move(beside)) {}
  ~Temporary() { Discard(); }
  Temporary(const Temporary&) = delete;
  Temporary& operator=(const Temporary&) = delete;

  const std::string& path() const { return path_; }
  int fd() const { return fd_; }

  // Creates it, empty, open and locked.
  bool Create(std::string* error) {
    for (;;) {
      path_ = FreeName(kTemporaryPattern);
      fd_ = mkostemp(&path_[0], O_CLOEXEC);
      if (fd_ < 0) {
        path_.clear();
        return Check(false, error);
      }
      // Between its creation and this lock, another run may have taken the
      // file for a leftover and deleted it; then make another.
      int result = TryOfdLock(fd_, F_WRLCK);
      if ((result == 0 || !IsHeldElsewhere(result)) && StillNamed(fd_, path_)) {
        return true;
      }
      close(fd_);
      fd_ = -1;
    }
  }

  // Gives the file (or link: never followed) at |from| this second name.
  // Returns 0 or the errno.
  int Link(const std::string& from) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string name = FreeName(kTemporaryPattern);
      int fd = mkostemp(&name[0], O_CLOEXEC);
      if (fd < 0) {
        return errno;
      }
      // Only the name was wanted: free it for the link.
      close(fd);
      unlink(name.c_str());
      if (linkat(AT_FDCWD, from.c_str(), AT_FDCWD, name.c_str(), 0) == 0) {
        path_ = name;
        return 0;
      }
      if (errno != EEXIST) {
        return errno;
      }
    }
    return EEXIST;
  }

  // Renames it to |target| only if nothing is there. Returns 0, or the
  // errno: EEXIST when something is.
  int MoveToNew(const std::string& target) {
#ifdef RENAME_NOREPLACE
    if (renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
      path_.clear();
      return 0;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
      return errno;
    }
#endif
    // A hard link is never made over an existing name either.
    if (link(path_.c_str(), target.c_str()) != 0) {
      return errno;
    }
    Discard();
    return 0;
  }

  bool MoveTo(const std::string& target, std::string* error) {
    if (!Check(rename(path_.c_str(), target.c_str()) == 0, error)) {
      return false;
    }
    path_.clear();
    return true;
  }

  // Deletes it; its descriptor, whose lock marks it as in use, is closed
  // only after that.
  void Discard() {
    if (!path_.empty()) {
      unlink(path_.c_str());
      path_.clear();
    }
    if (fd_ >= 0) {
      close(fd_);
      fd_ = -1;
    }
  }

  // Renames it to "<name>.autoexp-setup-kept-XXXXXX", which no run takes for
  // a leftover, and leaves it there (or where it is, if that fails); returns
  // where it stays.
  std::string Keep() {
    std::string kept = FreeName("kept-XXXXXX");
    int fd = mkostemp(&kept[0], O_CLOEXEC);
    if (fd < 0 || rename(path_.c_str(), kept.c_str()) != 0) {
      kept = path_;
    }
    if (fd >= 0) {
      close(fd);
    }
    path_.clear();
    return kept;
  }

 private:
  std::string FreeName(const char* pattern) const {
    return beside_ + kTemporaryInfix + pattern;
  }

  std::string beside_;
  std::string path_;  // empty: none, or no longer ours
  int fd_ = -1;
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

// Gives the file open as |fd| the extended attributes (POSIX ACLs among
// them), owner and permission bits of the file open as |from|, or, with
// |from| -1, the usual bits of a new file. Everything is read from the open
// file, never by a name that someone could point elsewhere meanwhile. An
// attribute that cannot be carried over fails it, so that no replacement is
// ever more open than the file. (Attributes the runner cannot see, such as
// trusted.* for a user other than root, cannot be carried over, nor known.)
bool KeepAttributes(int fd, int from, std::string* error) {
  struct stat old, fresh;
  if (from < 0) {
    return Check(fchmod(fd, NewFileMode()) == 0, error);
  }
  if (!Check(fstat(from, &old) == 0 && fstat(fd, &fresh) == 0, error)) {
    return false;
  }
  // An ACL the directory gave the new file by default is not the old file's.
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
  return Check(fchmod(fd, old.st_mode & 07777) == 0, error);
}

// Copies the file open as |from| into |copy|, with its attributes, flushed.
bool CopyFile(int from, Temporary* copy, std::string* error) {
  if (!copy->Create(error) || !KeepAttributes(copy->fd(), from, error)) {
    return false;
  }
  char buffer[64 * 1024];
  for (off_t at = 0;;) {
    ssize_t got = pread(from, buffer, sizeof buffer, at);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return Check(got == 0 && fsync(copy->fd()) == 0, error);
    }
    if (!Check(WriteAll(copy->fd(), {std::string_view(buffer, static_cast<std::size_t>(got))}),
               error)) {
      return false;
    }
    at += got;
  }
}

// Whether the names |a| and |b| are one directory entry however spelled.
bool SameEntry(const std::string& a, const std::string& b) {
  struct stat first, second;
  return NameOf(a) == NameOf(b) && stat(DirectoryOf(a).c_str(), &first) == 0 &&
         stat(DirectoryOf(b).c_str(), &second) == 0 && SameFile(first, second);
}

// Keeps the old file at |target|, open as |old|, as the backup at
// |backupPath| and, unless |temporary| is null (the file keeps its bytes),
// puts |temporary| in |target|'s place:
//
//   1. B, the new backup, beside the backup's name: a second name of the old
//      file (a hard link, so the backup is the old file itself, with its
//      permission bits, owner and extended attributes, and costs no copy)
//      when the old file is about to lose its own name; otherwise, or where
//      no link can be made (another filesystem, one without links), a copy.
//      Where the backup's name already is a second name of the old file, the
//      rename in step 4 alone makes it the backup: steps 1 to 3 are skipped.
//   2. O: whatever stands at the backup's name gets a second name too (a link
//      to it, never through it; where none can be made, a copy of a file, so
//      that the backup's name never stands empty).
//   3. rename(B, backupPath): the new backup takes the name. What stood there
//      is replaced, never written through.
//   4. rename(temporary, target). If that fails, rename(O, backupPath) puts
//      the older backup back (with none, the new one goes), so a failed run
//      leaves the file and the backup as they were; should even that fail,
//      O is kept under a name no run deletes, and the error gives it.
//   5. O is removed.
//
// A run killed part-way leaves B or O under its temporary name, each a second
// name of a file that keeps another, or a copy nobody holds; the next run
// removes it (RemoveIfUnused). The backup's name holds a backup throughout.
Disk::ReplaceStatus ReplaceKeepingBackup(const std::string& target, int old, Temporary* temporary,
                                         const std::string& backupPath, std::string* error) {
  using Status = Disk::ReplaceStatus;
  struct stat standing, file;
  bool standingThere = lstat(backupPath.c_str(), &standing) == 0;
  if ((!standingThere && errno != ENOENT) || fstat(old, &file) != 0) {
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
  if (SameEntry(target, backupPath)) {
    *error = disk_error::kLinkToBackup;
    return Status::kBackupFailed;
  }
  bool backupIsTheFile = standingThere && SameFile(standing, file);
  if (backupIsTheFile && temporary != nullptr) {
    return temporary->MoveTo(target, error) ? Status::kReplaced : Status::kFailed;
  }

  Temporary b(backupPath);  // step 1
  struct stat linked;
  bool isLink = temporary != nullptr && b.Link(target) == 0 &&
                lstat(b.path().c_str(), &linked) == 0 && SameFile(linked, file);
  if (!isLink) {
    b.Discard();
    if (!CopyFile(old, &b, error)) {
      return Status::kBackupFailed;
    }
  }

  Temporary o(backupPath);  // step 2
  if (standingThere && o.Link(backupPath) != 0) {
    int older = OpenFound(backupPath, O_RDONLY);
    bool copied = Check(older >= 0, error) && CopyFile(older, &o, error);
    if (older >= 0) {
      close(older);
    }
    if (!copied) {
      return Status::kBackupFailed;
    }
  }

  if (!b.MoveTo(backupPath, error)) {  // step 3
    return Status::kBackupFailed;
  }
  if (temporary != nullptr && !temporary->MoveTo(target, error)) {  // step 4 failed
    std::string ignored;
    if (o.path().empty()) {
      unlink(backupPath.c_str());
    } else if (!o.MoveTo(backupPath, &ignored)) {
      *error += "; the older backup could not be put back and is kept as " + o.Keep();
    }
    return Status::kFailed;
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

// The file |lock| holds open, or, where it holds none, the file it found,
// opened for reading now (-1 with errno where there is none).
struct OpenedIfNeeded {
  explicit OpenedIfNeeded(Disk::Lock& lock)
      : fd(static_cast<FileLock&>(lock).reader()),
        own(fd < 0 ? OpenFound(lock.file(), O_RDONLY) : -1) {
    fd = fd < 0 ? own : fd;
  }
  ~OpenedIfNeeded() {
    if (own >= 0) {
      close(own);
    }
  }
  OpenedIfNeeded(const OpenedIfNeeded&) = delete;
  OpenedIfNeeded& operator=(const OpenedIfNeeded&) = delete;

  int fd;
  int own;
};

class PosixDisk : public Disk {
 public:
  LockStatus TryLock(const std::string& path, std::unique_ptr<Lock>* lock,
                     std::string* error) override {
    std::string target;
    if (!FollowLinks(path, &target, error)) {
      return LockStatus::kFailed;
    }
    int reader = OpenFound(target, O_RDONLY);
    struct stat status;
    if (reader >= 0 && (fstat(reader, &status) != 0 || !S_ISREG(status.st_mode))) {
      close(reader);
      reader = -1;
    }
    auto held = std::make_unique<FileLock>(target, reader);
    if (reader < 0) {
      *lock = std::move(held);  // nothing there yet, or nothing to lock
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

  void RemoveLeftovers(const Lock& lock, const std::string& backupPath) override {
    // Beside the file (its new bytes) and beside the backup's name (its steps).
    for (const std::string& place : {lock.file(), backupPath}) {
      std::string directory = DirectoryOf(place);
      std::string prefix = NameOf(place) + kTemporaryInfix;
      DIR* listing = place.empty() ? nullptr : opendir(directory.c_str());
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

  ReadStatus Read(Lock& lock, std::string_view* bytes, std::string* error) override {
    FileLock& held = static_cast<FileLock&>(lock);
    OpenedIfNeeded file(lock);
    struct stat status;
    if (file.fd < 0 && errno == ENOENT) {
      return ReadStatus::kNotFound;
    }
    if (!Check(file.fd >= 0 && fstat(file.fd, &status) == 0, error)) {
      return ReadStatus::kFailed;
    }
    if (!S_ISREG(status.st_mode)) {
      *error = NotAFile(status);
      return ReadStatus::kFailed;
    }
    auto size = static_cast<std::size_t>(status.st_size);
    // A mapping only under a lease: no program can then shorten the file
    // while the run reads it.
    if (held.SeesEveryWriter() && file.fd == held.reader() && size > 0 && held.Map(size, bytes)) {
      return ReadStatus::kOkay;
    }
    // Otherwise one buffer, sized once (and left unfilled: the read fills
    // it); a file that grew meanwhile is read on.
    std::size_t capacity = size + 1;
    std::unique_ptr<char[]> buffer(new char[capacity]);
    std::size_t got = 0;
    for (;;) {
      if (got == capacity) {
        std::unique_ptr<char[]> larger(new char[capacity * 2]);
        std::memcpy(larger.get(), buffer.get(), got);
        buffer = std::move(larger);
        capacity *= 2;
      }
      ssize_t read = pread(file.fd, buffer.get() + got, capacity - got, static_cast<off_t>(got));
      if (read < 0 && errno == EINTR) {
        continue;
      }
      if (!Check(read >= 0, error)) {
        return ReadStatus::kFailed;
      }
      if (read == 0) {
        break;
      }
      got += static_cast<std::size_t>(read);
    }
    *bytes = std::string_view(buffer.get(), got);
    held.Keep(std::move(buffer));
    return ReadStatus::kOkay;
  }

  ReadStatus ReadPieces(Lock& lock, const Consumer& consume, std::string* error) override {
    // Through the lock's descriptor; where it holds none, the file found is
    // opened, and anything but a regular file is refused right after.
    OpenedIfNeeded file(lock);
    struct stat status;
    if (file.fd < 0 && errno == ENOENT) {
      return ReadStatus::kNotFound;
    }
    if (!Check(file.fd >= 0 && fstat(file.fd, &status) == 0, error)) {
      return ReadStatus::kFailed;
    }
    if (!S_ISREG(status.st_mode)) {
      *error = NotAFile(status);
      return ReadStatus::kFailed;
    }
    const std::uint64_t size = static_cast<std::uint64_t>(status.st_size);
    std::vector<char> buffer(kPieceSize);
    for (off_t at = 0;;) {
      ssize_t got = pread(file.fd, buffer.data(), buffer.size(), at);
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (!Check(got >= 0, error)) {
        return ReadStatus::kFailed;
      }
      if (got == 0 ||
          !consume(std::string_view(buffer.data(), static_cast<std::size_t>(got)), size)) {
        return ReadStatus::kOkay;
      }
      at += got;
    }
  }

  ReplaceStatus ReplaceFile(Lock& lock, const Replacement& replacement,
                            std::string* error) override {
    const std::string& target = lock.file();
    // The old file as the lock holds it open; where it holds none, as found now.
    OpenedIfNeeded opened(lock);
    int old = opened.fd;
    struct stat file;
    bool exists = old >= 0 && fstat(old, &file) == 0;
    if (exists != replacement.expected.has_value() || !lock.Kept()) {
      return ReplaceStatus::kChanged;
    }
    if (exists && !S_ISREG(file.st_mode)) {
      *error = NotAFile(file);
      return ReplaceStatus::kFailed;
    }
    if (exists && replacement.bytes && IsReadOnly(target, file)) {
      *error = disk_error::kReadOnly;
      return ReplaceStatus::kFailed;
    }

    Temporary temporary(target);
    if (replacement.bytes &&
        (!temporary.Create(error) || !KeepAttributes(temporary.fd(), old, error) ||
         !Check(WriteAll(temporary.fd(), *replacement.bytes) && fsync(temporary.fd()) == 0,
                error))) {
      return ReplaceStatus::kFailed;
    }
    if (!replacement.expected) {
      int result = temporary.MoveToNew(target);
      if (result != 0) {
        *error = ErrnoText(result);
        return result == EEXIST ? ReplaceStatus::kChanged : ReplaceStatus::kFailed;
      }
      SyncDirectory(DirectoryOf(target));
      return ReplaceStatus::kReplaced;
    }
    // Asked last, right before the rename: a writer that opens the file
    // later waits until the lock goes, and then writes to the file replaced.
    // (That moment is the one this protocol cannot close.)
    if (!StillAsExpected(lock, replacement)) {
      return ReplaceStatus::kChanged;
    }
    Temporary* placed = replacement.bytes ? &temporary : nullptr;
    ReplaceStatus status = ReplaceStatus::kReplaced;
    if (!replacement.backupPath.empty()) {
      status = ReplaceKeepingBackup(target, old, placed, replacement.backupPath, error);
    } else if (placed != nullptr && !placed->MoveTo(target, error)) {
      status = ReplaceStatus::kFailed;
    }
    if (status == ReplaceStatus::kReplaced && placed != nullptr) {
      SyncDirectory(DirectoryOf(target));
    }
    return status;
  }
};

}  // namespace

Disk& SystemDisk() {
  static PosixDisk disk;
  return disk;
}
