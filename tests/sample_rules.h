#ifndef AUTOEXP_TESTS_SAMPLE_RULES_H_
#define AUTOEXP_TESTS_SAMPLE_RULES_H_

#include <string>

// A user's rules file with a value that the install replaces (CEdit), and what
// an install with tag "71" and the uninstall after it leave of it.
extern const char kUserRules[];
std::string InstalledRules();
std::string UninstalledRules();

#endif  // AUTOEXP_TESTS_SAMPLE_RULES_H_
