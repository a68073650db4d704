#ifndef AUTOEXP_PLATFORM_DISK_H_
#define AUTOEXP_PLATFORM_DISK_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Updating a file that other programs may edit at the same time, and that
// must never lose a byte.
//
// The update is written once, in disk.cpp, over the small primitives of a
// Disk below, which each system supplies (disk_posix.cpp, disk_windows.cpp)
// and tests fake. It goes like this:
//
//   1. Lock (LockFile). The file's path is resolved to the file really meant
//      (links followed where the system has them), and the update lock of
//      its folder is taken, and that of its backup's folder where a link led
//      elsewhere: a byte-range lock on the folder's lock file, "autoexp.lck",
//      which every run that writes in a folder takes first, so that while a
//      run holds it no other run, on this machine or another that shares the
//      folder, makes, renames or deletes a file there. The lock file is made
//      once and kept: deleting it while a run waits on it would let a third
//      run lock a new one. A lock file that cannot be opened or locked is
//      busy, never taken for no lock; one that is a link is refused. Only in
//      a folder that cannot be written at all does a run go on without it,
//      and such a run can change nothing there. Then the file itself is
//      opened for reading in a way that keeps writers out, or at least tells
//      of them (a Windows handle that shares no writing; on POSIX a read
//      lease, and the read locks that flock() and fcntl() users take). A
//      program that has the file open for writing or holds it locked makes
//      the run wait, as another run does. An open that fails for any reason
//      but "no such file" is never taken for a missing file.
//   2. Clean up (RemoveLeftovers). A temporary file of this program in those
//      folders is one that a killed or failed run left, for no other run can
//      be working there now; none ever holds the only copy of anything, so
//      each is simply deleted.
//   3. Read (ReadFile): the whole file, into one buffer sized from its size,
//      that the caller owns. A read error is a failed run, never a short file.
//   4. The caller edits its copy and asks for the replacement (ReplaceFile),
//      expecting the bytes it read (or no file), with the new bytes (or none:
//      only a backup is wanted) and the backup's name (or none):
//      a. the new bytes go to a temporary file "~an" beside the file, with
//         the old file's attributes, flushed to disk;
//      b. the backup first: the bytes read go to a temporary "~ab" beside
//         the backup's name, with the same attributes, flushed, and renamed
//         over that name, which thus holds a whole backup at every instant.
//         From here on the backup is the file as this run found it, whatever
//         follows: nothing keeps or puts back an older one;
//      c. the check, the last look before the file is let go, made every
//         time, whatever the lock told: the file holds exactly the bytes the
//         edits started from, and then the name still holds the file the lock
//         holds and no writer was seen. Otherwise the caller starts over from
//         step 1, so that what the other program wrote is kept and edited
//         anew;
//      d. the lock lets the file go (Windows renames nothing over an open
//         file) and "~an" is renamed over the file: the one step that makes
//         the new bytes visible, atomic for every reader and across a crash.
//         A rename that another program's open refuses (a scanner, for a
//         moment) goes back to c, the file opened and compared again.
//   5. Let the lock go.
//
// A run killed at any step leaves the file holding its old bytes or its new
// ones, and the backup's name the older backup or the bytes the run read; a
// temporary file is either renamed or deleted, by this run or the next one.
// What no protocol taken by one side can close is the instant between the
// check's last look (c) and the rename (d): a writer that neither locks nor
// is kept out, and opens the file then, writes to the file replaced. It is
// the let-go and one rename, measured on Linux from the lease's last answer
// to the end of rename(): a median of 0.13 ms on ext4 (0.19 ms for nine in
// ten), 5 microseconds on tmpfs.
//
// Paths are narrow strings: on POSIX the bytes given, passed to the system
// unchanged; on Windows UTF-8, made wide at each call (wide_windows.h).
class Disk {
 public:
  // What a primitive found.
  enum class Result {
    kOkay,
    kNotFound,  // nothing at the path
    kExists,    // something at a name that was to be new
    kBusy,      // another program holds what was asked for; *error says what
    kFailed,    // *error says why
  };

  // Something a primitive holds open for the caller: a folder's update lock,
  // or a file. Letting it go releases what it holds.
  class Handle {
   public:
    virtual ~Handle() = default;
  };

