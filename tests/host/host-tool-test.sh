#!/usr/bin/env bash
# The host tool used as an administrator uses it, through its Linux wrapper, against the
# project's Wine prefix: register, check, show, set, export, import, the same out of
# process, unregister.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
host="$root/scripts/qvnnaphost"
wine_run="$root/scripts/wine-run"
work=$(mktemp -d)
clsid='0C5C9CEC-1FF7-42E3-AC8F-4D9BAE296C5D'
appid='HKCR\AppID\{73D1100C-337E-4de7-84B9-8F5B10202693}'
build=${QVN_BUILD_DIR:-$root/build}
proxy="Z:${build//\//\\}\\bin\\qvn_test_proxy.dll"

# Wine's COM surrogate never ends by itself: dllhost.exe waits for a call that Wine's
# COM never makes. Prints the ids of those that host the component in this prefix (Wine
# names the class on their command line).
surrogates() {
  local pid
  for pid in $(pgrep -f "dllhost.exe /PROCESSID:.$clsid" || true); do
    if [ "$(tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | sed -n 's/^WINEPREFIX=//p')" = "$QVN_WINEPREFIX" ]; then
      echo "$pid"
    fi
  done
}
end_surrogates() {
  local pid
  for pid in $(surrogates); do
    kill -KILL "$pid" 2>/dev/null || true
  done
}
cleanup() {
  end_surrogates
  "$wine_run" regsvr32 /u /s "$proxy" >/dev/null 2>&1
  "$host" unregister >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# run NAME EXPECTED_STATUS ARGS...: keeps stdout in $out and stderr in $err.
run() {
  local name=$1 expected=$2
  shift 2
  "$host" "$@" >"$work/out" 2>"$work/err"
  status=$?
  out=$(cat "$work/out")
  err=$(cat "$work/err")
  if [ "$status" -ne "$expected" ]; then
    fail "$name: exit status $status, expected $expected (stderr: $err)"
  fi
  if [ "$expected" -ne 0 ] && [ "$(wc -l <"$work/err")" -ne 1 ]; then
    fail "$name: expected exactly one line on standard error, got: $err"
  fi
}
expect_out() { grep -qF -- "$2" <<<"$out" || fail "$1: output lacks '$2' (status $status): '$out' (stderr: '$err')"; }
expect_err() { grep -qF -- "$2" <<<"$err" || fail "$1: error lacks '$2' (status $status): '$err' (stdout: '$out')"; }

# Start from no registration and no stored settings.
"$host" unregister >/dev/null 2>&1
"$root/scripts/wine-run" reg delete \
  'HKLM\Software\Quorvane\ZARUZARA\Settings' /f >/dev/null 2>&1

run "help" 0 --help
expect_out "help" "Usage: qvnnaphost <command>"
run "unknown command" 1 frobnicate
expect_err "unknown command" "unknown command"

run "show unregistered" 1 show
expect_err "show unregistered" "not registered (REGDB_E_CLASSNOTREG)"
run "check unregistered" 1 check
expect_out "check unregistered" "FAIL  HKCR\\CLSID\\{0C5C9CEC-1FF7-42e3-AC8F-4D9BAE296C5D}: missing"
expect_err "check unregistered" "problems found"

run "register" 0 register
expect_out "register" "registered "
run "check registered" 0 check
expect_out "check registered" "ok    ThreadingModel: 'Neutral'"
expect_out "check registered" "ok    Elevation\\Enabled: 1"
expect_out "check registered" "ok    DllSurrogate: ''"

run "show defaults" 0 show
[ "$out" = $'server:     unspecified\nport:       2193\ntimeout:    10000\ncache-time: 180\nenabled:    yes' ] ||
  fail "show defaults: $out"
run "show json" 0 show --json
[ "$out" = '{"server": "unspecified", "port": 2193, "timeout": 10000, "cacheTime": 180, "enabled": true}' ] ||
  fail "show json: $out"

run "set" 0 set --server upd.example.com --port 8080 --cache-time 0 --timeout 30000
expect_out "set" "server:     upd.example.com"
expect_out "set" "port:       8080"
expect_out "set" "cache-time: 0"
expect_out "set" "timeout:    30000"

for bad in "--port 0:port: must be 1 to 65535" "--port 65536:port: must be 1 to 65535" \
  "--port 12ab:port: expected an unsigned number" "--cache-time x:cache-time: expected an unsigned number" \
  "--enabled maybe:enabled: expected yes or no" \
  "--colour red:unknown argument '--colour'" "--port:--port needs a value"; do
  args=${bad%%:*}
  message=${bad#*:}
  # shellcheck disable=SC2086
  run "set $args" 1 set $args
  expect_err "set $args" "$message"
done
run "set empty server" 1 set --server ""
expect_err "set empty server" "server: must not be empty while validation is enabled"
run "set nothing" 1 set
run "unchanged after refusals" 0 show --json
[ "$out" = '{"server": "upd.example.com", "port": 8080, "timeout": 30000, "cacheTime": 0, "enabled": true}' ] ||
  fail "refused sets changed something: $out"

run "export" 0 export saved.bin
[ "$(stat -c %s saved.bin)" = 532 ] || fail "export wrote $(stat -c %s saved.bin) bytes"
run "disable" 0 set --enabled no --server "" --port 0
expect_out "disable" "enabled:    no"
run "import" 0 import saved.bin
expect_out "import" "server:     upd.example.com"
expect_out "import" "enabled:    yes"

head -c 531 saved.bin >short.bin
run "import short" 1 import short.bin
expect_err "import short" "531 bytes, expected 532"
{ printf '\002\000\000\000'; tail -c 528 saved.bin; } >v2.bin
run "import version 2" 1 import v2.bin
expect_err "import version 2" "version 2, expected 1"
run "import missing" 1 import missing.bin
expect_err "import missing" "cannot open"
run "unchanged after bad imports" 0 show
expect_out "unchanged after bad imports" "server:     upd.example.com"

# Out of process: the component in the system's COM surrogate, as a console without
# administrator rights uses it. Under Wine that takes two things Windows has by itself:
# with DllSurrogate empty Wine 8 starts the 32-bit surrogate, which needs 32-bit Wine,
# so the AppID names the 64-bit one; and Wine has no proxy/stub of INapComponentConfig,
# so the tests' own is registered.
end_surrogates
run "show out of process, 32-bit surrogate" 1 show --out-of-process
expect_err "show out of process, 32-bit surrogate" "GetConfig failed: 0x80070002"
"$wine_run" reg add "$appid" /v DllSurrogate /d 'C:\windows\system32\dllhost.exe' /f >/dev/null ||
  fail "cannot set DllSurrogate"
"$wine_run" regsvr32 /s "$proxy" || fail "cannot register the tests' proxy $proxy"

run "show out of process" 0 show --out-of-process --json
[ "$out" = '{"server": "upd.example.com", "port": 8080, "timeout": 30000, "cacheTime": 0, "enabled": true}' ] ||
  fail "show out of process: $out"
run "export out of process" 0 export --out-of-process oop.bin
[ "$(stat -c %s oop.bin)" = 532 ] || fail "export out of process wrote $(stat -c %s oop.bin) bytes"
run "set out of process" 0 set --port 9443 --out-of-process --cache-time 60
expect_out "set out of process" "port:       9443"
expect_out "set out of process" "cache-time: 60"
run "set out of process, read in process" 0 show --json
[ "$out" = '{"server": "upd.example.com", "port": 9443, "timeout": 30000, "cacheTime": 60, "enabled": true}' ] ||
  fail "the surrogate's write is not what a process of its own reads: $out"
run "import out of process" 0 import oop.bin --out-of-process
expect_out "import out of process" "port:       8080"
expect_out "import out of process" "cache-time: 0"
run "out of process twice" 1 show --out-of-process --out-of-process
expect_err "out of process twice" "--out-of-process given twice"
# One object, so one surrogate, for each command, the set with its three calls included.
started=$(surrogates | wc -l)
[ "$started" -eq 4 ] || fail "4 commands out of process started $started surrogates"
end_surrogates

run "unregister" 0 unregister
run "show after unregister" 1 show
expect_err "show after unregister" "REGDB_E_CLASSNOTREG"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "host tool: all checks passed"
