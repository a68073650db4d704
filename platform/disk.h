#ifndef AUTOEXP_PLATFORM_DISK_H_
#define AUTOEXP_PLATFORM_DISK_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Every file access of the program goes through a Disk, so that the whole run
// can be tested against a fake that fails wherever a test wants it to.
//
// Paths are narrow strings in the system's own encoding and are passed to the
// system unchanged.
//
// Updating a file that other programs may edit at the same time:
//
//   1. LockFile (below): take the file's update lock, which finds the file
//      once (links followed) and is the handle of the whole update. Runs of
//      this program and tools that lock the same way (crudini does) wait for
//      each other; where the system can tell, so does a run for a program
//      that has the file open for writing, such as an editor saving in place.
//   2. RemoveLeftovers: delete temporary files that a killed run left.
//   3. Read, through the lock: the file's bytes as one view, which the lock
//      keeps until it goes. The edits are made over it.
//   4. ReplaceFile, through the lock, expecting the bytes read. Right before
//      the new file takes the old one's place, StillAsExpected checks that
//      the lock was kept (no program opened the file to write since, where
//      the system tells: then that is the proof) and otherwise that the file
//      still holds the bytes read; if not, it returns kChanged and the caller
//      starts over from step 1.
//   5. Let the lock go.
//
// The check in step 4 narrows the window for a writer that the system cannot
// see to the moment between the check and the replacement.
class Disk {
 public:
  enum class ReadStatus {
    kOkay,      // every byte of the file was handed on
    kNotFound,  // nothing exists at the path (or a link points nowhere)
    kFailed,    // something is there but could not be read; *error says why
  };

  enum class LockStatus {
    kLocked,  // *lock holds the lock
    kBusy,    // another program holds it, or has the file open to write; *error says which
    kFailed,  // the path may not be used; *error says why
  };

  enum class ReplaceStatus {
    kReplaced,      // the file now holds the new bytes (and the backup the old)
    kChanged,       // the file is not as expected, or the lock was lost; nothing was written
    kFailed,        // *error says why; the file and an older backup are as they were
                    // (one that could not be put back is kept where *error says)
    kBackupFailed,  // the backup could not be made; *error says why; both untouched
  };

  // The update lock of one file, and the handle of its update: taking it
  // finds the file (links followed) once, and the read and the replacement
  // go through it, so the file read is the file replaced. Destroying it lets
  // the lock go. A lock taken where there is no file yet, or nothing a lock
  // can hold, holds the file's name only; the read then says what is there.
  class Lock {
   public:
    explicit Lock(std::string file) : file_(std::move(file)) {}
    virtual ~Lock() = default;
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    // The file the lock was taken for, every link followed.
    const std::string& file() const { return file_; }
    // False once another program has opened the file to write since the lock
    // was taken, where the system tells (Linux file leases), or has moved
    // another file to its name.
    virtual bool Kept() const { return true; }
    // Whether the system tells every program that opens the file to write
    // (a Linux file lease): then Kept() alone proves the file unchanged.
    virtual bool SeesEveryWriter() const { return false; }
    // Closes what the lock holds open of the file itself, keeping the update
    // lock: called right before the new file takes the old one's place, where
    // the system renames nothing over a file that is open (Windows). From
    // then on writers are no longer kept out.
    virtual void LetFileGo() {}

   private:
    std::string file_;
  };

  // What ReplaceFile is to do.
  struct Replacement {
    // The bytes the file must still hold right before it is replaced, as
    // pieces one after the other; none: there must be no file, and one made
    // in the meantime is never replaced.
    std::optional<std::vector<std::string_view>> expected;
    // The new bytes, as pieces one after the other; none: the file keeps its
    // bytes, and only the backup is made.
    std::optional<std::vector<std::string_view>> bytes;
    // Where the file's old bytes are kept as part of the replacement; only
    // with |expected| bytes, for there is nothing to keep otherwise. Whatever
    // stands at the name (a file, a link, a link that points nowhere) is
    // replaced, never written through; a directory or another non-file is
    // refused. The backup gets the file's permission bits and owner (it is
    // the old file itself where the system allows and the file is replaced).
    // A replacement that fails leaves an older backup exactly as it was, or
    // kept under a name the error gives.
    std::string backupPath;
  };

  // Called with each piece of a file read, and with the file's size when it
  // was opened (the file may grow or shrink while it is read); returns
  // whether to read on.
  using Consumer = std::function<bool(std::string_view piece, std::uint64_t size)>;

  virtual ~Disk() = default;

  // One try, without waiting, at the update lock of the file at |path|
  // (links followed as ReplaceFile follows them; on Windows the lock is the
  // folder's, so that runs on files of one folder take turns). When there is
  // nothing to lock (no file yet, not a regular file, a filesystem without
  // locks) it gives a lock that holds the name only.
  virtual LockStatus TryLock(const std::string& path, std::unique_ptr<Lock>* lock,
                             std::string* error) = 0;

