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
# Sets JAVA, CLASSPATH and LIBRARY_DIR.
. "$paths"

export REGEMU_IMPORT=${REGEMU_IMPORT:-$here/repositories.reg}
exec "$JAVA" -Djava.library.path="$LIBRARY_DIR" -cp "$CLASSPATH" \
  torvane.plexide.scm.cvs.example.RegistryTool "$@"
