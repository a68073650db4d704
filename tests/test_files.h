#ifndef AUTOEXP_TESTS_TEST_FILES_H_
#define AUTOEXP_TESTS_TEST_FILES_H_

#include <string>
#include <vector>

// A fresh directory under the system's temporary directory, removed with all
// it holds when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // The names in the directory, sorted.
  std::vector<std::string> Names() const;

 private:
  std::string path_;
};

std::string ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::string& bytes);

#endif  // AUTOEXP_TESTS_TEST_FILES_H_
