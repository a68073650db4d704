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

const char kHead[] = "; my rules, tuned by hand\r\n[AutoExpand]\r\n";
const char kTail[] = "\r\n; what follows is not mine\r\n[Visualizer]\r\nCWnd=nothing\r\n";

}  // namespace

// The CEdit rule takes the place and the spacing of the user's CEdit line;
// the other rules, and the saved value just before the CEdit rule's row, go
// after the section's last key line.
std::string InstalledRules() {
  std::string text =
      std::string(kHead) + "CEdit = $ADDIN(Orvelin.dll,edit_ctrl)\r\n" + "CPoint=x=<x> y=<y>\r\n";
  for (const DisplayRule& rule : kDisplayRules) {
    if (std::string(rule.typeName) == "CEdit") {
      text += "ov-CEdit=<m_hWnd,x> ; mine\r\n";
    } else {
      text += std::string(RuleKey(rule, true)) + "=" + rule.value + "\r\n";
    }
  }
  return text + kTail;
}

// The user's file, byte for byte.
std::string UninstalledRules() {
  return kUserRules;
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
