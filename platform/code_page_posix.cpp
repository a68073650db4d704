#include <langinfo.h>

#include <cctype>
#include <string>

#include "platform/code_page.h"

namespace {

struct CodesetName {
  const char* name;  // as nl_langinfo(CODESET) spells it, upper case
  int codePage;
};

// The encodings whose two-byte characters may end in a byte with the code of
// a backslash, under the names the C library gives them. GB18030's four-byte
// characters walk as two pairs, whose second bytes are digits.
constexpr CodesetName kDoubleByteCodesets[] = {
    {"SHIFT_JIS", 932}, {"SJIS", 932},    {"CP932", 932}, {"WINDOWS-31J", 932}, {"GBK", 936},
    {"CP936", 936},     {"GB18030", 936}, {"BIG5", 950},  {"BIG5-HKSCS", 950},  {"BIG5HKSCS", 950},
    {"CP950", 950},     {"UHC", 949},     {"CP949", 949},
};

}  // namespace

LeadByteTable SystemLeadBytes() {
  std::string codeset = nl_langinfo(CODESET);
  for (char& c : codeset) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  for (const CodesetName& known : kDoubleByteCodesets) {
    if (codeset == known.name) {
      return DoubleByteLeadBytes(known.codePage);
    }
  }
  return LeadByteTable{};
}
