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

enum class RunMode { kNone, kInstall, kUninstall, kQuery };

// The run the mode argument asks for, by its first character in upper case:
// "I" install (arguments 1 to 6 needed), "U" uninstall and "Q" query, which
// only looks (arguments 1 to 4). Nothing where that is not so.
RunMode SelectRunMode(const CommandLine& line);

// What is wrong with a command line that selects no run, and the right form,
// for the error line; empty where it selects one. On Windows a quote in
// argument 1 or 2 is wrong too: no file name holds one, so only a setup that
// let a backslash escape its closing quote gives one.
std::string Misuse(const CommandLine& line);

// An install backs the rules file up first when a 7th argument begins with "1".
bool WantsBackup(const CommandLine& line);

#endif  // AUTOEXP_APP_COMMAND_LINE_H_
