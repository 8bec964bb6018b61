#!/usr/bin/env bash
# The main job: set up, build, register the component in the project's Wine prefix
# and show its settings through the host tool, as the management console would.
#
#   scripts/run.sh [--json]
#
# Standard output carries the settings only (as JSON with --json); each step says what
# it does in one line on standard error, and a build that fails shows its output there.
# --help prints this text and does nothing else.
# QVN_BUILD_FOR_TESTING replaces the build step's command (the tests' seam).
set -euo pipefail
cd "$(dirname "$0")/.."
step() { echo "run: $*" >&2; }

# The arguments are checked before anything is built or registered.
for arg in "$@"; do
  case $arg in
  --json) ;;
  -h | --help)
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
    exit 0
    ;;
  *)
    echo "run: unknown argument '$arg' (see --help)" >&2
    exit 1
    ;;
  esac
done

log=$(mktemp)
trap 'rm -f "$log"' EXIT
step "building with scripts/build.sh (the first build takes a few minutes)"
if ! ${QVN_BUILD_FOR_TESTING:-scripts/build.sh} >"$log" 2>&1; then
  cat "$log" >&2
  step "the build failed; its output is above"
  exit 1
fi
step "registering the component in ${QVN_WINEPREFIX:-build/wineprefix}"
scripts/qvnnaphost register >&2
step "its settings, read through COM by the host tool:"
exec scripts/qvnnaphost show "$@"
