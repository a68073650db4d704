// libFuzzer entry: arbitrary file bytes and edit sequences against the store.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/profile_store_invariants.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string failure;
  if (!CheckStoreInvariants(data, size, &failure)) {
    std::fprintf(stderr, "store invariant broken: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
