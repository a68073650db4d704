#include <windows.h>

#include <string>

#include "platform/trace.h"
#include "platform/wide_windows.h"

// The system takes every text; with no debugger attached it drops it. The
// debugger gets the text wide, so that a name in any script arrives as it
// is. A setup that starts the program with its standard error redirected
// (NSIS's nsExec, WiX's QuietExec, a script's 2>) gets each text there too,
// one per line, in the ANSI code page that such logs and consoles read: a
// character the code page lacks shows as "?". That copy is a courtesy: a GUI
// program started from Explorer has no standard error, and a log that cannot
// be written never fails a run.
bool DebugTrace(std::string_view text) {
  std::wstring wide = Wide(text);
  OutputDebugStringW(wide.c_str());
  HANDLE log = GetStdHandle(STD_ERROR_HANDLE);
  if (log != nullptr && log != INVALID_HANDLE_VALUE) {
    if (wide.empty() || wide.back() != L'\n') {
      wide += L'\n';
    }
    std::string line = InCodePage(wide, CP_ACP);
    DWORD written = 0;
    WriteFile(log, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  }
  return true;
}
