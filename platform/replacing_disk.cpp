#include "platform/replacing_disk.h"

bool ReplacingDisk::WriteFile(const std::string& path, const std::vector<std::string_view>& pieces,
                              std::string* error) {
  Replacement replacement;
  replacement.pieces = pieces;
  return Replace(path, Condition::kAlways, replacement, error) == ReplaceStatus::kReplaced;
}

Disk::ReplaceStatus ReplacingDisk::ReplaceFile(const std::string& path,
                                               const Replacement& replacement, std::string* error) {
  return Replace(path, replacement.expected == nullptr ? Condition::kAbsent : Condition::kHolds,
                 replacement, error);
}
