#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <string>
#include <vector>

#include "app/installer_app.h"
#include "platform/wide_windows.h"

// A GUI-subsystem entry, so that no console window opens when a setup starts
// the program. The arguments are taken from the wide command line, split as
// the C runtime splits it, and made UTF-8, the form of every text inside the
// program: a folder named in any script arrives as it is, where the narrow
// argument vector would put it into the ANSI code page, a look-alike for
// each character that the code page lacks.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> texts;
  for (int i = 0; wide != nullptr && i < count; ++i) {
    texts.push_back(Utf8(wide[i]));
  }
  LocalFree(wide);
  std::vector<char*> arguments;
  for (std::string& text : texts) {
    arguments.push_back(&text[0]);
  }
  arguments.push_back(nullptr);
  theApp.InitInstance(static_cast<int>(texts.size()), arguments.data());
  return theApp.ExitStatus();
}
