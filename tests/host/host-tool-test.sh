#!/usr/bin/env bash
# The host tool used as an administrator uses it, through its Linux wrapper, against the
# tests' Wine prefix: register, check, show, set, export, import, the same out of
# process, unregister, with the refusals of each (one line on standard error, status 1,
# nothing changed) and the failures of the world around it (a full disk, a deleted DLL,
# no surrogate or proxy/stub); then scripts/run.sh, the main job, against the same
# prefix, and the dialogue of scripts/screenshots.sh without pictures.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
host="$root/scripts/qvnnaphost"
wine_run="$root/scripts/wine-run"
work=$(mktemp -d)
full_disk=$work/full-disk
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
  mountpoint -q "$full_disk" && umount "$full_disk"
  end_surrogates
  "$wine_run" regsvr32 /u /s "$proxy" >/dev/null 2>&1
  "$host" unregister >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# run NAME EXPECTED_STATUS ARGS...: keeps stdout in $out and stderr in $err; a refusal
# is exactly one line on standard error.
run() {
  local name=$1 expected=$2
  shift 2
  timeout 60 "$host" "$@" >"$work/out" 2>"$work/err"
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
# settings_are NAME JSON: the stored settings, as show --json prints them.
settings_are() {
  run "$1 (show)" 0 show --json
  [ "$out" = "$2" ] || fail "$1: settings are $out, expected $2"
}
# patch FILE OFFSET HEX: overwrites bytes of a blob file.
patch() { printf "$(sed 's/../\\x&/g' <<<"$3")" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }

# Before any build: the wrapper says so, and no prefix is made.
QVN_BUILD_DIR=$work/no-build QVN_WINEPREFIX=$work/no-prefix run "before a build" 1 show
[ "$err" = "qvnnaphost: not built yet: run scripts/run.sh" ] || fail "before a build: '$err'"
[ ! -e "$work/no-prefix" ] || fail "before a build: a prefix was created"
# The dialog needs a screen: without one the tool says so at once, before Wine starts.
run "ui headless" 1 ui
expect_err "ui headless" "scripts/screenshots.sh"
(unset QVN_HEADLESS DISPLAY QVN_DISPLAY && QVN_WINEPREFIX=$work/desktop-prefix run "ui without display" 1 ui &&
  [ "$err" = "qvnnaphost ui: no display to show the dialog on (DISPLAY is not set); scripts/screenshots.sh shows the dialogs on a virtual screen" ] &&
  [ ! -e "$work/desktop-prefix" ]) || fail "ui without display: '$err'"
timeout 120 "$root/scripts/screenshots.sh" --check >"$work/out" 2>&1 ||
  fail "scripts/screenshots.sh --check: $(cat "$work/out")"

# Start from no registration and no stored settings.
"$host" unregister >/dev/null 2>&1
"$root/scripts/wine-run" reg delete \
  'HKLM\Software\Quorvane\ZARUZARA\Settings' /f >/dev/null 2>&1

run "help" 0 --help
expect_out "help" "Usage: qvnnaphost <command>"
run "help of a command" 0 show --json --help
expect_out "help of a command" "Usage: qvnnaphost show [--json] [--out-of-process]"
run "no arguments" 1
[ "$err" = "qvnnaphost: no command given (see --help)" ] && [ -z "$out" ] || fail "no arguments: '$err' '$out'"
run "unknown command" 1 frobnicate
expect_err "unknown command" "unknown command"

run "show unregistered" 1 show
expect_err "show unregistered" "not registered (REGDB_E_CLASSNOTREG)"
run "check unregistered" 1 check
expect_out "check unregistered" "FAIL  HKCR\\CLSID\\{0C5C9CEC-1FF7-42e3-AC8F-4D9BAE296C5D}: missing"
expect_err "check unregistered" "problems found"
# Every argument is checked before the component is asked for anything.
run "set out of range unregistered" 1 set --timeout 4294967296
[ "$err" = "qvnnaphost set: timeout: must be at most 4294967295, is 4294967296" ] ||
  fail "set out of range unregistered: '$err'"
run "register not a DLL" 1 register --dll "$0"
expect_err "register not a DLL" "cannot load '$0': 0x800700C1 ("
expect_err "register not a DLL" "$(basename "$0")"
if grep -q '%[0-9]' <<<"$err"; then fail "register not a DLL: a placeholder is left in: $err"; fi

run "register" 0 register
expect_out "register" "registered "
# Use out of process (below) needs what Wine lacks; check fails on that alone.
run "check registered" 1 check
expect_out "check registered" "ok    ThreadingModel: 'Neutral'"
expect_out "check registered" "ok    Elevation\\Enabled: 1"
expect_out "check registered" "ok    DllSurrogate: ''"
expect_out "check registered" "FAIL  COM surrogate: cannot start the component: 0x80070002"
expect_out "check registered" "FAIL  proxy/stub of INapComponentConfig: not registered"
[ "$err" = "qvnnaphost check: 2 problems found" ] || fail "check registered: '$err'"

run "show defaults" 0 show
[ "$out" = $'server:     unspecified\nport:       2193\ntimeout:    10000\ncache-time: 180\nenabled:    yes' ] ||
  fail "show defaults: $out"
settings_are "defaults" '{"server": "unspecified", "port": 2193, "timeout": 10000, "cacheTime": 180, "enabled": true}'

run "set" 0 set --server upd.example.com --port=00000000080 --cache-time 0 --timeout 30000
expect_out "set" "server:     upd.example.com"
expect_out "set" "port:       80"
expect_out "set" "cache-time: 0"
expect_out "set" "timeout:    30000"

# Refusals of set, each with its whole line.
astral=$(printf '\xf0\x9f\x98\x80%.0s' $(seq 150))
while IFS='|' read -r args message; do
  # shellcheck disable=SC2086
  run "set $args" 1 set $args
  [ "$err" = "qvnnaphost set: $message" ] || fail "set $args: '$err', expected '$message'"
done <<'CASES'
--port 0|port: must be 1 to 65535 while validation is enabled, is 0
--port 65536|port: must be at most 65535, is 65536
--port １２３|port: expected an unsigned number (ASCII digits 0-9), got '１２３'
--cache-time ²|cache-time: expected an unsigned number (ASCII digits 0-9), got '²'
--enabled maybe|enabled: expected yes or no, got 'maybe'
--colour red|unknown argument '--colour' (see --help)
--server --port 80|--server needs a value, got the option '--port'
--port|--port needs a value
CASES
run "set blank server" 1 set --server "   "
expect_err "set blank server" "server: must not be empty or blank while validation is enabled"
run "set long server" 1 set --server "$astral"
expect_err "set long server" "server: at most 255 UTF-16 units (a character outside the BMP takes two), is 300"
run "set nothing" 1 set
long=$(head -c 32800 /dev/zero | tr '\0' x)
run "set beyond the command line's limit" 1 set --server "$long"
expect_err "set beyond the command line's limit" "qvnnaphost: the command line is too long for Windows: "
settings_are "unchanged after refusals" \
  '{"server": "upd.example.com", "port": 80, "timeout": 30000, "cacheTime": 0, "enabled": true}'

run "export" 0 export saved.bin
[ "$out" = "exported 532 bytes to saved.bin" ] || fail "export: $out"
[ "$(stat -c %s saved.bin)" = 532 ] || fail "export wrote $(stat -c %s saved.bin) bytes"
[ -z "$(find . -name '*.tmp')" ] || fail "export left $(find . -name '*.tmp')"
run "disable" 0 set --enabled no --server "" --port 0
expect_out "disable" "enabled:    no"
run "import" 0 import saved.bin
expect_out "import" "server:     upd.example.com"
expect_out "import" "enabled:    yes"

# Export that cannot write says why, and leaves the file as it was and nothing beside it.
run "export to /dev/full" 1 export /dev/full
expect_err "export to /dev/full" "cannot write '/dev/full': writing failed: 0x80070070"
[ -c /dev/full ] || fail "export replaced the device /dev/full"
# Output that cannot be written fails the command, with one line. Wine's cmd hands the
# program /dev/full itself, which the wrapper would not: it passes the output on.
timeout 60 "$wine_run" cmd /c "Z:${build//\//\\}\\bin\\qvnnaphost.exe show >Z:\\dev\\full" >"$work/out" 2>"$work/err"
status=$?
[ "$status" -eq 1 ] && [ "$(wc -l <"$work/err")" -eq 1 ] &&
  grep -q "^qvnnaphost: cannot write to standard output: " "$work/err" ||
  fail "show to /dev/full: status $status, stderr '$(cat "$work/err")'"
mkdir folder.bin
run "export over a folder" 1 export folder.bin
expect_err "export over a folder" "cannot write 'folder.bin': replacing it failed"
run "import a folder" 1 import folder.bin
expect_err "import a folder" "cannot open 'folder.bin': it is a folder"
cp saved.bin read-only.bin && chmod a-w read-only.bin
run "export over a read-only file" 1 export read-only.bin
expect_err "export over a read-only file" "cannot write 'read-only.bin': replacing it (read-only) failed: 0x80070005"
cmp -s saved.bin read-only.bin || fail "export replaced a read-only file"
if mkdir -p "$full_disk" && mount -t tmpfs -o size=64k tmpfs "$full_disk" 2>/dev/null; then
  echo "kept" >"$full_disk/kept.bin"
  dd if=/dev/zero of="$full_disk/filler" bs=4k status=none 2>/dev/null
  run "export to a full disk" 1 export "$full_disk/kept.bin"
  expect_err "export to a full disk" "writing failed: 0x80070070"
  [ "$(cat "$full_disk/kept.bin")" = kept ] || fail "export to a full disk changed the file"
  [ "$(ls "$full_disk")" = $'filler\nkept.bin' ] || fail "export to a full disk left $(ls "$full_disk")"
else
  echo "note: no tmpfs could be mounted; the full-disk case is left out"
fi
[ -z "$(find . -name '*.tmp')" ] || fail "a failed export left $(find . -name '*.tmp')"

# Blobs that are not the tool's, or hold what the dialog refuses.
head -c 531 saved.bin >short.bin
run "import short" 1 import short.bin
expect_err "import short" "531 bytes, expected 532"
{ printf '\002\000\000\000'; tail -c 528 saved.bin; } >v2.bin
run "import version 2" 1 import v2.bin
expect_err "import version 2" "version 2, expected 1"
run "import missing" 1 import missing.bin
expect_err "import missing" "cannot open 'missing.bin'"
cp saved.bin port.bin && patch port.bin 516 70110100 && patch port.bin 528 07000000 && patch port.bin 4 61000a00
run "import a refused port" 1 import port.bin
[ "$err" = "qvnnaphost import: 'port.bin' holds settings the dialog refuses: enabled: must be 0 or 1, is 7; server: must not hold control characters (U+0000 to U+001F, U+007F), is 'a\nd.example.com'; port: must be at most 65535, is 70000 (--force imports them all the same)" ] ||
  fail "import a refused port: '$err'"
settings_are "unchanged after bad imports" \
  '{"server": "upd.example.com", "port": 80, "timeout": 30000, "cacheTime": 0, "enabled": true}'
# Forced, the refused blob is stored and shown as it is, one line a field; set then
# names every stored value it refuses and their mends.
run "import --force" 0 import --force port.bin
[ "$out" = "server:     a\nd.example.com (invalid: must not hold control characters (U+0000 to U+001F, U+007F))
port:       70000 (invalid: must be at most 65535)
timeout:    30000
cache-time: 0
enabled:    7 (invalid: must be 0 or 1)" ] || fail "import --force: $out"
settings_are "invalid as stored" '{"server": "a\nd.example.com", "port": 70000, "timeout": 30000, "cacheTime": 0, "enabled": 7, "invalid": {"enabled": "must be 0 or 1", "server": "must not hold control characters (U+0000 to U+001F, U+007F)", "port": "must be at most 65535"}}'
run "set over a refused stored value" 1 set --cache-time 5 --server=ok.example
[ "$err" = "qvnnaphost set: enabled: the stored value is invalid (must be 0 or 1, is 7), give --enabled too; port: the stored value is invalid (must be at most 65535, is 70000), give --port too" ] ||
  fail "set over a refused stored value: '$err'"

# Out of process: the component in the system's COM surrogate, as a console without
# administrator rights uses it. Under Wine that takes two things Windows has by itself:
# with DllSurrogate empty Wine 8 starts the 32-bit surrogate, which needs 32-bit Wine,
# so the AppID names the 64-bit one; and Wine has no proxy/stub of INapComponentConfig,
# so the tests' own is registered.
run "import before out of process" 0 import saved.bin
end_surrogates
run "show out of process, Wine's 32-bit surrogate" 1 show --out-of-process
expect_err "show out of process, Wine's 32-bit surrogate" "out of process (CoCreateInstance): 0x80070002"
expect_err "show out of process, Wine's 32-bit surrogate" "; the COM surrogate cannot start it; proxy/stub of INapComponentConfig: not registered"
"$wine_run" reg add "$appid" /v DllSurrogate /d 'C:\windows\system32\dllhost.exe' /f >/dev/null ||
  fail "cannot set DllSurrogate"
run "show out of process without a proxy/stub" 1 show --out-of-process
expect_err "show out of process without a proxy/stub" "(CoCreateInstance): 0x80004002"
if grep -q "surrogate cannot" <<<"$err"; then fail "the surrogate is blamed: $err"; fi
expect_err "show out of process without a proxy/stub" "; proxy/stub of INapComponentConfig: not registered"
end_surrogates
"$wine_run" regsvr32 /s "$proxy" || fail "cannot register the tests' proxy $proxy"

run "show out of process" 0 show --out-of-process --json
[ "$out" = '{"server": "upd.example.com", "port": 80, "timeout": 30000, "cacheTime": 0, "enabled": true}' ] ||
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
expect_out "import out of process" "port:       80"
expect_out "import out of process" "cache-time: 0"
run "out of process twice" 1 show --out-of-process --out-of-process
expect_err "out of process twice" "--out-of-process given twice"
# One object, so one surrogate, for each command, the set with its three calls included.
started=$(surrogates | wc -l)
[ "$started" -eq 4 ] || fail "4 commands out of process started $started surrogates"
# With the AppID changed for Wine, check names that change alone.
run "check with a surrogate and a proxy/stub" 1 check
expect_out "check with a surrogate and a proxy/stub" "ok    COM surrogate: starts the component"
expect_out "check with a surrogate and a proxy/stub" "ok    proxy/stub of INapComponentConfig: $proxy"
expect_out "check with a surrogate and a proxy/stub" "FAIL  DllSurrogate: is 'C:\\windows\\system32\\dllhost.exe'"
expect_err "check with a surrogate and a proxy/stub" "1 problem found"
end_surrogates


# The registered DLL deleted: creating the object is what fails, and check says why.
mkdir copy && cp "${QVN_BUILD_DIR:-$root/build}/bin/qvnnapcfg64.dll" copy/
run "register a copy" 0 register --dll copy/qvnnapcfg64.dll
rm copy/qvnnapcfg64.dll
run "show without the DLL" 1 show
expect_err "show without the DLL" "cannot create the component (CoCreateInstance): "
expect_err "show without the DLL" "; 'qvnnaphost check' diagnoses the installation"

run "unregister" 0 unregister --dll "${QVN_BUILD_DIR:-$root/build}/bin/qvnnapcfg64.dll"
run "show after unregister" 1 show
expect_err "show after unregister" "REGDB_E_CLASSNOTREG"

# The main job: progress on standard error, the settings alone on standard output, and
# the build's own words when it fails.
QVN_BUILD_FOR_TESTING=true "$root/scripts/run.sh" --json >run.out 2>run.err ||
  fail "scripts/run.sh --json failed: $(cat run.err)"
python3 -m json.tool run.out >/dev/null 2>&1 || fail "scripts/run.sh --json printed more than JSON: $(cat run.out)"
grep -q "^registered " run.err || fail "scripts/run.sh did not say it registered: $(cat run.err)"
printf '#!/bin/sh\necho "broken.cpp:1: error: expected unqualified-id"\nexit 1\n' >broken-build
chmod +x broken-build
if QVN_BUILD_FOR_TESTING=$work/broken-build "$root/scripts/run.sh" >run.out 2>run.err; then
  fail "scripts/run.sh succeeded with a failing build"
fi
grep -q "broken.cpp:1: error: expected unqualified-id" run.err || fail "the build's output is not shown: $(cat run.err)"
[ ! -s run.out ] || fail "scripts/run.sh printed settings after a failed build: $(cat run.out)"
QVN_BUILD_FOR_TESTING=$work/broken-build "$root/scripts/run.sh" --help >run.out 2>run.err &&
  grep -q "^  scripts/run.sh \[--json\]" run.out && [ ! -s run.err ] ||
  fail "scripts/run.sh --help: $(cat run.out run.err)"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "host tool: all checks passed"
