// Reads every key of the AutoExpand section of a corpus of rules files both
// with the system's own GetPrivateProfileStringA and with ProfileStore, and
// expects the same value, apart from the system faults the store mends on
// purpose (listed in WhatTheSystemReads).
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "rules/profile_store.h"

namespace {

std::string gCorpus;  // folder of the corpus, from the command line

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::string Trim(const std::string& text) {
  std::size_t first = text.find_first_not_of(" \t\v\f\x1A");
  std::size_t last = text.find_last_not_of(" \t\v\f\x1A\r\n");
  return first == std::string::npos || last < first ? "" : text.substr(first, last - first + 1);
}

std::string ChangeCase(std::string text, bool upper) {
  for (char& c : text) {
    c = static_cast<char>(upper ? toupper(static_cast<unsigned char>(c))
                                : tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

// Every key any line of |text| could hold, in three letter cases, and one
// that no line holds.
std::set<std::string> ProbeKeys(const std::string& text) {
  std::set<std::string> keys = {"NotThere"};
  std::string lineFeeds = text;
  std::replace(lineFeeds.begin(), lineFeeds.end(), '\r', '\n');
  std::istringstream lines(lineFeeds);
  for (std::string line; std::getline(lines, line);) {
    std::string key = Trim(line.substr(0, line.find('=')));
    if (!key.empty()) {
      keys.insert({key, ChangeCase(key, true), ChangeCase(key, false)});
    }
  }
  return keys;
}

// What GetPrivateProfileStringA gives for |key|, which the store reads as
// |value|. The store keeps these differences on purpose:
//  - the system strips one pair of matching quotes around a value; the store
//    keeps values byte for byte, so that a saved value is restored exactly;
//  - the system cuts a value to 254 characters (the corpus has none longer);
//  - the system takes a comment line ";key=value" for a key named ";key";
//    the store never matches a comment (see SameValueForEveryKey);
//  - the system takes a line without "=" for its key with no value, which
//    shadows a later line of the key ("Shadowed" in blanks.dat); the store
//    passes such a line by, since taking it for the key would have an
//    install overwrite it and an uninstall delete it.
// And these, which the corpus cannot show, since the store reads bytes:
//  - the system reads a value only up to a NUL byte; the store keeps it;
//  - the system matches non-ASCII letters without regard to case in its
//    code page, reads a file with a UTF-8 byte-order mark as UTF-8, and a
//    UTF-16 file as such; the store compares bytes and folds ASCII only.
std::string WhatTheSystemReads(const std::string& key, const std::string& value, int* exceptions) {
  if (key == "Shadowed" || key == "SHADOWED" || key == "shadowed") {
    ++*exceptions;
    return "";
  }
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    ++*exceptions;
    return value.substr(1, value.size() - 2);
  }
  return value;
}

class Conformance : public testing::TestWithParam<const char*> {};

TEST_P(Conformance, SameValueForEveryKey) {
  std::string path = gCorpus + "\\" + GetParam();
  std::string text = ReadAll(path);
  ASSERT_FALSE(text.empty()) << path;
  ProfileStore store(text);
  int exceptions = 0;
  for (const std::string& key : ProbeKeys(text)) {
    char buffer[255];
    DWORD length = GetPrivateProfileStringA("AutoExpand", key.c_str(), "", buffer, sizeof buffer,
                                            path.c_str());
    std::string ours = store.Read("AutoExpand", key);
    if (key[0] == ';') {
      EXPECT_EQ(ours, "") << GetParam() << ": comment '" << key << "' matched";
      continue;
    }
    ASSERT_LT(ours.size(), 254u) << "the corpus keeps values short";
    EXPECT_EQ(std::string(buffer, length), WhatTheSystemReads(key, ours, &exceptions))
        << GetParam() << ": key '" << key << "'";
  }
  if (std::string(GetParam()) == "quotes.dat") {
    EXPECT_EQ(exceptions, 6) << "Double and Single, in three letter cases";
  }
  if (std::string(GetParam()) == "blanks.dat") {
    EXPECT_EQ(exceptions, 3) << "Shadowed, in three letter cases";
  }
  if (std::string(GetParam()) == "headers.dat") {
    EXPECT_EQ(store.Read("AutoExpand", "A6"), "the first real AutoExpand");
    EXPECT_EQ(store.Read("AutoExpand", "[Q"), "a key that starts with a bracket");
  }
}

INSTANTIATE_TEST_SUITE_P(Corpus, Conformance,
                         testing::Values("spacing.dat", "comments.dat", "duplicates.dat",
                                         "crlf_lf.dat", "quotes.dat", "headers.dat", "blanks.dat"));

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: profile_conformance_tests CORPUS-FOLDER\n");
    return 2;
  }
  gCorpus = argv[1];
  return RUN_ALL_TESTS();
}
