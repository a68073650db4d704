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
#include <tuple>

#include "profile/profile_encoding.h"
#include "profile/profile_store.h"

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
//    code page (in UTF-16: in Unicode), and reads a file with a UTF-8
//    byte-order mark as UTF-8; the store compares bytes (code units) and
//    folds ASCII only.
// A UTF-16 file (each corpus file once more in either byte order) must read
// alike with these same differences, and no other.
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

std::wstring Wide(const std::string& text, UINT codePage) {
  std::wstring wide(text.size(), L'\0');
  wide.resize(MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), &wide[0],
                                  static_cast<int>(wide.size())));
  return wide;
}

// The corpus file |name| as the system reads it in |encoding|: the file
// itself, or, for UTF-16, a copy of its text in UTF-16 of that byte order
// with its byte-order mark, written beside the system's temporary files.
std::string FileIn(const std::string& name, TextEncoding encoding) {
  std::string path = gCorpus + "\\" + name;
  if (encoding == TextEncoding::kBytes) {
    return path;
  }
  bool bigEndian = encoding == TextEncoding::kUtf16BigEndian;
  std::string bytes;
  for (wchar_t unit : L"\xFEFF" + Wide(ReadAll(path), CP_ACP)) {
    char high = static_cast<char>(unit >> 8);
    char low = static_cast<char>(unit & 0xFF);
    bytes += bigEndian ? std::string{high, low} : std::string{low, high};
  }
  char folder[MAX_PATH];
  GetTempPathA(MAX_PATH, folder);
  std::string copy = std::string(folder) + (bigEndian ? "utf16be-" : "utf16le-") + name;
  std::ofstream(copy, std::ios::binary) << bytes;
  return copy;
}

using Corpus = std::tuple<const char*, TextEncoding>;
class Conformance : public testing::TestWithParam<Corpus> {};

// A UTF-16 file is read with GetPrivateProfileStringW and compared code unit
// for code unit; the store reads it as the run does, decoded.
TEST_P(Conformance, SameValueForEveryKey) {
  const std::string name = std::get<0>(GetParam());
  const TextEncoding encoding = std::get<1>(GetParam());
  const std::string original = ReadAll(gCorpus + "\\" + name);
  ASSERT_FALSE(original.empty()) << name;
  const std::string path = FileIn(name, encoding);
  std::string bytes = ReadAll(path);
  ProfileText text;
  ASSERT_TRUE(text.Decode(bytes));
  ASSERT_EQ(text.encoding(), encoding);
  ProfileStore store(text.text());
  int exceptions = 0;
  int found = 0;
  for (const std::string& key : ProbeKeys(original)) {
    std::string ours = store.Read("AutoExpand", key);
    found += !ours.empty();
    std::wstring theirs(255, L'\0');
    if (encoding == TextEncoding::kBytes) {
      char buffer[255];
      DWORD length = GetPrivateProfileStringA("AutoExpand", key.c_str(), "", buffer, sizeof buffer,
                                              path.c_str());
      theirs = Wide(std::string(buffer, length), CP_ACP);
    } else {
      theirs.resize(GetPrivateProfileStringW(L"AutoExpand", Wide(key, CP_ACP).c_str(), L"",
                                             &theirs[0], 255, Wide(path, CP_ACP).c_str()));
    }
    UINT ourCodePage = encoding == TextEncoding::kBytes ? CP_ACP : CP_UTF8;
    if (key[0] == ';') {
      EXPECT_EQ(ours, "") << name << ": comment '" << key << "' matched";
      continue;
    }
    ASSERT_LT(ours.size(), 254u) << "the corpus keeps values short";
    EXPECT_TRUE(theirs == Wide(WhatTheSystemReads(key, ours, &exceptions), ourCodePage))
        << name << ": key '" << key << "'";
  }
  EXPECT_GT(found, 0) << "a file that reads as empty proves nothing";
  if (name == "quotes.dat") {
    EXPECT_EQ(exceptions, 6) << "Double and Single, in three letter cases";
  }
  if (name == "blanks.dat") {
    EXPECT_EQ(exceptions, 3) << "Shadowed, in three letter cases";
  }
  if (name == "headers.dat") {
    EXPECT_EQ(store.Read("AutoExpand", "A6"), "the first real AutoExpand");
    EXPECT_EQ(store.Read("AutoExpand", "[Q"), "a key that starts with a bracket");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Corpus, Conformance,
    testing::Combine(testing::Values("spacing.dat", "comments.dat", "duplicates.dat", "crlf_lf.dat",
                                     "quotes.dat", "headers.dat", "blanks.dat", "lone_cr.dat",
                                     "many_headers.dat"),
                     testing::Values(TextEncoding::kBytes, TextEncoding::kUtf16LittleEndian,
                                     TextEncoding::kUtf16BigEndian)));

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
