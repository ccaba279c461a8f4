#!/usr/bin/env bash
# Packs the archive (tools/package.sh), then runs the example tool from the unpacked archive's
# Linux library and jar alone, so a package that cannot load or misses a file fails here. Each
# library must be stripped, with its debug information in LIBRARY.debug beside it and linked
# from it; each DLL must still export only the entry points and import only system DLLs.
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

# check_split TOOL_PREFIX LIBRARY: stripped, linked to LIBRARY.debug, which holds the debug
# information. TOOL_PREFIX is empty for the host's binutils, or a MinGW triplet and '-'.
check_split() {
  local tools=$1 library=$2 link sections
  sections=$("${tools}objdump" -h "$library")
  if grep -q ' \.debug_info ' <<<"$sections"; then
    echo "check-package: $library is not stripped" >&2; exit 1
  fi
  [ -f "$library.debug" ] || { echo "check-package: $library.debug missing" >&2; exit 1; }
  sections=$("${tools}objdump" -h "$library.debug")
  if ! grep -q ' \.debug_info ' <<<"$sections"; then
    echo "check-package: $library.debug holds no debug information" >&2; exit 1
  fi
  "${tools}objcopy" --dump-section .gnu_debuglink="$unpacked/link" "$library" "$unpacked/copy" 2>/dev/null || true
  link=$(tr '\0' '\n' <"$unpacked/link" 2>/dev/null | head -n 1)
  rm -f "$unpacked/link" "$unpacked/copy"
  if [ "$link" != "$(basename "$library").debug" ]; then
    echo "check-package: $library does not link to $(basename "$library").debug (.gnu_debuglink: '$link')" >&2
    exit 1
  fi
  echo "check-package: ${library#"$root"/}: $(stat -c %s "$library") bytes, stripped; debug information beside it"
}
for library in "$root"/linux-x86_64/*.so; do
  check_split "" "$library"
done
for arch in x86 x64; do
  dll=$root/windows-$arch/CVSWin32RegKey.dll
  [ -f "$dll" ] || continue
  tools=$([ $arch = x86 ] && echo i686 || echo x86_64)-w64-mingw32-
  check_split "$tools" "$dll"
  cmake -DOBJDUMP="${tools}objdump" -DDLL="$dll" -P tests/harness/CheckDllTables.cmake >/dev/null
done

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
