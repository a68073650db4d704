#ifndef AUTOEXP_RULES_RULE_EDITING_H_
#define AUTOEXP_RULES_RULE_EDITING_H_

#include <string>
#include <string_view>

#include "profile/profile_store.h"

// The section of the rules file that holds the display rules.
constexpr std::string_view kAutoExpandSection = "AutoExpand";

// A value that a rule replaced is kept under this prefix followed by the
// rule's key, in the same section, until the rule is removed again.
constexpr std::string_view kSavedKeyPrefix = "ov-";

// The key under which the value that the rule for |typeName| replaced is kept.
std::string SavedKey(std::string_view typeName);

// What an edit of one rule did.
enum class RuleEdit {
  kNone,      // nothing: the rule held the value, or was not the add-in's to remove
  kWritten,   // the rule was written
  kSaved,     // the rule was written, and the value it replaced saved
  kRemoved,   // the rule was removed
  kRestored,  // the rule was removed, and its saved value put back
};

// Makes the rule for |typeName| hold |value|. A different value already there
// is first saved under the saved-value key (replacing an older saved copy),
// unless it is the add-in's own (IsAddInValue): that one is only rewritten,
// and a saved copy stays as it is. An equal value leaves the text as it is;
// an empty one counts as absent.
RuleEdit AddRule(ProfileStore& store, std::string_view typeName, std::string_view value);

// Deletes the rule for |typeName| and puts back its saved value if a
// non-empty one is there, removing the saved copy. An empty saved copy
// restores nothing and stays. A rule whose value is not the add-in's
// (IsAddInValue) and for which nothing is saved is the user's own: it stays.
RuleEdit RemoveRule(ProfileStore& store, std::string_view typeName);

#endif  // AUTOEXP_RULES_RULE_EDITING_H_
