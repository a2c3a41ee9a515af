#!/usr/bin/env bash
# Builds everything twice, with MinGW-w64 GCC and with clang, lld and llvm-windres (the
# release), warnings as errors, runs every test of both under Wine on a virtual display, builds
# the release again in another folder and compares the bytes, and runs clang-tidy, with clang's
# warnings, on every source; fails when any of it fails.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

source scripts/wine-session.sh
# clang-tidy needs only the compile commands; it runs from here on at the lowest priority, on
# what the builds and the tests leave of the processors (the tests mostly wait on Wine). So does
# the second release build, once the first is there. Their reports come after the tests'.
bash scripts/deps.sh
cmake --preset mingw >/dev/null
nice -n 19 python3 scripts/clang-check.py build >build/clang-check.log 2>&1 &
tidy=$!
session_pids+=("$tidy")
build_targets --preset mingw all
build_targets all release
nice -n 19 bash scripts/reproduce-release.sh "$release_dir" >build/reproduce.log 2>&1 &
reproduce=$!
session_pids+=("$reproduce")

# Both builds' tests share one prefix and one warm wineserver.
export WINEPREFIX="$root/build/test-prefix"
start_virtual_display
start_wineserver
hold_desktop build/tests/pike_tests.exe
status=0
for preset in mingw mingw-clang; do
    echo "=== ctest: $preset"
    ctest --preset "$preset" || status=$?
done
echo "=== the release again, in another folder"
wait "$reproduce" || status=$?
cat build/reproduce.log
echo "=== clang-tidy"
wait "$tidy" || status=$?
cat build/clang-check.log
exit "$status"
