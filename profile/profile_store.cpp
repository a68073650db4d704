#include "profile/profile_store.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "profile/profile_syntax.h"

namespace {

// A hash of a key over its length and its first and last eight bytes, with
// ASCII letters folded to lower case (setting bit 0x20 folds some other
// bytes together too, which costs only a comparison). Every key line of a
// section is hashed, and lines whose hashes agree are compared whole, so
// the hash is made for speed. Never 0, which marks a line without a key.
std::uint32_t KeyHash(std::string_view key) {
  auto eight = [key](std::size_t from) {
    std::uint64_t bytes = 0;
    std::memcpy(&bytes, key.data() + from, std::min<std::size_t>(8, key.size() - from));
    return bytes | 0x2020202020202020u;
  };
  std::uint64_t mixed = key.size() * 0x9E3779B97F4A7C15u;
  mixed ^= eight(0) * 0xC2B2AE3D27D4EB4Fu;
  mixed ^= eight(key.size() > 8 ? key.size() - 8 : 0) * 0x165667B19E3779F9u;
  auto hash = static_cast<std::uint32_t>(mixed ^ (mixed >> 29) ^ (mixed >> 47));
  return hash == 0 ? 1 : hash;
}

std::uint32_t LineKeyHash(std::string_view line) {
  KeyLine parsed;
  return ParseKeyLine(line, &parsed) ? KeyHash(parsed.key) : 0;
}

// |line|, a key line, holding |key| and |value| instead of its own, every
// other byte kept: the blanks before the key, around "=" and after the value,
// and the line end.
std::string RewriteLine(std::string_view line, std::string_view key, std::string_view value) {
  std::string_view content = LineContent(line);
  std::size_t keyStart = SkipBlanks(content, 0);
  std::size_t equals = content.find('=', keyStart);
  std::size_t keyStop = equals;
  while (keyStop > keyStart && IsBlank(content[keyStop - 1])) {
    --keyStop;
  }
  std::size_t valueStart = SkipBlanks(content, equals + 1);
  std::size_t valueStop = content.size();
  while (valueStop > valueStart && IsBlank(content[valueStop - 1])) {
    --valueStop;
  }
  std::string rewritten(content.substr(0, keyStart));
  rewritten.append(key);
  rewritten.append(content.substr(keyStop, valueStart - keyStop));
  rewritten.append(value);
  rewritten.append(content.substr(valueStop));
  rewritten.append(line.substr(content.size()));
  return rewritten;
}

bool EndsInLineEnd(std::string_view text) {
  return !text.empty() && (text.back() == '\n' || text.back() == '\r');
}

}  // namespace

ProfileStore::ProfileStore(std::string text) : text_(std::move(text)) {}

void ProfileStore::Append(std::string_view piece) {
  text_.append(piece);
  ScanHeaders(false);
}

// Finds the headers in the lines that are whole so far; with |atEnd|, the
// last line counts as whole too. A header line holds a "[", so the search
// jumps from one "[" to the next and looks at the line around it only then,
// instead of looking at every line.
void ProfileStore::ScanHeaders(bool atEnd) {
  std::string_view text = text_;
  while (scanned_ < text.size()) {
    std::size_t bracket = text.find('[', scanned_);
    if (bracket == std::string_view::npos) {
      scanned_ = text.size();
      return;
    }
    std::size_t lineEndBefore = text.find_last_of("\r\n", bracket);
    std::size_t lineStart = lineEndBefore == std::string_view::npos ? 0 : lineEndBefore + 1;
    std::string_view rest = text.substr(lineStart);
    if (!atEnd && !HoldsWholeLine(rest)) {
      scanned_ = bracket;
      return;
    }
    std::size_t next = lineStart + LineLength(rest);
    std::string_view name;
    if (ParseHeader(text.substr(lineStart, next - lineStart), lineStart == 0, &name)) {
      sections_.back().end = lineStart;
      Section section;
      section.begin = lineStart;
      section.nameBegin = static_cast<std::size_t>(name.data() - text.data());
      section.nameLength = name.size();
      section.hasHeader = true;
      sections_.push_back(std::move(section));
    }
    // Another "[" on the same line cannot start a header.
    scanned_ = next;
  }
}

bool ProfileStore::HasWholeSection(std::string_view name) {
  // Asked after every piece read: only the sections found since the last
  // question are looked at.
  if (!EqualsIgnoringCase(askedName_, name)) {
    askedName_ = std::string(name);
    askedUpTo_ = 1;
    firstNamed_ = 0;
  }
  std::string_view text = text_;
  for (; firstNamed_ == 0 && askedUpTo_ < sections_.size(); ++askedUpTo_) {
    const Section& section = sections_[askedUpTo_];
    if (EqualsIgnoringCase(text.substr(section.nameBegin, section.nameLength), name)) {
      firstNamed_ = askedUpTo_;
    }
  }
  return firstNamed_ != 0 && firstNamed_ + 1 < sections_.size();
}

