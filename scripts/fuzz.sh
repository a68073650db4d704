#!/usr/bin/env bash
# Builds the profile store's libFuzzer target with clang, AddressSanitizer
# and UndefinedBehaviorSanitizer, and runs it for FUZZ_SECONDS (default 60),
# seeded with the test corpus and every input that once broke the store.
#   scripts/fuzz.sh
# A crash or broken invariant fails the script and leaves the input as
# build-fuzz/crash-*; copy it into tests/fuzz_regressions/ once it is fixed,
# so that the unit tests replay it for good.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-60}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DAUTOEXP_FUZZ=ON \
  -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all" \
  >/dev/null
cmake --build "$build" -j "$(nproc)" --target profile_store_fuzzer

# The corpus the fuzzer grows lives in the build folder; the seeds stay as
# they are.
mkdir -p "$build/fuzz-corpus"
"$build/tests/profile_store_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -max_len=65536 -print_final_stats=1 -artifact_prefix="$build/" \
  "$build/fuzz-corpus" "$root/tests/corpus" "$root/tests/fuzz_regressions"
