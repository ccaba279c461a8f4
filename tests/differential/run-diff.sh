#!/bin/sh
# Runs the differential test for one seed, as long as asked:
#   tests/differential/run-diff.sh SEED COUNT
# Builds the generator against the emulation (host compiler) and for 64-bit Windows (MinGW)
# into build/differential, then runs it on both sides and compares the traces. Set
# REGDIFF_OFF=list to choose the categories left out (empty: none); see categories-off.txt.
set -eu
[ $# -eq 2 ] || { echo "usage: run-diff.sh SEED COUNT" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=$root/build/differential
mkdir -p "$out"
cxx=${CXX:-c++}
mingw=x86_64-w64-mingw32-g++-posix
command -v "$mingw" >/dev/null || { echo "SKIPPED: $mingw is not installed"; exit 0; }

"$cxx" -std=c++17 -O1 -pthread -DREGEMU_BUILDING -I"$root/platform/emulation" \
  "$root"/platform/emulation/*.cpp "$here/regdiff.cpp" -o "$out/regdiff"
"$cxx" -std=c++17 -O1 "$here/compare.cpp" -o "$out/regdiff_compare"
"$mingw" -std=c++17 -O1 -static "$here/regdiff.cpp" -o "$out/regdiff.exe" -ladvapi32

status=0
sh "$here/compare.sh" "$out/regdiff" "$out/regdiff.exe" win64 "$out/wineprefix" \
  "$out/regdiff_compare" "$out/traces" "$1" "$2" || status=$?
[ $status -eq 77 ] && { echo "SKIPPED: Wine cannot run here"; exit 0; }
exit $status
