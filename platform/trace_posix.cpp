#include <cstdio>

#include "platform/trace.h"

void DebugTrace(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  if (text.empty() || text.back() != '\n') {
    std::fputc('\n', stderr);
  }
  std::fflush(stderr);
}
