#!/usr/bin/env bash
# Builds the library and the benchmark in a Release build of their own (build/bench), runs the
# benchmark and writes benchmarks/results/results.tsv, results.md and benchmark.png.
#
#   bash benchmarks/run.sh                  the full run (3 forks, about 5 minutes), then the
#                                           emulation against an earlier build (registry-compare.md)
#   BENCH_QUICK=1 bash benchmarks/run.sh    a short run; results go to build/bench instead
#
# Settings (environment):
#   BENCH_FORKS, BENCH_BATCHES, BENCH_BATCH_MS, BENCH_WARMUP_MS   the harness (3, 15, 60, 800)
#   BENCH_FILTER             a regular expression of the row ids to run (no plot then)
#   BENCH_JVM_OPTIONS        the forks' JVM options (-Xms1g -Xmx1g -XX:+AlwaysPreTouch)
#   BENCH_MAX_OTHERS_PERCENT, BENCH_RETRIES, BENCH_RETRY_BUDGET_S (15, 3, 60): a group of rows
#                            measured while other processes took more than that share of a
#                            core is measured again, as results.md says
#   BENCH_WAIT_QUIET=SECONDS wait up to that long, after the build, for an idle machine
#   BENCH_RESULTS_DIR, CVSREG_BENCH_BUILD_DIR   where the results and the build go
# Run it when the machine is otherwise idle: results.md shows, per row, how much CPU other
# processes took while it ran.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
top=$(cd "$here/.." && pwd)
build=${CVSREG_BENCH_BUILD_DIR:-$top/build/bench}
if [[ ${BENCH_QUICK:-0} == 1 || -n ${BENCH_FILTER:-} ]]; then
  results=${BENCH_RESULTS_DIR:-$build/benchmarks/quick-results}
else
  results=${BENCH_RESULTS_DIR:-$here/results}
fi

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCVSREG_BUILD_BENCHMARKS=ON \
  -DCVSREG_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target cvswin32regkey_bench cvsreg_bench_registry_compare -j "$(nproc)"

# Sets JAVA, CLASSPATH, LIBRARY_DIRS, REGEMU_DIR, JNA_BOOT_DIR and BUILD_TYPE.
. "$build/benchmarks/bench.env"
jvm_args=(-Djava.library.path="$LIBRARY_DIRS" -Djna.library.path="$REGEMU_DIR")
if [[ -n $JNA_BOOT_DIR ]]; then
  jvm_args+=(-Djna.boot.library.path="$JNA_BOOT_DIR")
fi

# The machine's busy CPU ticks, all cores (user nice system irq softirq steal).
busy_ticks() { awk '/^cpu /{print $2 + $3 + $4 + $7 + $8 + $9}' /proc/stat; }
if [[ ${BENCH_WAIT_QUIET:-0} -gt 0 ]]; then
  deadline=$((SECONDS + BENCH_WAIT_QUIET))
  while :; do
    before=$(busy_ticks); sleep 10; after=$(busy_ticks)
    # Under 0.1 core busy on average (ticks are 1/100 s).
    if (( after - before < 100 )); then echo "bench: machine idle"; break; fi
    if (( SECONDS >= deadline )); then echo "bench: machine still busy; running anyway"; break; fi
  done
fi

echo "bench: $(nproc) CPUs, $(lscpu | sed -n 's/^Model name: *//p'); load $(cut -d' ' -f1-3 /proc/loadavg)"
plot_data=$build/benchmarks/plot
unset REGEMU_IMPORT
"$JAVA" "${jvm_args[@]}" -cp "$CLASSPATH" torvane.plexide.scm.cvs.bench.BenchMain \
  "$results" "$plot_data"

if [[ -n ${BENCH_FILTER:-} ]]; then
  echo "bench: wrote $results/results.tsv and results.md (no plot for a filtered run)"
  exit 0
fi

# The emulated registry against the build of an earlier commit, natively, side by side.
{
  echo "# The emulated registry against commit $(sed -n 's/^CVSREG_BENCH_BASELINE:STRING=//p' "$build/CMakeCache.txt")"
  echo
  echo "$(date -u '+%Y-%m-%d %H:%M UTC'); load $(cut -d' ' -f1-3 /proc/loadavg) before"
  echo
  "$build/benchmarks/cvsreg_bench_registry_compare"
  echo
  echo "load $(cut -d' ' -f1-3 /proc/loadavg) after"
} >"$results/registry-compare.md"
echo "bench: wrote $results/registry-compare.md"
if ! command -v gnuplot >/dev/null; then
  if [[ $(id -u) == 0 ]] && command -v apt-get >/dev/null; then
    apt-get install -y -qq gnuplot-nox >/dev/null
  else
    echo "bench: gnuplot not found (Debian: apt-get install gnuplot-nox); no plot" >&2
    exit 0
  fi
fi
gnuplot -e "datadir='$plot_data'; output='$results/benchmark.png'" "$here/plot.gp"
echo "bench: wrote $results/results.tsv, results.md and benchmark.png"
