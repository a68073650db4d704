#include "platform/code_page.h"

namespace {

struct ByteRange {
  unsigned char first;
  unsigned char last;
};

void MarkLeadBytes(LeadByteTable* table, ByteRange range) {
  for (int value = range.first; value <= range.last; ++value) {
    table->isLead[static_cast<unsigned char>(value)] = true;
  }
}

}  // namespace

LeadByteTable DoubleByteLeadBytes(int codePage) {
  LeadByteTable table;
  switch (codePage) {
    case 932:
      MarkLeadBytes(&table, {0x81, 0x9F});
      MarkLeadBytes(&table, {0xE0, 0xFC});
      break;
    case 936:
    case 949:
    case 950:
      MarkLeadBytes(&table, {0x81, 0xFE});
      break;
    default:
      break;
  }
  return table;
}
