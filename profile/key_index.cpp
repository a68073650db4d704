#include "profile/key_index.h"

#include <algorithm>
#include <cstring>

#include "profile/profile_syntax.h"

std::uint32_t KeyHash(std::string_view key) {
  auto eight = [key](std::size_t from) {
    std::uint64_t bytes = 0;
    std::memcpy(&bytes, key.data() + from, std::min<std::size_t>(8, key.size() - from));
    return bytes | 0x2020202020202020u;
  };
  std::uint64_t mixed = key.size() * 0x9E3779B97F4A7C15u;
  mixed ^= eight(0) * 0xC2B2AE3D27D4EB4Fu;
  mixed ^= eight(key.size() > 8 ? key.size() - 8 : 0) * 0x165667B19E3779F9u;
  return static_cast<std::uint32_t>(mixed ^ (mixed >> 29) ^ (mixed >> 47));
}

namespace {

constexpr std::size_t kFilterBits = 16 * 64;

}  // namespace

KeyIndex::KeyIndex(const std::vector<std::string>& keys) {
  for (const std::string& key : keys) {
    if (key.empty()) {
      continue;
    }
    std::uint32_t hash = KeyHash(key);
    keys_.emplace_back(hash, key);
    filter_[hash % kFilterBits / 64] |= std::uint64_t{1} << (hash % 64);
    unsigned char first = static_cast<unsigned char>(key[0]);
    firstBytes_[first] = true;
    firstBytes_[static_cast<unsigned char>(LowerAscii(static_cast<char>(first)))] = true;
    if (first >= 'a' && first <= 'z') {
      firstBytes_[first - 'a' + 'A'] = true;
    }
  }
}

bool KeyIndex::Holds(std::string_view key) const {
  std::uint32_t hash = KeyHash(key);
  if ((filter_[hash % kFilterBits / 64] >> (hash % 64) & 1) == 0) {
    return false;
  }
  return std::any_of(keys_.begin(), keys_.end(), [&](const auto& entry) {
    return entry.first == hash && EqualsIgnoringCase(entry.second, key);
  });
}
