#!/usr/bin/env bash
# The test kit as a maintainer uses it on Windows: scripts/test-kit.sh makes it, it is
# unpacked into a fresh prefix that cannot reach the build tree (the prefix has no drive
# Z:, so no program there can read a path of the build tree), and "cmd /c
# run-tests.cmd" runs it there. It must pass, end with its summary line, and leave the
# prefix's registry (HKLM, HKCU and HKCR, exported by reg) and its files as they were.
# As long as the whole suite: not part of the ordinary run (label test_kit; see
# CMakePresets.json).
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=msi-test-lib.sh
. "$root/tests/packaging/msi-test-lib.sh"

prefix=$build/test-prefix-kit
out=$build/test-kit-dist
registry=$prefix/drive_c/qvn-registry
log=$build/test-kit-run.log

made=$("$root/scripts/test-kit.sh" --no-build --build-dir "$build" --out "$out") || abort "scripts/test-kit.sh failed"
kit_zip=$(sed -n 's/^test-kit: \(.*\.zip\) (.*$/\1/p' <<<"$made")
[ -f "$kit_zip" ] || abort "scripts/test-kit.sh named no kit: $made"
kit=$(basename "$kit_zip" .zip)

fresh_prefix "$prefix"
stop_prefix "$prefix"
rm "$prefix/dosdevices/z:" || abort "the new prefix has no drive Z: to take away"
# Every program starts in drive C: from now on, which is all the prefix sees.
cd "$prefix/drive_c" || abort "no drive C: in $prefix"
unzip -q "$kit_zip" -d "$prefix/drive_c" || abort "cannot unpack $kit_zip"
mkdir -p "$registry"

# snapshot NAME: the prefix's registry hives and its files (but for the exports and the
# kit's results), as text in $registry/NAME-*.
snapshot() {
  local hive
  for hive in HKLM HKCU HKCR; do
    wine_in "$prefix" reg export "$hive" "C:\\qvn-registry\\$1-$hive.reg" /y >/dev/null 2>&1 ||
      abort "reg export $hive failed"
    iconv -f UTF-16 -t UTF-8 "$registry/$1-$hive.reg" | tr -d '\r' | wine_bookkeeping_removed >"$registry/$1-$hive.txt"
  done
  (find . -path ./qvn-registry -prune -o -path "./$kit/results" -prune -o -print | LC_ALL=C sort) \
    >"$registry/$1-files.txt"
}
# Keys that Wine writes for itself: its records of the display driver (made when a
# program of the prefix first opens a window, and dated anew whenever the prefix's
# desktop starts), and the volatile copy of the system parameters a program read.
wine_bookkeeping_removed() {
  awk '/^\[/ { skip = index($0, "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Video\\") == 1 ||
                      index($0, "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class\\{4D36E968-") == 1 ||
                      index($0, "[HKEY_CURRENT_USER\\Software\\Wine\\Temporary System Parameters") == 1 }
       !skip'
}

snapshot before
started=$(date +%s)
status=0
(cd "$kit" && QVN_RERUN_LOST_STATUS='' timeout 1500 "$root/scripts/wine-run" --prefix "$prefix" --headless \
  cmd /c run-tests.cmd </dev/null >"$log" 2>&1) || status=$?
seconds=$(($(date +%s) - started))
tr -d '\r' <"$log" | grep -E '^(PASS|FAIL) |passed, .* failed$|^run-tests:'
snapshot after
stop_prefix "$prefix"

summary=$(tr -d '\r' <"$log" | grep -v '^$' | tail -1)
if [ "$status" -eq 124 ]; then
  fail "run-tests.cmd did not end within 1500 s (output in $log)"
elif [ "$status" -ne 0 ]; then
  fail "run-tests.cmd ended with status $status after ${seconds} s (output in $log)"
fi
if ! [[ $summary =~ ^[1-9][0-9]*\ passed,\ 0\ failed$ ]]; then
  fail "the last line is '$summary', not 'N passed, 0 failed'"
fi
programs=$(tr -d '\r' <"$prefix/drive_c/$kit/programs.txt" | wc -l)
[ "$(tr -d '\r' <"$log" | grep -c '^PASS ')" -eq "$programs" ] || fail "not every one of the $programs programs passed"
for hive in HKLM HKCU HKCR; do
  diff -u "$registry/before-$hive.txt" "$registry/after-$hive.txt" >"$registry/$hive.diff" ||
    fail "$hive differs after the run: $(head -c 2000 "$registry/$hive.diff")"
done
diff -u "$registry/before-files.txt" "$registry/after-files.txt" >"$registry/files.diff" ||
  fail "files in drive C: differ after the run: $(head -c 2000 "$registry/files.diff")"
echo "run-tests.cmd: ${seconds} s, last line '$summary'; registry and files compared before and after"
finish "test kit"
