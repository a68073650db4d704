#ifndef AUTOEXP_RULES_PROFILE_SYNTAX_H_
#define AUTOEXP_RULES_PROFILE_SYNTAX_H_

#include <cstddef>
#include <string_view>

// How one line of a profile text reads; ProfileStore's comment gives the
// rules. Kept apart so that everything that reads such text reads it alike.

// Blanks are spaces and tabs.
bool IsBlank(char c);

// The first position at or after |from| that holds no blank.
std::size_t SkipBlanks(std::string_view text, std::size_t from);

std::string_view TrimBlanks(std::string_view text);

bool EqualsIgnoringCase(std::string_view a, std::string_view b);

char LowerAscii(char c);

// A line without its LF or CRLF. A CR not followed by LF is text.
std::string_view LineContent(std::string_view line);

// Whether |line| starts a section, and its name if so. |atFileStart| says the
// line is the text's first, where a UTF-8 byte-order mark may precede it.
bool ParseHeader(std::string_view line, bool atFileStart, std::string_view* name);

struct KeyLine {
  std::string_view key;    // trimmed
  std::string_view value;  // trimmed
};

// Whether |line| (not a header) holds a key, and the key and value if so.
bool ParseKeyLine(std::string_view line, KeyLine* parsed);

#endif  // AUTOEXP_RULES_PROFILE_SYNTAX_H_
