#ifndef AUTOEXP_PLATFORM_CODE_PAGE_H_
#define AUTOEXP_PLATFORM_CODE_PAGE_H_

#include <array>

// Which bytes of a narrow encoding begin a two-byte character. In a double-byte
// code page such a lead byte takes the next byte along as its trail byte, and
// the trail byte may have the code of a backslash or any other ASCII sign.
struct LeadByteTable {
  std::array<bool, 256> isLead{};  // all false: a single-byte encoding

  bool IsLead(unsigned char c) const { return isLead[c]; }
};

// The lead bytes of the double-byte code pages 932 (Shift_JIS), 936 (GBK),
// 949 (UHC) and 950 (Big5); any other number gives the single-byte table.
LeadByteTable DoubleByteLeadBytes(int codePage);

// The lead bytes of the narrow encoding of the program's paths and
// arguments: the C library's locale encoding (as set by setlocale(LC_CTYPE,
// "")) on POSIX; on Windows UTF-8, which has none that matter here.
LeadByteTable SystemLeadBytes();

#endif  // AUTOEXP_PLATFORM_CODE_PAGE_H_
