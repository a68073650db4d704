#include <windows.h>

#include "platform/code_page.h"

LeadByteTable SystemLeadBytes() {
  LeadByteTable table;
  UINT codePage = GetACP();
  for (int value = 0; value < 256; ++value) {
    table.isLead[static_cast<unsigned char>(value)] =
        IsDBCSLeadByteEx(codePage, static_cast<BYTE>(value)) != 0;
  }
  return table;
}
