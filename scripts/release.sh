#!/usr/bin/env bash
# Builds the two shipped Windows programs in Release, with the win32-threads
# MinGW-w64 compilers, and writes the release:
#   DIST/autoexp-setup-VERSION/x86/autoexp-setup.exe   32-bit, the one to ship
#   DIST/autoexp-setup-VERSION/x64/autoexp-setup.exe   64-bit
#   DIST/autoexp-setup-VERSION/README.md, LICENSE, CHANGELOG.md
#   DIST/autoexp-setup-VERSION/docs/                  the documents the README links to
#   DIST/autoexp-setup-VERSION/SHA256SUMS
#   DIST/autoexp-setup-VERSION.zip                     the folder, zipped
# VERSION is the one in CMakeLists.txt. Two runs on one commit give the same
# programs: nothing in them depends on the time or the build folder.
# With AUTOEXP_SIGN_CERT and AUTOEXP_SIGN_KEY naming a PEM certificate and
# key (AUTOEXP_SIGN_PASS: the key's password), both programs are signed
# (Authenticode, osslsigncode) before SHA256SUMS is written.
#   scripts/release.sh [DIST]          DIST defaults to dist/
# The build folders are DIST/build-i686 and DIST/build-x86_64.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dist=$(mkdir -p "${1:-$root/dist}" && cd "${1:-$root/dist}" && pwd)
version=$(sed -n 's/^project(autoexp-setup VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "no version in CMakeLists.txt" >&2; exit 1; }
name=autoexp-setup-$version

for arch in i686 x86_64; do
  cmake -S "$root" -B "$dist/build-$arch" -DCMAKE_BUILD_TYPE=Release -DAUTOEXP_BUILD_TESTS=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-$arch-win32.cmake" >/dev/null
  cmake --build "$dist/build-$arch" -j "$(nproc)" >/dev/null
done

folder=$dist/$name
rm -rf "$folder" "$folder.zip"
mkdir -p "$folder/x86" "$folder/x64"
cp "$dist/build-i686/autoexp-setup.exe" "$folder/x86/"
cp "$dist/build-x86_64/autoexp-setup.exe" "$folder/x64/"
cp "$root/README.md" "$root/LICENSE" "$root/CHANGELOG.md" "$folder/"
cp -r "$root/docs" "$folder/"
if [ -n "${AUTOEXP_SIGN_CERT:-}" ] && [ -n "${AUTOEXP_SIGN_KEY:-}" ]; then
  for exe in "$folder/x86/autoexp-setup.exe" "$folder/x64/autoexp-setup.exe"; do
    osslsigncode sign -certs "$AUTOEXP_SIGN_CERT" -key "$AUTOEXP_SIGN_KEY" \
      ${AUTOEXP_SIGN_PASS:+-pass "$AUTOEXP_SIGN_PASS"} -n "autoexp-setup $version" \
      -in "$exe" -out "$exe.signed" >/dev/null
    mv "$exe.signed" "$exe"
  done
  echo "signed both programs with $AUTOEXP_SIGN_CERT" >&2
else
  echo "not signed (AUTOEXP_SIGN_CERT and AUTOEXP_SIGN_KEY name no certificate and key)" >&2
fi
(cd "$folder" && sha256sum x86/autoexp-setup.exe x64/autoexp-setup.exe README.md LICENSE \
  CHANGELOG.md docs/*.md >SHA256SUMS)
# Files in a fixed order with a fixed time. (The zip still differs from run
# to run: its extra fields keep each file's status-change time. What it
# holds does not.)
(cd "$dist" && cmake -E tar cf "$name.zip" --format=zip --mtime="2000-01-01 00:00:00 UTC" \
    "$name/README.md" "$name/LICENSE" "$name/CHANGELOG.md" "$name"/docs/*.md "$name/SHA256SUMS" \
    "$name/x64/autoexp-setup.exe" "$name/x86/autoexp-setup.exe")
echo "$folder"
echo "$folder.zip"
cat "$folder/SHA256SUMS"
