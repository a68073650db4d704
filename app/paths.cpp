#include "app/paths.h"

namespace {

bool IsWhiteSpace(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsBackslash(unsigned char c) {
  return c == '\\';
}

// Cuts off the final run of characters whose first byte passes |test|.
std::string_view CutTrailing(std::string_view text, const LeadByteTable& leadBytes,
                             bool (*test)(unsigned char)) {
  std::size_t runStart = std::string_view::npos;
  std::size_t position = 0;
  while (position < text.size()) {
    unsigned char first = static_cast<unsigned char>(text[position]);
    bool doubleByte = leadBytes.IsLead(first) && position + 1 < text.size();
    if (!doubleByte && test(first)) {
      if (runStart == std::string_view::npos) {
        runStart = position;
      }
    } else {
      runStart = std::string_view::npos;
    }
    position += doubleByte ? 2 : 1;
  }
  return runStart == std::string_view::npos ? text : text.substr(0, runStart);
}

}  // namespace

std::string TrimBaseDirectory(std::string_view baseDirectory, const LeadByteTable& leadBytes) {
  std::string_view trimmed = CutTrailing(baseDirectory, leadBytes, IsWhiteSpace);
  return std::string(CutTrailing(trimmed, leadBytes, IsBackslash));
}

std::string DirPrefix(std::string_view baseDirectory, std::string_view subPath,
                      const LeadByteTable& leadBytes) {
  return TrimBaseDirectory(baseDirectory, leadBytes).append(subPath);
}

std::string RulesPath(std::string_view dirPrefix) {
  return std::string(dirPrefix).append("autoexp.dat");
}

std::string BackupPath(std::string_view dirPrefix) {
  return std::string(dirPrefix).append("autoexp.bak");
}
