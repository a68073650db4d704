#include "rules/rule_editing.h"

#include <string>

#include "rules/display_rules.h"

std::string SavedKey(std::string_view typeName) {
  return std::string(kSavedKeyPrefix).append(typeName);
}

RuleEdit AddRule(ProfileStore& store, std::string_view typeName, std::string_view value) {
  std::string current = store.Read(kAutoExpandSection, typeName);
  if (current.empty()) {
    store.Write(kAutoExpandSection, typeName, value);
    return RuleEdit::kWritten;
  }
  if (current == value) {
    return RuleEdit::kNone;
  }
  // An add-in rule of another release (or another spelling of this one's) is
  // not the user's: saving it would overwrite the user's own saved value, and
  // the uninstall would put back a call of an export that may be gone. It is
  // rewritten, and whatever is saved stays as it is.
  if (IsAddInValue(current)) {
    store.Write(kAutoExpandSection, typeName, value);
    return RuleEdit::kWritten;
  }
  // The saved copy goes first, so that the old value is never absent from the
  // section; the rule's first line is then deleted and written anew.
  store.Write(kAutoExpandSection, SavedKey(typeName), current);
  store.Delete(kAutoExpandSection, typeName);
  store.Write(kAutoExpandSection, typeName, value);
  return RuleEdit::kSaved;
}

RuleEdit RemoveRule(ProfileStore& store, std::string_view typeName) {
  std::string savedKey = SavedKey(typeName);
  std::string saved = store.Read(kAutoExpandSection, savedKey);
  // A rule that is not the add-in's, with nothing saved for it, was written
  // by the user or came with the debugger, and no install replaced it: an
  // uninstall with no install before it, or one run twice, leaves it.
  if (saved.empty() && !IsAddInValue(store.Read(kAutoExpandSection, typeName))) {
    return RuleEdit::kNone;
  }
  store.Delete(kAutoExpandSection, typeName);
  if (saved.empty()) {
    return RuleEdit::kRemoved;
  }
  store.Delete(kAutoExpandSection, savedKey);
  store.Write(kAutoExpandSection, typeName, saved);
  return RuleEdit::kRestored;
}
