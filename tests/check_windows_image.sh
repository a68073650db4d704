#!/usr/bin/env bash
# Checks that a shipped Windows program loads on Windows XP SP3 and later and
# is what a setup expects to start unattended:
#   - PE32 for i686, PE32+ for x86_64; Windows GUI subsystem (no console
#     window opens), subsystem version at most 5.01 (i686) or 5.02 (x86_64);
#   - imports from KERNEL32.dll and msvcrt.dll, none of the functions that
#     XP lacks, and from ADVAPI32.dll and SHELL32.dll only what XP has
#     (tests/windows_imports/), and no ANSI file call: every path is passed
#     wide, whatever the ANSI code page can spell;
#   - an embedded manifest that asks for asInvoker, and a version resource
#     that carries VERSION.
# Prints what it read, then each fault; exits 1 on any fault.
#   tests/check_windows_image.sh PROGRAM i686|x86_64 VERSION
set -euo pipefail
image=$1
architecture=$2
version=$3
lists=$(dirname "$0")/windows_imports
objdump=x86_64-w64-mingw32-objdump  # reads PE32 and PE32+ alike
faults=()
fault() { faults+=("$*"); }

headers=$("$objdump" -p "$image")
field() { awk -v name="$1" '$1 == name { print $2; exit }' <<<"$headers"; }
magic=$(field Magic)
subsystem=$(field Subsystem)
subsystem_version=$(field MajorSubsystemVersion).$(printf %02d "$(field MinorSubsystemVersion)")
echo "$image: magic $magic, subsystem $subsystem, subsystem version $subsystem_version," \
  "time stamp $(grep -oP 'Time/Date\s+\K.*' <<<"$headers")"

case $architecture in
  i686) want_magic=010b most=5.01 ;;
  x86_64) want_magic=020b most=5.02 ;;
  *) echo "unknown architecture $architecture" >&2; exit 2 ;;
esac
[ "$magic" = "$want_magic" ] || fault "magic $magic, not $want_magic"
[ "$subsystem" = 00000002 ] || fault "subsystem $subsystem, not Windows GUI (2)"
awk -v a="$subsystem_version" -v b="$most" 'BEGIN { exit !(a + 0 <= b + 0) }' ||
  fault "subsystem version $subsystem_version, above $most"

# "DLL Name: X" starts each DLL's list of "<address> <hint> <name>" rows.
imports=$(awk '/DLL Name:/ { dll = $3; next }
               dll && NF == 0 { dll = "" }
               dll && NF == 3 && $1 ~ /^[0-9a-f]+$/ { print dll, $3 }' <<<"$headers")
for dll in $(grep -oP 'DLL Name: \K\S+' <<<"$headers"); do
  echo "  $dll: $(awk -v d="$dll" '$1 == d { printf "%s ", $2 }' <<<"$imports")"
  case ${dll,,} in
    kernel32.dll) list=$lists/kernel32-vista-plus.txt ;;
    msvcrt.dll) list=$lists/msvcrt-vista-plus.txt ;;
    advapi32.dll | shell32.dll)
      for name in $(awk -v d="$dll" '$1 == d { print $2 }' <<<"$imports" |
        grep -Fxv -f "$lists/${dll,,}" || true); do
        fault "imports $dll!$name, not on the list of what Windows XP has"
      done
      continue ;;
    *) fault "imports from $dll"; continue ;;
  esac
  for name in $(awk -v d="$dll" '$1 == d { print $2 }' <<<"$imports" | grep -Fx -f "$list" || true); do
    fault "imports $dll!$name, which Windows XP lacks"
  done
done

for name in $(awk '{ print $2 }' <<<"$imports" | grep -E '^(CreateFile|MoveFileEx?|DeleteFile|(Get|Set)FileAttributes(Ex)?|Find(First|Next)File|GetFullPathName|GetVolume(PathName|Information)|CreateHardLink|CopyFile|GetFinalPathNameByHandle|(Get|Set)FileSecurity|(Create|Remove)Directory|GetShortPathName|GetLongPathName)A$' || true); do
  fault "imports $name, an ANSI file call, which would put a path through the code page"
done
# The resources: the section's bytes; the manifest is UTF-8, the version
# resource's texts UTF-16, each text on a line of its own.
resources=$(mktemp)
trap 'rm -f "$resources"' EXIT
"$objdump" -h "$image" | grep -q ' \.rsrc ' &&
  x86_64-w64-mingw32-objcopy -O binary --only-section=.rsrc "$image" "$resources"
manifest=$(tr -s '\r\n\t ' ' ' <"$resources" | grep -aoP '<assembly.*?</assembly>' || true)
level=$(grep -oP 'requestedExecutionLevel level="\K[^"]*' <<<"$manifest" || true)
echo "  manifest: execution level ${level:-none}," \
  "$(grep -o 'supportedOS' <<<"$manifest" | wc -l) supportedOS entries"
[ "$level" = asInvoker ] || fault "no manifest asking for asInvoker"
grep -q '<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3">' <<<"$manifest" ||
  fault "no trustInfo element with its one namespace declaration"
strings=$(iconv -c -f UTF-16LE -t UTF-8 <"$resources" | tr -c '[:print:]' '\n' | sed '/^$/d')
file_version=$(grep -A1 -x 'FileVersion' <<<"$strings" | tail -1 || true)
echo "  version resource: FileVersion ${file_version:-none}," \
  "$(grep -cxE 'CompanyName|FileDescription|ProductName|OriginalFilename' <<<"$strings") of the 4 named texts"
grep -q VS_VERSION_INFO <<<"$strings" || fault "no version resource"
[ "$file_version" = "$version" ] || fault "FileVersion ${file_version:-missing}, not $version"
for name in CompanyName FileDescription ProductName OriginalFilename; do
  grep -qx "$name" <<<"$strings" || fault "version resource without $name"
done

for f in "${faults[@]}"; do echo "  FAULT: $f"; done
[ ${#faults[@]} -eq 0 ]
