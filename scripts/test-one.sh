#!/usr/bin/env bash
# Runs the GoogleTest tests that a filter names (gtest's --gtest_filter: 'ListFile.*',
# 'SafeSave.*:ListFile.*', '*Journal*', '-PikeMainTest.*') from one build under Wine, in the
# session the test command uses: its throwaway prefix, a virtual display with a window manager,
# a warm wineserver and Wine's desktop held, all detached from this script's output, so that
# piping it (| tail) does not hang. Builds only the test program it needs.
#
# Usage: bash scripts/test-one.sh FILTER [mingw|mingw-clang]   (mingw, GCC's build, by default)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    sed -n '2,8p' "$0" >&2
    exit 2
fi
filter=$1
preset=${2:-mingw}
case "$preset" in
mingw) dir=build ;;
mingw-clang) dir=build-clang ;;
*) echo "no such build: $preset (mingw or mingw-clang)" >&2; exit 2 ;;
esac

source scripts/wine-session.sh
bash scripts/deps.sh
# The end-to-end tests start the program itself.
case "$filter" in
EndToEnd*) targets=(Pikerosu end_to_end_tests) ;;
*) targets=(pike_tests) ;;
esac
build_targets --preset "$preset" "${targets[@]}" >&2

export WINEPREFIX="$root/build/test-prefix"
start_virtual_display
start_wineserver
hold_desktop "$dir/tests/pike_tests.exe"
status=0
wine "$dir/tests/${targets[-1]}.exe" --gtest_filter="$filter" </dev/null || status=$?
exit "$status"
