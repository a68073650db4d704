#ifndef AUTOEXP_TESTS_FAKE_DISK_H_
#define AUTOEXP_TESTS_FAKE_DISK_H_

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/disk.h"

// Files in memory behind the primitives of a Disk, so that the one update
// protocol runs here as it runs on a system's disk: any call of any
// primitive can be made to fail, and a test can play another program that
// changes a file or holds a lock. Paths are plain strings, split into folder
// and name as the system's own (FolderOf).
class FakeDisk : public Disk {
 public:
  enum Call {
    kFinalPath,
    kLockFolder,
    kOpenFile,
    kStillHolds,
    kReadAt,
    kLook,
    kSameFile,
    kWriteNew,
    kRename,
    kRemove,
    kList,
    kCallKinds,
  };
  static const char* Name(Call call);

  // How a call fails: alone; with every later call of any primitive too (a
  // disk gone bad, or the process killed there: nothing it does after lands);
  // by running out of memory (std::bad_alloc); or, alone, as refused by
  // another program for a moment (kBusy, where a primitive says so).
  enum class Fault { kOnce, kFromThenOn, kOutOfMemory, kBusy };
  // The |n|-th call of |call| from now on, counted from 1, fails (kFailed,
  // false or nothing, with the reason "<name> failed").
  void Fail(Call call, int n, Fault fault = Fault::kOnce) {
    failing_[call] = calls[call] + n;
    fault_ = fault;
  }
  // Another program opens |path| for writing: a holder of it finds out.
  void OpenForWriting(const std::string& path) { ++versions_[path]; }

  Result FinalPath(const std::string& path, std::string* final, std::string* error) override;
  Result LockFolder(const std::string& folder, std::unique_ptr<Handle>* lock,
                    std::string* error) override;
  Result OpenFile(const std::string& path, std::unique_ptr<Handle>* file, Entry* entry,
                  std::string* error) override;
  bool StillHolds(Handle& file, const std::string& path) override;
  bool ReadAt(Handle& file, std::uint64_t offset, char* into, std::size_t size, std::size_t* got,
              std::string* error) override;
  Result Look(const std::string& path, Entry* entry, std::string* error) override;
  bool SameFile(const std::string& a, const std::string& b) override;
  Result WriteNew(const std::string& path, const std::vector<std::string_view>& bytes, Handle* like,
                  std::string* error) override;
  Result Rename(const std::string& from, const std::string& to, bool replace,
                std::string* error) override;
  bool Remove(const std::string& path) override;
  std::vector<std::string> List(const std::string& folder, std::string_view prefix) override;

  std::map<std::string, std::string> files;
  std::set<std::string> readOnly;     // files that may not be written
  std::set<std::string> directories;  // what stands at a name, not a file
  int busyTries = 0;                  // how many folder locks are found busy first
  std::uint64_t claimedSize = 0;      // the size an open tells, where not 0
  // Another program's doings: one each, in order, whenever a read reaches the
  // end of the file (the run's read, then the comparison of its check) or a
  // rename must find no file.
  std::vector<std::function<void(FakeDisk&)>> meanwhile;
  std::vector<std::string> renamedTo;  // every name a rename gave a file
  int calls[kCallKinds] = {};

 private:
  friend class FakeFile;
  bool Fails(Call call, std::string* error);
  Result Failure() const { return fault_ == Fault::kBusy ? Result::kBusy : Result::kFailed; }
  void Meanwhile();

  std::set<std::string> lockedFolders_;
  std::map<std::string, int> versions_;  // bumped whenever a name gets another file
  int failing_[kCallKinds] = {};
  Fault fault_ = Fault::kOnce;
  bool bad_ = false;  // every call fails from now on
};

#endif  // AUTOEXP_TESTS_FAKE_DISK_H_
