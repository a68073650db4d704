#include "platform/expected_bytes.h"

ExpectedBytes::ExpectedBytes(const std::vector<std::string_view>& pieces) {
  for (std::string_view piece : pieces) {
    if (!piece.empty()) {
      pieces_.push_back(piece);
      size_ += piece.size();
    }
  }
}

bool ExpectedBytes::Match(std::string_view read) {
  while (!read.empty()) {
    if (Done()) {
      return false;
    }
    std::string_view& piece = pieces_[next_];
    std::size_t length = read.size() < piece.size() ? read.size() : piece.size();
    if (read.substr(0, length) != piece.substr(0, length)) {
      return false;
    }
    read.remove_prefix(length);
    piece.remove_prefix(length);
    if (piece.empty()) {
      ++next_;
    }
  }
  return true;
}
