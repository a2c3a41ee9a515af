#!/usr/bin/env bash
# Start-up time of the real program under Wine with list files of several sizes, against
# a window with the same controls and nothing else (the floor here), and the time of the
# list's first drop-down. Median of RUNS starts each.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
source scripts/wine-session.sh
build_targets Pikerosu ControlsWindow StartupTimer
runs="${RUNS:-9}"


export WINEPREFIX="$root/build/bench-prefix"
unset DISPLAY
start_virtual_display
start_wineserver
seed_user_agent

work="$(mktemp -d)"
trap 'rm -rf "$work"; stop_wine_session' EXIT
cp build/Pikerosu.exe build/ControlsWindow.exe "$work/"
measure() { wine build/StartupTimer.exe "$runs" "$(winepath -w "$1")" "$2" "${@:3}" 2>/dev/null | tr -d '\r'; }

printf 'Pikerosu.exe: %s bytes (symbols in Pikerosu.debug: %s bytes)\n' \
    "$(stat -c %s build/Pikerosu.exe)" "$(stat -c %s build/Pikerosu.debug)"
floor="$(measure "$work/ControlsWindow.exe" ControlsWindow)"
printf '%-22s %9s %7s %13s\n' "program" "median ms" "x floor" "drop-down ms"
printf '%-22s %9s %7s\n' "same controls" "$floor" "1.00"
for n in 0 1000 10000 100000; do
    python3 - "$n" "$work/PIKEROSU.DAT" <<'PY'
import sys
n, path = int(sys.argv[1]), sys.argv[2]
with open(path, "wb") as f:
    f.write(b"# benchmark list\r\n")
    for i in range(n):
        f.write(b"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/%d.0 Safari/537.36\r\n" % i)
PY
    read -r t drop <<<"$(measure "$work/Pikerosu.exe" 'ピケロスブラウザ' dropdown)"
    printf '%-22s %9s %7s %13s\n' "Pikerosu, $n entries" "$t" "$(python3 -c "print(f'{$t/$floor:.2f}')")" "$drop"
done
