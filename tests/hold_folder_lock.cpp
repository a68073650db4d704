// Takes the update lock of a folder (FOLDER ends in a backslash), as a run on
// another machine would, and
// holds it for a while: for the test of two machines on one shared folder.
//   hold_folder_lock FOLDER MILLISECONDS
// Prints "held" once it holds the lock, "released" as it lets it go.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/disk.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: hold_folder_lock FOLDER MILLISECONDS\n");
    return 2;
  }
  std::unique_ptr<Disk::Handle> lock;
  std::string error;
  if (SystemDisk().LockFolder(argv[1], &lock, &error) != Disk::Result::kOkay || !lock) {
    std::fprintf(stderr, "cannot lock %s: %s\n", argv[1], error.c_str());
    return 1;
  }
  std::printf("held\n");
  std::fflush(stdout);
  Sleep(static_cast<DWORD>(std::atoi(argv[2])));
  lock.reset();
  std::printf("released\n");
  std::fflush(stdout);
  return 0;
}
