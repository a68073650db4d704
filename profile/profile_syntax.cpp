#include "profile/profile_syntax.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Where the first CR or LF at or after |from| stands in |text|, or its size.
// Thirty-two bytes are compared at a step where the processor compares
// sixteen at once (SSE2, on every x86-64), else eight: a byte that equals CR or LF leaves a zero
// byte in the word XORed with it, which the usual test finds (the lowest such byte exactly). A
// block that would reach into the next 4 KB page is looked at byte by byte up to the page's end, so
// that no page past the line end is ever read: the pages of a mapped file past what a run needs
// stay unread.
std::size_t NextLineEnd(std::string_view text, std::size_t from) {
#if defined(__SSE2__)
  constexpr std::size_t kBlock = 32;
#else
  constexpr std::size_t kBlock = 8;
#endif
  constexpr std::uintptr_t kPage = 4096;
  const char* data = text.data();
  std::size_t at = from;
  while (at + kBlock <= text.size()) {
    std::uintptr_t inPage = reinterpret_cast<std::uintptr_t>(data + at) % kPage;
    if (inPage + kBlock > kPage) {
      for (std::size_t end = at + (kPage - inPage); at < end; ++at) {
        if (data[at] == '\n' || data[at] == '\r') {
          return at;
        }
      }
      continue;
    }
#if defined(__SSE2__)
    auto lineEnds = [](const char* block) {
      __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block));
      return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
          _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r')))));
    };
    unsigned found = lineEnds(data + at) | lineEnds(data + at + 16) << 16;
    if (found != 0) {
      return at + static_cast<std::size_t>(__builtin_ctz(found));
    }
#else
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    constexpr std::uint64_t kHighs = 0x8080808080808080u;
    std::uint64_t word;
    std::memcpy(&word, data + at, 8);
    std::uint64_t lineFeeds = word ^ (kOnes * '\n');
    std::uint64_t returns = word ^ (kOnes * '\r');
    std::uint64_t found =
        ((lineFeeds - kOnes) & ~lineFeeds & kHighs) | ((returns - kOnes) & ~returns & kHighs);
    if (found != 0) {
      return at + static_cast<std::size_t>(__builtin_ctzll(found)) / 8;
    }
#endif
    at += kBlock;
  }
  while (at < text.size() && data[at] != '\n' && data[at] != '\r') {
    ++at;
  }
  return at;
}

}  // namespace

std::size_t LineLength(std::string_view text) {
  std::size_t end = NextLineEnd(text, 0);
  if (end == text.size()) {
    return end;
  }
  return end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
}

LineSplitter::LineSplitter(std::string_view text) : text_(text) {}

bool LineSplitter::Next(std::string_view* line) {
  if (start_ >= text_.size()) {
    return false;
  }
  std::size_t length = LineLength(text_.substr(start_));
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
