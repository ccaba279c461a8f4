#!/usr/bin/env bash
# Packs the archive (tools/package.sh), then runs the example tool from the unpacked archive's
# Linux library and jar alone, so a package that cannot load or misses a file fails here.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

archive=$(bash tools/package.sh | sed -n 's/^\(build\/dist\/.*\.tar\.gz\):$/\1/p')
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
tar -C "$unpacked" -xzf "$archive"
root=$(echo "$unpacked"/CVSWin32RegKey-*)

for file in linux-x86_64/libCVSWin32RegKey.so linux-x86_64/libregemu.so include/regemu.h \
            java/cvswin32regkey.jar; do
  [ -f "$root/$file" ] || { echo "check-package: $file missing from $archive" >&2; exit 1; }
done
if command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  for file in windows-x86/CVSWin32RegKey.dll windows-x64/CVSWin32RegKey.dll; do
    [ -f "$root/$file" ] || { echo "check-package: $file missing from $archive" >&2; exit 1; }
  done
fi

. build/linux/examples/run-example.env  # JAVA and the example's CLASSPATH
example_jar=$(tr ':' '\n' <<<"$CLASSPATH" | grep -i example)
output=$(REGEMU_IMPORT=examples/repositories.reg "$JAVA" -Xcheck:jni \
  -Djava.library.path="$root/linux-x86_64" -cp "$example_jar:$root/java/cvswin32regkey.jar" \
  torvane.plexide.scm.cvs.example.RegistryTool get 'HKCU\Software\Torvane\Plexide\CVS\Settings' \
  CompressionLevel 2>&1)
if [ "$output" != "Integer: 3" ]; then
  echo "check-package: the packaged library read '$output', expected 'Integer: 3'" >&2
  exit 1
fi
echo "check-package: $archive unpacks, loads and reads the registry"
