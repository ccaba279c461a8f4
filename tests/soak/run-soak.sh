#!/usr/bin/env bash
# The soak: a million mixed operations in one JVM with -Xcheck:jni against the emulated
# registry, a share of them with a registry failure injected or on keys that deny access.
# Fails when an outcome differs from what the soak's model of the registry predicts, a key
# handle stays open, the resident memory grows by 5 MiB or more after warm-up, or -Xcheck:jni
# warns about a native method of the library.
#
#   bash tests/soak/run-soak.sh [BUILD_DIR] [-- SOAK OPTIONS]
#
# BUILD_DIR (default build/linux) is configured if it is not yet, and what the soak needs is
# built in it. Options after -- go to the soak: --ops N (1000000), --warmup N (200000),
# --seed N (repeats a run exactly), --rss-limit-kib N (5120).
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$repo/build/linux
if [[ $# -gt 0 && $1 != -- ]]; then
  build=$(realpath -m "$1")
  shift
fi
if [[ ${1:-} == -- ]]; then
  shift
fi

if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j"$(nproc)" --target CVSWin32RegKey regemu cvswin32regkey_java >/dev/null

cached() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
java=$(cached Java_JAVA_EXECUTABLE)
javac=$(cached Java_JAVAC_EXECUTABLE)
jna=$(cached CVSREG_JNA_JAR)
jna_boot=$(cached CVSREG_JNA_BOOT_LIBRARY_DIR)
: "${java:=java}" "${javac:=javac}"
if [[ -z $jna || $jna == *NOTFOUND ]]; then
  jna=/usr/share/java/jna.jar
fi
library=$(find "$build" -maxdepth 3 -name libCVSWin32RegKey.so -print -quit)
regemu=$(find "$build" -maxdepth 4 -name libregemu.so -print -quit)
host_jar=$(find "$build/java" -maxdepth 1 -name 'cvswin32regkey*.jar' -print -quit)
for what in library regemu host_jar; do
  if [[ -z ${!what} ]]; then
    echo "run-soak: no $what in $build" >&2
    exit 2
  fi
done

classes=$build/soak/classes
rm -rf "$classes"
mkdir -p "$classes"
"$javac" --release 17 -Xlint:all -encoding UTF-8 -cp "$host_jar:$jna" -d "$classes" \
  "$repo/tests/soak/src/torvane/plexide/scm/cvs/soak/Soak.java"

jvm_args=(-Xcheck:jni
  # A heap of fixed size, touched up front, so that what grows is what the run keeps.
  -Xms256m -Xmx256m -XX:+AlwaysPreTouch -XX:+UseSerialGC
  "-Djava.library.path=$(dirname "$library")" "-Djna.library.path=$(dirname "$regemu")")
if [[ -n $jna_boot && $jna_boot != *NOTFOUND ]]; then
  jvm_args+=("-Djna.boot.library.path=$jna_boot")
fi
log=$build/soak/soak.log
unset REGEMU_IMPORT  # the soak makes its own keys in an empty registry
set +e
"$java" "${jvm_args[@]}" -cp "$classes:$host_jar:$jna" torvane.plexide.scm.cvs.soak.Soak "$@" \
  2>&1 | tee "$log"
status=${PIPESTATUS[0]}
set -e

# A warning is followed by the stack of the native method that drew it, innermost frame first;
# JNA's own native code draws warnings too, which are not the library's.
own=$(awk '/^WARNING/ { warned = 1; next }
           warned && /^[ \t]+at / {
             if ($0 ~ /at torvane\.plexide\.scm\.cvs\.native_\.registry\./) n++
             warned = 0 }
           END { print n + 0 }' "$log")
if [[ $own -gt 0 ]]; then
  echo "run-soak: $own JNI warning(s) in the library's native methods (see $log)" >&2
  status=1
fi
echo "run-soak: output kept in $log"
exit "$status"
