#include <windows.h>

#include <string>

#include "platform/trace.h"

// The system takes every text; with no debugger attached it drops it.
bool DebugTrace(std::string_view text) {
  OutputDebugStringA(std::string(text).c_str());
  return true;
}
