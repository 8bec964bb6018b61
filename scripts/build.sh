#!/usr/bin/env bash
# Installs what is missing, then configures and builds with the mingw preset.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
[ -f build/CMakeCache.txt ] || cmake --preset mingw >/dev/null
cmake --build --preset mingw
