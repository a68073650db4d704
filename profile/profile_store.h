#ifndef AUTOEXP_PROFILE_PROFILE_STORE_H_
#define AUTOEXP_PROFILE_PROFILE_STORE_H_

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

// The text of an INI-style profile file, held in memory and edited key by key.
// Lines, headers and key lines read as profile_syntax.h says.
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
// The text may be given in pieces as it is read (Append), so that a reader
// can stop once the section it edits is whole (HasWholeSection). Only the
// sections that are looked at are split into lines, so a large file costs one
// pass to find its headers and no copy when it is written out (Pieces).
class ProfileStore {
 public:
  // A store whose text comes through Append.
  ProfileStore() = default;
  // A store over the whole of |text|.
  explicit ProfileStore(std::string text);
  ProfileStore(const ProfileStore&) = delete;
  ProfileStore& operator=(const ProfileStore&) = delete;

  // Makes room for a text of |size| bytes, so that Append copies each byte
  // once.
  void Reserve(std::size_t size) { text_.reserve(size); }

  // Adds the next piece of the text. Only before the first Read, Write,
  // Delete or Pieces: the text given up to then counts as the whole text.
  void Append(std::string_view piece);

  // Whether the text given so far holds the first section named |name| whole:
  // another header has come after it.
  bool HasWholeSection(std::string_view name);

  // Adds the rest of the text, read after the edits were made. It is kept as
  // it is and never searched, so the sections edited must be whole before.
  void AppendRest(std::string rest);

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
  bool changed() const { return changed_; }

  // The text as it was given, before any edit, as pieces.
  std::vector<std::string_view> Original() const;

  // The whole text as edited.
  std::string Contents();

  // The same text as pieces to be written one after the other, without
  // copying it: views into the store, valid while it lives and is not edited.
  std::vector<std::string_view> Pieces();

 private:
  struct Section {
    std::size_t begin = 0;  // offsets into text_ of the section's lines
    std::size_t end = 0;
    std::string_view name;  // set once the text is whole, like everything below
    std::size_t nameBegin = 0;
    std::size_t nameLength = 0;
    bool hasHeader = false;
    bool split = false;
    std::vector<std::string_view> lines;   // each with its line end
    std::vector<std::uint32_t> keyHashes;  // per line; 0 where no key is
    // A bit per value of a hash's low bits, set for every hash that a key
    // line of the section ever had: a key whose bit is clear is not there,
    // which most look-ups of an install find out at once. Sized by Split to
    // some eight bits a line, but kept small enough to stay in the cache:
    // setting bits all over a larger one costs a cache miss a line.
    std::vector<std::uint64_t> keyFilter;

    void SizeFilter(std::size_t lineCount) {
      std::size_t words = 16;
      while (words * 64 < lineCount * 8 && words < 8192) {
        words *= 2;
      }
      keyFilter.assign(words, 0);
    }
    void Mark(std::uint32_t hash) {
      if (keyFilter.empty()) {
        SizeFilter(0);
      }
      std::size_t bit = hash & (keyFilter.size() * 64 - 1);
      keyFilter[bit / 64] |= std::uint64_t{1} << (bit % 64);
    }
    bool MayHold(std::uint32_t hash) const {
      std::size_t bit = hash & (keyFilter.size() * 64 - 1);
      return !keyFilter.empty() && (keyFilter[bit / 64] >> (bit % 64) & 1) != 0;
    }
  };

  // A line that Delete removed, kept until the key is written again.
  struct Vacancy {
    std::size_t section;
    std::size_t line;
    std::string key;
    std::string_view deleted;
  };

  void ScanHeaders(bool atEnd);
  void Seal();
  Section* FindSection(std::string_view name);
  void Split(Section* section);
  std::string_view Own(std::string text);
  std::size_t FindKey(const Section& section, std::string_view key) const;
  std::vector<Vacancy>::iterator FindVacancy(std::size_t section, std::string_view key);
  void InsertLine(std::size_t section, std::size_t position, std::string_view key,
                  std::string_view value);
  void EndLastLine(Section* section, std::size_t position);

  std::string text_;
  std::string rest_;
  std::size_t scanned_ = 0;  // where the search for headers goes on
  std::string askedName_;    // what HasWholeSection was last asked, and how far it looked
  std::size_t askedUpTo_ = 1;
  std::size_t firstNamed_ = 0;  // the first section of that name; 0 when none yet
  bool sealed_ = false;
  std::string lineEnd_;
  std::vector<Section> sections_{Section()};  // the first one: the lines before any header
  std::vector<Vacancy> vacancies_;
  std::deque<std::string> owned_;  // texts of written lines; a deque keeps them in place
  bool changed_ = false;
};

#endif  // AUTOEXP_PROFILE_PROFILE_STORE_H_
