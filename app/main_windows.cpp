#include <windows.h>

#include <cstdlib>

#include "app/installer_app.h"

// A GUI-subsystem entry, so that no console window opens when a setup starts
// the program. The C runtime has already split the command line into the
// narrow argument vector, in the ANSI code page.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  theApp.InitInstance(__argc, __argv);
  return theApp.ExitStatus();
}
