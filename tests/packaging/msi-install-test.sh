#!/usr/bin/env bash
# The package as an administrator uses it, in a fresh prefix of its own: msiexec /i
# /qn; the files, the registry (exactly what regsvr32 writes for the installed file),
# creation through COM, and the host tool from the installed folder; settings stored;
# msiexec /x /qn; then the class and the files are gone and the settings stay. A
# package of a stand-in module carries every value type and keys without values.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=msi-test-lib.sh
. "$root/tests/packaging/msi-test-lib.sh"

prefix=$build/test-prefix-msi
logs=$build/packaging-tests/install
msi=$dist/qvnnapcfg64.msi
[ -f "$msi" ] || abort "no package at $msi; the packaging_package test makes it"
version=$(dll_version "$bin/qvnnapcfg64.dll")
rm -rf "$logs"
mkdir -p "$logs"
trap 'stop_prefix "$prefix"' EXIT
fresh_prefix "$prefix"

msiexec_in "$prefix" /i "$msi" "$logs/install.log" || abort "msiexec /i failed with status $?; log in $logs"
check_installation "$prefix" Installed "--expect-version=$version"

# The host tool, run from the installed folder, finds the installed component.
folder='C:\Program Files\Quorvane\qvnnapcfg64'
host() {
  out=$(wine_in "$prefix" "$folder\\qvnnaphost.exe" "$@" 2>&1 | tr -d '\r')
}
# Wine lacks what use out of process needs (the 64-bit surrogate for an empty
# DllSurrogate, a proxy/stub of INapComponentConfig): those are check's only failures.
host check && fail "qvnnaphost check passed without a surrogate or proxy/stub: $out"
grep -qF "ok    server file (InprocServer32): $folder\\qvnnapcfg64.dll" <<<"$out" || fail "check output: $out"
[ "$(grep '^FAIL' <<<"$out" | cut -d: -f1 | tr '\n' '|')" = "FAIL  COM surrogate|FAIL  proxy/stub of INapComponentConfig|" ] ||
  fail "check failed on more than use out of process: $out"
host show || fail "qvnnaphost show: $out"
grep -qF 'port:       2193' <<<"$out" || fail "show output: $out"
host set --server policy.example.test --port 4000 || fail "qvnnaphost set: $out"
host show --json || fail "qvnnaphost show --json: $out"
grep -qF '"server": "policy.example.test", "port": 4000' <<<"$out" || fail "settings not stored: $out"

# The stand-in module's package, harvested as the component's is: every value type and
# keys without values reach the registry as the module registers them, and go again.
fake=$logs/fake
mkdir -p "$fake/files"
cp "$bin/qvn_fake_registrar.dll" "$fake/files/"
wine_in "$test_prefix" "$bin/qvnharvest.exe" registry "$(windows_path "$fake/files/qvn_fake_registrar.dll")" \
  '[#QvnFakeDll]' "$(windows_path "$fake/registry.wxi")" >/dev/null || abort "cannot harvest the stand-in module"
(cd "$fake/files" && wixl --arch x64 --includedir "$fake" -D Version=1.0.0 -o "$fake/fake.msi" \
  "$root/tests/packaging/fake-registrar.wxs") || abort "cannot build the stand-in module's package"
msiexec_in "$prefix" /i "$fake/fake.msi" "$logs/fake-install.log" || abort "msiexec /i of the stand-in failed with status $?"
check_installation "$prefix" FakeInstalled
msiexec_in "$prefix" /x "$fake/fake.msi" "$logs/fake-uninstall.log" || abort "msiexec /x of the stand-in failed with status $?"
check_installation "$prefix" FakeUninstalled

msiexec_in "$prefix" /x "$msi" "$logs/uninstall.log" || abort "msiexec /x failed with status $?; log in $logs"
check_installation "$prefix" Uninstalled --expect-server=policy.example.test
[ ! -e "$prefix/drive_c/Program Files/Quorvane" ] || fail "$(find "$prefix/drive_c/Program Files/Quorvane") is still there"

finish "msi install and uninstall"
