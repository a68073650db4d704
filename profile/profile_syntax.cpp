#include "profile/profile_syntax.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

}  // namespace

std::size_t SkipBlanks(std::string_view text, std::size_t from) {
  while (from < text.size() && IsBlank(text[from])) {
    ++from;
  }
  return from;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && IsBlank(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) {
      return false;
    }
  }
  return true;
}

namespace {

// Where |c| first stands in [from, to) of |text|, or |to|.
std::size_t Find(std::string_view text, char c, std::size_t from, std::size_t to) {
  const void* found = std::memchr(text.data() + from, c, to - from);
  return found == nullptr ? to
                          : static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
}

}  // namespace

LineEnds::LineEnds(std::string_view text) : text_(text) {}

std::size_t LineEnds::LineLength(std::size_t at) {
  // The next LF is looked for once for all the lines before it, and a CR only
  // up to that LF: whatever ends the lines, each byte is looked at about once.
  if (lf_ == std::string_view::npos || lf_ < at) {
    lf_ = Find(text_, '\n', at, text_.size());
  }
  if (cr_ == std::string_view::npos || cr_ < at) {
    cr_ = Find(text_, '\r', at, lf_);
  }
  std::size_t end = std::min(cr_, lf_);
  if (end == text_.size()) {
    return end - at;
  }
  bool crlf = text_[end] == '\r' && end + 1 < text_.size() && text_[end + 1] == '\n';
  return end - at + (crlf ? 2 : 1);
}

std::size_t LineLength(std::string_view text) {
  // One line: no need to look further for either line end.
  std::size_t end = std::min(text.find_first_of("\r\n"), text.size());
  bool crlf = end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n';
  return end == text.size() ? end : end + (crlf ? 2 : 1);
}

LineSplitter::LineSplitter(std::string_view text) : text_(text), own_(text), ends_(&own_) {}

LineSplitter::LineSplitter(std::string_view text, LineEnds* ends, std::size_t start)
    : text_(text), own_(std::string_view()), ends_(ends), start_(start) {}

bool LineSplitter::Next(std::string_view* line) {
  if (start_ >= text_.size()) {
    return false;
  }
  std::size_t length = ends_->LineLength(start_);
  *line = text_.substr(start_, length);
  start_ += length;
  return true;
}

std::size_t LineSplitter::position() const {
  return start_;
}

std::string_view LineContent(std::string_view line) {
  if (!line.empty() && line.back() == '\n') {
    line.remove_suffix(1);
  }
  if (!line.empty() && line.back() == '\r') {
    line.remove_suffix(1);
  }
  return line;
}

bool ParseHeader(std::string_view line, bool atFileStart, std::string_view* name) {
  std::string_view content = LineContent(line);
  if (atFileStart && content.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    content.remove_prefix(kByteOrderMark.size());
  }
  std::size_t open = SkipBlanks(content, 0);
  if (open == content.size() || content[open] != '[') {
    return false;
  }
  std::size_t close = content.rfind(']');
  if (close == std::string_view::npos || close < open) {
    return false;
  }
  *name = TrimBlanks(content.substr(open + 1, close - open - 1));
  return true;
}

bool ParseKeyLine(std::string_view line, KeyLine* parsed) {
  std::string_view content = LineContent(line);
  std::size_t first = SkipBlanks(content, 0);
  if (first == content.size() || content[first] == ';') {
    return false;
  }
  std::size_t equals = content.find('=', first);
  if (equals == std::string_view::npos) {
    return false;
  }
  parsed->key = TrimBlanks(content.substr(first, equals - first));
  parsed->value = TrimBlanks(content.substr(equals + 1));
  return true;
}
