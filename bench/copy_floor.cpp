// The floor a run of autoexp-setup is measured against: what it costs at the
// least to rewrite a file safely. Reads FILE whole, writes the bytes to a new
// file in the same directory, flushes it to disk and renames it over FILE.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
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
  // Read into memory that nothing has touched yet, as a run does: filling it
  // first would make the floor pay for every page twice.
  std::size_t capacity = static_cast<std::size_t>(status.st_size);
  std::unique_ptr<char[]> bytes(new char[capacity + 1]);
  std::size_t size = 0;
  while (size < capacity) {
    ssize_t got = read(in, bytes.get() + size, capacity - size);
    if (got <= 0) {
      break;
    }
    size += static_cast<std::size_t>(got);
  }
  close(in);
  std::string temporary = path + ".floor";
  int out = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::size_t done = 0;
  while (out >= 0 && done < size) {
    ssize_t put = write(out, bytes.get() + done, size - done);
    if (put <= 0) {
      break;
    }
    done += static_cast<std::size_t>(put);
  }
  if (out < 0 || done != size || fsync(out) != 0 || close(out) != 0 ||
      rename(temporary.c_str(), path.c_str()) != 0) {
    std::perror(temporary.c_str());
    return 1;
  }
  return 0;
}
