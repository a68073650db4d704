#ifndef AUTOEXP_PROFILE_PROFILE_ENCODING_H_
#define AUTOEXP_PROFILE_PROFILE_ENCODING_H_

#include <string>
#include <string_view>
#include <vector>

// How a rules file's bytes become the text the store edits, and back.
//
// The system's profile functions read and write a file that begins with a
// UTF-16 byte-order mark (FF FE little-endian, FE FF big-endian) in UTF-16;
// any other file is 8-bit text, bytes as they stand. So does this program,
// with one parser for both: a UTF-16 text is turned into WTF-8 (UTF-8 that
// also spells a lone surrogate, so that every sequence of code units has a
// spelling and comes back unit for unit), edited as 8-bit text, and turned
// back. Line ends, blanks, "[", "]", "=" and ";" are ASCII, so a line, a
// header and a key line read alike in both; the rules are ASCII, so they are
// written in the file's own byte order; and a saved value is copied code unit
// for code unit, never through a code page.
enum class TextEncoding {
  kBytes,
  kUtf16LittleEndian,
  kUtf16BigEndian,
};

// The encoding of a file whose first bytes are |start| (two are enough).
TextEncoding DetectEncoding(std::string_view start);

// The text the store edits, from a file's whole |bytes| in UTF-16
// (|encoding| is one of its byte orders): the text after the byte-order mark
// as WTF-8. (An 8-bit text is edited as its bytes stand.) False for a text
// of an odd number of bytes, which no edit could keep whole.
bool DecodeText(TextEncoding encoding, std::string_view bytes, std::string* text);

// The bytes of a file in |encoding| that holds |pieces|, one after the
// other, as the store gives its text: for UTF-16, the byte-order mark and the
// code units. The pieces must be DecodeText's text, edited at line bounds.
std::string EncodeText(TextEncoding encoding, const std::vector<std::string_view>& pieces);

#endif  // AUTOEXP_PROFILE_PROFILE_ENCODING_H_
