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

// A rules file's text as the store edits it, and back: one call in, one out.
class ProfileText {
 public:
  // Takes the file's whole |bytes|, which must stay as they are while this
  // object lives: an 8-bit text is edited as its bytes stand; a UTF-16 one
  // as WTF-8 kept here. False for a UTF-16 text of an odd number of bytes,
  // which no edit could keep whole.
  bool Decode(std::string_view bytes);

  TextEncoding encoding() const { return encoding_; }
  // The text the store edits.
  std::string_view text() const { return text_; }

  // The bytes of a file in this text's encoding that holds |pieces|, one
  // after the other, as the store gives its edited text (at line bounds):
  // the pieces themselves for 8-bit text; for UTF-16, the byte-order mark
  // and the code units, kept here.
  std::vector<std::string_view> Encode(const std::vector<std::string_view>& pieces);

 private:
  TextEncoding encoding_ = TextEncoding::kBytes;
  std::string_view text_;
  std::string decoded_;
  std::string encoded_;
};

#endif  // AUTOEXP_PROFILE_PROFILE_ENCODING_H_
