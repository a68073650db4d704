#include <windows.h>

#include <string>

#include "platform/trace.h"

// The system takes every text; with no debugger attached it drops it. A
// setup that starts the program with its standard error redirected (NSIS's
// nsExec, WiX's QuietExec, a script's 2>) gets each text there too, one per
// line, as on other systems. That copy is a courtesy: a GUI program started
// from Explorer has no standard error, and a log that cannot be written never
// fails a run.
bool DebugTrace(std::string_view text) {
  std::string line(text);
  OutputDebugStringA(line.c_str());
  HANDLE log = GetStdHandle(STD_ERROR_HANDLE);
  if (log != nullptr && log != INVALID_HANDLE_VALUE) {
    if (line.empty() || line.back() != '\n') {
      line += '\n';
    }
    DWORD written = 0;
    WriteFile(log, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  }
  return true;
}
