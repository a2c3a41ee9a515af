#!/usr/bin/env bash
# Builds everything, runs every test under Wine on a virtual display, then compiles every
# source with clang and runs clang-tidy; fails when any of it fails.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

source scripts/wine-session.sh
build_targets all

export WINEPREFIX="$root/build/test-prefix"
start_virtual_display
start_wineserver
status=0
ctest --preset mingw || status=$?
python3 scripts/clang-check.py build || status=$?
exit "$status"
