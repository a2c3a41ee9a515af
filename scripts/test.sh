#!/usr/bin/env bash
# Builds everything twice, with MinGW-w64 GCC and with clang, lld and llvm-windres (the
# release), runs every test of both under Wine on a virtual display, builds the release again in
# another folder and compares the bytes, then compiles every source with clang's warnings and
# runs clang-tidy; fails when any of it fails.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

source scripts/wine-session.sh
build_targets --preset mingw all
build_targets all release

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
bash scripts/reproduce-release.sh "$release_dir" || status=$?
python3 scripts/clang-check.py build || status=$?
exit "$status"
