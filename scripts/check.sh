#!/usr/bin/env bash
# The quality gate: what the ordinary test run cannot see. Each gate builds in a tree of
# its own (CMake presets) and prints one line with its figure; the script exits with 1
# when any gate fails, and a failure shows its essentials here (the build's errors, the
# failed tests, the findings as file:line: check), the rest in the gate's log.
#
#   scripts/check.sh [clang] [tidy] [ubsan] [coverage]     (all four when none is named)
#
#   clang     the whole tree built with Clang 14 and lld, warnings as errors, and the
#             whole suite under Wine (build-clang)
#   tidy      clang-tidy (.clang-tidy) over every source of the product (NAP/, runtime/,
#             host/, packaging/) and the headers they include, two files at a time, with
#             build-clang's compile commands: every finding fails
#   ubsan     the whole tree with undefined-behaviour and standard-library checks that
#             trap, and the whole suite (build-ubsan)
#   coverage  the whole suite counted with gcov (build-coverage): lines and branches of
#             NAP/ and runtime/ must reach the floor below; the report is
#             build-coverage/coverage/index.html
#
# Installs what it needs on first use (apt-get, as root), as scripts/setup.sh does.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$PWD

# The coverage floor, in percent of NAP/ and runtime/ (throw and unreachable branches
# left out): a little below what the gate measured on 2026-12-09 (lines 97.0 twice,
# branches 83.3 and 83.2: a few branches run or not with the order in which threads
# happen to run). Raise it when the gate measures more; lower it only for a reason you
# can name.
floor_lines=96.5
floor_branches=82.8

product_dirs='NAP|runtime|host|packaging'
gates=("$@")
[ ${#gates[@]} -ne 0 ] || gates=(clang tidy ubsan coverage)
for gate in "${gates[@]}"; do
  case $gate in
  clang | tidy | ubsan | coverage) ;;
  *)
    echo "check: unknown gate '$gate' (clang, tidy, ubsan, coverage)" >&2
    exit 2
    ;;
  esac
done

scripts/setup.sh clang-14 lld-14 clang-tidy-14 gcovr || exit 1

passed=0
failed=0
# report GATE STATUS FIGURE: the gate's one line, and below it what a failure left in
# $details.
report() {
  local elapsed=$((SECONDS - gate_started))
  printf '%-9s %s  %s  (%dm%02ds)\n' "$1" "$2" "$3" $((elapsed / 60)) $((elapsed % 60))
  [ "$2" = pass ] || [ -z "$details" ] || sed 's/^/    /' <<<"$details"
  if [ "$2" = pass ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
}

# build_and_test PRESET LOG: configures when needed, builds and runs the whole suite;
# sets $figure. Returns non-zero when the build or a test fails, with $details saying why.
build_and_test() {
  local preset=$1 log=$2 tree=$root/build-$1
  mkdir -p "$tree"
  : >"$log"
  if ! { [ -f "$tree/CMakeCache.txt" ] || cmake --preset "$preset"; } >>"$log" 2>&1 ||
    ! cmake --build --preset "$preset" -- -k 0 >>"$log" 2>&1; then
    figure="the build failed"
    details=$(grep -E 'error:|^FAILED:' "$log" | head -20)
    return 1
  fi
  [ "$preset" != coverage ] || find "$tree" -name '*.gcda' -delete
  ctest --preset "$preset" >>"$log" 2>&1
  local status=$?
  figure=$(grep -oE '[0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
  [ -n "$figure" ] || figure="ctest ran no test (status $status)"
  if [ "$status" -ne 0 ]; then
    details=$(sed -n '/^The following tests FAILED:/,$p' "$log" | grep -vE '^Errors while running')
    return 1
  fi
}

gate_clang() {
  build_and_test clang "$root/build-clang/check-clang.log"
}

gate_ubsan() {
  build_and_test ubsan "$root/build-ubsan/check-ubsan.log"
}

gate_tidy() {
  local tree=$root/build-clang log=$root/build-clang/check-tidy.log
  mkdir -p "$tree"
  if [ ! -f "$tree/compile_commands.json" ] && ! cmake --preset clang >"$log" 2>&1; then
    figure="cannot configure build-clang (see $log)"
    return 1
  fi
  local files
  files=$(sed -n 's/^ *"file": "\(.*\)",*$/\1/p' "$tree/compile_commands.json" |
    grep -E "^$root/($product_dirs)/.*\.(c|cpp)$" | sort -u)
  rm -rf "$tree/tidy" && mkdir -p "$tree/tidy"
  # One output file per source file, so that two processes never mix their lines; a run
  # of clang-tidy that fails (a file it cannot parse, say) counts as a finding.
  # shellcheck disable=SC2016 # expanded by the inner shell
  xargs -P2 -I{} bash -c 'out="$4/${3//\//_}.out"
    clang-tidy-14 -p "$1" --quiet --header-filter="$2" "$3" >"$out" 2>&1 ||
      echo "$3:1:1: error: clang-tidy ended with status $? [clang-tidy]" >>"$out"' \
    _ "$tree" "^$root/($product_dirs)/" {} "$tree/tidy" <<<"$files"
  cat "$tree"/tidy/*.out >"$log"
  # Findings in a header come once for every file that includes it.
  local findings
  findings=$(grep -E '^/.*:[0-9]+:[0-9]+: (warning|error): ' "$log" |
    sed -E "s|^$root/||; s|^([^:]*:[0-9]+):[0-9]+: (warning\|error): (.*) \[([^]]*)\]$|\1: \4: \3|" | sort -u)
  local count
  count=$(grep -c . <<<"$findings")
  figure="$count findings in $(wc -l <<<"$files") files"
  details=$findings
  [ "$count" -eq 0 ]
}

gate_coverage() {
  local tree=$root/build-coverage log=$root/build-coverage/check-coverage.log
  build_and_test coverage "$log" || return 1
  local tests=$figure
  mkdir -p "$tree/coverage"
  local summary
  summary=$(gcovr --root "$root" --object-directory "$tree" --gcov-executable x86_64-w64-mingw32-gcov -j 2 \
    --filter "$root/NAP/" --filter "$root/runtime/" --exclude-throw-branches --exclude-unreachable-branches \
    --html-details "$tree/coverage/index.html" --print-summary "$tree" 2>>"$log")
  echo "$summary" >>"$log"
  local lines branches
  lines=$(sed -n 's/^lines: \([0-9.]*\)%.*/\1/p' <<<"$summary")
  branches=$(sed -n 's/^branches: \([0-9.]*\)%.*/\1/p' <<<"$summary")
  if [ -z "$lines" ] || [ -z "$branches" ]; then
    figure="gcovr gave no summary (see $log)"
    return 1
  fi
  figure="lines $lines% (floor $floor_lines), branches $branches% (floor $floor_branches); $tests"
  awk -v l="$lines" -v b="$branches" -v fl="$floor_lines" -v fb="$floor_branches" 'BEGIN { exit !(l >= fl && b >= fb) }'
}

for gate in "${gates[@]}"; do
  gate_started=$SECONDS
  figure=""
  details=""
  if "gate_$gate"; then
    report "$gate" pass "$figure"
  else
    report "$gate" FAIL "$figure"
  fi
done
echo "check: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
