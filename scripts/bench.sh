#!/usr/bin/env bash
# Benchmark: installs crudini if missing, builds (Release), generates rules
# files of 176 KB (the size of the debugger's own), 1 MB, 16 MB and 128 MB in
# five shapes under build-bench/bench, and prints the medians and ratios; the
# table is also written to build-bench/bench/results.csv.
#   scripts/bench.sh [SIZE_MB...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BENCH_BUILD_DIR:-$PWD/build-bench}
if ! command -v crudini >/dev/null 2>&1; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq crudini
fi
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DAUTOEXP_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target autoexp-setup copy_floor line_floor autoexp_bench
mkdir -p "$build/bench"
"$build/bench/autoexp_bench" "$build/autoexp-setup" "$build/bench/copy_floor" \
  "$build/bench/line_floor" "$build/bench" "$@"
