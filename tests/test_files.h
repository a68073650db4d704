#ifndef AUTOEXP_TESTS_TEST_FILES_H_
#define AUTOEXP_TESTS_TEST_FILES_H_

#include <string>
#include <vector>

// Files for the tests of both systems, through the system's own calls, so
// that a test never checks the program's file code with that same code.

// A fresh directory under the system's temporary directory, removed with all
// it holds (read-only files too) when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const;
  // The names in the directory, sorted.
  std::vector<std::string> Names() const;

 private:
  std::string path_;
};

// The bytes of the file at |path|; empty when it cannot be read.
std::string ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::string& bytes);
// The names in the directory |path|, sorted.
std::vector<std::string> NamesIn(const std::string& path);
// Deletes |path| and all it holds.
void RemoveTree(const std::string& path);
void MakeDirectory(const std::string& path);
// Marks the file at |path| read-only: the read-only attribute on Windows, no
// write bits elsewhere.
void MakeReadOnly(const std::string& path);
// Moves the file at |from| to |to|, over whatever is there.
void MoveOver(const std::string& from, const std::string& to);
// Gives the file at |from| the second name |to|.
void MakeHardLink(const std::string& from, const std::string& to);

#endif  // AUTOEXP_TESTS_TEST_FILES_H_
