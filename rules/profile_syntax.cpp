#include "rules/profile_syntax.h"

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

}  // namespace

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

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

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
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

std::string_view LineContent(std::string_view line) {
  if (!line.empty() && line.back() == '\n') {
    line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
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
  std::size_t close = content.find(']', open + 1);
  if (close == std::string_view::npos) {
    close = content.size();
  }
  *name = TrimBlanks(content.substr(open + 1, close - open - 1));
  return true;
}

bool ParseKeyLine(std::string_view line, KeyLine* parsed) {
  std::string_view content = LineContent(line);
  std::size_t first = SkipBlanks(content, 0);
  if (first == content.size() || content[first] == ';' || content[first] == '[') {
    return false;
  }
  std::size_t equals = content.find('=');
  if (equals == std::string_view::npos) {
    return false;
  }
  parsed->key = TrimBlanks(content.substr(0, equals));
  parsed->value = TrimBlanks(content.substr(equals + 1));
  return true;
}
