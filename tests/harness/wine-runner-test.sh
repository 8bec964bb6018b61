#!/usr/bin/env bash
# wine-runner-test.sh PROBE [--traps]: scripts/wine-run as the tests meet it, in a fresh
# scratch prefix whose server lingers only briefly:
# - the prefix is created with the crash dialog off, so a crashing program ends at once
#   with a backtrace and leaves no debugger behind;
# - Wine runs with address-space randomisation off, and a start that Wine loses before
#   the program runs is made again;
# - a program whose exit status ld.so lost at exit runs again where that was asked for;
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
# over to the real one: fake_wine NAME SCRIPT makes $work/NAME/wine.
real_wine=$(command -v wine)
fake_wine() {
  mkdir -p "$work/$1"
  printf '#!/usr/bin/env bash\nif [[ "$*" == *qvn_harness_probe* ]] && [ ! -e "%s" ]; then\n  touch "%s"\n%s\nfi\nexec "%s" "$@"\n' \
    "$work/$1.used" "$work/$1.used" "$2" "$real_wine" >"$work/$1/wine"
  chmod +x "$work/$1/wine"
}

# A start lost before the program ran is made again, and noted.
fake_wine lost 'echo "0024:err:virtual:virtual_alloc_first_teb wine: failed to map the shared user data: c0000018" >&2; exit 1'
PATH=$work/lost:$PATH run print again
[ "$status" -eq 0 ] && [ "$out" = again ] || fail "lost start: status $status, output '$out' ($err)"
[ -e "$work/lost.used" ] || fail "lost start: the stand-in was never called"
grep -q "shared user data" <<<"$err" && fail "lost start: its message reached the caller: $err"
[ "$(grep -c "ran again" "$prefix.wine-run.log" 2>/dev/null)" = 1 ] ||
  fail "lost start: the retry is not noted once in $prefix.wine-run.log"

# An exit status that ld.so lost after the program ended: the program runs again for its
# status where that was asked for, and otherwise the status stands and is explained.
fake_wine ldso 'echo "Inconsistency detected by ld.so: dl-fini.c: 87: _dl_fini: Assertion \`ns != LM_ID_BASE || i == nloaded'"'"' failed!" >&2; exit 127'
PATH=$work/ldso:$PATH QVN_RERUN_LOST_STATUS= run quiet 0
[ "$status" -eq 127 ] && grep -q "lost its exit status" <<<"$err" ||
  fail "lost status, no rerun asked for: status $status ($err)"
rm -f "$work/ldso.used"
PATH=$work/ldso:$PATH QVN_RERUN_LOST_STATUS=1 run print twice
[ "$status" -eq 0 ] && [ "$out" = twice ] || fail "lost status, rerun asked for: status $status, output '$out' ($err)"
[ "$(grep -c "ran again" "$prefix.wine-run.log" 2>/dev/null)" = 2 ] ||
  fail "lost status: the rerun is not noted in $prefix.wine-run.log"

# A crash that Wine reports with status 0 fails all the same.
fake_wine crash0 'echo "wine: Unhandled page fault on write access to 0000000000000000 at address 0000000140001000 (thread 0024), starting debugger..." >&2; exit 0'
PATH=$work/crash0:$PATH run print never
[ "$status" -ne 0 ] || fail "crash reported as status 0 passed for success ($err)"

# The server ends by itself once the last program is gone.
for _ in $(seq $((linger + 30))); do
  [ -z "$(server_pid)" ] && break
  sleep 1
done
[ -z "$(server_pid)" ] || fail "the prefix's server $(server_pid) is still up $((linger + 30)) s after the last program"

rm -rf "$prefix" "$prefix.lock" "$prefix.wine-run.log"
[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "wine runner: all checks passed"
