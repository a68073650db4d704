#ifndef AUTOEXP_PROFILE_PROFILE_STORE_H_
#define AUTOEXP_PROFILE_PROFILE_STORE_H_

#include <cstdint>
#include <deque>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "profile/key_index.h"
#include "profile/profile_syntax.h"

// An INI-style profile text, edited key by key over the bytes it was given,
// which it never copies. Lines, headers and key lines read as
// profile_syntax.h says.
//
// What is read:
//  - Section names and keys match without regard to ASCII letter case.
//  - Only the first section of a name is used; in it, the first line of a key
//    is the one read, rewritten and deleted.
//
// How it is edited:
//  - Write rewrites the value of the key's first line in place, keeping the
//    blanks around it. A key that this store deleted and that is written
//    again takes the deleted line's place, with its blanks and its line end,
//    spelled as given. Any other key not yet there gets a new line right after
//    the section's last key line (after the header when there is none), so it
//    lands inside the section and not among the blank lines and comments that
//    lead to the next one. A missing section is appended to the text.
//  - Delete removes the key's first line only: a later line of the same key,
//    which that one shadowed, stays.
//  - A new line ends as the text's first line does (CRLF when it has none).
//  - Every byte outside the lines written or deleted stays as it was, NUL
//    bytes and bytes invalid in any encoding included. A text that ends
//    without a line end still does: a line added after its last line takes
//    the line end over, and deleting the last line gives it back.
//
// What is looked at: a section is found by jumping from one "[" to the next,
// up to the header that ends it, and nothing past that header is looked at
// while the section is all that is asked for. A section is split into lines
// only when it is asked for; with an index of the keys to be asked (Index),
// it keeps those keys' lines alone, each stretch between them one piece, so
// a section of millions of lines costs one pass and a few entries. Time is
// linear in the text, and memory beyond the text in what is edited.
class ProfileStore {
 public:
  // A store over |text|, which must stay as it is while the store lives.
  explicit ProfileStore(std::string_view text);
  explicit ProfileStore(const char* text) : ProfileStore(std::string_view(text)) {}
  // A temporary text would be gone before the store.
  explicit ProfileStore(std::string&&) = delete;
  ProfileStore(const ProfileStore&) = delete;
  ProfileStore& operator=(const ProfileStore&) = delete;

  // Announces the keys that will be asked of |section| before it is first
  // asked, so that splitting it keeps only their lines. Any other key is
  // still found: the section is then split into every line.
  void Index(std::string_view section, const std::vector<std::string>& keys);

  // The value of |key| in |section|, or "" when either is absent.
  std::string Read(std::string_view section, std::string_view key);

  // Makes |key| in |section| hold |value|. None may hold a CR or LF; the
  // section is trimmed and holds no "]", and the key holds no "=" and starts
  // with neither "[" nor ";". A value with leading or trailing blanks reads
  // back trimmed.
  void Write(std::string_view section, std::string_view key, std::string_view value);

  // Removes the first line of |key| in |section|.
  void Delete(std::string_view section, std::string_view key);

  // Whether any edit so far changed a byte of the text.
  bool edited() const { return edited_; }

  // The whole text as edited.
  std::string Contents();

  // The same text as pieces to be written one after the other, without
  // copying it: views into the text given and into the lines written, valid
  // while the store lives and is not edited.
  std::vector<std::string_view> Pieces();

 private:
  // A section that was asked for, split into entries: the header line, the
  // lines that may be asked for (with the hash of their key; 0 where the
  // line holds none, or was deleted), and, with an index, the stretches of
  // other lines between them, one entry each.
  struct Section {
    std::string_view name;
    // Where its header line begins in the text, and where the section ends
    // (the next header, or the text's end); both the text's end for a
    // section appended to it.
    std::size_t begin = 0;
    std::size_t end = 0;
    bool appended = false;
    std::vector<std::string_view> lines;
    std::vector<std::uint32_t> keyHashes;
    std::vector<bool> stretches;  // per entry: a stretch of lines, not one line
    std::optional<KeyIndex> index;
  };

  // A line that Delete removed, kept until the key is written again.
  struct Vacancy {
    Section* section;
    std::size_t line;
    std::string key;
    std::string_view deleted;
  };

  Section* FindSection(std::string_view name);
  Section* AppendSection(std::string_view name);
  bool NextHeader(LineEnds* ends, std::size_t* at, std::size_t* lineEnd,
                  std::string_view* name) const;
  void Split(Section* section, LineEnds* ends);
  void SplitEveryLine(Section* section);
  std::string_view Own(std::string text);
  std::size_t FindKey(Section* section, std::string_view key);
  std::vector<Vacancy>::iterator FindVacancy(Section* section, std::string_view key);
  std::size_t InsertionPoint(Section* section);
  void InsertLine(Section* section, std::size_t position, std::string_view key,
                  std::string_view value);
  void EndLastLine(Section* section, std::size_t position);

  std::string_view text_;
  std::string lineEnd_;
  // The sections asked for, in the order of the text; appended ones last. A
  // list, so that a section found later leaves the others where they are.
  std::list<Section> sections_;
  std::vector<std::string> absent_;  // names asked for that no header has
  std::vector<std::pair<std::string, std::vector<std::string>>> indexes_;
  std::vector<Vacancy> vacancies_;
  std::deque<std::string> owned_;  // texts of written lines; a deque keeps them in place
  bool edited_ = false;
};

#endif  // AUTOEXP_PROFILE_PROFILE_STORE_H_
