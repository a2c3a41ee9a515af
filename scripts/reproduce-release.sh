#!/usr/bin/env bash
# Builds the release from these sources in a folder of its own and compares it byte for byte
# with the one in FOLDER (the zip, SHA256SUMS, and Pikerosu.exe where it is there too): anyone
# can check a release so. Usage: reproduce-release.sh FOLDER
set -euo pipefail
built="$(cd "$1" && pwd)"
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
other="$(mktemp -d)"
trap 'rm -rf "$other"' EXIT
cmake --preset mingw-clang -B "$other" -DBUILD_TESTING=OFF >/dev/null
cmake --build "$other" -j "$(nproc)" --target release >/dev/null
status=0
cd "$built"
files=(Pikerosu-*-win64.zip SHA256SUMS)
[ -e Pikerosu.exe ] && files+=(Pikerosu.exe)
for file in "${files[@]}"; do
    if cmp "$file" "$other"/$file; then
        echo "same bytes: $file"
    else
        status=1
    fi
done
exit "$status"
