#ifndef AUTOEXP_RULES_PROFILE_STORE_H_
#define AUTOEXP_RULES_PROFILE_STORE_H_

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

// The text of an INI-style profile file, held in memory and edited key by key.
//
// How the text is read:
//  - Lines end in LF or CRLF; each line keeps its own. A new line uses the
//    file's convention (its first line end; CRLF when it has none).
//  - A line whose first non-blank character is "[" starts a section; the name
//    runs to the next "]" and is trimmed. A UTF-8 byte-order mark at the very
//    start of the file does not hide a header on the first line.
//  - A line holding "=" is a key line: the key is the text before the first
//    "=", the value the text after it, both trimmed of spaces and tabs. Quotes
//    are not stripped. Lines whose first non-blank character is ";" are
//    comments and never match.
//  - Section names and keys match without regard to ASCII letter case.
//  - Only the first section of a name is used; in it, the first line of a key
//    is the one read and rewritten.
//
// How it is edited:
//  - Write rewrites the value of the key's first line in place, keeping the
//    spacing around it; a key not yet there gets a new line right after the
//    section's last key line (after the header when there is none), so it
//    lands inside the section and not among the blank lines and comments
//    that lead to the next one. A missing section is appended to the text.
//  - Delete removes every line of the key, so no shadowed duplicate can
//    surface later.
//  - Every byte outside the lines written or deleted stays as it was, NUL
//    bytes and bytes invalid in any encoding included; a last line without a
//    line end gets one only when a line is added after it.
//
// Only the sections that are looked at are split into lines, so a large file
// costs one pass to find its headers plus one copy when the text is taken.
class ProfileStore {
 public:
  explicit ProfileStore(std::string contents);
  ProfileStore(const ProfileStore&) = delete;
  ProfileStore& operator=(const ProfileStore&) = delete;

  // The value of |key| in |section|, or "" when either is absent.
  std::string Read(std::string_view section, std::string_view key);

  // Makes |key| in |section| hold |value|. None may hold a line feed; the
  // section is trimmed and holds no "]", and the key holds no "=" and starts
  // with neither "[" nor ";". A value with leading or trailing blanks reads
  // back trimmed.
  void Write(std::string_view section, std::string_view key, std::string_view value);

  // Removes every line of |key| in |section|.
  void Delete(std::string_view section, std::string_view key);

  // Whether any edit so far changed a byte of the text.
  bool changed() const { return changed_; }

  // The text as it was given, before any edit.
  std::string_view original() const { return contents_; }

  // The whole text as edited.
  std::string Contents() const;

  // The same text as pieces to be written one after the other, without
  // copying it: views into the store, valid while it lives and is not edited.
  std::vector<std::string_view> Pieces() const;

 private:
  struct Section {
    std::string_view name;
    bool hasHeader = false;
    std::string_view text;  // the section's lines while it is not split
    bool split = false;
    std::vector<std::string_view> lines;   // each with its line end
    std::vector<std::uint32_t> keyHashes;  // per line; 0 where no key is
  };

  Section* FindSection(std::string_view name);
  void Split(Section* section);
  std::string_view Own(std::string text);
  std::size_t FindKey(const Section& section, std::string_view key, std::size_t from) const;
  void InsertLine(Section* section, std::size_t position, std::string_view key,
                  std::string_view value);
  void EndLastLine(Section* section, std::size_t position);

  std::string contents_;
  std::string lineEnd_;
  std::vector<Section> sections_;
  std::deque<std::string> owned_;  // texts of written lines; a deque keeps them in place
  bool changed_ = false;
};

#endif  // AUTOEXP_RULES_PROFILE_STORE_H_
