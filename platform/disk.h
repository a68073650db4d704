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
//   1. LockFile: take the file's update lock. Instances of this program, and
//      tools that lock the same way (crudini does), now wait for each other.
//   2. RemoveLeftovers: delete temporary files that a killed run left.
//   3. ReadPieces, editing in memory as the bytes come; stop reading early
//      when the rest of the file cannot change the edits and none are made.
//   4. ReplaceFile with the bytes read as the expected ones. It checks, right
//      before the new file takes the old one's place, that the file still
//      holds them; a program that took no lock and wrote in between makes it
//      return kChanged, and the caller starts over from step 1.
//   5. Let the lock go.
//
// The check in step 4 narrows the window for a writer that takes no lock to
// the moment between the check and the replacement; only the lock closes it.
class Disk {
 public:
  enum class ReadStatus {
    kOkay,      // *contents holds every byte of the file
    kNotFound,  // nothing exists at the path (or a link points nowhere)
    kFailed,    // something is there but could not be read; *error says why
  };

  enum class ReplaceStatus {
    kReplaced,      // the file now holds the new bytes
    kChanged,       // the file did not hold the expected bytes; nothing was written
    kFailed,        // *error says why; the file is untouched
    kBackupFailed,  // the backup could not be made; *error says why; the file is untouched
  };

  // Held while a file is updated; destroying it lets the lock go.
  class Lock {
   public:
    virtual ~Lock() = default;
  };

  virtual ~Disk() = default;

  // Takes the update lock of the file at |path| (a symbolic link is followed),
  // waiting a while for another holder to finish. When there is nothing to
  // lock (no file yet, not a regular file, a filesystem without locks) it
  // returns a lock that holds nothing: ReadFile and ReplaceFile then report
  // or catch what matters. Returns null with a reason in |*error| when the
  // lock stayed taken by another program for the whole wait.
  virtual std::unique_ptr<Lock> LockFile(const std::string& path, std::string* error) = 0;

  // Deletes the temporary files that runs killed part-way through a write of
  // |path| left beside it. Files that a running write still uses are kept.
  // Failures are ignored: a leftover disturbs nothing but the directory.
  virtual void RemoveLeftovers(const std::string& path) = 0;

  // Called with each piece of a file read, and with the file's size when it
  // was opened (the file may grow or shrink while it is read); returns
  // whether to read on.
  using Consumer = std::function<bool(std::string_view piece, std::uint64_t size)>;

  // Reads the regular file at |path| to its end, in pieces of a fixed,
  // moderate size handed to |consume| in order and not kept, so that the
  // caller holds only what it keeps. Stops early, with kOkay, when |consume|
  // returns false. A directory, FIFO, device or anything else that is not a
  // regular file is refused with kFailed before a byte is read, so a read can
  // never block or run forever. On kFailed, |*error| holds a short reason
  // such as "Permission denied".
  virtual ReadStatus ReadPieces(const std::string& path, const Consumer& consume,
                                std::string* error) = 0;

  // Makes the file at |path| hold exactly |pieces|, one after the other,
  // creating it if needed.
  // The update is atomic: the bytes go to a temporary file in the same
  // directory, are flushed to disk, and the temporary file then takes the
  // place of the old one, so a reader (or a crash) sees either the old file
  // whole or the new one whole.
  // A symbolic link is followed and its target replaced; the link stays.
  // An existing file keeps its permission bits (and owner, where the system
  // has them). A file without write permission is not replaced.
  // Returns false with a short reason in |*error| when the file could not be
  // written; the old file is then untouched and no temporary file is left.
  virtual bool WriteFile(const std::string& path, const std::vector<std::string_view>& pieces,
                         std::string* error) = 0;

  // What ReplaceFile is to do.
  struct Replacement {
    // The bytes the file must still hold, as pieces one after the other;
    // null: no file may be there yet.
    const std::vector<std::string_view>* expected = nullptr;
    // The new bytes: these pieces, one after the other.
    std::vector<std::string_view> pieces;
    // When set, the file's old bytes are kept under this name as part of the
    // replacement: by the time the new bytes take the file's place, the
    // backup holds exactly |*expected|, and a backup that cannot be made
    // leaves the file as it was. Where the system allows, the backup is the
    // old file itself, given the backup's name as it leaves the file's, so a
    // large file is not written twice.
    std::string backupPath;
  };

  // Does what WriteFile does, provided that right before the replacement the
  // file still holds exactly |*expected| or, with |expected| null, that there
  // is still no file at all (the file is then created without ever replacing
  // one made in the meantime). Otherwise returns kChanged and writes nothing.
  virtual ReplaceStatus ReplaceFile(const std::string& path, const Replacement& replacement,
                                    std::string* error) = 0;
};

// The disk of the system the program runs on.
Disk& SystemDisk();

#endif  // AUTOEXP_PLATFORM_DISK_H_
