#!/usr/bin/env bash
# All the tests. Run as root on Debian 12: it installs what it needs first.
#   linux           the library against the emulated registry: the JUnit suite in a real JVM
#                   under -Xcheck:jni, the native harness with its checking JNI environment (and
#                   once under valgrind), the emulation's own tests, the export check
#   linux-sanitize  the same native suites under AddressSanitizer and UndefinedBehaviorSanitizer
#   linux-fuzz      the libFuzzer targets (reading, writing, walking, the registry-file import),
#                   15 seconds each
#   windows-x86/x64 the DLLs cross-built with MinGW-w64, their export and import tables, and the
#                   harness under Wine against Wine's registry
#   package         the archive of all three builds, and its Linux library loaded from it
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$(nproc)}

bash tools/install-dependencies.sh --windows

echo "== linux"
cmake --workflow --preset linux
echo "== linux-sanitize"
cmake --workflow --preset linux-sanitize
echo "== linux-fuzz"
cmake --workflow --preset linux-fuzz
bash tests/run-windows-suites.sh
echo "== package"
bash tools/check-package.sh
