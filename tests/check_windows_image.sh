#!/usr/bin/env bash
# Checks that a Windows program needs no DLL but the system's own and that it
# is a GUI-subsystem program, so no console window opens when it starts.
set -euo pipefail
image=$1
objdump=x86_64-w64-mingw32-objdump
headers=$("$objdump" -p "$image")
dlls=$(grep -oP 'DLL Name: \K\S+' <<<"$headers" | tr '[:upper:]' '[:lower:]' | sort -u)
echo "imports: $(tr '\n' ' ' <<<"$dlls")"
system='^(kernel32|user32|advapi32|msvcrt|ntdll|shell32|ole32|ws2_32|api-ms-win-.*)\.dll$'
status=0
while read -r dll; do
  if ! grep -qE "$system" <<<"$dll"; then
    echo "not a system DLL: $dll"
    status=1
  fi
done <<<"$dlls"
if ! grep -qE 'Subsystem\s+0+2\s+\(Windows GUI\)' <<<"$headers"; then
  echo "not a Windows GUI program: $(grep Subsystem <<<"$headers")"
  status=1
fi
exit $status
