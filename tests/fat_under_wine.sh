#!/usr/bin/env bash
# A shipped Windows program under Wine on a FAT volume, as Windows sees one:
# an image made by mkfs.vfat, mounted by fusefat (kernel_cache, without which
# it returns zeros through one descriptor after another closes), and a Wine
# drive whose device entry is a read-only loop device of the image, from
# which Wine learns the file system: FAT32, no access lists. Install with
# backup, uninstall, install; each must end with status 0 (no access list is
# carried over to a volume that keeps none), and the bytes, read back from
# the image after unmounting (mtools), must be what the native program makes.
# Where the machine has no loop devices or no FUSE, it says so and passes.
#   tests/fat_under_wine.sh PROGRAM.EXE NATIVE-PROGRAM WORK-FOLDER
# Runs in WINEPREFIX where one is given (a suite's, reused).
set -euo pipefail
source=$(cd "$(dirname "$0")/.." && pwd)
program=$1
native=$2
work=$3
rm -rf "$work"
mkdir -p "$work/mnt" "$work/native"
export WINEPREFIX=${WINEPREFIX:-$work/wineprefix}
wine=$source/scripts/wine-run
image=$work/fat.img
dd if=/dev/zero of="$image" bs=1M count=40 status=none
mkfs.vfat -F 32 "$image" >/dev/null 2>&1
loop=
cleanup() {
  fusermount -u "$work/mnt" 2>/dev/null || umount "$work/mnt" 2>/dev/null || true
  [ -z "$loop" ] || losetup -d "$loop" 2>/dev/null || true
  rm -f "$WINEPREFIX/dosdevices/f:" "$WINEPREFIX/dosdevices/f::"
}
trap cleanup EXIT
if ! loop=$(losetup -r -f --show "$image" 2>&1) ||
  ! fusefat -o rw+ -o kernel_cache "$image" "$work/mnt" >/dev/null 2>&1; then
  echo "== NOT RUN: no loop device or no FUSE here (${loop:-fusefat failed})"
  loop=
  exit 0
fi
[ -d "$WINEPREFIX/drive_c" ] || "$wine" wineboot --init >/dev/null 2>&1
ln -sfn "$work/mnt" "$WINEPREFIX/dosdevices/f:"
ln -sfn "$loop" "$WINEPREFIX/dosdevices/f::"
sample=$source/sample/autoexp.dat
mkdir "$work/mnt/Debugger"
cp "$sample" "$work/mnt/Debugger/autoexp.dat"
cp "$sample" "$work/native/autoexp.dat"
failures=0
step() {  # step ARGUMENTS...: one run of both programs, each on its folder
  local s=0
  "$wine" "$program" 'F:\Debugger' '\' "$@" 2>/dev/null || s=$?
  "$native" "$work/native" / "$@" 2>/dev/null
  if [ "$s" = 0 ]; then echo "  $*: status 0"; else
    echo "  FAULT: $*: status $s"
    failures=$((failures + 1))
  fi
}
echo "== install with backup, uninstall, install on FAT32"
step 71 I 0 0 1
step 71 U
step 71 I 0 0
fusermount -u "$work/mnt"
for name in autoexp.dat autoexp.bak; do
  mcopy -n -i "$image" "::/Debugger/$name" "$work/$name" 2>/dev/null
  if cmp -s "$work/$name" "$work/native/$name"; then echo "  $name as the native program makes it"; else
    echo "  FAULT: $name differs from the native program's"
    failures=$((failures + 1))
  fi
done
[ "$failures" -eq 0 ]
