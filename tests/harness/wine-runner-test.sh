#!/usr/bin/env bash
# wine-runner-test.sh PROBE [--traps]: scripts/wine-run as the tests meet it, in a fresh
# scratch prefix whose server lingers only briefly:
# - the prefix is created with the crash dialog off, so a crashing program ends at once
#   with a backtrace and leaves no debugger behind;
# - Wine runs with address-space randomisation off, and a start that Wine loses before
#   the program runs is made again, and no other;
# - a program whose exit status ld.so lost at exit is judged by its own summary, or runs
#   again where that was asked for;
# - a program that fails without a word is named;
# - with --traps (a build that checks for undefined behaviour), an overflow traps;
# - the prefix's server ends by itself after the last program.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
probe=$1
build=${QVN_BUILD_DIR:-$root/build}
prefix=$build/harness-prefix
linger=3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

rm -rf "$prefix" "$prefix.lock" "$prefix.wine-run.log"
export QVN_SERVER_LINGER=$linger

# run ARGS...: the probe through the runner; $status, $out and $err afterwards.
run() {
  status=0
  timeout 60 "$root/scripts/wine-run" --prefix "$prefix" --headless "$probe" "$@" >"$work/out" 2>"$work/err" ||
    status=$?
  out=$(tr -d '\r' <"$work/out")
  err=$(tr -d '\r' <"$work/err")
}

# Process ids of programs still running in the scratch prefix whose name matches $1.
prefix_processes() {
  local pid
  for pid in $(pgrep -f "$1" 2>/dev/null); do
    tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qx "WINEPREFIX=$prefix" && echo "$pid"
  done
}

# The prefix's server, found by the folder it works in (named after the prefix's
# device and inode).
server_pid() {
  local dir pid
  dir="server-$(stat -c %D "$prefix")-$(printf %x "$(stat -c %i "$prefix")")"
  for pid in $(pgrep -x wineserver64 2>/dev/null; pgrep -x wineserver 2>/dev/null); do
    [ "$(basename "$(readlink "/proc/$pid/cwd" 2>/dev/null)")" = "$dir" ] && echo "$pid"
  done
}

run print created
[ "$status" -eq 0 ] && [ "$out" = created ] || fail "first program in a new prefix: status $status, output '$out' ($err)"

# Wine runs with address-space randomisation off (ADDR_NO_RANDOMIZE, 0x0040000, in the
# Linux personality of the process), where this system lets a process change it.
if setarch -R true 2>/dev/null; then
  run wait 4 &
  waiter=$!
  personality=""
  for _ in $(seq 40); do
    for pid in $(prefix_processes "qvn_harness_probe.exe wait"); do
      personality=$(cat "/proc/$pid/personality" 2>/dev/null) && break 2
    done
    sleep 0.1
  done
  wait "$waiter"
  [ -n "$personality" ] && (((0x$personality & 0x0040000) != 0)) ||
    fail "Wine runs with address-space randomisation on: personality '$personality'"
else
  echo "note: this system does not let a process turn address-space randomisation off"
fi

# A crash ends the program at once, with Wine's note on standard error and its
# debugger's backtrace on standard output, and it fails: with the low byte of the
# exception code (5 for an access violation), or, when Wine reports 0 as it now and
# then does (about one crash in five here), with 1 from the runner.
for attempt in 1 2; do
  started=$(date +%s)
  run crash
  elapsed=$(($(date +%s) - started))
  [ "$status" -ne 0 ] && [ "$status" -ne 124 ] || fail "crash $attempt: status $status (124 means it hung) ($err)"
  [ "$elapsed" -le 30 ] || fail "crash $attempt: took $elapsed s to end"
  grep -q "crashing on purpose" <<<"$err" || fail "crash $attempt: the program's own message is missing: $err"
  grep -q "Unhandled page fault" <<<"$err" || fail "crash $attempt: Wine's note is missing: $err"
  grep -q "^Backtrace:" <<<"$out" || fail "crash $attempt: no backtrace: $out"
done
sleep 1
[ -z "$(prefix_processes winedbg)" ] || fail "crash: a debugger stayed behind: $(prefix_processes winedbg)"

if [ "${2:-}" = --traps ]; then
  run overflow
  [ "$status" -ne 0 ] && grep -q "Unhandled illegal instruction" <<<"$err" ||
    fail "overflow did not trap: status $status, output '$out' ($err)"
fi

# A program that fails without a word is named by the runner.
run quiet 3
[ "$status" -eq 3 ] || fail "quiet failure: status $status, expected 3"
grep -q "ended with status 3 and printed nothing" <<<"$err" || fail "quiet failure not named: '$err'"

