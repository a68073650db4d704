#include "rules/display_rules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// Every row written out in full, as the debugger spells the types, so that a
// slip in the building blocks of the table shows up here.
struct ExpectedRow {
  const char* key71;
  const char* keyOther;
  const char* value;
};

// clang-format off
const ExpectedRow kExpected[] = {
    {"std::basic_string<char,std::char_traits<char>,std::allocator<char> >",
     "std::basic_string<char,std::char_traits<char>,std::allocator<char> >",
     "$ADDIN(Orvelin.dll,basic_string)"},
    {"std::basic_string<unsigned short,std::char_traits<unsigned short>,std::allocator<unsigned short> >",
     "std::basic_string<unsigned short,std::char_traits<unsigned short>,std::allocator<unsigned short> >",
     "$ADDIN(Orvelin.dll,basic_string_us)"},
    {"std::vector<std::basic_string<char,std::char_traits<char>,std::allocator<char> >,std::allocator<std::basic_string<char,std::char_traits<char>,std::allocator<char> > > >",
     "std::vector<std::basic_string<char,std::char_traits<char>,std::allocator<char> >,std::allocator<std::basic_string<char,std::char_traits<char>,std::allocator<char> > > >",
     "$ADDIN(Orvelin.dll,vector_basic_string)"},
    {"std::vector<std::basic_string<unsigned short,std::char_traits<unsigned short>,std::allocator<unsigned short> >,std::allocator<std::basic_string<unsigned short,std::char_traits<unsigned short>,std::allocator<unsigned short> > > >",
     "std::vector<std::basic_string<unsigned short,std::char_traits<unsigned short>,std::allocator<unsigned short> >,std::allocator<std::basic_string<unsigned short,std::char_traits<unsigned short>,std::allocator<unsigned short> > > >",
     "$ADDIN(Orvelin.dll,vector_basic_string_us)"},
    {"std::vector<std::basic_string<char,std::char_traits<char>,std::allocator<char> >,std::allocator<std::basic_string<char,std::char_traits<char>,std::allocator<char> > > >::iterator",
     "std::_Ptrit<std::basic_string<char,std::char_traits<char>,std::allocator<char> >,int,std::basic_string<char,std::char_traits<char>,std::allocator<char> > *,std::basic_string<char,std::char_traits<char>,std::allocator<char> > &,std::basic_string<char,std::char_traits<char>,std::allocator<char> > *,std::basic_string<char,std::char_traits<char>,std::allocator<char> > &>",
     "$ADDIN(Orvelin.dll,vector_basic_string_iterator)"},
    {"std::vector<std::basic_string<unsigned short,std::char_traits<unsigned short>,std::allocator<unsigned short> >,std::allocator<std::basic_string<unsigned short,std::char_traits<unsigned short>,std::allocator<unsigned short> > > >::iterator",
     "std::_Ptrit<std::basic_string<unsigned short,std::char_traits<unsigned short>,std::allocator<unsigned short> >,int,std::basic_string<unsigned short,std::char_traits<unsigned short>,std::allocator<unsigned short> > *,std::basic_string<unsigned short,std::char_traits<unsigned short>,std::allocator<unsigned short> > &,std::basic_string<unsigned short,std::char_traits<unsigned short>,std::allocator<unsigned short> > *,std::basic_string<unsigned short,std::char_traits<unsigned short>,std::allocator<unsigned short> > &>",
     "$ADDIN(Orvelin.dll,vector_basic_string_us_iterator)"},
    {"std::list<std::basic_string<char,std::char_traits<char>,std::allocator<char> >,std::allocator<std::basic_string<char,std::char_traits<char>,std::allocator<char> > > >",
     "std::list<std::basic_string<char,std::char_traits<char>,std::allocator<char> >,std::allocator<std::basic_string<char,std::char_traits<char>,std::allocator<char> > > >",
     "$ADDIN(Orvelin.dll,list_basic_string)"},
    {"std::list<std::basic_string<unsigned short,std::char_traits<unsigned short>,std::allocator<unsigned short> >,std::allocator<std::basic_string<unsigned short,std::char_traits<unsigned short>,std::allocator<unsigned short> > > >",
     "std::list<std::basic_string<unsigned short,std::char_traits<unsigned short>,std::allocator<unsigned short> >,std::allocator<std::basic_string<unsigned short,std::char_traits<unsigned short>,std::allocator<unsigned short> > > >",
     "$ADDIN(Orvelin.dll,list_basic_string_us)"},
    {"std::list<std::basic_string<char,std::char_traits<char>,std::allocator<char> >,std::allocator<std::basic_string<char,std::char_traits<char>,std::allocator<char> > > >::iterator",
     "std::list<std::basic_string<char,std::char_traits<char>,std::allocator<char> >,std::allocator<std::basic_string<char,std::char_traits<char>,std::allocator<char> > > >::iterator",
     "$ADDIN(Orvelin.dll,list_basic_string_iterator)"},
    {"std::list<std::basic_string<unsigned short,std::char_traits<unsigned short>,std::allocator<unsigned short> >,std::allocator<std::basic_string<unsigned short,std::char_traits<unsigned short>,std::allocator<unsigned short> > > >::iterator",
     "std::list<std::basic_string<unsigned short,std::char_traits<unsigned short>,std::allocator<unsigned short> >,std::allocator<std::basic_string<unsigned short,std::char_traits<unsigned short>,std::allocator<unsigned short> > > >::iterator",
     "$ADDIN(Orvelin.dll,list_basic_string_us_iterator)"},
    {"CListCtrl", "CListCtrl", "$ADDIN(Orvelin.dll,list_ctrl)"},
    {"CTreeCtrl", "CTreeCtrl", "$ADDIN(Orvelin.dll,tree_ctrl)"},
    {"CEdit", "CEdit", "$ADDIN(Orvelin.dll,edit_ctrl)"},
    {"CButton", "CButton", "$ADDIN(Orvelin.dll,button_ctrl)"},
    {"CStatic", "CStatic", "$ADDIN(Orvelin.dll,static_ctrl)"},
    {"CListBox", "CListBox", "$ADDIN(Orvelin.dll,listbox_ctrl)"},
    {"CComboBox", "CComboBox", "$ADDIN(Orvelin.dll,combobox_ctrl)"},
    {"CWnd", "CWnd", "$ADDIN(Orvelin.dll,cwnd)"},
    {"HWND__", "HWND__", "$ADDIN(Orvelin.dll,hwnd)"},
};
// clang-format on

