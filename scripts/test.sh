#!/usr/bin/env bash
# Builds everything twice, with MinGW-w64 GCC and with clang, lld and llvm-windres (the
# release), warnings as errors, runs every test of both under Wine on a virtual display, builds
# the release again in another folder and compares the bytes, runs clang-tidy, with clang's
# warnings, on every source, and checks the forge's workflows with actionlint; fails when any
# of it fails.
#
# The tests mostly wait on Wine, so the rest is fitted around them: GCC's tests run while
# clang builds, and clang-tidy and the second release build take what the processors have left,
# at the lowest priority. What ran beside the tests reports after them.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

source scripts/wine-session.sh
bash scripts/deps.sh
echo "=== actionlint"
lint_status=0
python3 scripts/lint-workflows.py || lint_status=$?
cmake --preset mingw >/dev/null
nice -n 19 python3 scripts/clang-check.py build >build/clang-check.log 2>&1 &
tidy=$!
session_pids+=("$tidy")
build_targets --preset mingw all

(renice -n 10 "$BASHPID" >/dev/null; build_targets all release) >build/clang-build.log 2>&1 &
clang_build=$!
session_pids+=("$clang_build")

# Both builds' tests share one prefix and one warm wineserver.
export WINEPREFIX="$root/build/test-prefix"
start_virtual_display
start_wineserver
hold_desktop build/tests/pike_tests.exe
status=$lint_status
echo "=== ctest: mingw"
ctest --preset mingw || status=$?

echo "=== the clang build"
clang_status=0
wait "$clang_build" || clang_status=$?
cat build/clang-build.log
[ "$clang_status" = 0 ] || exit "$clang_status"
nice -n 19 bash scripts/reproduce-release.sh "$release_dir" >build/reproduce.log 2>&1 &
reproduce=$!
session_pids+=("$reproduce")
echo "=== ctest: mingw-clang"
ctest --preset mingw-clang || status=$?

echo "=== the release again, in another folder"
wait "$reproduce" || status=$?
cat build/reproduce.log
echo "=== clang-tidy"
wait "$tidy" || status=$?
cat build/clang-check.log
exit "$status"
