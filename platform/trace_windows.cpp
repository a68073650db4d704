#include <windows.h>

#include <string>

#include "platform/trace.h"

void DebugTrace(std::string_view text) {
  OutputDebugStringA(std::string(text).c_str());
}
