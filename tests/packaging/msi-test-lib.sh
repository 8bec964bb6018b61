# shellcheck shell=bash disable=SC2034
# Shared by the package and installation tests (sourced, not run). Expects $root, the
# repository, to be set; QVN_BUILD_DIR may name the build tree.
build=${QVN_BUILD_DIR:-$root/build}
bin=$build/bin
dist=$build/dist

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
# Ends the test with the count of failed checks.
finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
  fi
  echo "$1: all checks passed"
  exit 0
}
# Stops at once: later steps make no sense without this one.
abort() {
  echo "FAIL: $*"
  echo "aborted"
  exit 1
}

# Wine sees the Linux file system as drive Z:.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# wine_in PREFIX PROGRAM ARGS...: runs a Windows program in that (headless) prefix.
wine_in() {
  local prefix=$1
  shift
  "$root/scripts/wine-run" --prefix "$prefix" --headless "$@"
}
# The tests' own prefix, for programs that change nothing in it.
test_prefix=${QVN_WINEPREFIX:-$build/test-prefix}

# The DLL's product version, from its version record.
dll_version() { wine_in "$test_prefix" "$bin/qvnharvest.exe" version "$(windows_path "$1")" | tr -d '\r'; }

# The package's own property, read from its Property table.
msi_property() { msiinfo export "$1" Property | tr -d '\r' | awk -F'\t' -v name="$2" '$1 == name { print $2 }'; }

# A prefix that no earlier run has touched: its server is stopped and the folder made anew.
fresh_prefix() {
  local prefix=$1
  if [ -d "$prefix" ]; then
    WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
    WINEPREFIX=$prefix wineserver -w >/dev/null 2>&1 || true
    rm -rf "$prefix"
  fi
  wine_in "$prefix" cmd /c exit 0 >/dev/null 2>&1 || abort "cannot create the prefix $prefix"
}

# Stops the prefix's server once the test is done with it; the folder stays for a look.
stop_prefix() { WINEPREFIX=$1 wineserver -k >/dev/null 2>&1 || true; }

# msiexec PREFIX ACTION MSI LOG: /i or /x, silently, with a verbose log; returns
# msiexec's status (Windows Installer codes, cut to 8 bits by Unix).
msiexec_in() {
  local prefix=$1 action=$2 msi=$3 log=$4
  wine_in "$prefix" msiexec "$action" "$(windows_path "$msi")" /qn /l*v "$(windows_path "$log")" >/dev/null 2>&1
}

# check_installation PREFIX PHASE ARGS...: runs the installation checks of one phase
# (Installed or Uninstalled) inside the prefix.
check_installation() {
  local prefix=$1 phase=$2
  shift 2
  local output
  if output=$(wine_in "$prefix" "$bin/qvn_install_check.exe" "--gtest_filter=$phase.*" "--upgrade-code=$upgrade_code" \
    "$@" 2>&1) && grep -q '^\[  PASSED  \] [1-9][0-9]* test' <<<"$output"; then
    echo "$phase ($*): $(grep -o '[1-9][0-9]* tests\{0,1\}' <<<"$output" | tail -1) passed"
  else
    fail "$phase checks ($*):"
    echo "$output" | tr -d '\r' | grep -v '^\[ *\(RUN\|OK\) *\]'
  fi
}

# The upgrade code of the package template, which the checks ask Windows Installer about.
upgrade_code=$(sed -n 's/.*<Upgrade Id="\([^"]*\)".*/{\1}/p' "$root/packaging/qvnnapcfg64.wxs")
[ -n "$upgrade_code" ] || abort "no upgrade code in packaging/qvnnapcfg64.wxs"
