#ifndef AUTOEXP_PLATFORM_REPLACING_DISK_H_
#define AUTOEXP_PLATFORM_REPLACING_DISK_H_

#include <string>
#include <string_view>
#include <vector>

#include "platform/disk.h"

// What the disks of both systems share: WriteFile and ReplaceFile are the
// same replacement, made under different conditions on the old file.
class ReplacingDisk : public Disk {
 public:
  bool WriteFile(const std::string& path, const std::vector<std::string_view>& pieces,
                 std::string* error) final;
  ReplaceStatus ReplaceFile(const std::string& path, const Replacement& replacement,
                            std::string* error) final;

 protected:
  // What must hold of the file's old state for the replacement to go ahead.
  enum class Condition {
    kAlways,  // anything, or nothing, may be there
    kAbsent,  // no file may be there
    kHolds,   // the file must hold exactly *replacement.expected
  };

  // Does what ReplaceFile describes, with |condition| in place of what
  // |replacement.expected| would say.
  virtual ReplaceStatus Replace(const std::string& path, Condition condition,
                                const Replacement& replacement, std::string* error) = 0;
};

#endif  // AUTOEXP_PLATFORM_REPLACING_DISK_H_
