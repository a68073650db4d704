// The floor a second install, which changes nothing, is measured against:
// the smallest program that reads FILE into one fresh buffer and finds every
// line end in it (LF, or a lone CR) with memchr, the next LF and the next CR
// each looked for once.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  int in = argc == 2 ? open(argv[1], O_RDONLY) : -1;
  struct stat status;
  if (in < 0 || fstat(in, &status) != 0) {
    std::fprintf(stderr, "usage: line_floor FILE\n");
    return 2;
  }
  auto size = static_cast<std::size_t>(status.st_size);
  char* bytes = static_cast<char*>(std::malloc(size + 1));
  std::size_t got = 0;
  for (ssize_t read = 1; bytes != nullptr && read > 0 && got<size; got += read> 0 ? read : 0) {
    read = ::read(in, bytes + got, size - got);
  }
  const char* end = bytes + got;
  const char* lf = nullptr;
  const char* cr = nullptr;
  std::size_t lines = 0;
  for (const char* at = bytes; at < end; ++lines) {
    if (lf == nullptr || lf < at) {
      lf = static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
      lf = lf == nullptr ? end : lf;
    }
    if (cr == nullptr || cr < at) {
      cr = static_cast<const char*>(std::memchr(at, '\r', static_cast<std::size_t>(lf - at)));
      cr = cr == nullptr ? lf : cr;
    }
    const char* stop = cr < lf ? cr : lf;
    at = stop + (stop + 1 < end && stop[0] == '\r' && stop[1] == '\n' ? 2 : 1);
  }
  return lines == 0 && got > 0 ? 1 : 0;
}
