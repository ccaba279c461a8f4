#!/usr/bin/env bash
# The main job: builds the library and runs the example registry tool against the emulated
# registry, seeded from examples/repositories.reg. Run as root on Debian 12: it installs what it
# needs first.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash tools/install-dependencies.sh
cmake -S . -B build/linux -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/linux -j"$(nproc)" --target CVSWin32RegKey cvswin32regkey_example >/dev/null

export CVSREG_BUILD_DIR=$PWD/build/linux
cvs='HKCU\Software\Torvane\Plexide\CVS'
run() {
  echo "\$ RegistryTool $*"
  examples/run-example.sh "$@"
  echo
}
run list "$cvs\\Passwords"
run get "$cvs\\Settings" CompressionLevel
run list "$cvs\\Settings"
run set "$cvs\\Settings" Retries number:5 -- set "$cvs\\Settings" Label "text:nightly" \
  -- delete "$cvs\\Settings" WindowPlacement -- list "$cvs\\Settings"
