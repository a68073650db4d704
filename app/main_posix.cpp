#include <clocale>

#include "app/installer_app.h"

int main(int argc, char** argv) {
  // Paths are walked in the encoding of the user's locale, as the C library
  // names it; the "C" locale of a bare start would make every byte a character.
  std::setlocale(LC_CTYPE, "");
  theApp.InitInstance(argc, argv);
  return theApp.ExitStatus();
}
