#!/usr/bin/env bash
# scripts/package.sh as a release is made: the package's tables (version from the DLL,
# per machine, 64-bit, versioned files, the class registered as data with the installed
# file's path), the archive's contents (stripped programs) and what stays in the output
# folder; then what it refuses to package. The installation tests use the package made
# here.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=msi-test-lib.sh
. "$root/tests/packaging/msi-test-lib.sh"

# An archive of another version, kept for a rollback, must stay.
other_release=$dist/qvnnapcfg64-0.0.0.1.zip
mkdir -p "$dist"
echo "kept for a rollback" >"$other_release"
"$root/scripts/package.sh" --no-build --build-dir "$build" || abort "scripts/package.sh failed"
version=$(dll_version "$bin/qvnnapcfg64.dll")
msi=$dist/qvnnapcfg64.msi
release=qvnnapcfg64-$version
zip=$dist/$release.zip
[ -f "$msi" ] || abort "no $msi"
[ -f "$zip" ] || abort "no $zip"
[ "$(cat "$other_release" 2>/dev/null)" = "kept for a rollback" ] || fail "packaging removed $other_release"
rm -f "$other_release"
[ ! -e "$dist/package-files" ] || fail "packaging left its sources in $dist/package-files"

# table NAME: the table's rows, without the three header lines.
table() { msiinfo export "$msi" "$1" | tr -d '\r' | tail -n +4; }

[ "$(msi_property "$msi" ProductVersion)" = "$version" ] ||
  fail "ProductVersion is '$(msi_property "$msi" ProductVersion)', the DLL's version record says $version"
[ "$(msi_property "$msi" ALLUSERS)" = 1 ] || fail "not a per-machine package (ALLUSERS)"
[ "$(msi_property "$msi" UpgradeCode)" = "$upgrade_code" ] || fail "UpgradeCode is not the template's"
msiinfo suminfo "$msi" | grep -q '^Template: x64;' || fail "not a 64-bit package: $(msiinfo suminfo "$msi" | grep Template)"

[ "$(table File | cut -f3 | LC_ALL=C sort | tr '\n' ' ')" = "INSTALL.txt qvnnapcfg64.dll qvnnaphost.exe " ] ||
  fail "files: $(table File | cut -f3 | tr '\n' ' ')"
