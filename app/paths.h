#ifndef AUTOEXP_APP_PATHS_H_
#define AUTOEXP_APP_PATHS_H_

#include <string>
#include <string_view>

#include "platform/code_page.h"

// |baseDirectory| without its final run of white space (space, tab, LF, VT,
// FF, CR), and then without its final run of backslashes. Each pass walks the
// text character by character, a lead byte of |leadBytes| taking its trail
// byte along, and tests only the first byte of each character, so a
// double-byte character whose trail byte is 0x5C is never taken for a
// backslash. Leading white space and forward slashes are kept.
std::string TrimBaseDirectory(std::string_view baseDirectory, const LeadByteTable& leadBytes);

// The trimmed base directory followed directly by |subPath|: no separator is
// put between them.
std::string DirPrefix(std::string_view baseDirectory, std::string_view subPath,
                      const LeadByteTable& leadBytes);

std::string RulesPath(std::string_view dirPrefix);
std::string BackupPath(std::string_view dirPrefix);

#endif  // AUTOEXP_APP_PATHS_H_
