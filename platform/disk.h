#ifndef AUTOEXP_PLATFORM_DISK_H_
#define AUTOEXP_PLATFORM_DISK_H_

#include <string>
#include <string_view>

// Every file access of the program goes through a Disk, so that the whole run
// can be tested against a fake that fails wherever a test wants it to.
//
// Paths are narrow strings in the system's own encoding and are passed to the
// system unchanged.
class Disk {
 public:
  enum class ReadStatus {
    kOkay,      // *contents holds every byte of the file
    kNotFound,  // nothing exists at the path (or a link points nowhere)
    kFailed,    // something is there but could not be read; *error says why
  };

  virtual ~Disk() = default;

  // Reads the whole regular file at |path| into |*contents|.
  // A directory, FIFO, device or anything else that is not a regular file is
  // refused with kFailed before a byte is read, so a read can never block or
  // run forever. On kFailed, |*error| holds a short reason such as
  // "Permission denied" and |*contents| is unspecified.
  virtual ReadStatus ReadFile(const std::string& path, std::string* contents,
                              std::string* error) = 0;

  // Makes the file at |path| hold exactly |contents|, creating it if needed.
  // The update is atomic: the bytes go to a temporary file in the same
  // directory, are flushed to disk, and the temporary file then takes the
  // place of the old one, so a reader (or a crash) sees either the old file
  // whole or the new one whole.
  // A symbolic link is followed and its target replaced; the link stays.
  // An existing file keeps its permission bits (and owner, where the system
  // has them). A file without write permission is not replaced.
  // Returns false with a short reason in |*error| when the file could not be
  // written; the old file is then untouched and no temporary file is left.
  virtual bool WriteFile(const std::string& path, std::string_view contents,
                         std::string* error) = 0;
};

// The disk of the system the program runs on.
Disk& SystemDisk();

#endif  // AUTOEXP_PLATFORM_DISK_H_
