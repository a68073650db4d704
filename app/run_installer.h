#ifndef AUTOEXP_APP_RUN_INSTALLER_H_
#define AUTOEXP_APP_RUN_INSTALLER_H_

#include "platform/disk.h"

// Exit statuses of a run.
constexpr int kExitSucceeded = 0;  // the run did its job, or no run was selected
constexpr int kExitFailed = 1;     // a file operation failed; the rules file is as it was

// The whole job of one process: traces arguments 1 and 2, builds the path of
// the rules file from them, and installs or removes the display rules as the
// mode argument says (or does nothing more). All edits are made on one copy of
// the file in memory, which is written back once, and only if a byte changed.
int RunInstaller(int count, const char* const* arguments);

// The same on |disk|, which tests replace. |pathExact| says whether arguments
// 1 and 2 reached the program as the user gave them (ArgumentIsExact): a
// folder whose name the system's code page cannot spell arrives as another
// folder's name, and a run on it fails rather than edit that folder's file.
int RunInstaller(int count, const char* const* arguments, Disk& disk, bool pathExact = true);

#endif  // AUTOEXP_APP_RUN_INSTALLER_H_
