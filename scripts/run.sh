#!/usr/bin/env bash
# Builds the program and starts it under Wine. Without a display it runs on a virtual
# one, saves a picture of the main window (with the frame openbox draws around it) and ends
# the program again.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
source scripts/wine-session.sh
bash scripts/deps.sh "${desktop_tools[@]}"
build_targets Pikerosu

if [ -z "${WINEPREFIX:-}" ]; then
    # A demo registry of our own, seeded once with a typical text at the Windows location.
    export WINEPREFIX="$root/build/demo-prefix"
    [ -d "$WINEPREFIX" ] || seed=yes
fi
if [ -z "${DISPLAY:-}" ]; then
    start_virtual_display
    headless=yes
fi
start_wineserver
if [ "${seed:-}" = yes ]; then
    seed_user_agent
fi

if [ -z "${headless:-}" ]; then
    wine "$release_dir/Pikerosu.exe"
    exit
fi

wine "$release_dir/Pikerosu.exe" >/dev/null 2>&1 </dev/null &
program=$!
if ! window=$(timeout 60 xdotool search --sync --onlyvisible --name 'ピケロスブラウザ' | head -n 1) ||
    [ -z "$window" ]; then
    echo "The main window did not appear." >&2
    exit 1
fi
sleep 1
mkdir -p build/screenshots
shot="$root/build/screenshots/main-window.png"
# -frame: the window manager's frame too, title bar and border, not the whole screen.
import -frame -window "$window" "$shot"
echo "No display here: the program ran on a virtual display. Picture of its window: $shot"
kill "$program" 2>/dev/null || true
