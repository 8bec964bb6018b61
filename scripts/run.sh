#!/usr/bin/env bash
# The main job: set up, build, register the component in the project's Wine prefix
# and show its settings through the host tool, as the management console would.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh >/dev/null
scripts/qvnnaphost register
exec scripts/qvnnaphost show "$@"
