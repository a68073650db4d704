#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

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
  if (HasAnsiSpelling(line)) {
    return true;
  }
  // Split as the C runtime splits the narrow line, for the arguments that
  // matter here (the rules for a program's name differ a little).
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(line, &count);
  bool exact = arguments == nullptr || index >= count || HasAnsiSpelling(arguments[index]);
  LocalFree(arguments);
  return exact;
}
