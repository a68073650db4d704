#include "rules/key_line_collector.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct CollectCase {
  const char* name;
  std::string text;
  std::string kept;  // what Finish gives for section "AutoExpand", keys a and ov-a
};

class KeyLineCollectorTest : public testing::TestWithParam<CollectCase> {};

TEST_P(KeyLineCollectorTest, KeepsTheKeyLinesOfTheFirstSectionOnly) {
  const CollectCase& c = GetParam();
  // Every way of cutting the text into pieces gives the same lines.
  for (std::size_t pieceSize : {std::size_t{1}, std::size_t{2}, std::size_t{5}, c.text.size()}) {
    SCOPED_TRACE(pieceSize);
    KeyLineCollector collector("AutoExpand", {"a", "ov-a"});
    // Fed as a disk would: until it says it needs no more.
    for (std::size_t at = 0; at < c.text.size(); at += pieceSize) {
      if (!collector.Feed(std::string_view(c.text).substr(at, pieceSize))) {
        break;
      }
    }
    EXPECT_EQ(collector.Finish(), c.kept);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KeyLineCollectorTest,
    testing::Values(
        CollectCase{"NoSection", "[Other]\na=1\n", ""}, CollectCase{"EmptyText", "", ""},
        CollectCase{"KeyLinesOnlyAndBytesKept",
                    "a=0\n[autoexpand]\r\nb=1\r\n A\t= 2 \r\n;a=3\r\nov-a=4\r\na=5",
                    "[AutoExpand]\n A\t= 2 \r\nov-a=4\r\na=5"},
        CollectCase{"OnlyTheFirstSectionOfTheName",
                    "[AutoExpand]\na=1\n[Other]\na=2\n[AutoExpand]\na=3\n", "[AutoExpand]\na=1\n"},
        CollectCase{"ByteOrderMarkBeforeTheHeader", "\xEF\xBB\xBF[AutoExpand]\na=1\n",
                    "[AutoExpand]\na=1\n"},
        CollectCase{"HeaderWithoutKeys", "  [ AutoExpand ] ; rules\n\n", "[AutoExpand]\n"}),
    [](const testing::TestParamInfo<CollectCase>& test) { return test.param.name; });

}  // namespace
