// The rules that docs/setup.md lists for setup authors are the program's.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "rules/display_rules.h"

namespace {

TEST(SetupDocs, ListTheRulesOfBothTagsAsTheTableHasThem) {
  std::ifstream file(std::string(AUTOEXP_TEST_SOURCE_DIR) + "/../docs/setup.md");
  std::stringstream text;
  text << file.rdbuf();
  for (bool tag71 : {true, false}) {
    for (const DisplayRule& rule : kDisplayRules) {
      std::string line = std::string("    ") + RuleKey(rule, tag71) + "=" + rule.value + "\n";
      EXPECT_NE(text.str().find(line), std::string::npos) << line;
    }
  }
}

}  // namespace
