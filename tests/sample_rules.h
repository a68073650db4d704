#ifndef AUTOEXP_TESTS_SAMPLE_RULES_H_
#define AUTOEXP_TESTS_SAMPLE_RULES_H_

#include <cstddef>
#include <string>

// A user's rules file with a value that the install replaces (CEdit), and what
// an install with tag "71" and the uninstall after it leave of it.
extern const char kUserRules[];
std::string InstalledRules();
std::string UninstalledRules();

// Sections of other rules, comment blocks among them, to make a rules file
// about |bytes| long when appended to the user's: none is AutoExpand, so the
// edits leave all of it as it is.
std::string OtherSections(std::size_t bytes);

#endif  // AUTOEXP_TESTS_SAMPLE_RULES_H_
