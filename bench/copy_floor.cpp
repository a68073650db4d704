// The floor a run of autoexp-setup is measured against: what it costs at the
// least to rewrite a file safely. Reads FILE into one buffer, as a run does,
// writes its bytes to a new file in the same folder, flushes it to disk and
// renames it over FILE.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: copy_floor FILE\n");
    return 2;
  }
  std::string path = argv[1];
  int in = open(path.c_str(), O_RDONLY);
  struct stat status;
  if (in < 0 || fstat(in, &status) != 0) {
    std::perror(path.c_str());
    return 1;
  }
  auto size = static_cast<std::size_t>(status.st_size);
  char* bytes = static_cast<char*>(std::malloc(size + 1));
  std::size_t got = 0;
  for (ssize_t read = 1; bytes != nullptr && read > 0 && got<size; got += read> 0 ? read : 0) {
    read = ::read(in, bytes + got, size - got);
  }
  std::string temporary = path + ".floor";
  int out = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::size_t done = 0;
  while (out >= 0 && done < got) {
    ssize_t put = write(out, bytes + done, got - done);
    if (put <= 0) {
      break;
    }
    done += static_cast<std::size_t>(put);
  }
  if (got != size || out < 0 || done != size || fsync(out) != 0 || close(out) != 0 ||
      rename(temporary.c_str(), path.c_str()) != 0) {
    std::perror(temporary.c_str());
    return 1;
  }
  return 0;
}
