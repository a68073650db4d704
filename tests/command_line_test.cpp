#include "app/command_line.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct ModeCase {
  std::vector<const char*> arguments;  // after the program path
  RunMode mode;
  bool backup;
};

std::ostream& operator<<(std::ostream& out, const ModeCase& c) {
  return out << testing::PrintToString(c.arguments);
}

class ModeSelection : public testing::TestWithParam<ModeCase> {};

TEST_P(ModeSelection, FollowsCountAndFirstCharacter) {
  std::vector<const char*> argv = {"autoexp-setup"};
  argv.insert(argv.end(), GetParam().arguments.begin(), GetParam().arguments.end());
  CommandLine line = ParseCommandLine(static_cast<int>(argv.size()), argv.data());
  EXPECT_EQ(SelectRunMode(line), GetParam().mode);
  EXPECT_EQ(WantsBackup(line), GetParam().backup);
  EXPECT_EQ(Misuse(line).empty(), GetParam().mode != RunMode::kNone) << Misuse(line);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ModeSelection,
    testing::Values(ModeCase{{"C:\\", "", "71", "I", "a", "b"}, RunMode::kInstall, false},
                    ModeCase{{"C:\\", "", "71", "I", "a", "b", "1"}, RunMode::kInstall, true},
                    ModeCase{{"C:\\", "", "71", "I", "a", "b", "1yes"}, RunMode::kInstall, true},
                    ModeCase{{"C:\\", "", "71", "I", "a", "b", "0"}, RunMode::kInstall, false},
                    ModeCase{{"C:\\", "", "71", "I", "a", "b", "yes"}, RunMode::kInstall, false},
                    ModeCase{{"C:\\", "", "71", "I", "a", "b", ""}, RunMode::kInstall, false},
                    ModeCase{{"C:\\", "", "71", "Install", "a", "b"}, RunMode::kInstall, false},
                    ModeCase{{"C:\\", "", "71", "install", "a", "b", "1"}, RunMode::kNone, true},
                    ModeCase{{"C:\\", "", "71", "I"}, RunMode::kNone, false},
                    ModeCase{{"C:\\", "", "71", "I", "a"}, RunMode::kNone, false},
                    ModeCase{{"C:\\", "", "71", "U"}, RunMode::kUninstall, false},
                    ModeCase{
                        {"C:\\", "", "71", "Uninstall", "a", "b", "1"}, RunMode::kUninstall, true},
                    ModeCase{{"C:\\", "", "71", "u"}, RunMode::kNone, false},
                    ModeCase{{"C:\\", "", "71", "Q"}, RunMode::kQuery, false},
                    ModeCase{{"C:\\", "", "71", "Query", "a"}, RunMode::kQuery, false},
                    ModeCase{{"C:\\", "", "Q"}, RunMode::kNone, false},
                    ModeCase{{"C:\\", "", "71"}, RunMode::kNone, false},
                    ModeCase{{"C:\\", "", "71", ""}, RunMode::kNone, false},
                    ModeCase{{}, RunMode::kNone, false}));

TEST(ParseCommandLine, AbsentArgumentsAreEmpty) {
  const char* argv[] = {"autoexp-setup", "C:\\Tools", nullptr};
  CommandLine line = ParseCommandLine(2, argv);
  EXPECT_EQ(line.baseDirectory, "C:\\Tools");
  EXPECT_EQ(line.subPath, "");
  EXPECT_EQ(line.versionTag, "");
  EXPECT_EQ(line.modeArg, "");
  EXPECT_EQ(ParseCommandLine(0, nullptr).baseDirectory, "");
}

}  // namespace
