#ifndef AUTOEXP_APP_RUN_INSTALLER_H_
#define AUTOEXP_APP_RUN_INSTALLER_H_

#include <chrono>

#include "platform/disk.h"

// Exit statuses of a run.
constexpr int kExitSucceeded = 0;  // the run did its job (a query: every rule is in)
constexpr int kExitFailed = 1;     // a file operation failed; the rules file is as it was
constexpr int kExitMisuse = 2;     // the command line selects no run; nothing was touched
constexpr int kExitNotAllIn = 3;   // a query found a rule missing or different

// The whole job of one process: traces arguments 1 and 2, builds the path of
// the rules file from them, and installs or removes the display rules, or
// looks whether they are in, as the mode argument says; ends with one line
// that says what it did, or an error line. All edits are made over the
// file's bytes read once into a buffer of the run's own, and written back
// once, and only if a byte changed.
int RunInstaller(int count, const char* const* arguments);

// What a run takes from the system besides its arguments; tests put their
// own.
struct RunSystem {
  Disk& disk;
  // How long the run waits for the rules file's update lock.
  std::chrono::milliseconds lockWait = kLockWait;
};

// The same with |system|.
int RunInstaller(int count, const char* const* arguments, const RunSystem& system);

#endif  // AUTOEXP_APP_RUN_INSTALLER_H_
