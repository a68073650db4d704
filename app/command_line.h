#ifndef AUTOEXP_APP_COMMAND_LINE_H_
#define AUTOEXP_APP_COMMAND_LINE_H_

#include <string>

// The positional arguments, each an empty string when absent. |count| is the
// full argument count, program path included.
struct CommandLine {
  int count = 0;
  std::string baseDirectory;  // 1
  std::string subPath;        // 2
  std::string versionTag;     // 3
  std::string modeArg;        // 4; 5 and 6 must be there for an install, unread
  std::string backupFlag;     // 7
};

CommandLine ParseCommandLine(int count, const char* const* arguments);

enum class RunMode { kNone, kInstall, kUninstall };

// Install: more than 6 arguments and a mode beginning with "I". Otherwise
// uninstall: more than 4 arguments and a mode beginning with "U". Otherwise
// nothing. Only the first character counts, and only in upper case.
RunMode SelectRunMode(const CommandLine& line);

// An install backs the rules file up first when a 7th argument begins with "1".
bool WantsBackup(const CommandLine& line);

#endif  // AUTOEXP_APP_COMMAND_LINE_H_
