#!/usr/bin/env bash
# Installs what building with GCC and with LLVM, running under Wine, the clang check and the
# workflow linter (Node.js, and certificates to fetch it) need on Debian 12, and the packages
# named as arguments; quick when all is there.
set -euo pipefail

packages=(cmake make g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64 xvfb xauth
          locales fonts-ipafont-gothic openbox x11-utils googletest python3 clang clang-tidy lld llvm
          nodejs ca-certificates
          "$@")

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q >&2
    apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
fi

# Wine takes its ANSI code page from the Unix locale: 932 from the Japanese one; the tests
# also use a Hindi one, which has no ANSI code page, so Wine gives it UTF-8 (65001).
for wanted in ja_JP hi_IN; do
    if ! locale -a 2>/dev/null | grep -qi "^$wanted\.utf-\?8$"; then
        sed -i "s/^# *\($wanted.UTF-8 UTF-8\)/\1/" /etc/locale.gen
        grep -q "^$wanted.UTF-8 UTF-8" /etc/locale.gen || echo "$wanted.UTF-8 UTF-8" >>/etc/locale.gen
        generate=yes
    fi
done
if [ -n "${generate:-}" ]; then
    locale-gen >&2
fi
