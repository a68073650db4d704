#ifndef AUTOEXP_PROFILE_KEY_INDEX_H_
#define AUTOEXP_PROFILE_KEY_INDEX_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A few keys that one pass over a large section looks for: the look-up
// speed-ups of the store, kept apart so that its edits read plainly. Most
// lines of a section are turned down by their first byte alone; the rest by
// a hash and a small bit filter; only lines that pass both are compared.
// Keys match without regard to ASCII letter case, as everywhere in a
// profile text.
class KeyIndex {
 public:
  explicit KeyIndex(const std::vector<std::string>& keys);

  // Whether a key that begins with |c| may be one of the keys.
  bool MayBegin(char c) const { return firstBytes_[static_cast<unsigned char>(c)]; }

  // Whether |key| is one of the keys.
  bool Holds(std::string_view key) const;

 private:
  std::array<bool, 256> firstBytes_{};
  std::array<std::uint64_t, 16> filter_{};  // a bit per value of a hash's low bits
  std::vector<std::pair<std::uint32_t, std::string>> keys_;
};

// A hash of a key over its length and its first and last eight bytes, with
// ASCII letters folded to lower case (setting bit 0x20 folds some other
// bytes together too, which costs only a comparison). Made for speed: keys
// whose hashes agree are still compared whole.
std::uint32_t KeyHash(std::string_view key);

#endif  // AUTOEXP_PROFILE_KEY_INDEX_H_
