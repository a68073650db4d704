#include "app/command_line.h"

#include <string>

namespace {

std::string Argument(int count, const char* const* arguments, int position) {
  if (position >= count || arguments == nullptr || arguments[position] == nullptr) {
    return std::string();
  }
  return arguments[position];
}

bool BeginsWith(const std::string& text, char first) {
  return !text.empty() && text[0] == first;
}

}  // namespace

CommandLine ParseCommandLine(int count, const char* const* arguments) {
  CommandLine line;
  line.count = count;
  line.baseDirectory = Argument(count, arguments, 1);
  line.subPath = Argument(count, arguments, 2);
  line.versionTag = Argument(count, arguments, 3);
  line.modeArg = Argument(count, arguments, 4);
  line.backupFlag = Argument(count, arguments, 7);
  return line;
}

RunMode SelectRunMode(const CommandLine& line) {
  if (line.count > 6 && BeginsWith(line.modeArg, 'I')) {
    return RunMode::kInstall;
  }
  if (line.count > 4 && BeginsWith(line.modeArg, 'U')) {
    return RunMode::kUninstall;
  }
  if (line.count > 4 && BeginsWith(line.modeArg, 'Q')) {
    return RunMode::kQuery;
  }
  return RunMode::kNone;
}

std::string Misuse(const CommandLine& line) {
  const std::string usage =
      "usage: autoexp-setup BASE SUB TAG I ARG5 ARG6 [BACKUP] (install), "
      "BASE SUB TAG U (uninstall), BASE SUB TAG Q (query)";
#ifdef _WIN32
  for (const std::string* argument : {&line.baseDirectory, &line.subPath}) {
    if (argument->find('"') != std::string::npos) {
      return std::string("argument ") + (argument == &line.baseDirectory ? "1" : "2") +
             " holds a quote: a backslash before a closing quote escapes it, so end a quoted "
             "folder with a blank (\"C:\\Debugger\\ \"); " +
             usage;
    }
  }
#endif
  if (line.count <= 1) {
    return "no arguments; " + usage;
  }
  int given = line.count - 1;
  if (BeginsWith(line.modeArg, 'I') && given < 6) {
    return "an install needs 6 arguments, " + std::to_string(given) +
           " given; usage: autoexp-setup BASE SUB TAG I ARG5 ARG6 [BACKUP]";
  }
  if ((BeginsWith(line.modeArg, 'U') || BeginsWith(line.modeArg, 'Q')) && given < 4) {
    return std::string(BeginsWith(line.modeArg, 'U') ? "an uninstall" : "a query") +
           " needs 4 arguments, " + std::to_string(given) +
           " given; usage: autoexp-setup BASE SUB TAG " + line.modeArg[0];
  }
  if (SelectRunMode(line) == RunMode::kNone) {
    return "mode \"" + line.modeArg + "\" is none of I, U and Q (upper case); " + usage;
  }
  return std::string();
}

bool WantsBackup(const CommandLine& line) {
  return line.count > 7 && BeginsWith(line.backupFlag, '1');
}
