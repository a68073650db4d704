#!/usr/bin/env bash
# Builds autoexp-setup and runs every test suite. Installs what a fresh Debian
# machine lacks for that, configures, builds and runs CTest.
#   scripts/test.sh            # everything
# The build goes to build/ beside this script's folder (BUILD_DIR overrides).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-$root/build}
jobs=$(nproc)

# Debian packages for a tool or file that is missing, installed in one go.
missing=()
need() {  # need PACKAGE PATH-OR-COMMAND
  if ! command -v "$2" >/dev/null 2>&1 && [ ! -e "$2" ]; then missing+=("$1"); fi
}
need cmake cmake
need g++ g++
need make make
need googletest /usr/src/googletest/CMakeLists.txt
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

echo "== native build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$jobs"
echo "== native tests"
(cd "$build" && ctest --output-on-failure -j "$jobs")
