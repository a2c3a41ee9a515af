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

# shoot NAME TITLE: a picture of the window with that title, with the frame openbox draws around
# it (title bar and border), cropped to it: docs/NAME.png.
shoot() {
    local window
    window=$(timeout 60 xdotool search --sync --onlyvisible --name "$2" | head -n 1) ||
        { echo "The window $2 did not appear." >&2; return 1; }
    sleep 1
    # No dates in the file: a picture taken again of the same window gives the same bytes.
    import -frame -window "$window" -define png:exclude-chunks=date,time "docs/$1.png"
}
mkdir -p docs
shoot main-window 'ピケロスブラウザ'
xdotool key Tab Tab space
shoot list-editor 'ブラウザリスト編集'
rm -rf "$work"
echo "Saved docs/main-window.png and docs/list-editor.png"
