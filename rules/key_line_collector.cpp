#include "rules/key_line_collector.h"

#include <algorithm>

#include "rules/profile_syntax.h"

KeyLineCollector::KeyLineCollector(std::string_view section, const std::vector<std::string>& keys)
    : section_(section), keys_(keys) {
  std::size_t longest = 0;
  for (const std::string& key : keys_) {
    longest = std::max(longest, key.size());
  }
  wantedLength_.assign(longest + 1, false);
  for (const std::string& key : keys_) {
    wantedLength_[key.size()] = true;
  }
}

bool KeyLineCollector::Feed(std::string_view piece) {
  // Past the section nothing matters any more: only its first appearance
  // counts.
  while (!piece.empty() && where_ != Where::kAfter) {
    if (where_ == Where::kBefore && partial_.empty()) {
      // At a line start before the section, only a header can matter, and
      // a header line holds a "[": the lines before the next one are passed
      // by whole.
      std::size_t bracket = piece.find('[');
      std::size_t lineFeed = piece.substr(0, bracket).rfind('\n');
      if (lineFeed != std::string_view::npos) {
        piece.remove_prefix(lineFeed + 1);
        atTextStart_ = false;
        continue;
      }
    }
    std::size_t lineFeed = piece.find('\n');
    if (lineFeed == std::string_view::npos) {
      partial_.append(piece);
      return true;
    }
    std::string_view line = piece.substr(0, lineFeed + 1);
    piece.remove_prefix(lineFeed + 1);
    if (partial_.empty()) {
      TakeLine(line);
    } else {
      partial_.append(line);
      TakeLine(partial_);
      partial_.clear();
    }
  }
  return where_ != Where::kAfter;
}

std::string KeyLineCollector::Finish() {
  if (!partial_.empty() && where_ != Where::kAfter) {
    TakeLine(partial_);
    partial_.clear();
  }
  if (where_ == Where::kBefore) {
    return std::string();
  }
  return "[" + section_ + "]\n" + kept_;
}

// Reads each line as ParseHeader and ParseKeyLine do, but looks no further
// than it must: most lines are told apart by their first non-blank byte, and
// a key line's value is never needed.
void KeyLineCollector::TakeLine(std::string_view line) {
  bool atTextStart = atTextStart_;
  atTextStart_ = false;
  std::size_t first = SkipBlanks(line, 0);
  char lead = first < line.size() ? line[first] : '\n';
  std::string_view name;
  if ((lead == '[' || atTextStart) && ParseHeader(line, atTextStart, &name)) {
    if (where_ == Where::kInside) {
      where_ = Where::kAfter;
    } else if (EqualsIgnoringCase(name, section_)) {
      where_ = Where::kInside;
    }
    return;
  }
  if (where_ != Where::kInside || lead == ';' || lead == '[' || lead == '\n') {
    return;
  }
  // The "=" can only come before the line end, so the line end needs no
  // cutting off first; a lone CR before it is text, as everywhere.
  std::size_t equals = line.find('=', first);
  if (equals != std::string_view::npos && Wanted(TrimBlanks(line.substr(0, equals)))) {
    kept_.append(line);
  }
}

bool KeyLineCollector::Wanted(std::string_view key) const {
  if (key.size() >= wantedLength_.size() || !wantedLength_[key.size()]) {
    return false;
  }
  for (const std::string& wanted : keys_) {
    if (EqualsIgnoringCase(key, wanted)) {
      return true;
    }
  }
  return false;
}
