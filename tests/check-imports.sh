#!/usr/bin/env bash
# Fails when a binary imports anything but the system DLLs a clean Windows has.
set -euo pipefail
objdump=$1
binary=$2
allowed='^(kernel32|user32|advapi32|ole32|oleaut32|comctl32|msvcrt)\.dll$'
imports=$("$objdump" -p "$binary" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
echo "imports of $(basename "$binary"):" $imports
bad=$(printf '%s\n' $imports | grep -v -E "$allowed" || true)
if [ -n "$bad" ]; then
  echo "not a system DLL:" $bad >&2
  exit 1
fi
[ -n "$imports" ] || { echo "no imports read from $binary" >&2; exit 1; }
