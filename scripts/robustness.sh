#!/usr/bin/env bash
# Builds, runs the soak, the load cycles and the full fuzzing (QVN_FUZZ_SCALE=100: every
# SetConfig count, 100,000 blobs of each kind, every value type and size, the registrar
# fuzz at 100 times its ordinary count) under Wine, and writes docs/ROBUSTNESS.md from
# their results, with the machine and Wine version they ran on. Takes some minutes.
# Exits with 1 when a check failed (the document says which), 2 when no document could
# be written.
#
# The soak registers the class in the tests' prefix (build/test-prefix) for its
# duration: do not run the test suite at the same time.
#
#   scripts/robustness.sh --wine-proxy-race [RUNS]
#
# runs, instead, the reproduction of Wine 8's proxy-manager race (docs/ROBUSTNESS.md;
# tests/platform/WineProxyRace.cpp) RUNS times (10 unless told) for 10 s in each of its
# three ways: holding nothing, a proxy to the class factory, and that proxy with its
# IRemUnknown. It prints how many runs of each crashed (the backtraces stay in
# build/wine-proxy-race) and exits with 1 when a run holding both crashed or failed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh >/dev/null

if [ "${1:-}" = --wine-proxy-race ]; then
  runs=${2:-10}
  out=build/wine-proxy-race
  rm -rf "$out"
  mkdir -p "$out"
  echo "wine-proxy-race: load average $(cut -d' ' -f1-3 /proc/loadavg) at the start" >&2
  status=0
  for hold in nothing factory factory+remunknown; do
    crashed=0 started=$SECONDS
    for run in $(seq "$runs"); do
      args=(10)
      [ "$hold" = nothing ] || args+=(--hold "$hold")
      # A run takes 10 s and a crash ends it within seconds; the limit is for a hang.
      code=0
      timeout --kill-after=10 120 scripts/wine-run --prefix build/test-prefix --headless \
        build/bin/wine-proxy-race.exe "${args[@]}" >"$out/$hold-$run.log" 2>&1 || code=$?
      if [ "$code" -eq 124 ] || [ "$code" -eq 137 ]; then
        echo "wine-proxy-race: holding $hold, run $run did not end within 120 s" >&2
      fi
      if [ "$code" -ne 0 ]; then
        crashed=$((crashed + 1))
        [ "$hold" != factory+remunknown ] || status=1
      fi
    done
    echo "wine-proxy-race: holding $hold: $crashed of $runs runs crashed or failed ($((SECONDS - started)) s)"
  done
  echo "wine-proxy-race: load average $(cut -d' ' -f1-3 /proc/loadavg) at the end" >&2
  exit $status
fi

scripts/report-tools.sh

scale=100
out=build/robustness
rm -rf "$out"
mkdir -p "$out"
echo "$scale" >"$out/scale"
echo "$(date -u +%Y-%m-%dT%H:%MZ) $(cat /proc/loadavg)" >"$out/started"

# run NAME PROGRAM FILTER: one test program, its results as JSON in $out/NAME.json.
run() {
  local name=$1 program=$2 filter=$3
  echo "robustness: $name ($filter)" >&2
  QVN_FUZZ_SCALE=$scale scripts/wine-run --prefix build/test-prefix --headless "build/bin/$program.exe" \
    --gtest_filter="$filter" --gtest_output="json:$out/$name.json" >"$out/$name.log" 2>&1 || true
  grep -E '^\[ +(OK|FAILED) +\]' "$out/$name.log" >&2 || true
}
run soak qvnnapcfg_soak_tests 'SoakTest.*'
run loads runtime_dll_tests 'ComponentLoadTest.TwoThousand*'
run blobs qvnnapcfg_dll_tests 'SHVConfigFuzzTest.*'
run values qvnnapcfg_internal_tests 'SHVSettingsFuzzTest.*'
run registrar qvnnapcfg_internal_tests 'RegScriptFuzzTest.*'

status=0
python3 scripts/write-report.py robustness "$out" docs/ROBUSTNESS.md || status=$?
case $status in
  0) echo "robustness: wrote docs/ROBUSTNESS.md" ;;
  3) echo "robustness: wrote docs/ROBUSTNESS.md; a check failed" >&2; exit 1 ;;
  *) echo "robustness: could not write docs/ROBUSTNESS.md" >&2; exit 2 ;;
esac
