#!/usr/bin/env bash
# Builds, runs the benchmark (qvnnapcfg_bench.exe, a full run of some seconds) under Wine
# and writes docs/PERFORMANCE.md from its figures, with the machine and Wine version they
# were taken on. Exits with 1 when a target is missed (the document says which), 2 when
# the benchmark could not measure.
#
# Run it on a machine that is otherwise quiet: the figures are medians of repetitions
# that alternate with their references, which makes them steady, not immune.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh >/dev/null
scripts/report-tools.sh

out=build/benchmark
rm -rf "$out"
mkdir -p "$out"
echo "$(date -u +%Y-%m-%dT%H:%MZ) $(cat /proc/loadavg)" >"$out/started"
status=0
# Paths given to the Windows program are relative to the project's root, which Wine
# sees as its current folder.
scripts/wine-run --prefix build/test-prefix --headless build/bin/qvnnapcfg_bench.exe --tsv "$out/figures.tsv" \
  | tee "$out/table.txt" || status=$?
if [ "$status" -ne 0 ] && [ "$status" -ne 2 ]; then
  echo "benchmark: the benchmark failed (exit status $status); docs/PERFORMANCE.md is unchanged" >&2
  exit 2
fi
python3 scripts/write-report.py performance "$out/figures.tsv" docs/PERFORMANCE.md
echo "benchmark: wrote docs/PERFORMANCE.md"
[ "$status" -eq 0 ] || { echo "benchmark: a target was missed" >&2; exit 1; }
