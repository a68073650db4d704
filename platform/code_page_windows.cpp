#include <windows.h>

#include <string>

#include "platform/code_page.h"

namespace {

// Whether |text| can be written in the ANSI code page, character for
// character, with no look-alike in the place of one it lacks.
bool HasAnsiSpelling(const std::wstring& text) {
  UINT codePage = GetACP();
  if (codePage == CP_UTF8 || text.empty()) {
    return true;  // every character has one (and the call below refuses to say)
  }
  BOOL replaced = FALSE;
  int length = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, text.data(),
                                   static_cast<int>(text.size()), nullptr, 0, nullptr, &replaced);
  return length > 0 && !replaced;
}

// Argument |index| of the wide command line |line|, split as the C runtime
// splits the narrow one: the program's name runs to the first blank outside
// quotes; then blanks separate arguments outside quotes, 2n backslashes and a
// quote give n backslashes and open or close a quoted stretch, 2n+1
// backslashes and a quote give n backslashes and a quote, and a doubled quote
// inside a quoted stretch gives a quote.
std::wstring WideArgument(const wchar_t* line, int index) {
  auto blank = [](wchar_t c) { return c == L' ' || c == L'\t'; };
  bool quoted = false;
  for (; *line != 0 && (quoted || !blank(*line)); ++line) {
    quoted = *line == L'"' ? !quoted : quoted;
  }
  for (int at = 1;; ++at) {
    while (blank(*line)) {
      ++line;
    }
    if (*line == 0) {
      return std::wstring();
    }
    std::wstring argument;
    quoted = false;
    while (*line != 0 && (quoted || !blank(*line))) {
      std::size_t backslashes = 0;
      while (*line == L'\\') {
        ++backslashes;
        ++line;
      }
      if (*line != L'"') {
        argument.append(backslashes, L'\\');
        if (*line != 0 && (quoted || !blank(*line))) {
          argument += *line++;
        }
        continue;
      }
      argument.append(backslashes / 2, L'\\');
      if (backslashes % 2 == 1) {
        argument += *line++;
      } else if (quoted && line[1] == L'"') {
        argument += L'"';
        line += 2;
      } else {
        quoted = !quoted;
        ++line;
      }
    }
    if (at == index) {
      return argument;
    }
  }
}

}  // namespace

LeadByteTable SystemLeadBytes() {
  LeadByteTable table;
  UINT codePage = GetACP();
  for (int value = 0; value < 256; ++value) {
    table.isLead[static_cast<unsigned char>(value)] =
        IsDBCSLeadByteEx(codePage, static_cast<BYTE>(value)) != 0;
  }
  return table;
}

bool ArgumentIsExact(int index) {
  const wchar_t* line = GetCommandLineW();
  // The common case, asked once: nothing on the line lacks a spelling.
  return HasAnsiSpelling(line) || HasAnsiSpelling(WideArgument(line, index));
}
