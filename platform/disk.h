#ifndef AUTOEXP_PLATFORM_DISK_H_
#define AUTOEXP_PLATFORM_DISK_H_

#include <cstdint>
#include <functional>
#include <memory>
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
//   1. LockFile (below): take the file's update lock. Runs of this program
//      and tools that lock the same way (crudini does) wait for each other;
//      where the system can tell, so does a run for a program that has the
//      file open for writing without a lock, such as an editor saving in
//      place.
//   2. RemoveLeftovers: delete temporary files that a killed run left.
//   3. ReadPieces, editing in memory as the bytes come; stop reading early
//      when the rest of the file cannot change the edits and none are made.
//   4. ReplaceFile, expecting the bytes read. Right before the new file takes
//      the old one's place it checks that the file still holds them and that
//      the lock was kept (no program opened the file to write since); if not,
//      it returns kChanged and the caller starts over from step 1.
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
    kLocked,  // *lock holds the lock, or nothing where there is nothing to lock
    kBusy,    // another program holds it, or has the file open to write; *error says which
    kFailed,  // the path may not be used; *error says why
  };

  // What ReplaceFile expects to find at the path.
  enum class Expect {
    kAnything,    // a file or nothing; whatever it holds
    kNoFile,      // nothing; a file made in the meantime is never replaced
    kTheseBytes,  // a file holding exactly *Replacement::expected
  };

  enum class ReplaceStatus {
    kReplaced,      // the file now holds the new bytes (and the backup the old)
    kChanged,       // the expectation failed or the lock was lost; nothing was written
    kFailed,        // *error says why; the file and an older backup are as they were
                    // (one that could not be put back is kept where *error says)
    kBackupFailed,  // the backup could not be made; *error says why; both untouched
  };

  // Held while a file is updated; destroying it lets the lock go.
  class Lock {
   public:
    virtual ~Lock() = default;
    // False once another program has opened the file to write since the lock
    // was taken, where the system tells (Linux file leases).
    virtual bool Kept() const { return true; }
    // Closes what the lock holds open of the file itself, keeping the update
    // lock: called right before the new file takes the old one's place, where
    // the system renames nothing over a file that is open (Windows). From
    // then on writers are no longer kept out.
    virtual void LetFileGo() {}
  };

  struct Replacement {
    Expect expect = Expect::kAnything;
    // The bytes the file must still hold, as pieces one after the other.
    const std::vector<std::string_view>* expected = nullptr;
    // The new bytes, one piece after the other.
    std::vector<std::string_view> pieces;
    // The file's bytes stay as they are; only the backup is made.
    bool keepBytes = false;
    // With kTheseBytes: the old file is kept under this name as part of the
    // replacement. Whatever stands at the name (a file, a link, a link that
    // points nowhere) is replaced, never written through; a directory or
    // another non-file is refused. The backup gets the file's permission
    // bits and owner (it is the old file itself where the system allows). A
    // replacement that fails leaves an older backup exactly as it was.
    std::string backupPath;
    // When set and no longer kept, the replacement returns kChanged.
    Lock* lock = nullptr;
  };

  // Called with each piece of a file read, and with the file's size when it
  // was opened (the file may grow or shrink while it is read); returns
  // whether to read on.
  using Consumer = std::function<bool(std::string_view piece, std::uint64_t size)>;

  virtual ~Disk() = default;

  // One try, without waiting, at the update lock of the file at |path|
  // (links followed as ReplaceFile follows them; on Windows the lock is the
  // folder's, so that runs on files of one folder take turns). When there is nothing to
  // lock (no file yet, not a regular file, a filesystem without locks) it
  // gives a lock that holds nothing: ReadPieces and ReplaceFile then report
  // or catch what matters.
  virtual LockStatus TryLock(const std::string& path, std::unique_ptr<Lock>* lock,
                             std::string* error) = 0;

  // Deletes the temporary files that runs killed part-way through an update
  // of |path| (or of its backup at |path|) left. Files that a running update
  // still uses are kept. Failures are ignored: a leftover disturbs nothing
  // but the directory.
  virtual void RemoveLeftovers(const std::string& path) = 0;

  // Reads the regular file at |path| to its end, in pieces of a fixed,
  // moderate size handed to |consume| in order and not kept, so that the
  // caller holds only what it keeps. Stops early, with kOkay, when |consume|
  // returns false. A directory, FIFO, device or anything else that is not a
  // regular file is refused with kFailed before a byte is read, so a read can
  // never block or run forever. On kFailed, |*error| holds a short reason
  // such as "Permission denied".
  virtual ReadStatus ReadPieces(const std::string& path, const Consumer& consume,
                                std::string* error) = 0;

  // Makes the file at |path| hold exactly |replacement.pieces|, creating it
  // if needed, provided that right before the replacement the file is as
  // |replacement.expect| says and the lock is kept; otherwise returns
  // kChanged and writes nothing.
  // The update is atomic: the bytes go to a temporary file in the same
  // directory, are flushed to disk, and the temporary file then takes the
  // place of the old one, so a reader (or a crash) sees either the old file
  // whole or the new one whole.
  // A symbolic link is followed and its target replaced, the link staying;
  // on POSIX only a link that belongs to the user who runs the program or to
  // root is followed. An existing file keeps its permission bits, owner and
  // extended attributes (POSIX), or its attributes and access list (Windows);
  // one that cannot keep them is not replaced. A file without write
  // permission is not replaced.
  virtual ReplaceStatus ReplaceFile(const std::string& path, const Replacement& replacement,
                                    std::string* error) = 0;
};

// The disk of the system the program runs on.
Disk& SystemDisk();

// Takes the update lock of the file at |path|, trying again with growing
// pauses for a while when it is busy. Returns null with the reason in
// |*error| when it stayed busy for the whole wait or may not be taken.
std::unique_ptr<Disk::Lock> LockFile(Disk& disk, const std::string& path, std::string* error);

// Whether the file at |path| holds exactly |expected|, read in pieces so that
// the check needs no second copy of the file in memory.
bool FileHolds(Disk& disk, const std::string& path, const std::vector<std::string_view>& expected);

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
}  // namespace disk_error

#endif  // AUTOEXP_PLATFORM_DISK_H_