static_assert(sizeof(kExpected) / sizeof(kExpected[0]) == kDisplayRuleCount, "19 rows");

TEST(DisplayRules, EveryRowInBothSpellings) {
  for (std::size_t row = 0; row < kDisplayRuleCount; ++row) {
    SCOPED_TRACE("row " + std::to_string(row + 1));
    EXPECT_STREQ(RuleKey(kDisplayRules[row], true), kExpected[row].key71);
    EXPECT_STREQ(RuleKey(kDisplayRules[row], false), kExpected[row].keyOther);
    EXPECT_STREQ(kDisplayRules[row].value, kExpected[row].value);
  }
}

TEST(DisplayRules, LongestKeyHas519Characters) {
  EXPECT_EQ(std::strlen(RuleKey(kDisplayRules[5], false)), 519u);
}

TEST(DisplayRules, OnlyTheExactTag71SelectsItsSpelling) {
  struct TagCase {
    const char* tag;
    bool tag71;
  } cases[] = {{"71", true},   {"71 ", false}, {" 71", false}, {"071", false},
               {"7.1", false}, {"", false},    {"70", false},  {"8", false}};
  for (const TagCase& c : cases) {
    EXPECT_EQ(IsTag71(c.tag), c.tag71) << "tag '" << c.tag << "'";
  }
  EXPECT_FALSE(IsTag71(std::string("71\0", 3)));
}

}  // namespace