  // Deletes the temporary files that runs killed part-way through an update
  // of |lock|'s file, or of its backup at |backupPath| (may be empty), left.
  // Failures are ignored: a leftover disturbs nothing but the directory.
  virtual void RemoveLeftovers(const Lock& lock, const std::string& backupPath) = 0;

  // The bytes of |lock|'s file, as one contiguous view that |lock| keeps
  // valid until it goes: where the lock sees every writer, a read-only
  // mapping of the file (nothing is copied, and pages never touched are never
  // read); otherwise a buffer the file was read into, sized once from the
  // file's size. A file shortened under a mapping never ends the run: the
  // pages past its new end read as zeros, and the lock is no longer kept.
  // Anything but a regular file is refused with kFailed before a byte is
  // read; on kFailed, |*error| holds a short reason.
  virtual ReadStatus Read(Lock& lock, std::string_view* bytes, std::string* error) = 0;

  // Reads |lock|'s file to its end, in pieces of a fixed, moderate size
  // handed to |consume| in order and not kept, so that the caller holds only
  // what it keeps. Stops early, with kOkay, when |consume| returns false. A
  // directory, FIFO, device or anything else that is not a regular file is
  // refused with kFailed before a byte is read, so a read can never block or
  // run forever. On kFailed, |*error| holds a short reason such as
  // "Permission denied".
  virtual ReadStatus ReadPieces(Lock& lock, const Consumer& consume, std::string* error) = 0;

  // Makes |lock|'s file hold |replacement.bytes|, creating it if needed,
  // provided that right before the replacement StillAsExpected; otherwise
  // returns kChanged and writes nothing.
  // The update is atomic: the bytes go to a temporary file in the same
  // directory, are flushed to disk, and the temporary file then takes the
  // place of the old one by one rename, so a reader (or a crash) sees either
  // the old file whole or the new one whole.
  // A symbolic link is followed and its target replaced, the link staying;
  // on POSIX only a link that belongs to the user who runs the program or to
  // root is followed. An existing file keeps its permission bits, owner and
  // extended attributes (POSIX), or its attributes and access list (Windows);
  // one that cannot keep them is not replaced. A file without write
  // permission is not replaced.
  virtual ReplaceStatus ReplaceFile(Lock& lock, const Replacement& replacement,
                                    std::string* error) = 0;

 protected:
  // The check every disk makes right before its replacement: the lock was
  // kept and, unless the lock sees every writer, the file holds the bytes
  // expected, read once more and compared piece by piece. (That no file
  // appeared where none is expected, the rename itself makes sure.)
  bool StillAsExpected(Lock& lock, const Replacement& replacement);

  // Read for a disk that maps nothing: ReadPieces into |*buffer|, which the
  // caller keeps with the lock, reserved once from the file's size.
  ReadStatus ReadIntoBuffer(Lock& lock, std::string* buffer, std::string_view* bytes,
                            std::string* error);
};

// The disk of the system the program runs on.
Disk& SystemDisk();

// How long LockFile waits for another holder of the lock or a writer of the
// file, unless told otherwise. A run of this program holds it for well under
// a second even on a large file.
inline constexpr std::chrono::milliseconds kLockWait{20000};

// Takes the update lock of the file at |path|, trying again with growing
// pauses for |wait| when it is busy. Returns null with the reason in |*error|
// when it stayed busy for the whole wait or may not be taken.
std::unique_ptr<Disk::Lock> LockFile(Disk& disk, const std::string& path, std::string* error,
                                     std::chrono::milliseconds wait = kLockWait);

// Whether |lock|'s file holds exactly |expected|, read in pieces so that the
// check needs no second copy of the file in memory.
bool FileHolds(Disk& disk, Disk::Lock& lock, const std::vector<std::string_view>& expected);

// The reasons that both systems give in their own words.
namespace disk_error {
inline constexpr char kIsDirectory[] = "is a directory";
inline constexpr char kNotRegular[] = "not a regular file";
inline constexpr char kReadOnly[] = "file is read-only";
inline constexpr char kLockedElsewhere[] = "another program kept the file locked";
inline constexpr char kOpenForWriting[] = "another program kept the file open for writing";
inline constexpr char kOpenWithoutDeleteSharing[] =
    "another program kept the file open without delete sharing";
inline constexpr char kForeignLink[] = "a symbolic link that belongs to another user, not followed";
inline constexpr char kLinkToBackup[] = "the rules file is a link to its own backup";
}  // namespace disk_error

#endif  // AUTOEXP_PLATFORM_DISK_H_
