#!/usr/bin/env bash
# Instruction counts per call, under callgrind, for the rows that explain a missed target:
#   - in the JVM: the native function of each row (floor, jni_work, registry_work, get_sz, ...)
#   - the emulated registry alone, without a JVM (cvsreg_bench_registry_profile)
# Needs valgrind and the Release build that benchmarks/run.sh configures (build/bench).
#
#   bash benchmarks/profile.sh [OUT_DIR]     (default build/bench/benchmarks/profile)
#
# Prints "row: N Ir per call" and keeps each callgrind file for callgrind_annotate.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
top=$(cd "$here/.." && pwd)
build=${CVSREG_BENCH_BUILD_DIR:-$top/build/bench}
out=${1:-$build/benchmarks/profile}
mkdir -p "$out"
cmake --build "$build" --target cvswin32regkey_bench cvsreg_bench_registry_profile >/dev/null
. "$build/benchmarks/bench.env"
unset REGEMU_IMPORT

# Sums the calls of the functions whose names match $2 in callgrind file $1.
calls_of() {
  awk -v pattern="$2" '
    /^c?fn=\(/ {
      match($0, /\([0-9]+\)/); id = substr($0, RSTART, RLENGTH)
      rest = substr($0, RSTART + RLENGTH + 1)
      if (rest != "") name[id] = rest
      if ($0 ~ /^cfn=/) current = name[id]
      next
    }
    /^calls=/ { split(substr($0, 7), f, " "); if (current ~ pattern) total += f[1] }
    END { print total + 0 }' "$1"
}

collected_of() {
  sed -n 's/^summary: *\([0-9]*\).*/\1/p; s/^totals: *\([0-9]*\).*/\1/p' "$1" | head -1
}

# row id, then the function callgrind collects in (a callgrind --toggle-collect pattern).
jvm_rows=(
  "floor Java_torvane_plexide_scm_cvs_bench_BenchNative_empty"
  "jni_work Java_torvane_plexide_scm_cvs_bench_BenchNative_jniWork"
  "registry_work Java_torvane_plexide_scm_cvs_bench_BenchNative_registryWork"
  "get_sz Java_torvane_plexide_scm_cvs_native_1_registry_CVSWin32RegKey_getValue"
  "get_keys_10 Java_torvane_plexide_scm_cvs_native_1_registry_CVSWin32RegKey_getValue"
  "get_keys_100000 Java_torvane_plexide_scm_cvs_native_1_registry_CVSWin32RegKey_getValue"
  "walk_keys_10 Java_torvane_plexide_scm_cvs_native_1_registry_CVSWin32RegKeyNameIterator_next"
  "walk_keys_100000 Java_torvane_plexide_scm_cvs_native_1_registry_CVSWin32RegKeyNameIterator_next"
)
for entry in "${jvm_rows[@]}"; do
  read -r row function <<<"$entry"
  file=$out/jvm.$row.callgrind
  BENCH_FILTER="^$row\$" BENCH_BATCHES=2 BENCH_BATCH_MS=50 BENCH_WARMUP_MS=0 \
    valgrind --tool=callgrind --callgrind-out-file="$file" --toggle-collect="$function" \
    "$JAVA" -Xms512m -Xmx512m -Djava.library.path="$LIBRARY_DIRS" \
    -Djna.library.path="$REGEMU_DIR" ${JNA_BOOT_DIR:+-Djna.boot.library.path="$JNA_BOOT_DIR"} \
    -cp "$CLASSPATH" torvane.plexide.scm.cvs.bench.BenchFork 0 >"$file.log" 2>&1
  ir=$(collected_of "$file")
  calls=$(calls_of "$file" "^$function\$")
  echo "$row: $((ir / calls)) Ir per call of $function ($calls calls)"
done

for case in get get_keys10 get_keys100k walk_keys10 walk_keys100k; do
  file=$out/registry.$case.callgrind
  n=20000
  case $case in walk_keys10) n=2000 ;; walk_keys100k) n=1 ;; esac
  valgrind --tool=callgrind --callgrind-out-file="$file" --toggle-collect='*profiled_*' \
    "$build/benchmarks/cvsreg_bench_registry_profile" "$case" "$n" >"$file.log" 2>&1
  ir=$(collected_of "$file")
  per=$n
  case $case in walk_keys10) per=$((n * 10)) ;; walk_keys100k) per=$((n * 100000)) ;; esac
  echo "registry alone, $case: $((ir / per)) Ir per $( [[ $case == walk* ]] && echo name || echo read)"
done
echo "callgrind files in $out (callgrind_annotate --inclusive=yes FILE)"
