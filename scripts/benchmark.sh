#!/usr/bin/env bash
# Builds, runs the benchmark (qvnnapcfg_bench.exe, a full run of a minute or less) under
# Wine and writes docs/PERFORMANCE.md from its figures, with the machine and Wine version
# they were taken on. Exits with 1 when a target is missed (the document says which), 2
# when the benchmark could not measure.
#
#   benchmark.sh [--runs N]
#
# --runs N makes N measured runs in a row (default 1) and writes the document from the
# last, with a section that gives every ratio of every run and its largest over its
# smallest: how steady the figures are from run to run. A target missed in any run
# counts.
#
# Run it on a machine that is otherwise quiet: each figure's repetitions alternate with
# its reference's in short pairs and the ratio is the median of the pairs' ratios, which
# makes the figures steady, not immune. build/benchmark keeps each run's table
# (table.txt), its figures (figures.tsv), every repetition's value (samples.tsv) and the
# load average before and after it (started, finished), in run-1, run-2, ...
set -euo pipefail
cd "$(dirname "$0")/.."
runs=1
if [ $# -eq 2 ] && [ "$1" = --runs ] && [[ "$2" =~ ^[1-9][0-9]*$ ]]; then
  runs=$2
elif [ $# -ne 0 ]; then
  echo "usage: scripts/benchmark.sh [--runs N]" >&2
  exit 2
fi
scripts/build.sh >/dev/null
scripts/report-tools.sh

out=build/benchmark
rm -rf "$out"
mkdir -p "$out"
run_bench() {
  # Paths given to the Windows program are relative to the project's root, which Wine
  # sees as its current folder.
  scripts/wine-run --prefix build/test-prefix --headless build/bin/qvnnapcfg_bench.exe "$@"
}

# When the prefix's server is not running, the first program starts it, and with it the
# prefix's services (the RPC service among them) and its desktop, which go on setting
# themselves up for seconds. A quick run first brings all of that up and through what
# the benchmark uses (its figures are not kept), so that the first measured run finds the
# prefix as every later one does: one after another, runs share the server, which stays
# up for 30 s after its last program.
status=0
run_bench --quick >"$out/warm-up.txt" 2>&1 || status=$?
if [ "$status" -ne 0 ] && [ "$status" -ne 2 ]; then
  cat "$out/warm-up.txt" >&2
  echo "benchmark: the warm-up run failed (exit status $status); docs/PERFORMANCE.md is unchanged" >&2
  exit 2
fi

missed=0
run_dirs=()
for run in $(seq "$runs"); do
  dir=$out/run-$run
  mkdir -p "$dir"
  run_dirs+=("$dir")
  echo "$(date -u +%Y-%m-%dT%H:%MZ) $(cat /proc/loadavg)" >"$dir/started"
  status=0
  run_bench --tsv "$dir/figures.tsv" --samples "$dir/samples.tsv" | tee "$dir/table.txt" || status=$?
  echo "$(date -u +%Y-%m-%dT%H:%MZ) $(cat /proc/loadavg)" >"$dir/finished"
  if [ "$status" -ne 0 ] && [ "$status" -ne 2 ]; then
    echo "benchmark: run $run failed (exit status $status); docs/PERFORMANCE.md is unchanged" >&2
    exit 2
  fi
  [ "$status" -eq 0 ] || missed=1
  echo "benchmark: run $run of $runs done (load average before and after: $(cut -d' ' -f2-4 "$dir/started")" \
    "and $(cut -d' ' -f2-4 "$dir/finished"))"
done
# The document comes from the last run; the others, in order, give the steadiness.
python3 scripts/write-report.py performance "$dir/figures.tsv" docs/PERFORMANCE.md "${run_dirs[@]}"
echo "benchmark: wrote docs/PERFORMANCE.md"
[ "$missed" -eq 0 ] || { echo "benchmark: a target was missed" >&2; exit 1; }
