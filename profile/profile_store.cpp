#include "profile/profile_store.h"

#include <algorithm>
#include <functional>
#include <utility>

#include "profile/profile_syntax.h"

namespace {

// The hash an entry of a key line carries; 0 marks an entry without a key.
std::uint32_t EntryHash(std::string_view key) {
  std::uint32_t hash = KeyHash(key);
  return hash == 0 ? 1 : hash;
}

std::uint32_t LineKeyHash(std::string_view line) {
  KeyLine parsed;
  return ParseKeyLine(line, &parsed) ? EntryHash(parsed.key) : 0;
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

// Whether |at| points into |text|.
bool Within(std::string_view text, const char* at) {
  return std::less_equal<const char*>()(text.data(), at) &&
         std::less<const char*>()(at, text.data() + text.size());
}

bool IsLineEnd(char c) {
  return c == '\n' || c == '\r';
}

// Where the last line of |text| begins.
std::size_t LastLineStart(std::string_view text) {
  std::size_t at = LineContent(text).size();
  while (at > 0 && !IsLineEnd(text[at - 1])) {
    --at;
  }
  return at;
}

}  // namespace

ProfileStore::ProfileStore(std::string_view text) : text_(text) {
  std::string_view firstLine = text.substr(0, LineLength(text));
  std::string_view firstLineEnd = firstLine.substr(LineContent(firstLine).size());
  lineEnd_ = firstLineEnd.empty() ? "\r\n" : std::string(firstLineEnd);
}

void ProfileStore::Index(std::string_view section, const std::vector<std::string>& keys) {
  indexes_.emplace_back(std::string(section), keys);
}

std::string ProfileStore::Read(std::string_view section, std::string_view key) {
  Section* found = FindSection(section);
  std::size_t line = found == nullptr ? std::string_view::npos : FindKey(found, key);
  KeyLine parsed;
  if (line == std::string_view::npos || !ParseKeyLine(found->lines[line], &parsed)) {
    return std::string();
  }
  return std::string(parsed.value);
}

void ProfileStore::Write(std::string_view section, std::string_view key, std::string_view value) {
  Section* found = FindSection(section);
  if (found == nullptr) {
    found = AppendSection(section);
  }
  auto vacancy = FindVacancy(found, key);
  if (vacancy != vacancies_.end()) {
    // A deleted last line had no line end; lines may have come after it
    // since. Pieces takes the line end off again if it is still last.
    std::string line = RewriteLine(vacancy->deleted, key, value);
    if (!EndsInLineEnd(line)) {
      line.append(lineEnd_);
    }
    found->lines[vacancy->line] = Own(std::move(line));
    found->keyHashes[vacancy->line] = EntryHash(key);
    vacancies_.erase(vacancy);
    edited_ = true;
    return;
  }
  std::size_t line = FindKey(found, key);
  if (line != std::string_view::npos) {
    KeyLine parsed;
    ParseKeyLine(found->lines[line], &parsed);
    std::string rewritten = RewriteLine(found->lines[line], parsed.key, value);
    if (rewritten != found->lines[line]) {
      found->lines[line] = Own(std::move(rewritten));
      edited_ = true;
    }
    return;
  }
  InsertLine(found, InsertionPoint(found), key, value);
}

void ProfileStore::Delete(std::string_view section, std::string_view key) {
  Section* found = FindSection(section);
  std::size_t line = found == nullptr ? std::string_view::npos : FindKey(found, key);
  if (line == std::string_view::npos) {
    return;
  }
  // The line is left as an empty view, which writes out as nothing; erasing
  // it would move every line after it. The first deleted line of a key is
  // the place the key takes when it is written again.
  if (FindVacancy(found, key) == vacancies_.end()) {
    vacancies_.push_back(Vacancy{found, line, std::string(key), found->lines[line]});
  }
  found->lines[line] = std::string_view();
  found->keyHashes[line] = 0;
  edited_ = true;
}

std::string ProfileStore::Contents() {
  std::string contents;
  for (std::string_view piece : Pieces()) {
    contents.append(piece);
  }
  return contents;
}

std::vector<std::string_view> ProfileStore::Pieces() {
  // Lines that lie next to each other in the text are one piece, so a large
  // section that was split but barely edited still goes out in a few pieces.
  std::vector<std::string_view> pieces;
  auto add = [&pieces, this](std::string_view piece) {
    if (piece.empty()) {
      return;
    }
    // A line of the store's own ends as the text's first line does; where
    // that is a lone CR and the text goes on with an LF, the two would read
    // as one CRLF, and the empty line that LF ends would be lost: the line
    // gets an LF of its own, and ends in CRLF.
    if (piece[0] == '\n' && !pieces.empty() && pieces.back().back() == '\r' &&
        !Within(text_, pieces.back().data() + pieces.back().size() - 1)) {
      pieces.push_back("\n");
    }
    if (!pieces.empty() && pieces.back().data() + pieces.back().size() == piece.data()) {
      pieces.back() = std::string_view(pieces.back().data(), pieces.back().size() + piece.size());
    } else {
      pieces.push_back(piece);
    }
  };
  std::size_t at = 0;  // how far the text has gone out
  for (const Section& section : sections_) {
    if (section.appended) {
      // A section added after a last line without a line end starts a line
      // of its own: that line lends it one.
      if (at < text_.size()) {
        add(text_.substr(at));
        at = text_.size();
      }
      if (!pieces.empty() && !EndsInLineEnd(pieces.back())) {
        add(lineEnd_);
      }
    } else {
      add(text_.substr(at, section.begin - at));
      at = section.end;
    }
    for (std::string_view line : section.lines) {
      add(line);
    }
  }
  add(text_.substr(std::min(at, text_.size())));
  // A text that ended without a line end keeps ending so; the line end of
  // its last line was only lent to the lines added after it. An empty line
  // is nothing but its line end: when one has become the last, it stays
  // whole, and the text ends in a line end.
  if (!text_.empty() && !EndsInLineEnd(text_) && !pieces.empty()) {
    std::string_view& end = pieces.back();
    std::size_t lineEnd = end.size() - LineContent(end).size();
    char before = end.size() > lineEnd ? end[end.size() - lineEnd - 1]
                  : pieces.size() > 1  ? pieces[pieces.size() - 2].back()
                                       : '\n';
    if (!IsLineEnd(before)) {
      end.remove_suffix(lineEnd);
      if (end.empty()) {
        pieces.pop_back();
      }
    }
  }
  return pieces;
}

// The first section named |name|, split into entries; null when the text has
// none. Its header is found by jumping from one "[" to the next, and nothing
// past the header that ends it is looked at.
ProfileStore::Section* ProfileStore::FindSection(std::string_view name) {
  for (Section& section : sections_) {
    if (EqualsIgnoringCase(section.name, name)) {
      return &section;
    }
  }
  for (const std::string& absent : absent_) {
    if (EqualsIgnoringCase(absent, name)) {
      return nullptr;
    }
  }
  std::size_t at = 0;
  std::size_t lineEnd = 0;
  std::string_view header;
  LineEnds ends(text_);
  while (NextHeader(&ends, &at, &lineEnd, &header)) {
    if (EqualsIgnoringCase(header, name)) {
      Section section;
      section.name = header;
      section.begin = at;
      section.end = text_.size();  // until Split finds the header that ends it
      // In the order of the text, before the sections appended to it.
      auto place = std::find_if(sections_.begin(), sections_.end(), [&](const Section& other) {
        return other.appended || other.begin > section.begin;
      });
      Section* found = &*sections_.insert(place, std::move(section));
      Split(found, &ends);
      return found;
    }
    at = lineEnd;
  }
  absent_.emplace_back(name);
  return nullptr;
}

// Finds the first header line at or after |*at|, which is where a line
// begins: sets |*at| to where it begins, |*lineEnd| to where it ends, and
// |*name|. A header holds a "[", so only the lines that hold one are looked
// at, each once.
bool ProfileStore::NextHeader(LineEnds* ends, std::size_t* at, std::size_t* lineEnd,
                              std::string_view* name) const {
  std::size_t from = *at;
  while (from < text_.size()) {
    std::size_t lineStart = text_.find('[', from);
    if (lineStart == std::string_view::npos) {
      return false;
    }
    while (lineStart > from && !IsLineEnd(text_[lineStart - 1])) {
      --lineStart;
    }
    std::size_t end = lineStart + ends->LineLength(lineStart);
    if (ParseHeader(text_.substr(lineStart, end - lineStart), lineStart == 0, name)) {
      *at = lineStart;
      *lineEnd = end;
      return true;
    }
    from = end;
  }
  return false;
}

ProfileStore::Section* ProfileStore::AppendSection(std::string_view name) {
  Section section;
  section.name = Own(std::string(name));
  section.begin = section.end = text_.size();
  section.appended = true;
  section.lines.push_back(Own("[" + std::string(name) + "]" + lineEnd_));
  section.keyHashes.push_back(0);
  section.stretches.push_back(false);
  sections_.push_back(std::move(section));
  edited_ = true;
  return &sections_.back();
}

// Splits the section that begins at |section->begin| into entries, up to the
// next header, where it ends (|section->end|): one pass over its lines.
void ProfileStore::Split(Section* section, LineEnds* ends) {
  std::string_view text = text_.substr(section->begin);
  for (const auto& [name, keys] : indexes_) {
    if (EqualsIgnoringCase(name, section->name)) {
      section->index.emplace(keys);
    }
  }
  auto push = [section](std::string_view entry, std::uint32_t hash, bool stretch) {
    section->lines.push_back(entry);
    section->keyHashes.push_back(hash);
    section->stretches.push_back(stretch);
  };
  LineSplitter lines(text_, ends, section->begin);
  std::string_view line;
  lines.Next(&line);
  push(line, 0, false);  // the header, never a key line
  std::size_t stretch = lines.position() - section->begin;
  while (lines.Next(&line)) {
    std::size_t first = SkipBlanks(line, 0);
    std::string_view name;
    if (first < line.size() && line[first] == '[' && ParseHeader(line, false, &name)) {
      text = text.substr(0, static_cast<std::size_t>(line.data() - text.data()));
      break;
    }
    if (!section->index) {
      push(line, LineKeyHash(line), false);
      continue;
    }
    // With an index, most lines are passed over at their first byte.
    KeyLine parsed;
    if (first < line.size() && section->index->MayBegin(line[first]) &&
        ParseKeyLine(line, &parsed) && section->index->Holds(parsed.key)) {
      std::size_t at = static_cast<std::size_t>(line.data() - text.data());
      if (at > stretch) {
        push(text.substr(stretch, at - stretch), 0, true);
      }
      push(line, EntryHash(parsed.key), false);
      stretch = lines.position() - section->begin;
    }
  }
  if (section->index && text.size() > stretch) {
    push(text.substr(stretch), 0, true);
  }
  section->end = section->begin + text.size();
}

// Splits the stretches of |section| into lines, for a key its index does not
// hold.
void ProfileStore::SplitEveryLine(Section* section) {
  Section split;
  std::vector<std::size_t> moved(section->lines.size());
  for (std::size_t entry = 0; entry < section->lines.size(); ++entry) {
    moved[entry] = split.lines.size();
    if (!section->stretches[entry]) {
      split.lines.push_back(section->lines[entry]);
      split.keyHashes.push_back(section->keyHashes[entry]);
      continue;
    }
    LineSplitter lines(section->lines[entry]);
    std::string_view line;
    while (lines.Next(&line)) {
      split.lines.push_back(line);
      split.keyHashes.push_back(LineKeyHash(line));
    }
  }
  for (Vacancy& vacancy : vacancies_) {
    if (vacancy.section == section) {
      vacancy.line = moved[vacancy.line];
    }
  }
  section->lines = std::move(split.lines);
  section->keyHashes = std::move(split.keyHashes);
  section->stretches.assign(section->lines.size(), false);
  section->index.reset();
}

std::string_view ProfileStore::Own(std::string text) {
  owned_.push_back(std::move(text));
  return owned_.back();
}

std::size_t ProfileStore::FindKey(Section* section, std::string_view key) {
  if (section->index && !section->index->Holds(key)) {
    SplitEveryLine(section);
  }
  std::uint32_t hash = EntryHash(key);
  for (std::size_t line = 0; line < section->lines.size(); ++line) {
    KeyLine parsed;
    if (section->keyHashes[line] == hash && ParseKeyLine(section->lines[line], &parsed) &&
        EqualsIgnoringCase(parsed.key, key)) {
      return line;
    }
  }
  return std::string_view::npos;
}

std::vector<ProfileStore::Vacancy>::iterator ProfileStore::FindVacancy(Section* section,
                                                                       std::string_view key) {
  return std::find_if(vacancies_.begin(), vacancies_.end(), [&](const Vacancy& vacancy) {
    return vacancy.section == section && EqualsIgnoringCase(vacancy.key, key);
  });
}

// Right after the section's last key line, or after its header when it has
// none. A key line inside a stretch is made an entry of its own first, so
// that the line end it may have to lend is its own alone.
std::size_t ProfileStore::InsertionPoint(Section* section) {
  std::size_t position = section->lines.size();
  while (position > 1 && section->keyHashes[position - 1] == 0) {
    std::size_t entry = position - 1;
    if (!section->stretches[entry]) {
      --position;
      continue;
    }
    std::string_view stretch = section->lines[entry];
    std::size_t end = stretch.size();
    std::size_t start = LastLineStart(stretch);
    KeyLine parsed;
    while (!ParseKeyLine(stretch.substr(start, end - start), &parsed) && start > 0) {
      end = start;
      start = LastLineStart(stretch.substr(0, end));
    }
    if (!ParseKeyLine(stretch.substr(start, end - start), &parsed)) {
      --position;
      continue;
    }
    // Before the key line, the key line, after it.
    std::vector<std::string_view> parts = {stretch.substr(0, start),
                                           stretch.substr(start, end - start), stretch.substr(end)};
    std::vector<std::uint32_t> hashes = {0, EntryHash(parsed.key), 0};
    std::size_t keyAt = entry;
    section->lines.erase(section->lines.begin() + static_cast<std::ptrdiff_t>(entry));
    section->keyHashes.erase(section->keyHashes.begin() + static_cast<std::ptrdiff_t>(entry));
    section->stretches.erase(section->stretches.begin() + static_cast<std::ptrdiff_t>(entry));
    std::size_t added = 0;
    for (std::size_t part = 0; part < 3; ++part) {
      if (parts[part].empty()) {
        continue;
      }
      auto at = static_cast<std::ptrdiff_t>(entry + added);
      section->lines.insert(section->lines.begin() + at, parts[part]);
      section->keyHashes.insert(section->keyHashes.begin() + at, hashes[part]);
      section->stretches.insert(section->stretches.begin() + at, part != 1);
      keyAt = part == 1 ? entry + added : keyAt;
      ++added;
    }
    for (Vacancy& vacancy : vacancies_) {
      if (vacancy.section == section && vacancy.line > entry) {
        vacancy.line += added - 1;
      }
    }
    return keyAt + 1;
  }
  return position;
}

void ProfileStore::InsertLine(Section* section, std::size_t position, std::string_view key,
                              std::string_view value) {
  EndLastLine(section, position);
  std::string text(key);
  text.append("=").append(value).append(lineEnd_);
  auto at = static_cast<std::ptrdiff_t>(position);
  section->lines.insert(section->lines.begin() + at, Own(std::move(text)));
  section->keyHashes.insert(section->keyHashes.begin() + at, EntryHash(key));
  section->stretches.insert(section->stretches.begin() + at, false);
  for (Vacancy& vacancy : vacancies_) {
    if (vacancy.section == section && vacancy.line >= position) {
      ++vacancy.line;
    }
  }
  edited_ = true;
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
  edited_ = true;
}
