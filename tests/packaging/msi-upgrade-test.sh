#!/usr/bin/env bash
# Packages over each other in a fresh prefix of its own: a newer package replaces the
# older one (one installation, the newer files), an older one refuses to install over
# it, and of two builds that Windows Installer counts as the same version (it compares
# three fields) the one newer in the fourth field replaces the other, and the older
# refuses. The newer DLLs are the built one with a higher version stamped into its
# version record.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=msi-test-lib.sh
. "$root/tests/packaging/msi-test-lib.sh"

prefix=$build/test-prefix-msi-upgrade
work=$build/packaging-tests/upgrade
old_msi=$dist/qvnnapcfg64.msi
[ -f "$old_msi" ] || abort "no package at $old_msi; the packaging_package test makes it"
old_version=$(dll_version "$bin/qvnnapcfg64.dll")
IFS=. read -r major minor third revision <<<"$old_version"
((third < 65535)) || abort "version $old_version leaves no room for a newer third field"
new_version=$major.$minor.$((third + 1)).$revision
rebuilt_version=$major.$minor.$((third + 1)).$((revision == 65535 ? revision - 1 : revision + 1))
rm -rf "$work"
mkdir -p "$work"

# make_package VERSION: the built DLL stamped with VERSION, packaged into $work/VERSION.
make_package() {
  local dir=$work/$1
  mkdir -p "$dir"
  wine_in "$test_prefix" "$bin/qvn_stamp_version.exe" "$(windows_path "$bin/qvnnapcfg64.dll")" \
    "$(windows_path "$dir/qvnnapcfg64.dll")" "$1" || abort "cannot stamp version $1"
  "$root/scripts/package.sh" --no-build --build-dir "$build" --dll "$dir/qvnnapcfg64.dll" --out "$dir" \
    >"$dir/package.log" 2>&1 || abort "cannot package version $1: $(cat "$dir/package.log")"
  [ "$(msi_property "$dir/qvnnapcfg64.msi" ProductVersion)" = "$1" ] || abort "package $1 has another version"
}
make_package "$new_version"
make_package "$rebuilt_version"
new_msi=$work/$new_version/qvnnapcfg64.msi
rebuilt_msi=$work/$rebuilt_version/qvnnapcfg64.msi

trap 'stop_prefix "$prefix"' EXIT
fresh_prefix "$prefix"
installed_dll="$prefix/drive_c/Program Files/Quorvane/qvnnapcfg64/qvnnapcfg64.dll"

msiexec_in "$prefix" /i "$old_msi" "$work/install-old.log" || abort "msiexec /i of $old_version failed with status $?"
cmp -s "$installed_dll" "$bin/qvnnapcfg64.dll" || fail "the installed DLL is not the built one"

msiexec_in "$prefix" /i "$new_msi" "$work/install-new.log" || abort "msiexec /i of $new_version failed with status $?"
check_installation "$prefix" Installed "--expect-version=$new_version"
cmp -s "$installed_dll" "$work/$new_version/qvnnapcfg64.dll" || fail "the newer package left the older DLL"

if msiexec_in "$prefix" /i "$old_msi" "$work/install-old-again.log"; then
  fail "the older package installed over the newer one"
fi
check_installation "$prefix" Installed "--expect-version=$new_version"

msiexec_in "$prefix" /i "$rebuilt_msi" "$work/install-rebuilt.log" ||
  abort "msiexec /i of $rebuilt_version failed with status $?"
check_installation "$prefix" Installed "--expect-version=$rebuilt_version"
cmp -s "$installed_dll" "$work/$rebuilt_version/qvnnapcfg64.dll" || fail "the rebuilt package left the older DLL"

if msiexec_in "$prefix" /i "$new_msi" "$work/install-new-again.log"; then
  fail "the package of build $new_version installed over the newer build $rebuilt_version"
fi
# Refused by the package's own search for a newer build, not by chance.
grep -aq '^Property(S): QVN_NEWER_BUILD_FOUND = .*qvnnapcfg64\.dll' "$work/install-new-again.log" ||
  fail "build $new_version was refused without finding the newer build; log in $work/install-new-again.log"
check_installation "$prefix" Installed "--expect-version=$rebuilt_version"
cmp -s "$installed_dll" "$work/$rebuilt_version/qvnnapcfg64.dll" || fail "the older build replaced the newer DLL"

msiexec_in "$prefix" /x "$rebuilt_msi" "$work/uninstall.log" || abort "msiexec /x failed with status $?"
check_installation "$prefix" Uninstalled

finish "msi upgrade"
