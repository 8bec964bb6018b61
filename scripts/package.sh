#!/usr/bin/env bash
# Builds what administrators install: the Windows Installer package and the release
# archive.
#
#   scripts/package.sh [--no-build] [--build-dir DIR] [--dll FILE] [--out DIR]
#
# makes DIR/qvnnapcfg64.msi and DIR/qvnnapcfg64-<version>.zip (the .msi, the DLL, the
# host tool and INSTALL.txt), DIR being build/dist unless --out says otherwise.
#
#   --no-build   take the build tree as it is; otherwise scripts/build.sh first
#                installs what is missing and builds ./build
#   --build-dir  the build tree to take the programs from (default ./build)
#   --dll FILE   package this qvnnapcfg64.dll instead of the build tree's
#   --out DIR    where the .msi and the zip go
#
# The product version is the one in the DLL's version record. The class's registry
# entries are harvested from the DLL's own DllRegisterServer, run under Wine against
# scratch keys, so the registration script stays their only source. Other versions'
# archives in DIR stay; this version's is made anew. The package and the archive are
# made beside DIR's contents and moved in at the end: a run that fails leaves DIR as it
# was, and removes DIR (with the folders above it) when the run created it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

fail() {
  echo "package: $*" >&2
  exit 1
}

build_dir=$root/build
dll=""
out=""
build=1
while [ $# -gt 0 ]; do
  case $1 in
  --no-build) build=0 ;;
  --build-dir | --dll | --out)
    [ $# -ge 2 ] || fail "$1 needs a value"
    case $1 in
    --build-dir) build_dir=$2 ;;
    --dll) dll=$2 ;;
    --out) out=$2 ;;
    esac
    shift
    ;;
  -h | --help)
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
    exit 0
    ;;
  *) fail "unknown argument '$1' (see --help)" ;;
  esac
  shift
done

# What the user named must exist; what the build makes may still be missing.
[ -z "$dll" ] || [ -f "$dll" ] || fail "--dll $dll: no such file"
if [ "$build" -eq 1 ]; then
  "$root/scripts/build.sh"
fi
[ -d "$build_dir" ] || fail "--build-dir $build_dir: no such folder"
for tool in wixl msibuild zip; do
  command -v "$tool" >/dev/null || fail "$tool is missing; run scripts/setup.sh as root"
done

build_dir=$(cd "$build_dir" && pwd)
bin=$build_dir/bin
dll=$(realpath "${dll:-$bin/qvnnapcfg64.dll}")
host=$bin/qvnnaphost.exe
harvest=$bin/qvnharvest.exe
for file in "$dll" "$host" "$harvest"; do
  [ -f "$file" ] || fail "$file is missing; build first (scripts/build.sh)"
done
out=${out:-$build_dir/dist}
# The topmost folder of the output path that is not there yet, if any.
created=""
dir=$out
while [ ! -e "$dir" ]; do
  created=$dir
  dir=$(dirname "$dir")
done
mkdir -p "$out"
out=$(cd "$out" && pwd)
[ -z "$created" ] || created=$(cd "$created" && pwd)
# The package's sources and what is made of them: here, gone when the script ends,
# whatever the outcome, together with the folders the run made if it failed.
work=$out/package-files
rm -rf "$work"
mkdir -p "$work"
clean_up() {
  local status=$? dir=$out
  rm -rf "$work"
  while [ "$status" -ne 0 ] && [ -n "$created" ] && rmdir "$dir" 2>/dev/null && [ "$dir" != "$created" ]; do
    dir=$(dirname "$dir")
  done
}
trap clean_up EXIT

# Nothing here changes the prefix: the harvest redirects the registry to scratch keys.
wine_run() { "$root/scripts/wine-run" --prefix "${QVN_WINEPREFIX:-$build_dir/wineprefix}" "$@"; }
# Wine sees the Linux file system as drive Z:.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# The product version, from the DLL's version record. Windows Installer takes major and
# minor up to 255 and the third field up to 65535, and compares the first three only.
version=$(wine_run "$harvest" version "$(windows_path "$dll")" | tr -d '\r')
[[ $version =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)\.([0-9]+)$ ]] || fail "cannot read the version of $dll: '$version'"
major=${BASH_REMATCH[1]} minor=${BASH_REMATCH[2]} third=${BASH_REMATCH[3]} fourth=${BASH_REMATCH[4]}
if ((major > 255 || minor > 255 || third > 65535)); then
  fail "version $version is outside what Windows Installer takes (255.255.65535.x)"
fi
# The first version that Windows Installer counts as newer (three fields), and the first
# build that is newer in all four fields.
if ((third < 65535)); then
  next_version=$major.$minor.$((third + 1))