  // What stands at a name, the name itself (a link is not followed).
  enum class Kind { kNone, kFile, kLink, kDirectory, kOther };
  struct Entry {
    Kind kind = Kind::kNone;
    bool readOnly = false;   // a file that may not be written (Look: whose name no
                             // rename may replace: Windows' read-only attribute)
    std::uint64_t size = 0;  // a file's, when it was looked at
  };

  virtual ~Disk() = default;

  // The file that |path| finally names, every link followed (a link that
  // points nowhere gives the path it points to); kFailed for a link that may
  // not be followed (on POSIX, one that belongs to another user than the
  // caller or root) or a loop.
  virtual Result FinalPath(const std::string& path, std::string* final, std::string* error) = 0;

  // Takes the update lock of |folder| (empty: the current one) without
  // waiting: a byte-range lock on its lock file, kLockFileName, made where
  // there is none (hidden where the system hides files) and kept. kOkay with
  // it in |*lock|, or with nothing where there is no such folder or it cannot
  // be written at all; kBusy while another holds it, or while the lock file
  // cannot be opened or locked (a folder of that name, a file held or not to
  // be written); kFailed for a lock file that is a link, never opened through
  // it, or a system without such locks.
  virtual Result LockFolder(const std::string& folder, std::unique_ptr<Handle>* lock,
                            std::string* error) = 0;

  // Opens the file at |path| (no link followed) for reading, keeping writers
  // out where the system can; kNotFound where there is none; kBusy while a
  // program has it open for writing or locked; kFailed for anything that is
  // not a regular file (no device or FIFO is ever read), before a byte is
  // read. |*entry| tells whether the file may be written.
  virtual Result OpenFile(const std::string& path, std::unique_ptr<Handle>* file, Entry* entry,
                          std::string* error) = 0;

  // Whether |path| still names the file open as |file|, and no program has
  // opened it for writing since, as far as the system tells.
  virtual bool StillHolds(Handle& file, const std::string& path) = 0;

  // Reads up to |size| bytes at |offset| of |file| into |into|: |*got| is 0
  // at the end of the file; false with the reason on a read error.
  virtual bool ReadAt(Handle& file, std::uint64_t offset, char* into, std::size_t size,
                      std::size_t* got, std::string* error) = 0;

  // What stands at |path|.
  virtual Result Look(const std::string& path, Entry* entry, std::string* error) = 0;

  // Whether |a| and |b| name the same folder or file, however spelled (empty:
  // the current folder).
  virtual bool SameFile(const std::string& a, const std::string& b) = 0;

  // Creates the file |path|, which must not exist (kExists), with |bytes|
  // one piece after the other, gives it the attributes of |like|'s file
  // (permission bits, owner and extended attributes on POSIX; attributes and,
  // where the volume keeps one, the access list on Windows), where |like| is
  // not null, and flushes it to disk. On kFailed the file may stay; the
  // caller removes it.
  virtual Result WriteNew(const std::string& path, const std::vector<std::string_view>& bytes,
                          Handle* like, std::string* error) = 0;

  // Renames |from| to |to| in one step, flushed to disk. With |replace|,
  // whatever stands at |to| is replaced, never written through; without, a
  // name that is taken gives kExists. kBusy where another program's open of
  // either file refuses it (Windows), without trying again: the caller
  // decides whether to look at the file once more first.
  virtual Result Rename(const std::string& from, const std::string& to, bool replace,
                        std::string* error) = 0;

  // Deletes the name |path| (a link, not what it points to).
  virtual bool Remove(const std::string& path) = 0;

  // The names of the files in |folder| (empty: the current one) that begin
  // with |prefix|; links and folders are left out.
  virtual std::vector<std::string> List(const std::string& folder, std::string_view prefix) = 0;
};

// The disk of the system the program runs on.
Disk& SystemDisk();

