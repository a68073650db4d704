#include "rules/display_rules.h"

#include "profile/profile_syntax.h"

// The type names are spelled out of a few building blocks; adjacent literals
// join, so each row still reads as one string. Spaces stand where the debugger
// puts them: between closing angle brackets and before "*" and "&".
#define NARROW "std::basic_string<char,std::char_traits<char>,std::allocator<char> >"
#define WIDE                                                           \
  "std::basic_string<unsigned short,std::char_traits<unsigned short>," \
  "std::allocator<unsigned short> >"
#define VECTOR_OF(s) "std::vector<" s ",std::allocator<" s " > >"
#define LIST_OF(s) "std::list<" s ",std::allocator<" s " > >"
#define PTRIT_OF(s) "std::_Ptrit<" s ",int," s " *," s " &," s " *," s " &>"
#define ADDIN_CALL "$ADDIN(Orvelin.dll,"
#define ADDIN(export_name) ADDIN_CALL export_name ")"

// clang-format off
const DisplayRule kDisplayRules[kDisplayRuleCount] = {
    // type name (tag "71")              other tags          value
    {NARROW,                             nullptr,            ADDIN("basic_string")},
    {WIDE,                               nullptr,            ADDIN("basic_string_us")},
    {VECTOR_OF(NARROW),                  nullptr,            ADDIN("vector_basic_string")},
    {VECTOR_OF(WIDE),                    nullptr,            ADDIN("vector_basic_string_us")},
    {VECTOR_OF(NARROW) "::iterator",     PTRIT_OF(NARROW),   ADDIN("vector_basic_string_iterator")},
    {VECTOR_OF(WIDE) "::iterator",       PTRIT_OF(WIDE),     ADDIN("vector_basic_string_us_iterator")},
    {LIST_OF(NARROW),                    nullptr,            ADDIN("list_basic_string")},
    {LIST_OF(WIDE),                      nullptr,            ADDIN("list_basic_string_us")},
    {LIST_OF(NARROW) "::iterator",       nullptr,            ADDIN("list_basic_string_iterator")},
    {LIST_OF(WIDE) "::iterator",         nullptr,            ADDIN("list_basic_string_us_iterator")},
    {"CListCtrl",                        nullptr,            ADDIN("list_ctrl")},
    {"CTreeCtrl",                        nullptr,            ADDIN("tree_ctrl")},
    {"CEdit",                            nullptr,            ADDIN("edit_ctrl")},
    {"CButton",                          nullptr,            ADDIN("button_ctrl")},
    {"CStatic",                          nullptr,            ADDIN("static_ctrl")},
    {"CListBox",                         nullptr,            ADDIN("listbox_ctrl")},
    {"CComboBox",                        nullptr,            ADDIN("combobox_ctrl")},
    {"CWnd",                             nullptr,            ADDIN("cwnd")},
    {"HWND__",                           nullptr,            ADDIN("hwnd")},
};
// clang-format on

bool IsAddInValue(std::string_view value) {
  constexpr std::string_view kCall = ADDIN_CALL;
  return value.size() >= kCall.size() && EqualsIgnoringCase(value.substr(0, kCall.size()), kCall);
}

bool IsTag71(std::string_view versionTag) {
  return versionTag == "71";
}

const char* RuleKey(const DisplayRule& rule, bool tag71) {
  return (tag71 || rule.otherTagTypeName == nullptr) ? rule.typeName : rule.otherTagTypeName;
}
