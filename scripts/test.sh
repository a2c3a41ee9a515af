#!/usr/bin/env bash
# Builds everything and runs every test under Wine on a virtual display.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

bash scripts/deps.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j "$(nproc)"

export WINEPREFIX="$root/build/test-prefix"
source scripts/wine-session.sh
start_virtual_display
start_wineserver
ctest --preset mingw