# Stand-ins for wine that misbehave exactly as Wine has been seen to, once, with the
# probe (not with the runner's own start of the prefix's desktop), and otherwise hand
# over to the real one. Wine writes a lost start's line before the process has a thread,
# so the line carries no thread id, whichever process lost its start.
real_wine=$(command -v wine)
lost_start='echo "err:virtual:virtual_alloc_first_teb wine: failed to map the shared user data: c0000018" >&2'
lost_status='echo "Inconsistency detected by ld.so: dl-fini.c: 87: _dl_fini: Assertion \`ns != LM_ID_BASE || i == nloaded'"'"' failed!" >&2; exit 127'
# How many programs the runner has run again, as noted in its log.
retries() { cat "$prefix.wine-run.log" 2>/dev/null | grep -c "ran again"; }
# stand_in NAME RERUN STATUS OUTPUT RUNS MISBEHAVIOUR PROBE-ARGS...: the probe run through
# a stand-in that misbehaves once as MISBEHAVIOUR says, with QVN_RERUN_LOST_STATUS=RERUN,
# ends with STATUS and OUTPUT, the program having run RUNS times.
stand_in() {
  local name=$1 rerun=$2 want_status=$3 want_out=$4 want_runs=$5 retries_before
  mkdir -p "$work/$name"
  printf '#!/usr/bin/env bash\nif [[ "$*" == *qvn_harness_probe* ]] && [ ! -e "%s" ]; then\n  touch "%s"\n%s\nfi\nexec "%s" "$@"\n' \
    "$work/$name.used" "$work/$name.used" "$6" "$real_wine" >"$work/$name/wine"
  chmod +x "$work/$name/wine"
  shift 6
  retries_before=$(retries)
  PATH=$work/$name:$PATH QVN_RERUN_LOST_STATUS=$rerun run "$@"
  [ "$status" -eq "$want_status" ] && [ "$out" = "$want_out" ] || fail "$name: status $status, output '$out' ($err)"
  [ $(($(retries) - retries_before)) -eq $((want_runs - 1)) ] ||
    fail "$name: the program did not run $want_runs time(s), as noted in $prefix.wine-run.log"
}
# A probe that waits keeps the prefix's server up meanwhile, so that the runs through
# stand-ins, which start nothing of Wine's, do not each start it and its desktop again.
"$root/scripts/wine-run" --prefix "$prefix" --headless "$probe" wait 120 >/dev/null 2>&1 &
keeper=$!
# A start is made again only when the program itself never ran: it printed nothing and
# ended with Wine's status 1, and nothing but the lost start stands in its error.
stand_in lost-start 1 0 again 2 "$lost_start; exit 1" print again
grep -q "shared user data" <<<"$err" && fail "lost start: its message reached the caller: $err"
stand_in child-lost-start-parent-says-why 1 1 "" 1 "$lost_start; echo 'parent: the child did not start' >&2; exit 1" print never
stand_in child-lost-start-parent-printed 1 1 "[ RUN      ] Suite.Case" 1 "echo '[ RUN      ] Suite.Case'; $lost_start; exit 1" print never
stand_in child-lost-start-parent-status 1 3 "" 1 "$lost_start; exit 3" print never
# A lost exit status is read from the program's own summary; only without one does the
# program run again for its status, where that was asked for, and otherwise 127 stands
# and is explained.
stand_in lost-status-failed 1 1 $'[  PASSED  ] 0 tests.\n[  FAILED  ] 1 test, listed below:' 1 \
  "printf '[  PASSED  ] 0 tests.\\n[  FAILED  ] 1 test, listed below:\\n'; $lost_status" print never
stand_in lost-status-passed 1 0 "[  PASSED  ] 1 test." 1 "echo '[  PASSED  ] 1 test.'; $lost_status" print never
stand_in lost-status-no-rerun "" 127 "" 1 "$lost_status" print never
grep -q "lost its exit status" <<<"$err" || fail "lost status, no rerun asked for: not explained ($err)"
stand_in lost-status-rerun 1 0 twice 2 "echo 'first output'; $lost_status" print twice
grep -q "first output" "$prefix.wine-run.log" || fail "the first attempt's output is not kept in $prefix.wine-run.log"
# A crash that Wine reports with status 0 fails all the same.
stand_in crash-status-0 1 1 "" 1 'echo "wine: Unhandled page fault on write access to 0000000000000000 at address 0000000140001000 (thread 0024), starting debugger..." >&2; exit 0' print never
kill $(prefix_processes "qvn_harness_probe.exe wait") 2>/dev/null
wait "$keeper"

# The server ends by itself once the last program is gone.
for _ in $(seq $((linger + 30))); do
  [ -z "$(server_pid)" ] && break
  sleep 1
done
[ -z "$(server_pid)" ] || fail "the prefix's server $(server_pid) is still up $((linger + 30)) s after the last program"

rm -rf "$prefix" "$prefix.lock" "$prefix.wine-run.log"
[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "wine runner: all checks passed"
