#!/usr/bin/env bash
# Runs a shipped Windows program under Wine on links that POSIX lays and Wine
# shows as Windows does its own: a backup's name that is a link to the rules
# file, a rules file that is a link to a file in another folder or in one the
# ANSI code page cannot spell, a rules file that is a link to its own backup
# spelled in capitals, and links named like the program's leftovers or its
# lock file. Checks that the backup then holds the bytes read, that the link
# is kept and its target edited, that a link to the backup is refused, and
# that nothing is deleted or made through a link.
#   tests/links_under_wine.sh PROGRAM.EXE WORK-FOLDER
# Runs in WINEPREFIX where one is given (a suite's, reused), else in a fresh
# one in WORK-FOLDER.
set -euo pipefail
source=$(cd "$(dirname "$0")/.." && pwd)
program=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
export WINEPREFIX=${WINEPREFIX:-$work/wineprefix}
wine=$source/scripts/wine-run
windows() { echo "Z:${1//\//\\}"; }
[ -d "$WINEPREFIX/drive_c" ] || "$wine" wineboot --init >/dev/null 2>&1
sample=$source/sample/autoexp.dat
failures=0
expect() {  # expect WHAT COMMAND...
  if "${@:2}"; then echo "  $1"; else echo "  FAULT: not $1"; failures=$((failures + 1)); fi
}
run() {  # run FOLDER ARGUMENTS...: the program's exit status
  local s=0
  "$wine" "$program" "$(windows "$1")" '\' "${@:2}" 2>/dev/null || s=$?
  echo "$s"
}

echo "== a backup's name that is a link to the rules file"
mkdir "$work/a"
cp "$sample" "$work/a/autoexp.dat"
ln -s autoexp.dat "$work/a/autoexp.bak"
expect "status 0" [ "$(run "$work/a" 71 I 0 0 1)" = 0 ]
expect "the backup a file of its own" [ ! -L "$work/a/autoexp.bak" ]
expect "the backup holding the bytes read" cmp -s "$sample" "$work/a/autoexp.bak"

echo "== a rules file that is a link to a file in another folder"
mkdir "$work/b" "$work/real"
cp "$sample" "$work/real/autoexp.dat"
ln -s ../real/autoexp.dat "$work/b/autoexp.dat"
expect "status 0" [ "$(run "$work/b" 71 I 0 0 1)" = 0 ]
expect "the link kept" [ -L "$work/b/autoexp.dat" ]
expect "its target edited" grep -q 'Orvelin.dll' "$work/real/autoexp.dat"
expect "status 0 for the uninstall" [ "$(run "$work/b" 71 U)" = 0 ]
expect "the target as it was" cmp -s "$sample" "$work/real/autoexp.dat"

echo "== links named like leftovers"
mkdir "$work/c" "$work/other"
cp "$sample" "$work/c/autoexp.dat"
echo theirs >"$work/other/theirs"
ln -s ../other/theirs "$work/c/~an12345678"
ln -s autoexp.dat "$work/c/~ab12345678"
expect "status 0" [ "$(run "$work/c" 71 U)" = 0 ]
expect "the links left" [ -L "$work/c/~an12345678" -a -L "$work/c/~ab12345678" ]
expect "a target in another folder left" [ "$(cat "$work/other/theirs")" = theirs ]
expect "the rules file left" cmp -s "$sample" "$work/c/autoexp.dat"

echo "== a link into a folder the ANSI code page cannot spell, a look-alike beside it"
mkdir "$work/e" "$work/Ωmega" "$work/Omega"
cp "$sample" "$work/Ωmega/autoexp.dat"
cp "$sample" "$work/Omega/autoexp.dat"
ln -s ../Ωmega/autoexp.dat "$work/e/autoexp.dat"
expect "status 0" [ "$(run "$work/e" 71 I 0 0 1)" = 0 ]
expect "the folder named edited" grep -q 'Orvelin.dll' "$work/Ωmega/autoexp.dat"
expect "the look-alike left" cmp -s "$sample" "$work/Omega/autoexp.dat"

echo "== a rules file that is a link to its own backup, spelled in capitals"
mkdir "$work/f"
cp "$sample" "$work/f/AUTOEXP.BAK"
ln -s AUTOEXP.BAK "$work/f/autoexp.dat"
expect "status 1" [ "$(run "$work/f" 71 I 0 0 1)" = 1 ]
expect "the backup as it was" cmp -s "$sample" "$work/f/AUTOEXP.BAK"

echo "== a link named like the lock file"
mkdir "$work/d"
cp "$sample" "$work/d/autoexp.dat"
ln -s ../other/made-by-a-run "$work/d/autoexp.lck"
expect "status 1" [ "$(run "$work/d" 71 U)" = 1 ]
expect "nothing made where it points" [ ! -e "$work/other/made-by-a-run" ]

/usr/lib/wine/wineserver -k 2>/dev/null || true
[ "$failures" -eq 0 ]
