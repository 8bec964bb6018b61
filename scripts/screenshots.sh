#!/usr/bin/env bash
# Captures the settings dialog in its seven languages and its error message box as
# docs/dialog-<language>.png and docs/message-box.png.
#
#   scripts/screenshots.sh [display-number]     (default 87)
#   scripts/screenshots.sh --check
#
# Runs a virtual X server (Xvfb) on the given display and Wine in a prefix of its own,
# build/wineprefix-shots, drawing through its X11 driver; the tests' prefix keeps its
# null graphics driver. Installs the packages it needs when run as root. Not part of
# the ordinary test run.
#
# --check holds the same dialogue with the dialog program, but in a headless prefix
# (QVN_WINEPREFIX, or build/test-prefix), without a screen, packages, a build or
# pictures: every window is shown and answered and the program ends. The test run uses
# it. Each wait has a limit: QVN_SHOTS_LINE_SECONDS for each line of the program (60),
# QVN_SHOTS_SECONDS for the whole program (300).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

check=0
[ "${1:-}" = --check ] && check=1
display_number=${1:-87}
build=${QVN_BUILD_DIR:-$root/build}
program=$build/bin/qvnnapcfg_dialog_screenshots.exe
out=$root/docs
line_seconds=${QVN_SHOTS_LINE_SECONDS:-60}
program_seconds=${QVN_SHOTS_SECONDS:-300}
say() { echo "screenshots: $*" >&2; }

if [ "$check" -eq 1 ]; then
  prefix=${QVN_WINEPREFIX:-$build/test-prefix}
  headless=(--headless)
  [ -f "$program" ] || { say "$program is not built yet: run scripts/build.sh"; exit 1; }
else
  prefix=$build/wineprefix-shots
  headless=()
  wine_run() { scripts/wine-run --prefix "$prefix" "$@"; }
  packages=(xvfb xauth x11-apps imagemagick fonts-wqy-microhei)
  missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
      say "missing packages: ${missing[*]}; run as root to install them"
      exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
      { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; }
  fi

  scripts/build.sh >/dev/null
  mkdir -p "$out"

  # The virtual screen. Its own display number, so other X servers are left alone.
  Xvfb ":$display_number" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  cleanup() {
    WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
    kill "$xvfb_pid" 2>/dev/null || true
  }
  trap cleanup EXIT
  for _ in $(seq 50); do
    [ -e "/tmp/.X11-unix/X$display_number" ] && break
    sleep 0.1
  done
  [ -e "/tmp/.X11-unix/X$display_number" ] || { say "the virtual screen :$display_number did not come up in 5 s"; exit 1; }
  export QVN_DISPLAY=":$display_number"

  # The prefix draws on the screen: no null driver, Wine's own title bars (there is no
  # window manager), and Chinese glyphs linked in from WenQuanYi Micro Hei.
  wine_run reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f >/dev/null 2>&1 || true
  wine_run reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
  fontlink='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink'
  for face in Tahoma "Tahoma Bold" "MS Shell Dlg" "MS Shell Dlg 2"; do
    wine_run reg add "$fontlink" /v "$face" /t REG_MULTI_SZ /d 'wqy-microhei.ttc,WenQuanYi Micro Hei' /f >/dev/null 2>&1
  done
  WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
  WINEPREFIX=$prefix timeout 30 wineserver -w >/dev/null 2>&1 || { say "the prefix's server did not end in 30 s"; exit 1; }
fi

# The program shows one window at a time and waits for a line before the next. Its
# output must reach this script as it is written: a pipe would otherwise get it only
# when the program has ended, and the program waits for an answer first.
# Bash forgets the coprocess's variables once it has ended: keep copies.
coproc SHOTS {
  exec timeout "$program_seconds" scripts/wine-run --prefix "$prefix" "${headless[@]}" --pass-output "$program" 2>&1
}
shots_pid=$SHOTS_PID
exec {from_program}<&"${SHOTS[0]}" {to_program}>&"${SHOTS[1]}"
trap '' PIPE # a program that has gone: its answer is lost, and the wait below says why
shown=0
done=0
while true; do
  if ! IFS= read -r -t "$line_seconds" line <&"$from_program"; then
    kill -TERM "$shots_pid" 2>/dev/null || true
    say "no line from the program for $line_seconds s, or it ended, after $shown windows"
    break
  fi
  line=${line%$'\r'}
  case $line in
  SHOW\ *)
    read -r _ name left top right bottom <<<"$line"
    if [ "$check" -eq 0 ]; then
      width=$((right - left))
      height=$((bottom - top))
      sleep 0.5 # let the window finish painting
      xwd -root -silent -display ":$display_number" |
        convert xwd:- -crop "${width}x${height}+${left}+${top}" +repage "$out/$name.png"
      echo "screenshots: $out/$name.png (${width}x${height})"
    fi
    shown=$((shown + 1))
    echo next >&"$to_program" || true
    ;;
  DONE)
    done=1
    break
    ;;
  *) say "$line" ;;
  esac
done
status=0
wait "$shots_pid" 2>/dev/null || status=$?
[ "$status" -ne 124 ] || say "the program did not end within $program_seconds s"
if [ "$done" -eq 0 ] || [ "$shown" -ne 8 ] || [ "$status" -ne 0 ]; then
  say "the program showed $shown of 8 windows, ended with status $status$([ "$done" -eq 1 ] || echo ', without DONE')"
  exit 1
fi
[ "$check" -eq 1 ] && echo "screenshots: the program showed all 8 windows and ended"
exit 0
