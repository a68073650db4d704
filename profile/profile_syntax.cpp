#include "profile/profile_syntax.h"

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

// The length of the line at the start of |text|, given where its first LF
// and its first CR are (npos where there is none).
std::size_t LineLengthAt(std::string_view text, std::size_t lineFeed, std::size_t carriageReturn) {
  if (carriageReturn < lineFeed) {
    bool crlf = carriageReturn + 1 == lineFeed;
    return carriageReturn + (crlf ? 2 : 1);
  }
  return lineFeed == std::string_view::npos ? text.size() : lineFeed + 1;
}

}  // namespace

std::size_t LineLength(std::string_view text) {
  // Most lines end in LF alone, and memchr finds that fastest; a CR is looked
  // for only in the stretch before it.
  std::size_t lineFeed = text.find('\n');
  std::size_t stop = lineFeed == std::string_view::npos ? text.size() : lineFeed;
  return LineLengthAt(text, lineFeed, text.substr(0, stop).find('\r'));
}

LineSplitter::LineSplitter(std::string_view text) : text_(text), carriageReturn_(text.find('\r')) {}

bool LineSplitter::Next(std::string_view* line) {
  if (start_ >= text_.size()) {
    return false;
  }
  std::string_view rest = text_.substr(start_);
  std::size_t lineFeed = rest.find('\n');
  std::size_t carriageReturn =
      carriageReturn_ == std::string_view::npos ? carriageReturn_ : carriageReturn_ - start_;
  std::size_t length = LineLengthAt(rest, lineFeed, carriageReturn);
  *line = rest.substr(0, length);
  start_ += length;
  if (carriageReturn_ != std::string_view::npos && carriageReturn_ < start_) {
    carriageReturn_ = text_.find('\r', start_);
  }
  return true;
}

bool HoldsWholeLine(std::string_view text) {
  std::size_t length = LineLength(text);
  return length < text.size() || (!text.empty() && text.back() == '\n');
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
