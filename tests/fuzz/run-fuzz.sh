#!/usr/bin/env bash
# Runs fuzz targets for as long as asked, in a clang build with libFuzzer and the address and
# undefined-behaviour sanitizers.
#
#   bash tests/fuzz/run-fuzz.sh TARGET|all SECONDS [BUILD_DIR]
#
# TARGET is read, write, walk or import; "all" runs every one (JOBS=2 in the environment runs
# two at a time). BUILD_DIR (default build/fuzz) is configured with clang and CVSREG_FUZZ=ON.
# New corpus inputs collect in BUILD_DIR/tests/fuzz/corpus/TARGET, the committed seeds stay as
# they are; a crash writes its input to BUILD_DIR/tests/fuzz/artifacts/TARGET/ and makes the
# exit status non-zero. Replay one with: BUILD_DIR/tests/fuzz/fuzz_TARGET FILE
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
targets=(read write walk import)
if [[ $# -lt 2 || ! $2 =~ ^[0-9]+$ ]]; then
  sed -n '2,13p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2
  exit 2
fi
which=$1
seconds=$2
build=$(realpath -m "${3:-$repo/build/fuzz}")
if [[ $which != all ]]; then
  if [[ " ${targets[*]} " != *" $which "* ]]; then
    echo "run-fuzz: no target '$which' (one of: ${targets[*]} all)" >&2
    exit 2
  fi
  targets=("$which")
fi

CC=${CC:-clang} CXX=${CXX:-clang++} cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCVSREG_FUZZ=ON -DCVSREG_BUILD_JAVA=OFF >"$build.configure.log" 2>&1 ||
  { cat "$build.configure.log" >&2; exit 1; }
if grep -q "fuzzing is skipped" "$build.configure.log"; then
  grep "fuzzing is skipped" "$build.configure.log" >&2
  exit 1
fi
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/fuzz_}" >"$build.build.log" 2>&1 ||
  { tail -40 "$build.build.log" >&2; exit 1; }

fuzz_dir=$build/tests/fuzz
run_one() {
  local target=$1 log=$fuzz_dir/fuzz_$1.log
  local inputs=("$fuzz_dir/corpus/$target" "$repo/tests/fuzz/corpus/$target")
  if [[ -d $repo/tests/fuzz/regressions/$target ]]; then
    inputs+=("$repo/tests/fuzz/regressions/$target")
  fi
  mkdir -p "$fuzz_dir/corpus/$target" "$fuzz_dir/artifacts/$target"
  local status=0
  "$fuzz_dir/fuzz_$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$fuzz_dir/artifacts/$target/" "${inputs[@]}" \
    >"$log" 2>&1 || status=$?
  # The closing figures: executions, coverage (edges and features), corpus, crash inputs.
  local done execs crashes
  done=$(grep -E '#[0-9]+[[:space:]]+(DONE|NEW|REDUCE|pulse|INITED)' "$log" | tail -1 || true)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  crashes=$(find "$fuzz_dir/artifacts/$target" -type f | wc -l)
  echo "fuzz_$target: ${seconds} s, ${execs:-?} executions, $(grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' <<<"$done" || echo 'no coverage line'), $crashes crash input(s) in artifacts, exit $status (log $log)"
  return "$status"
}

status=0
if [[ ${JOBS:-1} -gt 1 && ${#targets[@]} -gt 1 ]]; then
  pids=()
  for target in "${targets[@]}"; do
    while [[ $(jobs -rp | wc -l) -ge $JOBS ]]; do wait -n || status=1; done
    run_one "$target" &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid" || status=1; done
else
  for target in "${targets[@]}"; do run_one "$target" || status=1; done
fi
exit "$status"
