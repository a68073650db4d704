#ifndef AUTOEXP_PROFILE_PROFILE_SYNTAX_H_
#define AUTOEXP_PROFILE_PROFILE_SYNTAX_H_

#include <cstddef>
#include <string_view>

// How one line of a profile text reads. Everything that reads such text
// (the store, and through it the run) reads it with these functions, and
// they read it as the system's own profile functions do:
//  - A line ends at LF, CRLF or a lone CR; the line end belongs to the line.
//  - Blanks are space, tab, vertical tab, form feed and the byte 0x1A.
//  - A line whose first non-blank byte is "[" and that holds a "]" is a
//    header: the name is what stands between the "[" and the line's last
//    "]", trimmed of blanks; whatever follows that "]" is ignored. A "[" line
//    without "]" is no header. A UTF-8 byte-order mark before the text's
//    first line does not hide a header there.
//  - Any other line holding "=" is a key line: the key is the text before the
//    first "=", the value the text after it, both trimmed of blanks.
// Where this program reads differently from the system, on purpose: a line
// whose first non-blank byte is ";" is a comment and never a key line, quotes
// around a value are kept, a value is never cut, bytes are compared as bytes,
// and a line without "=" holds no key.

// Inline: they run for every byte of a key and of a line's edges.
inline bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\x1A';
}

// The first position at or after |from| that holds no blank.
std::size_t SkipBlanks(std::string_view text, std::size_t from);

std::string_view TrimBlanks(std::string_view text);

bool EqualsIgnoringCase(std::string_view a, std::string_view b);

inline char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// The length of the first line of |text|, line end included; with no line end
// in |text|, its whole length.
std::size_t LineLength(std::string_view text);

// The lines of one text, asked for front to back: each byte is looked at
// about once, whatever ends the lines (LF, CRLF or a lone CR), so that a long
// text of short lines costs one pass.
class LineEnds {
 public:
  explicit LineEnds(std::string_view text);
  // The length of the line that begins at |at|, line end included, as
  // LineLength gives it; |at| may not go back from one call to the next.
  std::size_t LineLength(std::size_t at);

 private:
  std::string_view text_;
  std::size_t lf_ = std::string_view::npos;  // the next LF found, or the text's size
  std::size_t cr_ = std::string_view::npos;  // the next CR before it, or where it is
};

// Splits a text into lines as LineLength does.
class LineSplitter {
 public:
  explicit LineSplitter(std::string_view text);
  // The lines of |text| from |start| on, finding line ends with |ends|,
  // which other callers may share as long as none goes back.
  LineSplitter(std::string_view text, LineEnds* ends, std::size_t start);
  // The next line, line end included; false at the end of the text.
  bool Next(std::string_view* line);
  // Where the next line begins.
  std::size_t position() const;

 private:
  std::string_view text_;
  LineEnds own_;
  LineEnds* ends_;
  std::size_t start_ = 0;
};

// A line without its line end.
std::string_view LineContent(std::string_view line);

// Whether |line| is a header, and its name if so. |atFileStart| says the line
// is the text's first, where a UTF-8 byte-order mark may precede it.
bool ParseHeader(std::string_view line, bool atFileStart, std::string_view* name);

struct KeyLine {
  std::string_view key;    // trimmed
  std::string_view value;  // trimmed
};

// Whether |line|, which is no header, is a key line, and its key and value.
bool ParseKeyLine(std::string_view line, KeyLine* parsed);

#endif  // AUTOEXP_PROFILE_PROFILE_SYNTAX_H_
