#!/bin/sh
# Usage: run-at-dpi.sh DPI WINE-RUN PROGRAM [ARGS...]
# Runs a test program in the Wine test prefix with its DPI set to DPI, then sets it back
# to 96. A new process now and then still sees the old DPI, so it is tried up to 3 times;
# the program checks the DPI it got against PIKE_EXPECT_DPI.
set -u
dpi=$1
run=$2
shift 2
key='HKCU\Control Panel\Desktop'
"$run" reg add "$key" /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1 </dev/null
status=1
for try in 1 2 3; do
    if PIKE_EXPECT_DPI=$dpi "$run" "$@"; then
        status=0
        break
    fi
    echo "try $try at $dpi DPI failed" >&2
done
"$run" reg add "$key" /v LogPixels /t REG_DWORD /d 96 /f >/dev/null 2>&1 </dev/null
exit $status
