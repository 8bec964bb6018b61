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
# scratch keys, so the registration script stays their only source.
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

if [ "$build" -eq 1 ]; then
  "$root/scripts/build.sh"
fi
for tool in wixl zip; do
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
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$out/package-files
rm -rf "$work"
mkdir -p "$work"

# Nothing here changes the prefix: the harvest redirects the registry to scratch keys.
wine_run() { "$root/scripts/wine-run" --prefix "${QVN_WINEPREFIX:-$build_dir/wineprefix}" "$@"; }
# Wine sees the Linux file system as drive Z:.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# The product version, from the DLL's version record. Windows Installer takes major and
# minor up to 255 and the third field up to 65535, and compares the first three only.
version=$(wine_run "$harvest" version "$(windows_path "$dll")" | tr -d '\r')
[[ $version =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)\.([0-9]+)$ ]] || fail "cannot read the version of $dll: '$version'"
major=${BASH_REMATCH[1]} minor=${BASH_REMATCH[2]} third=${BASH_REMATCH[3]}
if ((major > 255 || minor > 255 || third > 65535)); then
  fail "version $version is outside what Windows Installer takes (255.255.65535.x)"
fi
if ((third < 65535)); then
  next_version=$major.$minor.$((third + 1))
elif ((minor < 255)); then
  next_version=$major.$((minor + 1)).0
elif ((major < 255)); then
  next_version=$((major + 1)).0.0
else
  fail "version $version leaves no room for a newer one"
fi

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

msi=$out/qvnnapcfg64.msi
(cd "$staging" && wixl --arch x64 --includedir "$work" -D "Version=$version" -D "NextVersion=$next_version" \
  -o "$msi" "$root/packaging/qvnnapcfg64.wxs")
cp "$msi" "$staging/qvnnapcfg64.msi"

rm -f "$out"/qvnnapcfg64-*.zip
(cd "$work" && zip -q -X -r "$out/$release.zip" "$release")

echo "package: qvnnapcfg64 $version"
echo "package: $msi"
echo "package: $out/$release.zip"
