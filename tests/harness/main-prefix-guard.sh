#!/usr/bin/env bash
# main-prefix-guard.sh record|check: the test run leaves the main job's prefix
# (build/wineprefix: the registration and the settings that scripts/run.sh and
# scripts/qvnnaphost left there) exactly as it was. "record" notes its registry files
# before the first test, "check" compares them after the last one; a prefix that did
# not exist must still not exist.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${QVN_BUILD_DIR:-$root/build}
main=$build/wineprefix
state=$build/main-prefix-state.txt

# Wine keeps the registry in memory and writes it to the files every 30 s and when the
# prefix's server ends, 30 s after its last program: wait for either, so that the files
# say all.
settle() {
  [ -d "$main" ] || return 0
  if ! WINEPREFIX=$main timeout 40 wineserver -w >/dev/null 2>&1; then
    sleep 31
  fi
}
describe() {
  if [ ! -d "$main" ]; then
    echo "absent"
  else
    (cd "$main" && sha256sum system.reg user.reg userdef.reg 2>&1) || true
  fi
}

case ${1:-} in
record)
  settle
  describe >"$state"
  echo "main prefix: $(head -c 200 "$state")"
  ;;
check)
  [ -f "$state" ] || { echo "nothing recorded in $state"; exit 1; }
  settle
  if ! describe | diff -u "$state" - ; then
    echo "FAIL: the test run changed $main (registration or settings of the main job)"
    exit 1
  fi
  echo "main prefix unchanged"
  ;;
*)
  echo "usage: main-prefix-guard.sh record|check" >&2
  exit 2
  ;;
esac
