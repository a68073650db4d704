#ifndef AUTOEXP_PLATFORM_WIDE_WINDOWS_H_
#define AUTOEXP_PLATFORM_WIDE_WINDOWS_H_

#include <string>
#include <string_view>

// On Windows every path and text inside the program is UTF-8, in narrow
// strings, as on POSIX; the system takes and gives UTF-16. The two meet only
// at a system call, where these convert: no name is ever put into a code
// page that may lack one of its characters. (Invalid UTF-16, a lone
// surrogate, becomes U+FFFD, and so does invalid UTF-8.)
std::wstring Wide(std::string_view utf8);
std::string Utf8(std::wstring_view wide);

// |wide| in the code page |codePage|: a character it lacks as "?".
std::string InCodePage(std::wstring_view wide, unsigned codePage);

#endif  // AUTOEXP_PLATFORM_WIDE_WINDOWS_H_
