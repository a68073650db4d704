#!/usr/bin/env bash
# Two machines on one shared folder, as Wine shows them: two prefixes, each
# with a server of its own, whose named objects the other never sees, while
# byte-range locks reach the one file both open. A run in one waits while the
# other holds the folder's update lock, install and uninstall started at
# once from both end as one after the other would, and where the lock file
# cannot be opened both fail rather than go on unlocked.
#   tests/two_machines_under_wine.sh PROGRAM.EXE HOLD_FOLDER_LOCK.EXE NATIVE-PROGRAM WORK-FOLDER
set -euo pipefail
source=$(cd "$(dirname "$0")/.." && pwd)
program=$1
holder=$2
native=$3
work=$4
rm -rf "$work"
mkdir -p "$work/shared"
wine=$source/scripts/wine-run
windows() { echo "Z:${1//\//\\}"; }
# Machine a runs in WINEPREFIX where one is given (a suite's, reused).
prefix_a=${WINEPREFIX:-$work/prefix-a}
prefix_b=$work/prefix-b
for prefix in "$prefix_a" "$prefix_b"; do
  [ -d "$prefix/drive_c" ] || WINEPREFIX=$prefix "$wine" wineboot --init >/dev/null 2>&1
done
on() {  # on MACHINE COMMAND...
  local prefix=$prefix_b
  [ "$1" = a ] && prefix=$prefix_a
  WINEPREFIX=$prefix "$wine" "${@:2}"
}
sample=$source/sample/autoexp.dat
rules=$work/shared/autoexp.dat
folder=$(windows "$work/shared")
# What the native program makes of the sample: installed, and uninstalled.
mkdir "$work/native"
cp "$sample" "$work/native/autoexp.dat"
"$native" "$work/native/" "" 71 I 0 0 2>/dev/null
cp "$work/native/autoexp.dat" "$work/installed"
"$native" "$work/native/" "" 71 U 2>/dev/null
cp "$work/native/autoexp.dat" "$work/uninstalled"
failures=0
fault() { echo "  FAULT: $1"; failures=$((failures + 1)); }

echo "== a run on machine b while machine a holds the folder's lock"
cp "$sample" "$rules"
on a "$holder" "$folder\\" 3000 >"$work/held" 2>&1 &
holding=$!
for _ in $(seq 100); do grep -q held "$work/held" && break; sleep 0.1; done
grep -q held "$work/held" || fault "machine a did not take the lock: $(cat "$work/held")"
on b "$program" "$folder" '\' 71 I 0 0 2>/dev/null &
run=$!
sleep 1.5
if kill -0 "$run" 2>/dev/null && cmp -s "$sample" "$rules"; then
  echo "  machine b waits, the file untouched"
else
  fault "machine b did not wait for machine a"
fi
wait "$holding" || true
s=0
wait "$run" || s=$?
[ "$s" = 0 ] && cmp -s "$work/installed" "$rules" && echo "  then installs: status 0" ||
  fault "machine b ended with status $s and another file"

# An install on a and an uninstall on b, started at once; their statuses
# in $sa and $sb.
at_once() {
  sa=0
  sb=0
  on a "$program" "$folder" '\' 71 I 0 0 2>/dev/null &
  local first=$!
  on b "$program" "$folder" '\' 71 U 2>/dev/null &
  local second=$!
  wait "$first" || sa=$?
  wait "$second" || sb=$?
}

echo "== install on a and uninstall on b at once, 12 times"
serial=0
for round in $(seq 12); do
  cp "$work/installed" "$rules"
  [ $((round % 2)) = 0 ] && cp "$sample" "$rules"
  at_once
  if [ "$sa" = 0 ] && [ "$sb" = 0 ] &&
    { cmp -s "$work/installed" "$rules" || cmp -s "$work/uninstalled" "$rules"; }; then
    serial=$((serial + 1))
  else
    fault "round $round: statuses $sa and $sb, $(wc -c <"$rules") bytes"
  fi
done
echo "  $serial of 12 rounds end as one run after the other"

echo "== install on a and uninstall on b at once, the lock file a folder"
cp "$work/installed" "$rules"
rm -f "$work/shared/autoexp.lck"
mkdir "$work/shared/autoexp.lck"
at_once
[ "$sa" = 1 ] && [ "$sb" = 1 ] && cmp -s "$work/installed" "$rules" &&
  echo "  both end with status 1, the file untouched" ||
  fault "statuses $sa and $sb, $(wc -c <"$rules") bytes"
for prefix in "$prefix_a" "$prefix_b"; do
  WINEPREFIX=$prefix /usr/lib/wine/wineserver -k 2>/dev/null || true
done
[ "$failures" -eq 0 ]
