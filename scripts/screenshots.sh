#!/usr/bin/env bash
# Captures the settings dialog in its seven languages and its error message box as
# docs/dialog-<language>.png and docs/message-box.png.
#
#   scripts/screenshots.sh [display-number]     (default 87)
#
# Runs a virtual X server (Xvfb) on the given display and Wine in a prefix of its own,
# build/wineprefix-shots, drawing through its X11 driver; the tests' prefix keeps its
# null graphics driver. Installs the packages it needs when run as root. Not part of
# the ordinary test run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

display_number=${1:-87}
prefix=$root/build/wineprefix-shots
program=$root/build/bin/qvnnapcfg_dialog_screenshots.exe
out=$root/docs

packages=(xvfb xauth x11-apps imagemagick fonts-wqy-microhei)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "screenshots: missing packages: ${missing[*]}; run as root to install them" >&2
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
  xdpyinfo -display ":$display_number" >/dev/null 2>&1 && break
  [ -e "/tmp/.X11-unix/X$display_number" ] && break
  sleep 0.1
done

export QVN_DISPLAY=":$display_number"
wine_run() { scripts/wine-run --prefix "$prefix" "$@"; }

# The prefix draws on the screen: no null driver, Wine's own title bars (there is no
# window manager), and Chinese glyphs linked in from WenQuanYi Micro Hei.
wine_run reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f >/dev/null 2>&1 || true
wine_run reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
fontlink='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink'
for face in Tahoma "Tahoma Bold" "MS Shell Dlg" "MS Shell Dlg 2"; do
  wine_run reg add "$fontlink" /v "$face" /t REG_MULTI_SZ /d 'wqy-microhei.ttc,WenQuanYi Micro Hei' /f >/dev/null 2>&1
done
WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
WINEPREFIX=$prefix wineserver -w >/dev/null 2>&1 || true

# The program shows one window at a time and waits for a line before the next.
coproc SHOTS { wine_run "$program" 2>&1; }
captured=0
while IFS= read -r line <&"${SHOTS[0]}"; do
  line=${line%$'\r'}
  case $line in
    SHOW\ *)
      read -r _ name left top right bottom <<<"$line"
      width=$((right - left))
      height=$((bottom - top))
      sleep 0.5 # let the window finish painting
      xwd -root -silent -display ":$display_number" |
        convert xwd:- -crop "${width}x${height}+${left}+${top}" +repage "$out/$name.png"
      echo "screenshots: $out/$name.png (${width}x${height})"
      captured=$((captured + 1))
      echo next >&"${SHOTS[1]}"
      ;;
    DONE) break ;;
    *) echo "screenshots: $line" >&2 ;;
  esac
done
wait "$SHOTS_PID" 2>/dev/null || true
[ "$captured" -eq 8 ] || { echo "screenshots: captured $captured of 8 pictures" >&2; exit 1; }
