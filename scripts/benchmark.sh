#!/usr/bin/env bash
# Start-up time of the real program under Wine with list files of several sizes, against
# a window with the same controls and nothing else (the floor here), and the time of the
# list's first drop-down. The programs take turns, ROUNDS times RUNS starts each, so that
# the machine's changing load falls on all of them alike; the figures are medians of the
# rounds' medians.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
source scripts/wine-session.sh
bash scripts/deps.sh
build_targets Pikerosu ControlsWindow StartupTimer
runs="${RUNS:-5}"
rounds="${ROUNDS:-7}"
sizes=(0 1000 10000 100000)

export WINEPREFIX="$root/build/bench-prefix"
unset DISPLAY
start_virtual_display
start_wineserver
seed_user_agent

work="$(mktemp -d)"
trap 'rm -rf "$work"; stop_wine_session' EXIT
cp "$release_dir/ControlsWindow.exe" "$work/"
for n in "${sizes[@]}"; do
    mkdir "$work/$n"
    cp "$release_dir/Pikerosu.exe" "$work/$n/"
    python3 - "$n" "$work/$n/PIKEROSU.DAT" <<'PY'
import sys
n, path = int(sys.argv[1]), sys.argv[2]
with open(path, "wb") as f:
    f.write(b"# benchmark list\r\n")
    for i in range(n):
        f.write(b"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/%d.0 Safari/537.36\r\n" % i)
PY
done
measure() { wine "$release_dir/StartupTimer.exe" "$runs" "$(winepath -w "$1")" "$2" "${@:3}" 2>/dev/null | tr -d '\r'; }

for _ in $(seq "$rounds"); do
    echo "floor $(measure "$work/ControlsWindow.exe" ControlsWindow)" >>"$work/times"
    for n in "${sizes[@]}"; do
        echo "$n $(measure "$work/$n/Pikerosu.exe" 'ピケロスブラウザ' dropdown)" >>"$work/times"
    done
done

printf 'Pikerosu.exe: %s bytes (symbols in Pikerosu.debug: %s bytes)\n' \
    "$(stat -c %s "$release_dir/Pikerosu.exe")" "$(stat -c %s "$release_dir/Pikerosu.debug")"
python3 - "$work/times" "$rounds" "$runs" <<'PY'
import statistics, sys
times = {}
for line in open(sys.argv[1]):
    name, *figures = line.split()
    times.setdefault(name, []).append([float(f) for f in figures])
median = lambda name, i: statistics.median(t[i] for t in times[name])
spread = lambda name: f"{min(t[0] for t in times[name]):.0f}-{max(t[0] for t in times[name]):.0f}"
floor = median("floor", 0)
print(f"{sys.argv[2]} rounds of {sys.argv[3]} starts each")
print(f"{'program':<26}{'median ms':>10}{'rounds ms':>12}{'x floor':>9}{'drop-down ms':>14}")
print(f"{'same controls':<26}{floor:>10.1f}{spread('floor'):>12}{1:>9.2f}")
for name in times:
    if name != "floor":
        print(f"{'Pikerosu, ' + name + ' entries':<26}{median(name, 0):>10.1f}{spread(name):>12}"
              f"{median(name, 0) / floor:>9.2f}{median(name, 1):>14.1f}")
PY
