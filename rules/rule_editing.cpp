#include "rules/rule_editing.h"

#include <string>

std::string SavedKey(std::string_view typeName) {
  return std::string(kSavedKeyPrefix).append(typeName);
}

void AddRule(ProfileStore& store, std::string_view typeName, std::string_view value) {
  std::string current = store.Read(kAutoExpandSection, typeName);
  if (current.empty()) {
    store.Write(kAutoExpandSection, typeName, value);
    return;
  }
  if (current == value) {
    return;
  }
  // The saved copy goes first, so that the old value is never absent from the
  // section; the rule is then deleted (all its lines) and written anew.
  store.Write(kAutoExpandSection, SavedKey(typeName), current);
  store.Delete(kAutoExpandSection, typeName);
  store.Write(kAutoExpandSection, typeName, value);
}

void RemoveRule(ProfileStore& store, std::string_view typeName) {
  store.Delete(kAutoExpandSection, typeName);
  std::string savedKey = SavedKey(typeName);
  std::string saved = store.Read(kAutoExpandSection, savedKey);
  if (!saved.empty()) {
    store.Delete(kAutoExpandSection, savedKey);
    store.Write(kAutoExpandSection, typeName, saved);
  }
}
