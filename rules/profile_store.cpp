#include "rules/profile_store.h"

#include <utility>

#include "rules/profile_syntax.h"

namespace {

// FNV-1a over the key as it matches: letter case folded. Never 0, which marks
// a line without a key.
std::uint32_t KeyHash(std::string_view key) {
  std::uint32_t hash = 2166136261u;
  for (char c : key) {
    hash = (hash ^ static_cast<unsigned char>(LowerAscii(c))) * 16777619u;
  }
  return hash == 0 ? 1 : hash;
}

std::uint32_t LineKeyHash(std::string_view line) {
  KeyLine parsed;
  return ParseKeyLine(line, &parsed) ? KeyHash(parsed.key) : 0;
}

// A line end that keeps |content| reading back as it is: a CR at its end
// followed by a lone LF would be taken for a CRLF line end.
std::string_view LineEndAfter(std::string_view content, std::string_view lineEnd) {
  return (!content.empty() && content.back() == '\r') ? "\r\n" : lineEnd;
}

// |line| with the value after its "=" replaced by |value|, every other byte
// kept: the key's spelling, the blanks around the value, the line end.
std::string RewriteValue(std::string_view line, std::string_view value) {
  std::string_view content = LineContent(line);
  std::string_view lineEnd = line.substr(content.size());
  std::size_t start = SkipBlanks(content, content.find('=') + 1);
  std::size_t stop = content.size();
  while (stop > start && IsBlank(content[stop - 1])) {
    --stop;
  }
  std::string rewritten(content.substr(0, start));
  rewritten.append(value);
  rewritten.append(content.substr(stop));
  rewritten.append(lineEnd == "\n" ? LineEndAfter(rewritten, lineEnd) : lineEnd);
  return rewritten;
}

}  // namespace

ProfileStore::ProfileStore(std::string contents) : contents_(std::move(contents)) {
  std::string_view text = contents_;
  std::size_t firstLineFeed = text.find('\n');
  if (firstLineFeed == std::string_view::npos) {
    lineEnd_ = "\r\n";
  } else {
    lineEnd_ = (firstLineFeed > 0 && text[firstLineFeed - 1] == '\r') ? "\r\n" : "\n";
  }

  // One pass to find the section headers; the lines before the first header
  // form a section without a name that never matches. A header line holds a
  // "[", so the search jumps from one "[" to the next and looks at the line
  // around it only then, instead of looking at every line.
  sections_.emplace_back();
  std::size_t sectionStart = 0;
  std::size_t bracket = text.find('[');
  while (bracket != std::string_view::npos) {
    std::size_t lineFeedBefore =
        bracket == 0 ? std::string_view::npos : text.rfind('\n', bracket - 1);
    std::size_t lineStart = lineFeedBefore == std::string_view::npos ? 0 : lineFeedBefore + 1;
    std::size_t lineFeed = text.find('\n', bracket);
    std::size_t next = lineFeed == std::string_view::npos ? text.size() : lineFeed + 1;
    std::string_view name;
    if (ParseHeader(text.substr(lineStart, next - lineStart), lineStart == 0, &name)) {
      sections_.back().text = text.substr(sectionStart, lineStart - sectionStart);
      sections_.emplace_back();
      sections_.back().name = name;
      sections_.back().hasHeader = true;
      sectionStart = lineStart;
    }
    // Another "[" on the same line cannot start a header.
    bracket = next < text.size() ? text.find('[', next) : std::string_view::npos;
  }
  sections_.back().text = text.substr(sectionStart);
}

std::string ProfileStore::Read(std::string_view section, std::string_view key) {
  Section* found = FindSection(section);
  if (found == nullptr) {
    return std::string();
  }
  std::size_t line = FindKey(*found, key, 0);
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
    if (!last.split && !last.text.empty() && last.text.back() != '\n') {
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

  std::size_t line = FindKey(*found, key, 0);
  if (line != std::string_view::npos) {
    std::string rewritten = RewriteValue(found->lines[line], value);
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
  InsertLine(found, position, key, value);
}

void ProfileStore::Delete(std::string_view section, std::string_view key) {
  Section* found = FindSection(section);
  if (found == nullptr) {
    return;
  }
  // A deleted line is left as an empty view, which writes out as nothing;
  // erasing it would move every line after it.
  for (std::size_t line = FindKey(*found, key, 0); line != std::string_view::npos;
       line = FindKey(*found, key, line + 1)) {
    found->lines[line] = std::string_view();
    found->keyHashes[line] = 0;
    changed_ = true;
  }
}

std::string ProfileStore::Contents() const {
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

std::vector<std::string_view> ProfileStore::Pieces() const {
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
  for (const Section& section : sections_) {
    if (!section.split) {
      add(section.text);
      continue;
    }
    for (std::string_view line : section.lines) {
      add(line);
    }
  }
  return pieces;
}

ProfileStore::Section* ProfileStore::FindSection(std::string_view name) {
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
  std::string_view text = section->text;
  while (!text.empty()) {
    std::size_t lineFeed = text.find('\n');
    std::size_t length = lineFeed == std::string_view::npos ? text.size() : lineFeed + 1;
    section->lines.push_back(text.substr(0, length));
    // The header is never taken for a key line.
    section->keyHashes.push_back(
        section->lines.size() == 1 && section->hasHeader ? 0 : LineKeyHash(section->lines.back()));
    text.remove_prefix(length);
  }
  section->split = true;
}

std::string_view ProfileStore::Own(std::string text) {
  owned_.push_back(std::move(text));
  return owned_.back();
}

std::size_t ProfileStore::FindKey(const Section& section, std::string_view key,
                                  std::size_t from) const {
  std::uint32_t hash = KeyHash(key);
  for (std::size_t line = from; line < section.lines.size(); ++line) {
    KeyLine parsed;
    if (section.keyHashes[line] == hash && ParseKeyLine(section.lines[line], &parsed) &&
        EqualsIgnoringCase(parsed.key, key)) {
      return line;
    }
  }
  return std::string_view::npos;
}

void ProfileStore::InsertLine(Section* section, std::size_t position, std::string_view key,
                              std::string_view value) {
  EndLastLine(section, position);
  std::string text(key);
  text.append("=").append(value);
  text.append(LineEndAfter(text, lineEnd_));
  section->lines.insert(section->lines.begin() + static_cast<std::ptrdiff_t>(position),
                        Own(std::move(text)));
  section->keyHashes.insert(section->keyHashes.begin() + static_cast<std::ptrdiff_t>(position),
                            KeyHash(key));
  changed_ = true;
}

// Gives the last line before |position| a line end if it has none, so that a
// line added after it starts a line of its own.
void ProfileStore::EndLastLine(Section* section, std::size_t position) {
  while (position > 0 && section->lines[position - 1].empty()) {
    --position;
  }
  if (position == 0 || section->lines[position - 1].back() == '\n') {
    return;
  }
  std::string_view line = section->lines[position - 1];
  section->lines[position - 1] = Own(std::string(line).append(LineEndAfter(line, lineEnd_)));
  changed_ = true;
}
