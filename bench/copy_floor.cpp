// The floor a run of autoexp-setup is measured against: what it costs at the
// least to rewrite a file safely. Maps FILE, writes its bytes to a new file in
// the same directory, flushes it to disk and renames it over FILE. (Reading
// it into memory instead costs the same here, or a little more.)
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
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
  // Mapped, as a run maps it: nothing is copied before it is written.
  auto size = static_cast<std::size_t>(status.st_size);
  const char* bytes = static_cast<const char*>(
      size == 0 ? nullptr : mmap(nullptr, size, PROT_READ, MAP_SHARED, in, 0));
  if (bytes == MAP_FAILED) {
    std::perror(path.c_str());
    return 1;
  }
  std::string temporary = path + ".floor";
  int out = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::size_t done = 0;
  while (out >= 0 && done < size) {
    ssize_t put = write(out, bytes + done, size - done);
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
