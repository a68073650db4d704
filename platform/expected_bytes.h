#ifndef AUTOEXP_PLATFORM_EXPECTED_BYTES_H_
#define AUTOEXP_PLATFORM_EXPECTED_BYTES_H_

#include <cstdint>
#include <string_view>
#include <vector>

// The bytes a file must hold, given as pieces, checked against the file's
// bytes as they are read, in pieces of another size.
class ExpectedBytes {
 public:
  explicit ExpectedBytes(const std::vector<std::string_view>& pieces);

  std::uint64_t size() const { return size_; }

  // Whether |read|, the next bytes read, are the next bytes expected.
  bool Match(std::string_view read);

  // Whether every byte expected has been matched.
  bool Done() const { return next_ == pieces_.size(); }

 private:
  std::vector<std::string_view> pieces_;
  std::size_t next_ = 0;  // the piece the next byte read must come from
  std::uint64_t size_ = 0;
};

#endif  // AUTOEXP_PLATFORM_EXPECTED_BYTES_H_
