#!/usr/bin/env bash
# Installs what the report scripts need besides the build (python3), when it is missing.
set -euo pipefail
command -v python3 >/dev/null && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "report-tools: python3 is missing; run as root to install it" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq || apt-get update
apt-get install -y -qq --no-install-recommends python3 >/dev/null
