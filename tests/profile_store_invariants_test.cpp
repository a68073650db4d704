// Replays the fuzzer's seeds and every input that ever broke the store.
#include "tests/profile_store_invariants.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/test_files.h"

namespace {

std::vector<std::string> FilesIn(const std::string& directory) {
  std::vector<std::string> files;
  if (DIR* listing = opendir(directory.c_str())) {
    while (dirent* entry = readdir(listing)) {
      if (entry->d_name[0] != '.') {
        files.push_back(directory + "/" + entry->d_name);
      }
    }
    closedir(listing);
  }
  return files;
}

TEST(ProfileStoreInvariants, HoldForSeedsAndPastFailures) {
  std::vector<std::string> inputs = FilesIn(AUTOEXP_TEST_SOURCE_DIR "/corpus");
  std::vector<std::string> regressions = FilesIn(AUTOEXP_TEST_SOURCE_DIR "/fuzz_regressions");
  inputs.insert(inputs.end(), regressions.begin(), regressions.end());
  ASSERT_FALSE(inputs.empty());
  for (const std::string& path : inputs) {
    std::string bytes = ReadBytes(path);
    std::string failure;
    EXPECT_TRUE(CheckStoreInvariants(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                     bytes.size(), &failure))
        << path << ": " << failure;
  }
}

}  // namespace
