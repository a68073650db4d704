#!/usr/bin/env bash
# The main job on the bundled sample: builds if needed, copies the sample
# rules file into a fresh temporary folder, installs with backup, shows the
# change, uninstalls, and shows what is left compared to the original: the
# same bytes, which the last command (cmp) says.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-$PWD/build}
if [ ! -x "$build/autoexp-setup" ]; then
  cmake -S . -B "$build" >/dev/null && cmake --build "$build" -j "$(nproc)" --target autoexp-setup
fi
dir=$(mktemp -d)
cp sample/autoexp.dat "$dir/"
echo "== install with backup (traces follow, on standard error)"
"$build/autoexp-setup" "$dir/  " "" 71 Install - - 1 2>&1 && echo "exit status 0" || echo "exit status $?"
echo "== what the install changed (autoexp.bak -> autoexp.dat)"
diff -u --strip-trailing-cr "$dir/autoexp.bak" "$dir/autoexp.dat" || true
echo "== uninstall"
"$build/autoexp-setup" "$dir" / 71 Uninstall 2>&1 && echo "exit status 0" || echo "exit status $?"
echo "== the user's CEdit line after the uninstall, in its place"
grep -n "CEdit" "$dir/autoexp.dat"
echo "== what is left compared with the original sample"
diff -u --strip-trailing-cr sample/autoexp.dat "$dir/autoexp.dat" || true
cmp sample/autoexp.dat "$dir/autoexp.dat" && echo "byte for byte the original"
echo "== files in $dir"
ls -l "$dir"
