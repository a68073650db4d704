#include "profile/profile_encoding.h"

#include <cstdint>

namespace {

bool IsBigEndian(TextEncoding encoding) {
  return encoding == TextEncoding::kUtf16BigEndian;
}

void AppendUnit(std::string* bytes, std::uint32_t unit, bool bigEndian) {
  char high = static_cast<char>(unit >> 8);
  char low = static_cast<char>(unit & 0xFF);
  bytes->push_back(bigEndian ? high : low);
  bytes->push_back(bigEndian ? low : high);
}

void AppendWtf8(std::string* text, std::uint32_t point) {
  if (point < 0x80) {
    text->push_back(static_cast<char>(point));
  } else if (point < 0x800) {
    text->push_back(static_cast<char>(0xC0 | point >> 6));
    text->push_back(static_cast<char>(0x80 | (point & 0x3F)));
  } else if (point < 0x10000) {
    text->push_back(static_cast<char>(0xE0 | point >> 12));
    text->push_back(static_cast<char>(0x80 | (point >> 6 & 0x3F)));
    text->push_back(static_cast<char>(0x80 | (point & 0x3F)));
  } else {
    text->push_back(static_cast<char>(0xF0 | point >> 18));
    text->push_back(static_cast<char>(0x80 | (point >> 12 & 0x3F)));
    text->push_back(static_cast<char>(0x80 | (point >> 6 & 0x3F)));
    text->push_back(static_cast<char>(0x80 | (point & 0x3F)));
  }
}

// The encoding of a file whose first bytes are |start|.
TextEncoding DetectEncoding(std::string_view start) {
  if (start.size() >= 2 && start[0] == '\xFF' && start[1] == '\xFE') {
    return TextEncoding::kUtf16LittleEndian;
  }
  if (start.size() >= 2 && start[0] == '\xFE' && start[1] == '\xFF') {
    return TextEncoding::kUtf16BigEndian;
  }
  return TextEncoding::kBytes;
}

bool DecodeText(TextEncoding encoding, std::string_view bytes, std::string* text) {
  if (bytes.size() % 2 != 0) {
    return false;
  }
  bool bigEndian = IsBigEndian(encoding);
  auto unitAt = [&](std::size_t at) {
    auto first = static_cast<unsigned char>(bytes[at]);
    auto second = static_cast<unsigned char>(bytes[at + 1]);
    return bigEndian ? std::uint32_t{first} << 8 | second : std::uint32_t{second} << 8 | first;
  };
  text->clear();
  text->reserve(bytes.size());
  for (std::size_t at = 2; at < bytes.size(); at += 2) {
    std::uint32_t unit = unitAt(at);
    // A pair of surrogates is one character; a lone one keeps its own spelling.
    if (unit >= 0xD800 && unit < 0xDC00 && at + 3 < bytes.size()) {
      std::uint32_t next = unitAt(at + 2);
      if (next >= 0xDC00 && next < 0xE000) {
        AppendWtf8(text, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
        at += 2;
        continue;
      }
    }
    AppendWtf8(text, unit);
  }
  return true;
}

std::string EncodeText(TextEncoding encoding, const std::vector<std::string_view>& pieces) {
  std::string bytes;
  // Joined first: a character may stand across two pieces.
  std::string text;
  for (std::string_view piece : pieces) {
    text.append(piece);
  }
  bool bigEndian = IsBigEndian(encoding);
  bytes.reserve(text.size() * 2 + 2);
  AppendUnit(&bytes, 0xFEFF, bigEndian);
  {
    std::string_view piece = text;
    for (std::size_t at = 0; at < piece.size();) {
      auto lead = static_cast<unsigned char>(piece[at]);
      std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
      std::uint32_t point = length == 1   ? lead
                            : length == 2 ? lead & 0x1F
                            : length == 3 ? lead & 0x0F
                                          : lead & 0x07;
      for (std::size_t i = 1; i < length && at + i < piece.size(); ++i) {
        point = point << 6 | (static_cast<unsigned char>(piece[at + i]) & 0x3F);
      }
      at += length;
      if (point >= 0x10000) {
        AppendUnit(&bytes, 0xD800 + ((point - 0x10000) >> 10), bigEndian);
        AppendUnit(&bytes, 0xDC00 + ((point - 0x10000) & 0x3FF), bigEndian);
      } else {
        AppendUnit(&bytes, point, bigEndian);
      }
    }
  }
  return bytes;
}

}  // namespace

bool ProfileText::Decode(std::string_view bytes) {
  encoding_ = DetectEncoding(bytes);
  if (encoding_ == TextEncoding::kBytes) {
    text_ = bytes;
    return true;
  }
  if (!DecodeText(encoding_, bytes, &decoded_)) {
    return false;
  }
  text_ = decoded_;
  return true;
}

std::vector<std::string_view> ProfileText::Encode(const std::vector<std::string_view>& pieces) {
  if (encoding_ == TextEncoding::kBytes) {
    return pieces;
  }
  encoded_ = EncodeText(encoding_, pieces);
  return {encoded_};
}
