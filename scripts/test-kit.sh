#!/usr/bin/env bash
# Builds the test kit: every GoogleTest program of the suite, with the files it needs at
# run time and a runner, to check a build on a real Windows machine (see
# packaging/test-kit/README-tests.txt).
#
#   scripts/test-kit.sh [--no-build] [--build-dir DIR] [--dll FILE] [--out DIR]
#
# makes DIR/qvnnapcfg64-tests-<version>.zip beside the release archive, which it makes
# first with scripts/package.sh (the same options); the kit's qvnnapcfg64.dll is the
# release archive's, byte for byte. DIR is build/dist unless --out says otherwise.
#
#   --no-build   take the build tree as it is; otherwise scripts/build.sh first
#   --build-dir  the build tree to take the programs from (default ./build)
#   --dll FILE   test this qvnnapcfg64.dll instead of the build tree's
#   --out DIR    where the archives go
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

fail() {
  echo "test-kit: $*" >&2
  exit 1
}

case ${1:-} in
-h | --help)
  sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
  exit 0
  ;;
esac
# The options are scripts/package.sh's; the kit needs only the build tree's name.
build_dir=$root/build
arguments=("$@")
for ((i = 0; i + 1 < ${#arguments[@]}; i++)); do
  if [ "${arguments[i]}" = --build-dir ]; then
    build_dir=${arguments[i + 1]}
  fi
done

# The release archive first (building unless --no-build): the kit tests its DLL.
package_output=$("$root/scripts/package.sh" "$@") || fail "scripts/package.sh failed"
echo "$package_output"
version=$(sed -n 's/^package: qvnnapcfg64 \([0-9.]*\)$/\1/p' <<<"$package_output")
release_zip=$(sed -n 's/^package: \(.*\.zip\)$/\1/p' <<<"$package_output")
if [ -z "$version" ] || [ ! -f "$release_zip" ]; then
  fail "scripts/package.sh named no version or archive"
fi
out=$(dirname "$release_zip")

# What the build lists for the kit (tests/CMakeLists.txt): "program PATH" for each test
# program, "file PATH" for each program or DLL they need beside them.
manifest=$build_dir/test-kit-files.txt
[ -f "$manifest" ] || fail "$manifest is missing; configure and build first (scripts/build.sh)"

kit=qvnnapcfg64-tests-$version
work=$out/test-kit-files
rm -rf "$work"
mkdir -p "$work/$kit"
trap 'rm -rf "$work"' EXIT
while read -r kind path; do
  [ -f "$path" ] || fail "$path is missing; build first (scripts/build.sh)"
  copy=$work/$kit/$(basename "$path")
  cp "$path" "$copy"
  # The test programs carry their debug information, most of their size; the kit
  # needs none of it. The shipped binaries have theirs in a file apart already.
  if x86_64-w64-mingw32-objdump -h "$copy" | grep -q ' \.debug_info '; then
    x86_64-w64-mingw32-strip --strip-debug "$copy"
  fi
  if [ "$kind" = program ]; then
    basename "$path" .exe >>"$work/$kit/programs.txt"
  fi
done <"$manifest"
[ -s "$work/$kit/programs.txt" ] || fail "$manifest lists no test program"
unzip -p "$release_zip" "qvnnapcfg64-$version/qvnnapcfg64.dll" >"$work/$kit/qvnnapcfg64.dll" ||
  fail "no qvnnapcfg64.dll in $release_zip"

# cmd.exe reads its scripts, and Windows users their texts, with CRLF line ends.
sed 's/$/\r/' "$work/$kit/programs.txt" >"$work/$kit/programs.tmp" && mv "$work/$kit/programs.tmp" "$work/$kit/programs.txt"
sed 's/$/\r/' "$root/packaging/test-kit/run-tests.cmd" >"$work/$kit/run-tests.cmd"
sed "s/@VERSION@/$version/; s/\$/\r/" "$root/packaging/test-kit/README-tests.txt" >"$work/$kit/README-tests.txt"

rm -f "$out/$kit.zip"
(cd "$work" && zip -q -X -r "$out/$kit.zip" "$kit")
echo "test-kit: $out/$kit.zip ($(find "$work/$kit" -type f | wc -l) files, $(du -k "$out/$kit.zip" | cut -f1) KiB)"
