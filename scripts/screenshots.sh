#!/usr/bin/env bash
# Takes the README's pictures of both windows on a virtual display: docs/*.png.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
source scripts/wine-session.sh
bash scripts/deps.sh "${desktop_tools[@]}"
build_targets Pikerosu


export WINEPREFIX="$root/build/screenshot-prefix"
rm -rf "$WINEPREFIX"
unset DISPLAY
start_virtual_display
start_wineserver
seed_user_agent

# The program runs from a copy with the sample list, so the pictures never show a user's own.
work="$(mktemp -d)"
cp "$release_dir/Pikerosu.exe" res/PIKEROSU.DAT "$work/"
wine "$work/Pikerosu.exe" >/dev/null 2>&1 </dev/null &
timeout 60 xdotool search --sync --onlyvisible --name 'ピケロスブラウザ' >/dev/null
sleep 1
mkdir -p docs
# Open the drop-down list so the candidates show too.
xdotool key alt+Down
sleep 0.5
import -window root png:- | convert - -trim +repage docs/main-window.png
xdotool key Escape Tab Tab space
timeout 60 xdotool search --sync --onlyvisible --name 'ブラウザリスト編集' >/dev/null
sleep 1
import -window root png:- | convert - -trim +repage docs/list-editor.png
rm -rf "$work"
echo "Saved docs/main-window.png and docs/list-editor.png"