# The DLL and the program are versioned files, with the versions of their records.
for pair in "QvnNapCfgDll:qvnnapcfg64.dll" "QvnNapHostExe:qvnnaphost.exe"; do
  expected=$(wine_in "$test_prefix" "$bin/qvnharvest.exe" file-version "$(windows_path "$bin/${pair#*:}")" | tr -d '\r')
  actual=$(table File | awk -F'\t' -v id="${pair%%:*}" '$1 == id { print $5 " " $6 }')
  [ "$actual" = "$expected" ] || fail "${pair#*:}: File table version and language '$actual', its record says '$expected'"
done
[ "$(table MsiFileHash | cut -f1)" = QvnInstallText ] || fail "file hashes of versioned files: $(table MsiFileHash)"
[ "$(table Component | awk -F'\t' '($3 != "INSTALLFOLDER" && $1 != "ComponentQuorvaneFolder") || $4 != 256' | wc -l)" -eq 0 ] ||
  fail "a component that is not 64-bit or not in the installation folder: $(table Component)"
table Directory | grep -q $'^INSTALLFOLDER\tQuorvaneFolder\tqvnnapcfg64$' || fail "installation folder: $(table Directory)"
table Directory | grep -q $'^QuorvaneFolder\tProgramFiles64Folder\tQuorvane$' || fail "Quorvane folder: $(table Directory)"

# The class as data: HKEY_CLASSES_ROOT rows of the DLL's component, its path as the
# installed file's, and no program of the package run to register it.
registry=$(table Registry)
[ "$(wc -l <<<"$registry")" -eq 9 ] || fail "expected 9 registry rows: $registry"
[ "$(awk -F'\t' '$2 != 0 || $6 != "ComponentDll"' <<<"$registry" | wc -l)" -eq 0 ] ||
  fail "registry rows outside HKEY_CLASSES_ROOT or the DLL's component: $registry"
grep -q $'\tCLSID\\\\{0C5C9CEC-1FF7-42e3-AC8F-4D9BAE296C5D}\\\\InprocServer32\t\t\\[#QvnNapCfgDll\\]\t' <<<"$registry" ||
  fail "InprocServer32 does not name the installed file: $registry"
grep -q $'\tLocalizedString\t@\\[#QvnNapCfgDll\\],-100\t' <<<"$registry" || fail "LocalizedString: $registry"
grep -q $'\tEnabled\t#1\t' <<<"$registry" || fail "Elevation\\Enabled is not the number 1: $registry"
if grep -qiF -e "$build" -e "Z:\\" <<<"$registry"; then fail "a registry row names the build tree: $registry"; fi
[ -z "$(table CustomAction)" ] || fail "custom actions: $(table CustomAction)"
if msiinfo tables "$msi" | grep -qx SelfReg; then fail "the package has a SelfReg table"; fi
table InstallExecuteSequence | grep -q $'^RemoveExistingProducts\t\t1401$' ||
  fail "RemoveExistingProducts is not right after InstallValidate: $(table InstallExecuteSequence)"

# The archive: one folder with the package, the DLL, the host tool and the text.
listing=$(unzip -Z1 "$zip" | LC_ALL=C sort | tr '\n' ' ')
expected="$release/ $release/INSTALL.txt $release/qvnnapcfg64.dll $release/qvnnapcfg64.msi $release/qvnnaphost.exe "
[ "$listing" = "$expected" ] || fail "archive holds: $listing"
for pair in "qvnnapcfg64.dll:$bin/qvnnapcfg64.dll" "qvnnaphost.exe:$bin/qvnnaphost.exe" "qvnnapcfg64.msi:$msi"; do
  unzip -p "$zip" "$release/${pair%%:*}" | cmp -s - "${pair#*:}" || fail "${pair%%:*} in the archive differs from ${pair#*:}"
done
# The programs ship stripped; their debug information stays beside the build's copies.
mkdir -p "$build/packaging-tests"
for program in qvnnapcfg64.dll qvnnaphost.exe; do
  unzip -p "$zip" "$release/$program" >"$build/packaging-tests/shipped-$program"
  if x86_64-w64-mingw32-objdump -h "$build/packaging-tests/shipped-$program" | grep -q ' \.debug_'; then
    fail "$program ships with debug sections"
  fi
  x86_64-w64-mingw32-objdump -h "$bin/$program.debug" 2>/dev/null | grep -q ' \.debug_info' ||
    fail "no debug information in $bin/$program.debug"
done
text=$(unzip -p "$zip" "$release/INSTALL.txt")
grep -q "version $version" <<<"$text" || fail "INSTALL.txt does not name version $version"
if grep -q '@VERSION@' <<<"$text"; then fail "INSTALL.txt still holds @VERSION@"; fi
[ "$(grep -cv $'\r$' <<<"$text")" -eq 0 ] || fail "INSTALL.txt has lines without CRLF"
layout=$(tr -d '\r' <<<"$text" | awk 'length($0) > 84 { print "line " NR " is " length($0) " long" }
  /^(=+|-+)$/ && length($0) != length(title) { print "the underline of \"" title "\" is " length($0) " long" }
  { title = $0 }')
[ -z "$layout" ] || fail "INSTALL.txt: $layout"
for topic in 'msiexec /i qvnnapcfg64.msi' 'System32\regsvr32.exe' \
  'HKEY_LOCAL_MACHINE\Software\Quorvane\ZARUZARA\Settings' 'qvnnaphost check'; do
  grep -qF "$topic" <<<"$text" || fail "INSTALL.txt does not mention '$topic'"
done

# Refusals: a DLL or build tree that is not there, a DLL without a version record, and a
# version Windows Installer cannot take; each leaves no output folder behind.
work=$build/packaging-tests/package
rm -rf "$work"
mkdir -p "$work"
for refused in "--dll $work/missing.dll:--dll $work/missing.dll: no such file" \
  "--build-dir $work/missing:--build-dir $work/missing: no such folder"; do
  # shellcheck disable=SC2086
  if "$root/scripts/package.sh" --no-build --build-dir "$build" ${refused%%:*} --out "$work/missing" \
    2>"$work/missing.err"; then
    fail "packaged with ${refused%%:*}"
  fi
  [ "$(cat "$work/missing.err")" = "package: ${refused#*:}" ] || fail "${refused%%:*}: $(cat "$work/missing.err")"
done
if "$root/scripts/package.sh" --no-build --build-dir "$build" --dll "$bin/qvn_no_resources.dll" \
  --out "$work/no-version/out" 2>"$work/no-version.err"; then
  fail "packaged a DLL without a version record"
fi
grep -q 'has no version record' "$work/no-version.err" || fail "no-version refusal: $(cat "$work/no-version.err")"
[ ! -e "$work/no-version" ] || fail "a failed run left $(find "$work/no-version")"
wine_in "$test_prefix" "$bin/qvn_stamp_version.exe" "$(windows_path "$bin/qvnnapcfg64.dll")" \
  "$(windows_path "$work/qvnnapcfg64.dll")" 256.0.0.0 || abort "cannot stamp a version"
if "$root/scripts/package.sh" --no-build --build-dir "$build" --dll "$work/qvnnapcfg64.dll" \
  --out "$work/too-big" 2>"$work/too-big.err"; then
  fail "packaged version 256.0.0.0"
fi
grep -q "outside what Windows Installer takes" "$work/too-big.err" || fail "range refusal: $(cat "$work/too-big.err")"

finish "package"
