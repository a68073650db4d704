#include "rules/rule_editing.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct RuleCase {
  const char* name;
  std::string before;
  enum { kAdd, kRemove } action;
  const char* value;  // for kAdd
  std::string after;
};

std::ostream& operator<<(std::ostream& out, const RuleCase& c) {
  return out << c.name;
}

class RuleEditing : public testing::TestWithParam<RuleCase> {};

TEST_P(RuleEditing, LeavesTheExpectedText) {
  const RuleCase& c = GetParam();
  ProfileStore store(c.before);
  if (c.action == RuleCase::kAdd) {
    AddRule(store, "CEdit", c.value);
  } else {
    RemoveRule(store, "CEdit");
  }
  EXPECT_EQ(store.Contents(), c.after);
  EXPECT_EQ(store.edited(), c.after != c.before);
}

const std::string kLong(300, 'L');

INSTANTIATE_TEST_SUITE_P(
    Cases, RuleEditing,
    testing::Values(
        RuleCase{"AddAbsent", "[AutoExpand]\nx=1\n", RuleCase::kAdd, "new",
                 "[AutoExpand]\nx=1\nCEdit=new\n"},
        RuleCase{"AddEqualTouchesNothing", "[AutoExpand]\nCEdit = new\n", RuleCase::kAdd, "new",
                 "[AutoExpand]\nCEdit = new\n"},
        RuleCase{"AddDifferentSavesOld", "[AutoExpand]\nCEdit=old\nx=1\n", RuleCase::kAdd, "new",
                 "[AutoExpand]\nCEdit=new\nx=1\nov-CEdit=old\n"},
        RuleCase{"AddOverEmptySavesNothing", "[AutoExpand]\nCEdit=\n", RuleCase::kAdd, "new",
                 "[AutoExpand]\nCEdit=new\n"},
        RuleCase{"AddReplacesOlderSavedCopy", "[AutoExpand]\nov-CEdit=first\nCEdit=second\n",
                 RuleCase::kAdd, "third", "[AutoExpand]\nov-CEdit=second\nCEdit=third\n"},
        RuleCase{"AddOverAnEarlierReleaseKeepsTheUsersSavedValue",
                 "[AutoExpand]\nCEdit=$ADDIN(Orvelin.dll,edit_v1)\nov-CEdit=mine\n", RuleCase::kAdd,
                 "new", "[AutoExpand]\nCEdit=new\nov-CEdit=mine\n"},
        RuleCase{"AddOverTheAddInsRuleInOtherCaseSavesNothing",
                 "[AutoExpand]\nCEdit = $addin(ORVELIN.DLL,edit_ctrl)\n", RuleCase::kAdd, "new",
                 "[AutoExpand]\nCEdit = new\n"},
        RuleCase{"AddCaseDifferenceIsDifferent", "[AutoExpand]\nCEdit=NEW\n", RuleCase::kAdd, "new",
                 "[AutoExpand]\nCEdit=new\nov-CEdit=NEW\n"},
        RuleCase{"AddSavesLongValueWhole", "[AutoExpand]\nCEdit=" + kLong + "\n", RuleCase::kAdd,
                 "new", "[AutoExpand]\nCEdit=new\nov-CEdit=" + kLong + "\n"},
        RuleCase{"AddKeepsShadowedDuplicate", "[AutoExpand]\n  cedit = old \r\ncedit=older\n",
                 RuleCase::kAdd, "new",
                 "[AutoExpand]\n  CEdit = new \r\ncedit=older\nov-CEdit=old\n"},
        RuleCase{"RemoveTakesTheRulesPlace",
                 "[AutoExpand]\n CEdit = new\r\nx=1\nov-CEdit=old\ncedit=shadowed\n",
                 RuleCase::kRemove, "", "[AutoExpand]\n CEdit = old\r\nx=1\ncedit=shadowed\n"},
        RuleCase{"RemoveTheAddInsRuleOfAnyVersion",
                 "[AutoExpand]\nCEdit= $addin(ORVELIN.dll,edit_ctrl_2)\nx=1\n", RuleCase::kRemove,
                 "", "[AutoExpand]\nx=1\n"},
        RuleCase{"RemoveLeavesTheUsersOwnRule", "[AutoExpand]\nCEdit=<,t> hWnd=<m_hWnd>\n",
                 RuleCase::kRemove, "", "[AutoExpand]\nCEdit=<,t> hWnd=<m_hWnd>\n"},
        RuleCase{"RemoveLeavesAnotherAddInsRule", "[AutoExpand]\nCEdit=$ADDIN(Orvelin.dll2,x)\n",
                 RuleCase::kRemove, "", "[AutoExpand]\nCEdit=$ADDIN(Orvelin.dll2,x)\n"},
        RuleCase{"RemoveRestoresSaved", "[AutoExpand]\nx=1\nov-CEdit=old\nCEdit=new\n",
                 RuleCase::kRemove, "", "[AutoExpand]\nx=1\nCEdit=old\n"},
        RuleCase{"RemoveKeepsEmptySaved", "[AutoExpand]\nov-CEdit=\nCEdit=$ADDIN(Orvelin.dll,e)\n",
                 RuleCase::kRemove, "", "[AutoExpand]\nov-CEdit=\n"},
        RuleCase{"RemoveRestoresLongValueWhole",
                 "[AutoExpand]\nov-CEdit=" + kLong + "\nCEdit=new\n", RuleCase::kRemove, "",
                 "[AutoExpand]\nCEdit=" + kLong + "\n"},
        RuleCase{"RemoveFromMissingFile", "", RuleCase::kRemove, "", ""}),
    [](const testing::TestParamInfo<RuleCase>& param) { return param.param.name; });

TEST(RuleEditing, AddThenRemoveGivesBackTheOldValue) {
  ProfileStore store("[AutoExpand]\r\nCEdit = mine ;tuned\r\n");
  AddRule(store, "CEdit", "$ADDIN(x)");
  EXPECT_EQ(store.Read(kAutoExpandSection, "CEdit"), "$ADDIN(x)");
  AddRule(store, "CEdit", "$ADDIN(x)");  // a second install keeps the saved copy
  EXPECT_EQ(store.Read(kAutoExpandSection, "ov-CEdit"), "mine ;tuned");
  RemoveRule(store, "CEdit");
  EXPECT_EQ(store.Read(kAutoExpandSection, "CEdit"), "mine ;tuned");
  EXPECT_EQ(store.Read(kAutoExpandSection, "ov-CEdit"), "");
}

}  // namespace
