#!/usr/bin/env bash
# Builds the Linux library and the 32-bit and 64-bit DLLs (presets linux, windows-x86,
# windows-x64) and packs them, with the Java classes, into one archive:
#   build/dist/CVSWin32RegKey-VERSION.tar.gz
#     linux-x86_64/   libCVSWin32RegKey.so and libregemu.so, the emulated registry it loads
#     windows-x86/    CVSWin32RegKey.dll for 32-bit JVMs
#     windows-x64/    CVSWin32RegKey.dll for 64-bit JVMs
#                     each library stripped, its debug information in FILE.debug beside it
#                     (found by debuggers through the library's .gnu_debuglink)
#     include/        regemu.h, to call the emulated registry from C or C++
#     java/           cvswin32regkey.jar, the host classes
# Without the MinGW-w64 compilers the Windows folders are left out, and it says so.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

version=$(sed -n 's/^project(CVSWin32RegKey VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name=CVSWin32RegKey-$version
stage=build/dist/$name
rm -rf build/dist
mkdir -p "$stage"

install_preset() {  # preset, targets to build first
  local preset=$1
  shift
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target "$@" >/dev/null
  cmake --install "build/$preset" --prefix "build/dist/install-$preset" >/dev/null
}

# Moves the debug information of a library into LIBRARY.debug beside it and strips the library,
# leaving a link to that file: split_debug OBJCOPY LIBRARY
split_debug() {
  local objcopy=$1 dir file
  dir=$(dirname "$2") file=$(basename "$2")
  (cd "$dir" && "$objcopy" --only-keep-debug "$file" "$file.debug" &&
    "$objcopy" --strip-all --add-gnu-debuglink="$file.debug" "$file")
}

install_preset linux CVSWin32RegKey regemu cvswin32regkey_java
installed=build/dist/install-linux
mkdir -p "$stage/linux-x86_64" "$stage/include" "$stage/java"
cp "$installed"/lib/libCVSWin32RegKey.so "$installed"/lib/libregemu.so "$stage/linux-x86_64/"
cp "$installed/include/regemu.h" "$stage/include/"
cp "$installed/share/java/cvswin32regkey.jar" "$stage/java/"
for library in libCVSWin32RegKey.so libregemu.so; do
  split_debug objcopy "$stage/linux-x86_64/$library"
done

for arch in x86 x64; do
  triplet=$([ $arch = x86 ] && echo i686 || echo x86_64)-w64-mingw32
  if ! command -v "$triplet-g++-posix" >/dev/null; then
    echo "package.sh: $triplet-g++-posix not installed; windows-$arch left out" >&2
    continue
  fi
  install_preset "windows-$arch" CVSWin32RegKey
  mkdir -p "$stage/windows-$arch"
  cp "build/dist/install-windows-$arch/bin/CVSWin32RegKey.dll" "$stage/windows-$arch/"
  split_debug "$triplet-objcopy" "$stage/windows-$arch/CVSWin32RegKey.dll"
done
cp README.md "$stage/"

tar -C build/dist -czf "build/dist/$name.tar.gz" "$name"
echo "build/dist/$name.tar.gz:"
tar -tzf "build/dist/$name.tar.gz" | sed 's/^/  /'
