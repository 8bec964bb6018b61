#!/usr/bin/env bash
# Installs what building and testing the component needs on a Debian machine, and the
# packages named as arguments (scripts/check.sh names the quality gate's tools).
# Idempotent: when every package is already present it returns at once without apt.
set -euo pipefail

packages=(
  cmake make ninja-build procps util-linux
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
  wine wine64 fonts-wine
  mingw-w64-tools libwine-dev
  googletest
  wixl msitools zip unzip
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages: ${missing[*]}; run this script as root to install them" >&2
  exit 1
fi
echo "setup: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq || apt-get update
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
