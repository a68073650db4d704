#ifndef AUTOEXP_TESTS_DISK_CALLS_H_
#define AUTOEXP_TESTS_DISK_CALLS_H_

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/disk.h"

// The system disk's calls made as a run makes them, each under the file's
// own lock (one try), for the disk tests of both systems.

// The whole file at |path|.
Disk::ReadStatus ReadWhole(const std::string& path, std::string* contents, std::string* error);

// Replaces the file at |path|, which must hold |expected| (none: no file),
// with |bytes| (none: it keeps its bytes), keeping the old bytes under
// |backupPath| where one is given.
using Pieces = std::optional<std::vector<std::string_view>>;
Disk::ReplaceStatus ReplaceLocked(const std::string& path, Pieces expected, Pieces bytes,
                                  const std::string& backupPath, std::string* error);

// Replaces the file at |path| with |bytes| as a run does: expecting what Read
// gave (or no file), with |meanwhile| (another program's doing) run between
// the read and the replacement.
Disk::ReplaceStatus ReplaceAsRun(const std::string& path, std::string_view bytes,
                                 const std::function<void()>& meanwhile, std::string* error);

// Replaces the file at |path| with |bytes|, whatever it holds (or creates it).
Disk::ReplaceStatus Replace(const std::string& path, std::string_view bytes, std::string* error);

#endif  // AUTOEXP_TESTS_DISK_CALLS_H_
