#include "platform/code_page.h"

// Paths reach the program wide and are UTF-8 inside it (wide_windows.h),
// where no byte of a character of several bytes has an ASCII code: a
// backslash byte is always a backslash, whatever the ANSI code page.
LeadByteTable SystemLeadBytes() {
  return LeadByteTable();
}
