#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>

#include "app/installer_app.h"

int main(int argc, char** argv) {
  // A run must end by itself, with a status: a write beyond the file-size
  // limit then fails with EFBIG, and a trace to a standard error whose reader
  // has gone with EPIPE, instead of killing the process part-way.
  signal(SIGXFSZ, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  // Started with standard input, output or error closed, the files the run
  // opens would take their numbers, and a trace would be written into one.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF && open("/dev/null", O_RDWR) != fd) {
      return 1;
    }
  }
  // Paths are walked in the encoding of the user's locale, as the C library
  // names it; the "C" locale of a bare start would make every byte a character.
  std::setlocale(LC_CTYPE, "");
  theApp.InitInstance(argc, argv);
  return theApp.ExitStatus();
}
