#!/bin/sh
# Runs one seed of the generator against the emulated registry and under Wine against Wine's
# registry, and compares the two traces.
#   compare.sh EMULATION_GENERATOR WINDOWS_GENERATOR WINE_ARCH WINE_PREFIX COMPARE TRACE_DIR SEED COUNT
# Categories named in categories-off.txt are left out; REGDIFF_OFF=list (comma-separated, may
# be empty) replaces that list. Exits 77 when this machine cannot run Wine.
set -u
[ $# -eq 8 ] || { echo "usage: compare.sh EMULATION WINDOWS WINE_ARCH PREFIX COMPARE TRACE_DIR SEED COUNT" >&2; exit 2; }
emulation=$1 windows=$2 arch=$3 prefix=$4 compare=$5 traces=$6 seed=$7 count=$8
here=$(cd "$(dirname "$0")" && pwd)

if [ -z "${REGDIFF_OFF+set}" ]; then
  REGDIFF_OFF=$(sed -e 's/#.*//' "$here/categories-off.txt" | awk 'NF { print $1 }' | paste -sd, -)
fi
mkdir -p "$traces"
expected=$traces/seed$seed.wine.trace
actual=$traces/seed$seed.emulation.trace
[ -n "$REGDIFF_OFF" ] && echo "categories left out: $REGDIFF_OFF"

# The prefix is shared with the build's other Wine tests: create it, if it is not there yet,
# under the locale they run with, before running under another.
sh "$here/../harness/run-wine.sh" "$arch" "$prefix" "$windows" >/dev/null 2>&1
[ $? -eq 77 ] && { sh "$here/../harness/run-wine.sh" "$arch" "$prefix" "$windows" 2>&1 | head -n 1; exit 77; }

"$emulation" "$seed" "$count" --off="$REGDIFF_OFF" >"$actual" || {
  echo "the generator failed against the emulation (exit $?)" >&2; exit 1; }
# Wine's narrow functions use the ANSI code page and the emulation's narrow form is UTF-8: a
# locale without an ANSI code page of its own (Hindi) makes Wine use UTF-8 (65001) as that
# code page, so both sides see the same bytes. Wine takes the name from LC_ALL even when the
# system has no such locale installed.
LC_ALL=hi_IN sh "$here/../harness/run-wine.sh" "$arch" "$prefix" "$windows" "$seed" "$count" \
  --off="$REGDIFF_OFF" >"$expected"
status=$?
if [ $status -eq 77 ]; then exit 77; fi
if [ $status -ne 0 ]; then
  echo "the generator failed under Wine (exit $status)" >&2
  exit 1
fi
echo "seed $seed, $count steps: $expected against $actual"
"$compare" "$here/allowed-differences.txt" "$expected" "$actual"
