#ifndef AUTOEXP_TESTS_DISK_CALLS_H_
#define AUTOEXP_TESTS_DISK_CALLS_H_

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/disk.h"

// The system disk's update made as a run makes it, each under the file's own
// lock (one try), for the disk tests of both systems.

std::unique_ptr<FileLock> LockOnce(const std::string& path, const std::string& backupPath,
                                   std::string* error);

// The whole file at |path|.
Disk::Result ReadWhole(const std::string& path, std::string* contents, std::string* error);

// Replaces the file at |path|, which must hold |expected| (none: no file),
// with |bytes| (none: it keeps its bytes), keeping the old bytes under
// |backupPath| where one is given.
ReplaceStatus ReplaceLocked(const std::string& path, std::optional<std::string_view> expected,
                            std::optional<Pieces> bytes, const std::string& backupPath,
                            std::string* error);

// Replaces the file at |path| as a run does: its new bytes made by |edit|
// from what was read (empty: no file), expecting what was read, with
// |meanwhile| (another program's doing) run between the read and the
// replacement.
ReplaceStatus ReplaceAsRun(const std::string& path,
                           const std::function<std::string(std::string_view)>& edit,
                           const std::function<void()>& meanwhile, std::string* error);

// Replaces the file at |path| with |bytes|, whatever it holds (or creates it).
ReplaceStatus Replace(const std::string& path, std::string_view bytes, std::string* error);

#endif  // AUTOEXP_TESTS_DISK_CALLS_H_
