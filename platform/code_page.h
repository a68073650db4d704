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

// The lead bytes of the narrow encoding the system uses for paths and
// arguments: the ANSI code page on Windows, the C library's locale encoding
// (as set by setlocale(LC_CTYPE, "")) elsewhere.
LeadByteTable SystemLeadBytes();

// Whether argument |index| of this process reached the program as the user
// gave it. On Windows the narrow argument vector is the wide command line put
// into the ANSI code page, which gives a character the code page lacks a
// look-alike in its place ("\u03A9mega" arrives as "Omega", another folder's
// name); elsewhere the arguments are the bytes given.
bool ArgumentIsExact(int index);

#endif  // AUTOEXP_PLATFORM_CODE_PAGE_H_
