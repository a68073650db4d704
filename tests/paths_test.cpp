#include "app/paths.h"

#include <gtest/gtest.h>

namespace {

struct PathCase {
  const char* base;
  const char* sub;
  const char* rulesPath;
};

std::ostream& operator<<(std::ostream& out, const PathCase& c) {
  return out << testing::PrintToString(c.base) << " + " << testing::PrintToString(c.sub);
}

class SingleBytePaths : public testing::TestWithParam<PathCase> {};

TEST_P(SingleBytePaths, BuildsRulesPath) {
  const PathCase& c = GetParam();
  EXPECT_EQ(RulesPath(DirPrefix(c.base, c.sub, LeadByteTable{})), c.rulesPath);
}

INSTANTIATE_TEST_SUITE_P(
    Trimming, SingleBytePaths,
    testing::Values(
        // White space goes first, then the backslashes.
        PathCase{"C:\\Tools\\  ", "\\Sub\\", "C:\\Tools\\Sub\\autoexp.dat"},
        // Each pass runs once: the space before the last backslash stays.
        PathCase{"C:\\Tools\\ \\", "\\Sub\\", "C:\\Tools\\ \\Sub\\autoexp.dat"},
        PathCase{"C:\\Tools\\\\\\", "", "C:\\Toolsautoexp.dat"},
        PathCase{"C:\\", "\\Sub\\", "C:\\Sub\\autoexp.dat"}, PathCase{"C:\\", "", "C:autoexp.dat"},
        PathCase{"C:/Tools/", "", "C:/Tools/autoexp.dat"},
        PathCase{"  C:\\Tools", "\\", "  C:\\Tools\\autoexp.dat"},
        PathCase{"C:\\Tools", "Sub\\", "C:\\ToolsSub\\autoexp.dat"},
        PathCase{"", "", "autoexp.dat"},
        // Every one of the six white-space characters is cut, in any mix.
        PathCase{"C:\\T\\ \t\n\v\f\r", "\\", "C:\\T\\autoexp.dat"},
        // Other control characters are not white space.
        PathCase{"C:\\T\x01", "\\", "C:\\T\x01\\autoexp.dat"},
        // The sub-path is appended as it stands, blanks and all.
        PathCase{"C:\\T", "\\S \\ ", "C:\\T\\S \\ autoexp.dat"},
        PathCase{"\\\\\\", "x\\", "x\\autoexp.dat"},
        // In a single-byte code page 0x5C after a high byte is a backslash.
        PathCase{"C:\\\x95\\", "\\", "C:\\\x95\\autoexp.dat"}));

struct DoubleByteCase {
  int codePage;
  const char* base;
  const char* trimmed;
};

std::ostream& operator<<(std::ostream& out, const DoubleByteCase& c) {
  return out << c.codePage << ": " << testing::PrintToString(c.base);
}

class DoubleBytePaths : public testing::TestWithParam<DoubleByteCase> {};

TEST_P(DoubleBytePaths, KeepsDoubleByteCharactersWhole) {
  const DoubleByteCase& c = GetParam();
  EXPECT_EQ(TrimBaseDirectory(c.base, DoubleByteLeadBytes(c.codePage)), c.trimmed);
}

INSTANTIATE_TEST_SUITE_P(
    Trimming, DoubleBytePaths,
    testing::Values(
        // 0x95 0x5C is one character in Shift_JIS: its trail byte is no backslash.
        DoubleByteCase{932, "C:\\\x95\x5C", "C:\\\x95\x5C"},
        DoubleByteCase{932, "C:\\\x95\x5C\\\\", "C:\\\x95\x5C"},
        DoubleByteCase{932, "C:\\\x95\x5C  ", "C:\\\x95\x5C"},
        // A lead byte takes any next byte along, a blank too.
        DoubleByteCase{932, "C:\\\x81 ", "C:\\\x81 "},
        // A lead byte at the very end is one character; the walk stops there.
        DoubleByteCase{932, "C:\\\x81", "C:\\\x81"},
        DoubleByteCase{932, "C:\\x\\\x81", "C:\\x\\\x81"},
        // 0xA0 is no lead byte in Shift_JIS, so the backslash after it is cut...
        DoubleByteCase{932, "C:\\\xA0\\", "C:\\\xA0"},
        // ...but it is one in GBK, UHC and Big5.
        DoubleByteCase{936, "C:\\\xA0\\", "C:\\\xA0\\"},
        DoubleByteCase{949, "C:\\\xA0\\", "C:\\\xA0\\"},
        DoubleByteCase{950, "C:\\\xA0\\", "C:\\\xA0\\"},
        // The walk is in steps from the start: here 0x5C 0x5C follow a lead
        // byte, the first is its trail byte and only the second is cut.
        DoubleByteCase{932, "\x81\\\\", "\x81\\"},
        DoubleByteCase{1252, "C:\\\x95\x5C", "C:\\\x95"}));

TEST(BackupPath, SitsBesideTheRulesFile) {
  EXPECT_EQ(BackupPath("C:\\Sub\\"), "C:\\Sub\\autoexp.bak");
  EXPECT_EQ(BackupPath(""), "autoexp.bak");
}

}  // namespace
