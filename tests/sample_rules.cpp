#include "tests/sample_rules.h"

#include "rules/display_rules.h"

const char kUserRules[] =
    "; my rules, tuned by hand\r\n"
    "[AutoExpand]\r\n"
    "CEdit = <m_hWnd,x> ; mine\r\n"
    "CPoint=x=<x> y=<y>\r\n"
    "\r\n"
    "; what follows is not mine\r\n"
    "[Visualizer]\r\n"
    "CWnd=nothing\r\n";

namespace {

const char kHead[] = "; my rules, tuned by hand\r\n[AutoExpand]\r\nCPoint=x=<x> y=<y>\r\n";
const char kTail[] = "\r\n; what follows is not mine\r\n[Visualizer]\r\nCWnd=nothing\r\n";

}  // namespace

// The rules go after the last key line of the section, the old CEdit value
// saved under ov-CEdit just before the new rule.
std::string InstalledRules() {
  std::string text = kHead;
  for (const DisplayRule& rule : kDisplayRules) {
    if (std::string(rule.typeName) == "CEdit") {
      text += "ov-CEdit=<m_hWnd,x> ; mine\r\n";
    }
    text += std::string(RuleKey(rule, true)) + "=" + rule.value + "\r\n";
  }
  return text + kTail;
}

// The user's CEdit value is back, on a line of its own after the section's
// last key line.
std::string UninstalledRules() {
  return std::string(kHead) + "CEdit=<m_hWnd,x> ; mine\r\n" + kTail;
}

std::string OtherSections(std::size_t bytes) {
  std::string text;
  text.reserve(bytes + 256);
  for (int section = 0; text.size() < bytes; ++section) {
    text += "\r\n; rules for library " + std::to_string(section) + ", kept by hand\r\n";
    text += "[Library" + std::to_string(section) + "]\r\n";
    for (int key = 0; key < 40 && text.size() < bytes; ++key) {
      text += "lib" + std::to_string(section) + "::type" + std::to_string(key) +
              "=<m_first,x> size=<m_size> ; note\r\n";
    }
  }
  return text;
}
