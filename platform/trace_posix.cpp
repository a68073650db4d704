#include <cstdio>

#include "platform/trace.h"

bool DebugTrace(std::string_view text) {
  bool passed = std::fwrite(text.data(), 1, text.size(), stderr) == text.size();
  if (text.empty() || text.back() != '\n') {
    passed = std::fputc('\n', stderr) != EOF && passed;
  }
  return std::fflush(stderr) == 0 && passed;
}
