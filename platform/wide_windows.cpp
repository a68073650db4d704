#include "platform/wide_windows.h"

#include <windows.h>

std::wstring Wide(std::string_view utf8) {
  int size = static_cast<int>(utf8.size());
  std::wstring wide(
      static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0)),
      L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, &wide[0], static_cast<int>(wide.size()));
  return wide;
}

std::string Utf8(std::wstring_view wide) {
  return InCodePage(wide, CP_UTF8);
}

std::string InCodePage(std::wstring_view wide, unsigned codePage) {
  // No look-alike for a character the code page lacks: "Omega" for
  // "\u03A9mega" would name another folder. (UTF-8 takes no flags.)
  DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  int size = static_cast<int>(wide.size());
  std::string text(static_cast<std::size_t>(WideCharToMultiByte(codePage, flags, wide.data(), size,
                                                                nullptr, 0, nullptr, nullptr)),
                   '\0');
  WideCharToMultiByte(codePage, flags, wide.data(), size, &text[0], static_cast<int>(text.size()),
                      nullptr, nullptr);
  return text;
}