// Takes the text given so far as the whole text: from here on it stays
// where it is, and views into it can be kept.
void ProfileStore::Seal() {
  if (sealed_) {
    return;
  }
  sealed_ = true;
  ScanHeaders(true);
  std::string_view text = text_;
  sections_.back().end = text.size();
  for (Section& section : sections_) {
    section.name = text.substr(section.nameBegin, section.nameLength);
  }
  std::string_view firstLine = text.substr(0, LineLength(text));
  std::string_view firstLineEnd = firstLine.substr(LineContent(firstLine).size());
  lineEnd_ = firstLineEnd.empty() ? "\r\n" : std::string(firstLineEnd);
}

void ProfileStore::AppendRest(std::string rest) {
  Seal();
  rest_ = std::move(rest);
}

std::string ProfileStore::Read(std::string_view section, std::string_view key) {
  Section* found = FindSection(section);
  if (found == nullptr) {
    return std::string();
  }
  std::size_t line = FindKey(*found, key);
  KeyLine parsed;
  if (line == std::string_view::npos || !ParseKeyLine(found->lines[line], &parsed)) {
    return std::string();
  }
  return std::string(parsed.value);
}

void ProfileStore::Write(std::string_view section, std::string_view key, std::string_view value) {
  Section* found = FindSection(section);
  if (found == nullptr) {
    Section& last = sections_.back();
    if (!last.split && last.end > last.begin &&
        !EndsInLineEnd(std::string_view(text_).substr(0, last.end))) {
      Split(&last);
    }
    if (last.split) {
      EndLastLine(&last, last.lines.size());
    }
    sections_.emplace_back();
    found = &sections_.back();
    found->name = Own(std::string(section));
    found->hasHeader = true;
    found->split = true;
    found->lines.push_back(Own("[" + std::string(section) + "]" + lineEnd_));
    found->keyHashes.push_back(0);
    changed_ = true;
  }
  std::size_t index = static_cast<std::size_t>(found - sections_.data());

  auto vacancy = FindVacancy(index, key);
  if (vacancy != vacancies_.end()) {
    // A deleted last line had no line end; lines may have come after it
    // since. Pieces takes the line end off again if it is still last.
    std::string line = RewriteLine(vacancy->deleted, key, value);
    if (!EndsInLineEnd(line)) {
      line.append(lineEnd_);
    }
    found->lines[vacancy->line] = Own(std::move(line));
    found->keyHashes[vacancy->line] = KeyHash(key);
    found->Mark(KeyHash(key));
    vacancies_.erase(vacancy);
    changed_ = true;
    return;
  }

  std::size_t line = FindKey(*found, key);
  if (line != std::string_view::npos) {
    KeyLine parsed;
    ParseKeyLine(found->lines[line], &parsed);
    std::string rewritten = RewriteLine(found->lines[line], parsed.key, value);
    if (rewritten != found->lines[line]) {
      found->lines[line] = Own(std::move(rewritten));
      changed_ = true;
    }
    return;
  }

  // After the last key line, or right after the header.
  std::size_t position = found->lines.size();
  while (position > 1 && found->keyHashes[position - 1] == 0) {
    --position;
  }
  InsertLine(index, position, key, value);
}

void ProfileStore::Delete(std::string_view section, std::string_view key) {
  Section* found = FindSection(section);
  if (found == nullptr) {
    return;
  }
  std::size_t line = FindKey(*found, key);
  if (line == std::string_view::npos) {
    return;
  }
  // The line is left as an empty view, which writes out as nothing; erasing
  // it would move every line after it. The first deleted line of a key is
  // the place the key takes when it is written again.
  std::size_t index = static_cast<std::size_t>(found - sections_.data());
  if (FindVacancy(index, key) == vacancies_.end()) {
    vacancies_.push_back(Vacancy{index, line, std::string(key), found->lines[line]});
  }
  found->lines[line] = std::string_view();
  found->keyHashes[line] = 0;
  changed_ = true;
}

std::vector<std::string_view> ProfileStore::Original() const {
  std::vector<std::string_view> original;
  for (std::string_view piece : {std::string_view(text_), std::string_view(rest_)}) {
    if (!piece.empty()) {
      original.push_back(piece);
    }
  }
  return original;
}

std::string ProfileStore::Contents() {
  std::vector<std::string_view> pieces = Pieces();
  std::size_t size = 0;
  for (std::string_view piece : pieces) {
    size += piece.size();
  }
  std::string contents;
  contents.reserve(size);
  for (std::string_view piece : pieces) {
    contents.append(piece);
  }
  return contents;
}

