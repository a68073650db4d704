#include "tests/fake_disk.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

using Result = Disk::Result;

class FolderLock : public Disk::Handle {
 public:
  FolderLock(std::set<std::string>* held, std::string folder)
      : held_(held), folder_(std::move(folder)) {
    held_->insert(folder_);
  }
  ~FolderLock() override { held_->erase(folder_); }

 private:
  std::set<std::string>* held_;
  std::string folder_;
};

}  // namespace

// A file held open: the name and which file that name held then.
class FakeFile : public Disk::Handle {
 public:
  FakeFile(std::string name, int held) : path(std::move(name)), version(held) {}
  std::string path;
  int version;
};

const char* FakeDisk::Name(Call call) {
  static const char* const kNames[] = {"FinalPath", "LockFolder", "OpenFile", "StillHolds",
                                       "ReadAt",    "Look",       "SameFile", "WriteNew",
                                       "Rename",    "Remove",     "List"};
  return kNames[call];
}

bool FakeDisk::Fails(Call call, std::string* error) {
  if (++calls[call] != failing_[call] && !bad_) {
    return false;
  }
  if (fault_ == Fault::kOutOfMemory) {
    throw std::bad_alloc();
  }
  bad_ = fault_ == Fault::kFromThenOn;
  if (error != nullptr) {
    *error = std::string(Name(call)) + " failed";
  }
  return true;
}

Result FakeDisk::FinalPath(const std::string& path, std::string* final, std::string* error) {
  if (Fails(kFinalPath, error)) {
    return Result::kFailed;
  }
  *final = path;
  return Result::kOkay;
}

Result FakeDisk::LockFolder(const std::string& folder, std::unique_ptr<Handle>* lock,
                            std::string* error) {
  if (Fails(kLockFolder, error)) {
    return Failure();
  }
  if (busyTries > 0 || lockedFolders_.count(folder) != 0) {
    --busyTries;
    *error = disk_error::kLockedElsewhere;
    return Result::kBusy;
  }
  *lock = std::make_unique<FolderLock>(&lockedFolders_, folder);
  return Result::kOkay;
}

Result FakeDisk::OpenFile(const std::string& path, std::unique_ptr<Handle>* file, Entry* entry,
                          std::string* error) {
  if (Fails(kOpenFile, error)) {
    return Failure();
  }
  if (directories.count(path) != 0) {
    *error = disk_error::kIsDirectory;
    return Result::kFailed;
  }
  auto found = files.find(path);
  if (found == files.end()) {
    return Result::kNotFound;
  }
  entry->kind = Kind::kFile;
  entry->readOnly = readOnly.count(path) != 0;
  entry->size = claimedSize != 0 ? claimedSize : found->second.size();
  *file = std::make_unique<FakeFile>(path, versions_[path]);
  return Result::kOkay;
}

void FakeDisk::Meanwhile() {
  if (!meanwhile.empty()) {
    auto change = meanwhile.front();
    meanwhile.erase(meanwhile.begin());
    change(*this);
  }
}

bool FakeDisk::StillHolds(Handle& file, const std::string& path) {
  auto& held = static_cast<FakeFile&>(file);
  return !Fails(kStillHolds, nullptr) && held.path == path && files.count(path) != 0 &&
         versions_[path] == held.version;
}

// In pieces of a few bytes, so that every read loop goes round.
bool FakeDisk::ReadAt(Handle& file, std::uint64_t offset, char* into, std::size_t size,
                      std::size_t* got, std::string* error) {
  if (Fails(kReadAt, error)) {
    return false;
  }
  const std::string& bytes = files[static_cast<FakeFile&>(file).path];
  std::size_t at = std::min<std::size_t>(static_cast<std::size_t>(offset), bytes.size());
  *got = std::min<std::size_t>({size, bytes.size() - at, 7});
  std::memcpy(into, bytes.data() + at, *got);
  if (*got == 0) {
    Meanwhile();
  }
  return true;
}

Result FakeDisk::Look(const std::string& path, Entry* entry, std::string* error) {
  *entry = Entry();
  if (Fails(kLook, error)) {
    return Result::kFailed;
  }
  if (directories.count(path) != 0) {
    entry->kind = Kind::kDirectory;
  } else if (files.count(path) != 0) {
    entry->kind = Kind::kFile;
    entry->readOnly = readOnly.count(path) != 0;
    entry->size = files[path].size();
  }
  return Result::kOkay;
}

bool FakeDisk::SameFile(const std::string& a, const std::string& b) {
  return !Fails(kSameFile, nullptr) && a == b;
}

Result FakeDisk::WriteNew(const std::string& path, const std::vector<std::string_view>& bytes,
                          Handle*, std::string* error) {
  if (files.count(path) != 0) {
    ++calls[kWriteNew];
    return Result::kExists;
  }
  std::string joined;
  for (std::string_view piece : bytes) {
    joined.append(piece);
  }
  files[path] = joined.substr(0, joined.size() / 2);  // a failure part-way leaves this
  if (Fails(kWriteNew, error)) {
    return Result::kFailed;
  }
  files[path] = joined;
  return Result::kOkay;
}

Result FakeDisk::Rename(const std::string& from, const std::string& to, bool replace,
                        std::string* error) {
  if (Fails(kRename, error)) {
    return Failure();
  }
  if (!replace) {
    Meanwhile();  // the rename that must find no file is the check
  }
  if (files.count(to) != 0 && !replace) {
    return Result::kExists;
  }
  if (directories.count(to) != 0 || files.count(from) == 0) {
    *error = "cannot rename";
    return Result::kFailed;
  }
  files[to] = files[from];
  files.erase(from);
  readOnly.erase(to);
  ++versions_[to];
  renamedTo.push_back(to);
  return Result::kOkay;
}

bool FakeDisk::Remove(const std::string& path) {
  return !Fails(kRemove, nullptr) && files.erase(path) != 0;
}

std::vector<std::string> FakeDisk::List(const std::string& folder, std::string_view prefix) {
  std::vector<std::string> names;
  if (Fails(kList, nullptr)) {
    return names;
  }
  for (const auto& [path, bytes] : files) {
    std::string name = path.substr(FolderOf(path).size());
    if (FolderOf(path) == folder && name.compare(0, prefix.size(), prefix) == 0) {
      names.push_back(name);
    }
  }
  return names;
}
