#!/usr/bin/env bash
# Runs the example registry tool against the emulated registry, which first imports
# examples/repositories.reg (or the file REGEMU_IMPORT names already).
#
#   CVSREG_BUILD_DIR=BUILD examples/run-example.sh get KEY NAME
#
# BUILD is the CMake build folder (default: build/linux at the top); build it first.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=${CVSREG_BUILD_DIR:-$here/../build/linux}
paths=$build/examples/run-example.env
if [[ ! -f $paths ]]; then
  echo "run-example.sh: $paths not found; configure and build into $build first," \
    "or set CVSREG_BUILD_DIR to the build folder" >&2
  exit 3
fi
# Sets JAVA, CLASSPATH, LIBRARY_DIR, EMULATION_DIR and JNA_BOOT_LIBRARY_DIR.
. "$paths"

# JNA finds the emulated registry (for export) in the copy the native library uses.
jna=(-Djna.library.path="${EMULATION_DIR:-$LIBRARY_DIR}")
[[ -n ${JNA_BOOT_LIBRARY_DIR:-} ]] && jna+=(-Djna.boot.library.path="$JNA_BOOT_LIBRARY_DIR")
export REGEMU_IMPORT=${REGEMU_IMPORT:-$here/repositories.reg}
exec "$JAVA" -Djava.library.path="$LIBRARY_DIR" "${jna[@]}" -cp "$CLASSPATH" \
  torvane.plexide.scm.cvs.example.RegistryTool "$@"