std::vector<std::string_view> ProfileStore::Pieces() {
  Seal();
  // Lines that lie next to each other in the text read are one piece, so a
  // large section that was split into lines but barely edited still goes
  // out as a few large pieces.
  std::vector<std::string_view> pieces;
  auto add = [&pieces](std::string_view piece) {
    if (piece.empty()) {
      return;
    }
    if (!pieces.empty() && pieces.back().data() + pieces.back().size() == piece.data()) {
      pieces.back() = std::string_view(pieces.back().data(), pieces.back().size() + piece.size());
    } else {
      pieces.push_back(piece);
    }
  };
  std::string_view text = text_;
  for (const Section& section : sections_) {
    if (!section.split) {
      add(text.substr(section.begin, section.end - section.begin));
      continue;
    }
    for (std::string_view line : section.lines) {
      add(line);
    }
  }
  add(rest_);
  // A text that ended without a line end keeps ending so; the line end of
  // its last line was only lent to the lines added after it. An empty line
  // is nothing but its line end: when one has become the last, it stays
  // whole, and the text ends in a line end.
  std::string_view last = rest_.empty() ? text : std::string_view(rest_);
  if (!last.empty() && !EndsInLineEnd(last) && !pieces.empty()) {
    std::string_view& end = pieces.back();
    std::size_t lineEnd = end.size() - LineContent(end).size();
    char before = end.size() > lineEnd ? end[end.size() - lineEnd - 1]
                  : pieces.size() > 1  ? pieces[pieces.size() - 2].back()
                                       : '\n';
    if (before != '\n' && before != '\r') {
      end.remove_suffix(lineEnd);
      if (end.empty()) {
        pieces.pop_back();
      }
    }
  }
  return pieces;
}

ProfileStore::Section* ProfileStore::FindSection(std::string_view name) {
  Seal();
  for (Section& section : sections_) {
    if (section.hasHeader && EqualsIgnoringCase(section.name, name)) {
      Split(&section);
      return &section;
    }
  }
  return nullptr;
}

void ProfileStore::Split(Section* section) {
  if (section->split) {
    return;
  }
  std::string_view text =
      std::string_view(text_).substr(section->begin, section->end - section->begin);
  // A section can hold most of a large file: room for lines of 40 bytes on
  // average costs nothing until used, and spares the copies of growing.
  section->lines.reserve(text.size() / 40 + 1);
  section->keyHashes.reserve(text.size() / 40 + 1);
  section->SizeFilter(text.size() / 40 + 1);
  LineSplitter lines(text);
  std::string_view line;
  while (lines.Next(&line)) {
    // The header is never taken for a key line.
    std::uint32_t hash = section->lines.empty() && section->hasHeader ? 0 : LineKeyHash(line);
    section->lines.push_back(line);
    section->keyHashes.push_back(hash);
    if (hash != 0) {
      section->Mark(hash);
    }
  }
  section->split = true;
}

std::string_view ProfileStore::Own(std::string text) {
  owned_.push_back(std::move(text));
  return owned_.back();
}

std::size_t ProfileStore::FindKey(const Section& section, std::string_view key) const {
  std::uint32_t hash = KeyHash(key);
  if (!section.MayHold(hash)) {
    return std::string_view::npos;
  }
  const std::vector<std::uint32_t>& hashes = section.keyHashes;
  for (auto at = std::find(hashes.begin(), hashes.end(), hash); at != hashes.end();
       at = std::find(at + 1, hashes.end(), hash)) {
    std::size_t line = static_cast<std::size_t>(at - hashes.begin());
    KeyLine parsed;
    if (ParseKeyLine(section.lines[line], &parsed) && EqualsIgnoringCase(parsed.key, key)) {
      return line;
    }
  }
  return std::string_view::npos;
}

std::vector<ProfileStore::Vacancy>::iterator ProfileStore::FindVacancy(std::size_t section,
                                                                       std::string_view key) {
  for (auto vacancy = vacancies_.begin(); vacancy != vacancies_.end(); ++vacancy) {
    if (vacancy->section == section && EqualsIgnoringCase(vacancy->key, key)) {
      return vacancy;
    }
  }
  return vacancies_.end();
}

void ProfileStore::InsertLine(std::size_t index, std::size_t position, std::string_view key,
                              std::string_view value) {
  Section* section = &sections_[index];
  EndLastLine(section, position);
  std::string text(key);
  text.append("=").append(value).append(lineEnd_);
  section->lines.insert(section->lines.begin() + static_cast<std::ptrdiff_t>(position),
                        Own(std::move(text)));
  section->keyHashes.insert(section->keyHashes.begin() + static_cast<std::ptrdiff_t>(position),
                            KeyHash(key));
  section->Mark(KeyHash(key));
  for (Vacancy& vacancy : vacancies_) {
    if (vacancy.section == index && vacancy.line >= position) {
      ++vacancy.line;
    }
  }
  changed_ = true;
}

// Gives the last line before |position| a line end if it has none, so that a
// line added after it starts a line of its own.
void ProfileStore::EndLastLine(Section* section, std::size_t position) {
  while (position > 0 && section->lines[position - 1].empty()) {
    --position;
  }
  if (position == 0 || EndsInLineEnd(section->lines[position - 1])) {
    return;
  }
  std::string_view line = section->lines[position - 1];
  section->lines[position - 1] = Own(std::string(line).append(lineEnd_));
  changed_ = true;
}