// The update lock of one file and the handle of its update: the file it was
// taken for, links followed, the locks of its folders and the file itself
// held open, if there was one. Destroying it lets them go.
struct FileLock {
  std::string file;
  std::vector<std::string> folders;  // the file's, and the backup's where that differs
  std::vector<std::unique_ptr<Disk::Handle>> folderLocks;
  std::unique_ptr<Disk::Handle> held;  // null: no file when the lock was taken
  Disk::Entry entry;                   // the file's, when held
  std::string unreadable;              // why something there cannot be read
  std::chrono::milliseconds wait{0};   // how long a busy step may be tried again
};

// How long LockFile waits for another holder of the lock or a writer of the
// file, unless told otherwise. A run of this program holds it for well under
// a second even on a large file.
inline constexpr std::chrono::milliseconds kLockWait{20000};

// The name of a folder's lock file: no longer than the rules file's, so
// that a path the system takes for the one takes the other too.
inline constexpr char kLockFileName[] = "autoexp.lck";

// Step 1: the update lock of the file at |path|, and of the folder of
// |backupPath| (may be empty) too, trying again with growing pauses for
// |wait| while it is busy. Null when it stayed busy for the whole wait or
// cannot be taken, with "<what is busy or refused>: <reason>" in |*error|:
// the lock file, or the file itself. Without |lockFolders|, for a run that
// only reads, the file alone is opened as a lock opens it: no lock file is
// made or taken.
std::unique_ptr<FileLock> LockFile(Disk& disk, const std::string& path,
                                   const std::string& backupPath, std::string* error,
                                   std::chrono::milliseconds wait = kLockWait,
                                   bool lockFolders = true);

// Step 2: deletes the temporary files that killed or failed runs left in
// |lock|'s folders. Failures are ignored: a leftover disturbs nothing but
// the folder, and the next run tries again.
void RemoveLeftovers(Disk& disk, const FileLock& lock);

// Step 3: the bytes of |lock|'s file. kNotFound where there was none.
Disk::Result ReadFile(Disk& disk, FileLock& lock, std::string* bytes, std::string* error);

// Step 4. The pieces of what ReplaceFile is to do.
using Pieces = std::vector<std::string_view>;
struct Replacement {
  std::optional<std::string_view> expected;  // none: there must be no file
  std::optional<Pieces> bytes;               // none: the file keeps its bytes
  std::string backupPath;                    // empty: no backup; only with |expected|
  bool* backupMade = nullptr;  // set the moment the backup's name holds the bytes read
};

enum class ReplaceStatus {
  kReplaced,      // the file holds the new bytes (and the backup the old)
  kChanged,       // the file is not as expected, or went busy; the file was not changed
  kFailed,        // *error says why; the file is as it was (the backup, where
                  // one was asked for, may hold it already: *backupMade)
  kBackupFailed,  // the backup could not be made; *error says why; both as they were
  kReadFailed,    // the check could not read the file; *error says why; as kFailed
};

ReplaceStatus ReplaceFile(Disk& disk, FileLock& lock, const Replacement& replacement,
                          std::string* error);

// The folder part of |path| with its last separator, where a name begins;
// empty for a bare name. (No byte of a UTF-8 character of several bytes is a
// separator.)
std::string FolderOf(const std::string& path);

// Whether |name| is a temporary file of this program that a run may delete
// as a leftover: "~a", what it holds (new text, new backup), eight
// hexadecimal digits. An older release's "~ao" and "~ak" may hold the only
// copy of an older backup, and are never deleted.
bool IsLeftoverName(std::string_view name);

// The reasons that both systems give in their own words.
namespace disk_error {
inline constexpr char kIsDirectory[] = "is a directory";
inline constexpr char kNotRegular[] = "not a regular file";
inline constexpr char kReadOnly[] = "file is read-only";
inline constexpr char kLockedElsewhere[] = "another program kept the file locked";
inline constexpr char kLockFileIsLink[] = "the lock file is a symbolic link, not followed";
inline constexpr char kOpenForWriting[] = "another program kept the file open for writing";
inline constexpr char kOpenWithoutDeleteSharing[] =
    "another program kept the file open without delete sharing";
inline constexpr char kForeignLink[] = "a symbolic link that belongs to another user, not followed";
inline constexpr char kLinkToBackup[] = "the rules file is a link to its own backup";
}  // namespace disk_error

#endif  // AUTOEXP_PLATFORM_DISK_H_
