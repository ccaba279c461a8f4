#!/bin/sh
# Runs a Windows program under Wine for ctest: run-wine.sh win32|win64 PREFIX PROGRAM [ARGS...]
# The prefix is the build's own, created on first use; no display, no Wine debug output.
# Exits 77 (ctest's skip code here) when this machine cannot run Wine for that architecture.
set -u
arch=$1 prefix=$2
shift 2

case $arch in
  win64) loader=/usr/lib/wine/wine64 ;;
  win32) loader=/usr/lib/wine/wine ;;
  *) echo "run-wine.sh: unknown architecture $arch" >&2; exit 2 ;;
esac
if [ ! -x "$loader" ]; then
  echo "SKIPPED: $loader is missing (install wine64, and wine32:i386 for 32-bit)" >&2
  exit 77
fi
# 32-bit Wine is a 32-bit Linux program: some kernels cannot run those at all.
if ! "$loader" --version >/dev/null 2>&1; then
  echo "SKIPPED: $loader cannot run on this machine ($("$loader" --version 2>&1 | head -n 1))" >&2
  exit 77
fi

export WINEPREFIX="$prefix" WINEARCH="$arch" WINEDEBUG=-all
# No Mono or Gecko installers, no windows.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

mkdir -p "$(dirname "$prefix")"
# One creator at a time; the others wait and then find the prefix ready.
(
  flock 9
  if [ ! -f "$prefix/system.reg" ]; then
    "$loader" wineboot -i >/dev/null 2>&1
    /usr/lib/wine/wineserver -w
  fi
) 9>"$prefix.lock"
if [ ! -f "$prefix/system.reg" ]; then
  echo "run-wine.sh: could not create the Wine prefix $prefix" >&2
  exit 1
fi

exec "$loader" "$@"
