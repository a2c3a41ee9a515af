#!/usr/bin/env bash
# Builds everything twice, with MinGW-w64 GCC and with clang, lld and llvm-windres (the
# release), warnings as errors, runs every test of both under Wine on a virtual display and
# every test program of GCC's build again at code page 1252 with an 8.3 TEMP, builds the
# release again in another folder and compares the bytes, runs clang-tidy, with clang's
# warnings, on every source, and checks the forge's workflows with actionlint; fails when any
# of it fails, and ends with the time each phase took.
#
# The tests mostly wait on Wine, so the rest is fitted around them: GCC's tests run while clang
# builds, their second run (in a Wine session of its own) beside clang's tests, and clang-tidy
# and the second release build take what the processors have left, at the lowest priority. What
# ran beside the tests reports after them.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
source scripts/wine-session.sh
mkdir -p build
phases="$(mktemp)"
report_phases() {
    echo "=== time of each phase: wall clock, and processor time of its own processes"
    cat "$phases"
    rm -f "$phases"
}
trap 'report_phases; stop_wine_session' EXIT

# timed NAME COMMAND...: runs the command in a subshell and notes its wall-clock and processor
# time (phases run side by side, so one's wall clock includes waiting for the others).
timed() {
    local name=$1 start=${EPOCHREALTIME//[!0-9]/}
    shift
    (
        status=0
        "$@" || status=$?
        end=${EPOCHREALTIME//[!0-9]/}
        times >"$phases.$BASHPID"  # this shell's own, then its children's
        mapfile -t cpu <"$phases.$BASHPID"
        rm -f "$phases.$BASHPID"
        [[ ${cpu[1]} =~ ([0-9]+)m([0-9]+)\.([0-9]+)s\ ([0-9]+)m([0-9]+)\.([0-9]+)s ]]
        ms=$(((BASH_REMATCH[1] + BASH_REMATCH[4]) * 60000 + (10#${BASH_REMATCH[2]} + 10#${BASH_REMATCH[5]}) * 1000 +
              10#${BASH_REMATCH[3]} + 10#${BASH_REMATCH[6]}))
        printf '%-24s %5d.%d s, processor %5d.%d s%s\n' "$name" $(((end - start) / 1000000)) \
            $(((end - start) / 100000 % 10)) $((ms / 1000)) $((ms / 100 % 10)) \
            "$([ "$status" = 0 ] || echo ", failed ($status)")" >>"$phases"
        exit "$status"
    )
}

# keep_failure: after a command, keeps the first failure in status.
status=0
keep_failure() {
    local s=$?
    [ "$status" != 0 ] || status=$s
}

timed install bash scripts/deps.sh
timed actionlint python3 scripts/lint-workflows.py >build/actionlint.log 2>&1 &
lint=$!
session_pids+=("$lint")
timed "configure: mingw" cmake --preset mingw >build/configure-mingw.log 2>&1 &
configure_gcc=$!
timed "configure: mingw-clang" cmake --preset mingw-clang >build/configure-mingw-clang.log 2>&1 ||
    { cat build/configure-mingw-clang.log; exit 1; }
wait "$configure_gcc" || { cat build/configure-mingw.log; exit 1; }
timed clang-tidy nice -n 19 python3 scripts/clang-check.py build >build/clang-check.log 2>&1 &
tidy=$!
session_pids+=("$tidy")

# Two Wine sessions, each with its own prefix, display and desktop, so that the windows of one
# run and those of another take no turns: one for both builds' main runs, one for the second
# run of GCC's test programs, as a forge's Windows runner has them: code page 1252 (Wine takes
# it from the locale, and C.UTF-8 gives it) and TEMP an 8.3 name. The prefixes are made while
# GCC builds.
export WINEPREFIX="$root/build/test-prefix"
prefix_1252="$root/build/test-prefix-1252"
start_virtual_display
display_1252=$DISPLAY
start_virtual_display
trap 'report_phases; WINEPREFIX=$prefix_1252 wineserver -k >/dev/null 2>&1; stop_wine_session' EXIT
wine_environment
boot_prefixes() {
    start_wineserver &&
        WINEPREFIX=$prefix_1252 DISPLAY=$display_1252 start_wineserver &&
        WINEPREFIX=$prefix_1252 use_short_temp
}
timed "wine prefixes" boot_prefixes >build/wine-prefixes.log 2>&1 &
prefixes=$!
timed "build: mingw" cmake --build --preset mingw -j "$(nproc)"

(
    renice -n 10 "$BASHPID" >/dev/null
    timed "build: mingw-clang" cmake --build --preset mingw-clang -j "$(nproc)" &&
        timed "build: release" cmake --build --preset mingw-clang --target release
) >build/clang-build.log 2>&1 &
clang_build=$!
session_pids+=("$clang_build")
wait "$prefixes" || { cat build/wine-prefixes.log; exit 1; }
hold_desktop build/tests/pike_tests.exe
echo "=== ctest: mingw"
timed "ctest: mingw" ctest --preset mingw || keep_failure
# The second run writes its own over it.
cp build/Testing/Temporary/LastTest.log build/ctest-mingw-LastTest.log

# After GCC's main run: the window tests of both keep their list beside the test program.
(
    export WINEPREFIX=$prefix_1252 DISPLAY=$display_1252 PIKE_LOCALE=C.UTF-8 PIKE_EXPECT_ACP=1252 LANG=C.UTF-8 LC_ALL=C.UTF-8
    PIKE_EXPECT_TEMP="$(cat "$prefix_1252/short-temp")"
    export PIKE_EXPECT_TEMP
    hold_desktop build/tests/pike_tests.exe
    echo "TEMP is $PIKE_EXPECT_TEMP"
    timed "ctest: mingw at 1252" ctest --preset mingw -L test-program
) >build/ctest-1252.log 2>&1 &
at_1252=$!
session_pids+=("$at_1252")

echo "=== the clang build"
wait "$clang_build" || { s=$?; cat build/clang-build.log; exit "$s"; }
cat build/clang-build.log
# Compared from a copy: the package test writes the zip again meanwhile.
mkdir -p build/release-built
cp "$release_dir"/Pikerosu.exe "$release_dir"/Pikerosu-*-win64.zip "$release_dir"/SHA256SUMS build/release-built/
timed reproduce nice -n 19 bash scripts/reproduce-release.sh build/release-built >build/reproduce.log 2>&1 &
reproduce=$!
session_pids+=("$reproduce")
echo "=== ctest: mingw-clang"
timed "ctest: mingw-clang" ctest --preset mingw-clang || keep_failure

echo "=== ctest: mingw, every test program again at code page 1252 with an 8.3 TEMP"
wait "$at_1252" || keep_failure
cat build/ctest-1252.log
echo "=== the release again, in another folder"
wait "$reproduce" || keep_failure
cat build/reproduce.log
echo "=== actionlint"
wait "$lint" || keep_failure
cat build/actionlint.log
echo "=== clang-tidy"
wait "$tidy" || keep_failure
cat build/clang-check.log
exit "$status"
