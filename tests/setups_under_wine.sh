#!/usr/bin/env bash
# Builds the two example setups (examples/nsis, examples/wix), 32-bit, around
# the shipped 32-bit program, the one they tell setup authors to ship, runs each silently under Wine on a rules file in a
# folder whose name has a blank, and checks, byte for byte, the rules file
# and autoexp.bak after the install and the rules file after the uninstall
# against what the native program makes of the same file, that each setup
# saw exit status 0, and that a failed run's reason reaches the NSIS setup's
# log.
# They run in a 64-bit prefix, as on 64-bit Windows, where most setups run.
#   tests/setups_under_wine.sh SHIPPED-32-BIT-EXE NATIVE-PROGRAM WORK-FOLDER
set -euo pipefail
source=$(cd "$(dirname "$0")/.." && pwd)
program=$1
native=$2
work=$3
rm -rf "$work"
mkdir -p "$work"
export WINEPREFIX=$work/wineprefix
wine=$source/scripts/wine-run
windows() { echo "Z:${1//\//\\}"; }  # a path as the Windows programs see it
"$wine" wineboot --init >/dev/null 2>&1
/usr/lib/wine/wineserver -w

sample=$source/sample/autoexp.dat
makensis -V2 -DPROGRAM="$program" -DOUTFILE="$work/addin-setup.exe" \
  "$source/examples/nsis/addin.nsi"
# wixl takes a source file's path relative to the working folder only.
cp "$program" "$work/autoexp-setup.exe"
(cd "$work" && wixl -a x86 -D Program=autoexp-setup.exe -o addin.msi "$source/examples/wix/addin.wxs")

# What the native program makes of the same file.
mkdir "$work/native"
cp "$sample" "$work/native/autoexp.dat"
"$native" "$work/native/" "" 71 I 0 0 1 2>/dev/null
cp "$work/native/autoexp.dat" "$work/expected-installed"
cp "$work/native/autoexp.bak" "$work/expected-backup"
"$native" "$work/native/" "" 71 U 2>/dev/null
cp "$work/native/autoexp.dat" "$work/expected-uninstalled"

failures=0
check() {  # check WHAT EXPECTED ACTUAL
  if cmp -s "$2" "$3"; then
    echo "  $1: byte for byte as the native program's"
  else
    echo "  FAULT: $1 differs from the native program's"
    diff <(od -c "$2") <(od -c "$3") | head -20 || true
    failures=$((failures + 1))
  fi
}
status() {  # status WHAT STATUS [EXPECTED]
  echo "  $1: exit status $2"
  if [ "$2" != "${3:-0}" ]; then
    echo "  FAULT: expected exit status ${3:-0}"
    failures=$((failures + 1))
  fi
}

run_setup() {  # run_setup nsis|msi
  local debugger="$work/$1/Debugger Studio"
  local rules=$debugger/Common7/Packages/Debugger/autoexp.dat
  mkdir -p "$(dirname "$rules")"
  cp "$sample" "$rules"
  echo "== $1 setup, rules in $(windows "$rules")"
  local s=0
  case $1 in
    nsis)
      # Where the debugger records its folder, in the registry's 32-bit view
      # that the 32-bit setup reads; a blank in the name cannot pass through
      # Wine's argument quoting as /DEBUGGERDIR="...".
      "$wine" reg add 'HKLM\Software\Debugger' /v InstallDir /d "$(windows "$debugger")" /f /reg:32 \
        >/dev/null 2>&1
      # An add-in folder without blanks: the uninstaller sees "_?=" (run in
      # place and wait, so its status is the program's) only unquoted.
      "$wine" "$work/addin-setup.exe" /S '/D=C:\AddIn' || s=$?
      status "install (addin-setup.exe /S)" $s
      # Every run says what it did, last; the setup's log shows it.
      if grep -qF "installed 19 rules in $(windows "$rules")" \
        "$WINEPREFIX/drive_c/AddIn/autoexp-setup.log"; then
        echo "  the log says what the install did"
      else
        echo "  FAULT: no outcome line in the setup's log"
        failures=$((failures + 1))
      fi
      check "rules file after install" "$work/expected-installed" "$rules"
      check "autoexp.bak after install" "$work/expected-backup" "${rules%.dat}.bak"
      s=0
      "$wine" 'C:\AddIn\uninstall.exe' /S '_?=C:\AddIn' || s=$?
      status "uninstall (uninstall.exe /S)" $s
      ;;
    msi)
      "$wine" msiexec /i "$(windows "$work/addin.msi")" /qn "DEBUGGERDIR=$(windows "$debugger")" || s=$?
      status "install (msiexec /i /qn)" $s
      check "rules file after install" "$work/expected-installed" "$rules"
      check "autoexp.bak after install" "$work/expected-backup" "${rules%.dat}.bak"
      s=0
      "$wine" msiexec /x "$(windows "$work/addin.msi")" /qn || s=$?
      status "uninstall (msiexec /x /qn)" $s
      ;;
  esac
  check "rules file after uninstall" "$work/expected-uninstalled" "$rules"

  # A run that fails reaches the setup: a read-only rules file is refused.
  chmod a-w "$rules"
  s=0
  case $1 in
    nsis)
      "$wine" "$work/addin-setup.exe" /S '/D=C:\AddIn' || s=$?
      status "install on a read-only file" $s 1
      # The reason reaches the setup's log, through the program's standard error.
      local log=$WINEPREFIX/drive_c/AddIn/autoexp-setup.log
      echo "  autoexp-setup.log:"
      sed 's/^/    /' "$log" || true
      if grep -qF "error: cannot write $(windows "$rules"): file is read-only" "$log"; then
        echo "  the log names the rules file and the reason"
      else
        echo "  FAULT: no error line naming the rules file in the setup's log"
        failures=$((failures + 1))
      fi
      # The half-done install's record would lead the MSI to this folder.
      "$wine" reg delete 'HKLM\Software\Display rules add-in' /f /reg:32 >/dev/null 2>&1
      ;;
    msi)
      "$wine" msiexec /i "$(windows "$work/addin.msi")" /qn "DEBUGGERDIR=$(windows "$debugger")" || s=$?
      # Wine's msiexec ends with 1627 (ERROR_FUNCTION_FAILED) when a custom
      # action fails; a Unix exit status keeps its low byte, 91.
      status "install on a read-only file (custom action failed)" $s 91
      ;;
  esac
  check "read-only rules file" "$work/expected-uninstalled" "$rules"
}
run_setup nsis
/usr/lib/wine/wineserver -w
run_setup msi
/usr/lib/wine/wineserver -k 2>/dev/null || true
[ "$failures" -eq 0 ]
