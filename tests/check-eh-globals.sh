#!/usr/bin/env bash
# Fails when libstdc++'s own per-thread exception state is linked into a binary whose
# exception engine replaces it (runtime/exceptions.cpp says why that matters). Reads the
# symbol table, which the shipped DLL keeps in its separate debug file.
set -euo pipefail
nm=$1
symbols_file=$2
symbols=$("$nm" "$symbols_file")
grep -q ' T __cxa_get_globals$' <<<"$symbols" || { echo "no __cxa_get_globals in $symbols_file" >&2; exit 1; }
runtime_state=$(grep -E 'get_globalEvE6global|eh_globals' <<<"$symbols" || true)
if [ -n "$runtime_state" ]; then
  echo "libstdc++'s per-thread exception state is linked in:" >&2
  echo "$runtime_state" >&2
  exit 1
fi
echo "$(basename "$symbols_file"): the exception engine's state only"
