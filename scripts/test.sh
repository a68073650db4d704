#!/usr/bin/env bash
# Builds autoexp-setup and runs every test suite: the native build and its
# tests, the same suites built with AddressSanitizer and UndefinedBehavior-
# Sanitizer, the profile store under libFuzzer for FUZZ_SECONDS (60), then
# the shipped Windows programs (scripts/release.sh) with their image check
# and a second build that must give the same bytes, the Windows tests under
# Wine against both shipped programs (the 64-bit one in a 64-bit prefix; the
# 32-bit one, the one setups ship, in a 64-bit prefix as on 64-bit Windows and
# in a pure 32-bit prefix as on 32-bit Windows), and the example setups run
# by Wine. Installs what a fresh Debian machine lacks for that. A machine
# whose kernel runs no 32-bit code skips the 32-bit runs and says so.
#   scripts/test.sh
# The quick tier, for the edit-build-test loop (under a minute after a first
# build): the formatting of the files changed since the last commit, an
# incremental native build, the native suites.
#   scripts/test.sh quick
# Builds go to build/, build-asan/, build-fuzz/, build-win/, build-win32/
# and dist/ (BUILD_DIR, ASAN_BUILD_DIR, FUZZ_BUILD_DIR, WIN_BUILD_DIR,
# WIN32_BUILD_DIR and DIST_DIR override).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-$root/build}
asanbuild=${ASAN_BUILD_DIR:-$root/build-asan}
winbuild=${WIN_BUILD_DIR:-$root/build-win}
win32build=${WIN32_BUILD_DIR:-$root/build-win32}
dist=${DIST_DIR:-$root/dist}
jobs=$(nproc)
version=$(sed -n 's/^project(autoexp-setup VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")

if [ "${1:-}" = quick ]; then
  echo "== formatting of the changed files"
  { git diff --name-only HEAD -- '*.cpp' '*.h'; git ls-files -o --exclude-standard '*.cpp' '*.h'; } |
    sort -u | while read -r f; do [ -e "$f" ] && echo "$f"; done | xargs -r clang-format --dry-run --Werror
  echo "== native build"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j "$jobs"
  echo "== native tests"
  cd "$build" && exec ctest --output-on-failure -j "$jobs"
fi

# Debian packages for a tool or file that is missing, installed in one go.
missing=()
need() {  # need PACKAGE PATH-OR-COMMAND
  if ! command -v "$2" >/dev/null 2>&1 && [ ! -e "$2" ]; then missing+=("$1"); fi
}
need cmake cmake
need g++ g++
need make make
need googletest /usr/src/googletest/CMakeLists.txt
need g++-mingw-w64-x86-64-posix x86_64-w64-mingw32-g++-posix
need g++-mingw-w64-x86-64-win32 x86_64-w64-mingw32-g++-win32
need g++-mingw-w64-i686-win32 i686-w64-mingw32-g++-win32
need binutils-mingw-w64-x86-64 x86_64-w64-mingw32-objdump
need binutils-mingw-w64-i686 i686-w64-mingw32-windres
need nsis makensis
need wixl wixl
need wine64 /usr/lib/wine/wine64
# 32-bit Wine runs the 32-bit program: Debian's wine32 of the i386
# architecture, which apt-get update below then lists.
if [ ! -e /usr/lib/wine/wine ]; then
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  missing+=(wine32:i386)
fi
need g++-mingw-w64-i686-posix i686-w64-mingw32-g++-posix
need locales localedef
need clang-format clang-format
need clang clang++
need libclang-rt-14-dev /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a
need crudini crudini
need bindfs bindfs
need fusefat fusefat
need dosfstools /usr/sbin/mkfs.vfat
need mtools mcopy
need osslsigncode osslsigncode
need openssl openssl
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi

# The double-byte cases: ANSI code page 932 under Wine, which takes it from
# a Japanese locale; GB18030 and Big5-HKSCS for the native program.
for wanted in ja_JP:UTF-8:ja_JP.UTF-8 zh_CN:GB18030:zh_CN.GB18030 zh_HK:BIG5-HKSCS:zh_HK.BIG5-HKSCS; do
  IFS=: read -r source charmap name <<<"$wanted"
  if ! locale -a 2>/dev/null | tr -d '-' | grep -qix "$(tr -d '-' <<<"$name")"; then
    echo "== generating the $name locale"
    localedef -i "$source" -f "$charmap" "$name"
  fi
done

echo "== formatting"
git -C "$root" ls-files '*.cpp' '*.h' | (cd "$root" && xargs clang-format --dry-run --Werror)

echo "== native build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$jobs"
echo "== native tests"
(cd "$build" && ctest --output-on-failure -j "$jobs")

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build and tests"
cmake -S "$root" -B "$asanbuild" -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
  >/dev/null
cmake --build "$asanbuild" -j "$jobs"
(cd "$asanbuild" && ctest --output-on-failure -j "$jobs")

echo "== fuzzing the profile store"
"$root/scripts/fuzz.sh"


echo "== shipped Windows programs (win32-threads MinGW-w64, Release)"
shipped=$("$root/scripts/release.sh" "$dist" | sed -n 1p)
bash "$root/tests/check_windows_image.sh" "$shipped/x86/autoexp-setup.exe" i686 "$version"
bash "$root/tests/check_windows_image.sh" "$shipped/x64/autoexp-setup.exe" x86_64 "$version"
echo "== the same programs from a second build in other folders"
again=$("$root/scripts/release.sh" "$dist/again" | sed -n 1p)
cmp "$shipped/x86/autoexp-setup.exe" "$again/x86/autoexp-setup.exe"
cmp "$shipped/x64/autoexp-setup.exe" "$again/x64/autoexp-setup.exe"
echo "identical"
echo "== the shipped programs signed with a throw-away certificate; the suites run the signed ones"
signing=$dist/signing
rm -rf "$signing"
mkdir -p "$signing"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=autoexp-setup test" \
  -keyout "$signing/key.pem" -out "$signing/cert.pem" 2>/dev/null
AUTOEXP_SIGN_CERT=$signing/cert.pem AUTOEXP_SIGN_KEY=$signing/key.pem \
  "$root/scripts/release.sh" "$dist" >/dev/null
for arch in x86 x64; do
  osslsigncode verify -CAfile "$signing/cert.pem" -in "$shipped/$arch/autoexp-setup.exe" |
    grep -q '^Signature verification: ok' || { echo "no valid signature on $arch"; exit 1; }
  echo "  $arch: signature verified"
done

# Runs the Windows suites of the build folder $1 under Wine in the fresh
# prefix $2 (its WINEARCH $3: win64 or win32), then prints how many tests
# each suite ran, labelled $4.
windows_suites() {
  local prefix=$2
  rm -rf "$prefix"
  # Set up once, before the tests start in parallel.
  WINEPREFIX=$prefix WINEARCH=$3 "$root/scripts/wine-run" wineboot --init >/dev/null 2>&1
  WINEPREFIX=$prefix /usr/lib/wine/wineserver -w
  (cd "$1" && WINEPREFIX=$prefix WINEARCH=$3 ctest --output-on-failure -j "$jobs")
  WINEPREFIX=$prefix /usr/lib/wine/wineserver -k 2>/dev/null || true
  awk -v label="$4" '
    / Testing: / { name = $3 }
    /^\[  PASSED  \] [0-9]+ tests?\./ { passed[name] = $4 }
    /^\[  SKIPPED \] [0-9]+ tests?,/ { skipped[name] = $4 }
    END { for (n in passed) printf "  %s, %s: %d tests passed (%d skipped)\n", label, n, passed[n], skipped[n] }
  ' "$1/Testing/Temporary/LastTest.log" | sort
}

echo "== Windows test build, 64-bit (posix-threads MinGW-w64)"

cmake -S "$root" -B "$winbuild" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DAUTOEXP_WINDOWS_PROGRAM="$shipped/x64/autoexp-setup.exe" >/dev/null
cmake --build "$winbuild" -j "$jobs"
# The image check must catch what it is there for: this build's own program
# imports GetTickCount64 through winpthreads.
if bash "$root/tests/check_windows_image.sh" "$winbuild/autoexp-setup.exe" x86_64 "$version" \
  >/dev/null; then
  echo "the image check passed a posix-threads program"
  exit 1
fi
echo "== Windows tests under Wine, on the shipped 64-bit program, 64-bit prefix"
windows_suites "$winbuild" "$winbuild/wineprefix" win64 "x64 program, 64-bit prefix"

echo "== links under Wine, on the shipped 64-bit program"
WINEPREFIX=$winbuild/wineprefix \
  bash "$root/tests/links_under_wine.sh" "$shipped/x64/autoexp-setup.exe" "$winbuild/links"
echo "== a FAT volume under Wine, on the shipped 64-bit program"
WINEPREFIX=$winbuild/wineprefix bash "$root/tests/fat_under_wine.sh" \
  "$shipped/x64/autoexp-setup.exe" "$build/autoexp-setup" "$winbuild/fat"
echo "== two machines on one folder under Wine, on the shipped 64-bit program"
WINEPREFIX=$winbuild/wineprefix bash "$root/tests/two_machines_under_wine.sh" \
  "$shipped/x64/autoexp-setup.exe" \
  "$winbuild/tests/hold_folder_lock.exe" "$build/autoexp-setup" "$winbuild/two-machines"

# Whether this machine runs 32-bit programs at all: some kernels are built
# without it, and Wine's 32-bit loader is one.
if run32=$(/usr/lib/wine/wine --version 2>&1); then
  echo "== Windows test build, 32-bit (posix-threads MinGW-w64)"
  cmake -S "$root" -B "$win32build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" \
    -DAUTOEXP_WINDOWS_PROGRAM="$shipped/x86/autoexp-setup.exe" >/dev/null
  cmake --build "$win32build" -j "$jobs"
  echo "== Windows tests under Wine, on the shipped 32-bit program, 64-bit prefix (WoW64)"
  windows_suites "$win32build" "$win32build/wineprefix-wow64" win64 "x86 program, 64-bit prefix"
  echo "== Windows tests under Wine, on the shipped 32-bit program, 32-bit prefix"
  windows_suites "$win32build" "$win32build/wineprefix-win32" win32 "x86 program, 32-bit prefix"

  echo "== links under Wine, on the shipped 32-bit program"
  WINEPREFIX=$win32build/wineprefix-wow64 \
    bash "$root/tests/links_under_wine.sh" "$shipped/x86/autoexp-setup.exe" "$win32build/links"
  for prefix in wow64 win32; do
    echo "== a FAT volume under Wine, on the shipped 32-bit program, $prefix prefix"
    WINEPREFIX=$win32build/wineprefix-$prefix WINEARCH=${prefix/wow64/win64} \
      bash "$root/tests/fat_under_wine.sh" \
      "$shipped/x86/autoexp-setup.exe" "$build/autoexp-setup" "$win32build/fat-$prefix"
  done
  echo "== two machines on one folder under Wine, on the shipped 32-bit program"
  WINEPREFIX=$win32build/wineprefix-wow64 bash "$root/tests/two_machines_under_wine.sh" \
    "$shipped/x86/autoexp-setup.exe" \
    "$win32build/tests/hold_folder_lock.exe" "$build/autoexp-setup" "$win32build/two-machines"

  echo "== example setups (NSIS, MSI) under Wine, on the shipped 32-bit program"
  bash "$root/tests/setups_under_wine.sh" "$shipped/x86/autoexp-setup.exe" "$build/autoexp-setup" \
    "$win32build/setups"
else
  echo "== NOT RUN: the shipped 32-bit program and the example setups around it, for this" \
    "machine runs no 32-bit code (Wine's 32-bit loader: ${run32:-no output})"
fi
