#!/usr/bin/env bash
# Builds everything and runs every test under Wine on a virtual display.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

source scripts/wine-session.sh
build_targets all

export WINEPREFIX="$root/build/test-prefix"
start_virtual_display
start_wineserver
ctest --preset mingw
