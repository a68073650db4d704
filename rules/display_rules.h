#ifndef AUTOEXP_RULES_DISPLAY_RULES_H_
#define AUTOEXP_RULES_DISPLAY_RULES_H_

#include <cstddef>
#include <string_view>

// One display rule: objects of the type named by the key are shown by calling
// an export of the add-in library.
struct DisplayRule {
  // The type name, as the debugger spells it, used as the key of the rule line.
  // For rows whose type is spelled differently by other debugger versions, the
  // spelling of version "71".
  const char* typeName;
  // The spelling for every version tag other than "71"; null for the rows that
  // are spelled alike by all versions.
  const char* otherTagTypeName;
  const char* value;
};

constexpr std::size_t kDisplayRuleCount = 19;

// The rules the installer adds and removes, in the order of both runs.
extern const DisplayRule kDisplayRules[kDisplayRuleCount];

// Whether |value| is a rule of the add-in, of this version or another: a call
// of an export of its library ("$ADDIN(" the library's name and ","), ASCII
// letter case aside.
bool IsAddInValue(std::string_view value);

// Whether |versionTag| selects the "71" spellings: an exact byte comparison.
bool IsTag71(std::string_view versionTag);

// The key of |rule| for the spelling chosen once per run by IsTag71.
const char* RuleKey(const DisplayRule& rule, bool tag71);

#endif  // AUTOEXP_RULES_DISPLAY_RULES_H_
