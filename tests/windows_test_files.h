#ifndef AUTOEXP_TESTS_WINDOWS_TEST_FILES_H_
#define AUTOEXP_TESTS_WINDOWS_TEST_FILES_H_

#include <windows.h>

#include <string>
#include <vector>

// Files for the Windows tests, through the system calls alone, so that a
// test never checks the program's file code with that same code.

// The bytes of the file at |path|, or "<missing>".
std::string ReadAll(const std::string& path);
void WriteAll(const std::string& path, const std::string& bytes);
// Deletes |path| and all it holds, read-only files included.
void RemoveTree(const std::string& path);
// The names in the folder |path|, sorted.
std::vector<std::string> Names(const std::string& path);

#endif  // AUTOEXP_TESTS_WINDOWS_TEST_FILES_H_