elif ((minor < 255)); then
  next_version=$major.$((minor + 1)).0
elif ((major < 255)); then
  next_version=$((major + 1)).0.0
else
  fail "version $version leaves no room for a newer one"
fi
if ((fourth < 65535)); then
  next_build=$major.$minor.$third.$((fourth + 1))
else
  next_build=$next_version.0
fi

# The file versions and languages of the DLL and the program: "VERSION LANGUAGES".
dll_record=$(wine_run "$harvest" file-version "$(windows_path "$dll")" | tr -d '\r')
host_record=$(wine_run "$harvest" file-version "$(windows_path "$host")" | tr -d '\r')
for record in "$dll_record" "$host_record"; do
  [[ $record =~ ^[0-9]+(\.[0-9]+){3}\ [0-9,]*$ ]] || fail "cannot read a version record: '$record'"
done
read -r dll_file_version dll_languages <<<"$dll_record"
read -r host_file_version host_languages <<<"$host_record"

# The class's registry entries, with the module path replaced by the installed file.
wine_run "$harvest" registry "$(windows_path "$dll")" '[#QvnNapCfgDll]' "$(windows_path "$work/registry.wxi")" |
  tr -d '\r' | sed 's/^/package: /'

# The release folder: what the archive holds, and where wixl finds the files.
release=qvnnapcfg64-$version
staging=$work/$release
mkdir -p "$staging"
cp "$dll" "$staging/qvnnapcfg64.dll"
cp "$host" "$staging/qvnnaphost.exe"
# Administrators read the text on Windows: CRLF line ends.
sed "s/@VERSION@/$version/; s/\$/\r/" "$root/packaging/INSTALL.txt" >"$staging/INSTALL.txt"

msi=$work/qvnnapcfg64.msi
(cd "$staging" && wixl --arch x64 --includedir "$work" -D "Version=$version" -D "NextVersion=$next_version" \
  -o "$msi" "$root/packaging/qvnnapcfg64.wxs")

# What wixl cannot write (see packaging/qvnnapcfg64.wxs):
# - the File table's versions and languages, so that Windows Installer treats the DLL
#   and the program as versioned files (a file hash is for unversioned files only);
# - the search for an installed DLL of a newer build, all four fields compared, through
#   the DLL component's location: QVN_NEWER_BUILD_FOUND, which a launch condition tests.
dll_component=$(msiinfo export "$msi" Component | tr -d '\r' | awk -F'\t' '$1 == "ComponentDll" { print $2 }')
[ -n "$dll_component" ] || fail "no component ComponentDll in $msi"
msibuild "$msi" \
  -q "UPDATE \`File\` SET \`Version\` = '$dll_file_version', \`Language\` = '$dll_languages' WHERE \`File\` = 'QvnNapCfgDll'" \
  -q "UPDATE \`File\` SET \`Version\` = '$host_file_version', \`Language\` = '$host_languages' WHERE \`File\` = 'QvnNapHostExe'" \
  -q "DELETE FROM \`MsiFileHash\` WHERE \`File_\` = 'QvnNapCfgDll'" \
  -q "DELETE FROM \`MsiFileHash\` WHERE \`File_\` = 'QvnNapHostExe'" \
  -q "CREATE TABLE \`CompLocator\` (\`Signature_\` CHAR(72) NOT NULL, \`ComponentId\` CHAR(38) NOT NULL, \`Type\` SHORT PRIMARY KEY \`Signature_\`)" \
  -q "INSERT INTO \`CompLocator\` (\`Signature_\`, \`ComponentId\`, \`Type\`) VALUES ('QvnNewerBuild', '$dll_component', 1)" \
  -q "INSERT INTO \`Signature\` (\`Signature\`, \`FileName\`, \`MinVersion\`, \`Languages\`) VALUES ('QvnNewerBuild', 'qvnnapcfg64.dll', '$next_build', '$dll_languages')" \
  -q "INSERT INTO \`AppSearch\` (\`Property\`, \`Signature_\`) VALUES ('QVN_NEWER_BUILD_FOUND', 'QvnNewerBuild')" \
  -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('AppSearch', 50)" \
  -q "INSERT INTO \`InstallUISequence\` (\`Action\`, \`Sequence\`) VALUES ('AppSearch', 50)" ||
  fail "msibuild could not complete $msi"
cp "$msi" "$staging/qvnnapcfg64.msi"

(cd "$work" && zip -q -X -r "$work/$release.zip" "$release")

# Only this version's archive is replaced: those of other versions stay for a rollback.
mv -f "$msi" "$work/$release.zip" "$out/"
echo "package: qvnnapcfg64 $version"
echo "package: $out/qvnnapcfg64.msi"
echo "package: $out/$release.zip"
