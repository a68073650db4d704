#include "app/command_line.h"

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
  return RunMode::kNone;
}

bool WantsBackup(const CommandLine& line) {
  return line.count > 7 && BeginsWith(line.backupFlag, '1');
}
