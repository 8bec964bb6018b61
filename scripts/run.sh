#!/usr/bin/env bash
# The main job: build the component and show its settings through the host tool,
# running under Wine in the project's own prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh >/dev/null
exec scripts/wine-run --prefix build/wineprefix build/bin/qvnnaphost.exe "$@"
