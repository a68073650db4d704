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

void KeyLineCollector::TakeLine(std::string_view line) {
  bool atTextStart = atTextStart_;
  atTextStart_ = false;
  std::string_view name;
  if (ParseHeader(line, atTextStart, &name)) {
    if (where_ == Where::kInside) {
      where_ = Where::kAfter;
    } else if (EqualsIgnoringCase(name, section_)) {
      where_ = Where::kInside;
    }
    return;
  }
  KeyLine parsed;
  if (where_ == Where::kInside && ParseKeyLine(line, &parsed) && Wanted(parsed.key)) {
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
