#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/disk.h"

// Replacing a file, the POSIX way:
//
//   1. Follow symbolic links to the file that is really meant, so that a link
//      the user made keeps pointing at the file after the update.
//   2. Write the new bytes to "<name>.autoexp-setup-XXXXXX" in the same
//      directory (same filesystem, so the rename below cannot turn into a copy),
//      give it the old file's permission bits and owner, and fsync it.
//   3. rename() it over the old name: the one step that makes the new bytes
//      visible, atomic for every reader and across a crash.
//   4. fsync the directory so the rename itself is on disk.
//
// If anything before step 3 fails, the temporary file is removed and the old
// file has not been touched.

namespace {

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

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    bytes.remove_prefix(static_cast<std::string_view::size_type>(written));
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

class PosixDisk : public Disk {
 public:
  ReadStatus ReadFile(const std::string& path, std::string* contents, std::string* error) override {
    // O_NONBLOCK keeps open() from waiting for a writer when the path names
    // a FIFO; anything but a regular file is refused right after.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT) {
        return ReadStatus::kNotFound;
      }
      *error = ErrnoText(errno);
      return ReadStatus::kFailed;
    }
    ReadStatus result = ReadOpenFile(fd, contents, error);
    close(fd);
    return result;
  }

  bool WriteFile(const std::string& path, std::string_view contents, std::string* error) override {
    std::string target;
    if (!FollowLinks(path, &target, error)) {
      return false;
    }
    struct stat old;
    bool exists = stat(target.c_str(), &old) == 0;
    if (!exists && errno != ENOENT) {
      *error = ErrnoText(errno);
      return false;
    }
    if (exists && !S_ISREG(old.st_mode)) {
      *error = "not a regular file";
      return false;
    }
    // Root may write anywhere, but a file whose write bits are all cleared
    // was made read-only on purpose and is not to be replaced.
    if (exists && ((old.st_mode & 0222) == 0 || access(target.c_str(), W_OK) != 0)) {
      *error = "file is read-only";
      return false;
    }

    std::string temporary = target + ".autoexp-setup-XXXXXX";
    int fd = mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0) {
      *error = ErrnoText(errno);
      return false;
    }
    bool written = KeepAttributes(fd, exists ? &old : nullptr, error) &&
                   Check(WriteAll(fd, contents) && fsync(fd) == 0, error);
    written = Check(close(fd) == 0, error) && written;
    if (!written || !Check(rename(temporary.c_str(), target.c_str()) == 0, error)) {
      unlink(temporary.c_str());
      return false;
    }
    SyncDirectory(DirectoryOf(target));
    return true;
  }

 private:
  static ReadStatus ReadOpenFile(int fd, std::string* contents, std::string* error) {
    struct stat status;
    if (fstat(fd, &status) != 0) {
      *error = ErrnoText(errno);
      return ReadStatus::kFailed;
    }
    if (!S_ISREG(status.st_mode)) {
      *error = S_ISDIR(status.st_mode) ? "is a directory" : "not a regular file";
      return ReadStatus::kFailed;
    }
    // Read to the end rather than trusting st_size: the file may be growing.
    std::string::size_type size = 0;
    contents->resize(static_cast<std::string::size_type>(status.st_size) + 1);
    for (;;) {
      if (size == contents->size()) {
        contents->resize(contents->size() * 2);
      }
      ssize_t got = read(fd, &(*contents)[size], contents->size() - size);
      if (got < 0) {
        if (errno == EINTR) {
          continue;
        }
        *error = ErrnoText(errno);
        return ReadStatus::kFailed;
      }
      if (got == 0) {
        break;
      }
      size += static_cast<std::string::size_type>(got);
    }
    contents->resize(size);
    return ReadStatus::kOkay;
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
