# Sourced by the scripts: builds what they name, starts a virtual display with a window manager
# and a warm wineserver for WINEPREFIX, all detached from our pipes, and stops them again on exit.

session_pids=()
# Runs on exit, also when the build failed before WINEPREFIX was set; keeps the exit status.
stop_wine_session() {
    local status=$?
    if [ -n "${WINEPREFIX:-}" ]; then
        wineserver -k >/dev/null 2>&1 || true
    fi
    for pid in "${session_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    return "$status"
}
trap stop_wine_session EXIT

start_virtual_display() {
    local n
    for n in $(seq 90 140); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 </dev/null &
        session_pids+=($!)
        export DISPLAY=":$n"
        for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
        openbox >/dev/null 2>&1 </dev/null &
        session_pids+=($!)
        sleep 0.5
        return 0
    done
    echo "no free display number" >&2
    return 1
}

# The environment of the session's Wine programs.
wine_environment() {
    # Code page 932 comes from the Unix locale, which deps.sh makes. A shell that looked for a
    # locale before that (glibc opens its locale archive once) cannot take it itself, though
    # every program it starts can; only the programs need it, so the shell's own complaint is
    # left out, once a new process has seen the locale.
    if ! locale -a 2>/dev/null | grep -qix 'ja_JP\.utf-\?8'; then
        echo "the ja_JP.UTF-8 locale is missing: bash scripts/deps.sh makes it" >&2
        return 1
    fi
    export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 2>/dev/null
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
}

start_wineserver() {
    wine_environment || return 1
    mkdir -p "$WINEPREFIX"
    wineserver -p >/dev/null 2>&1 </dev/null &
    if ! wine wineboot >/dev/null 2>&1 </dev/null; then
        echo "wineboot could not set up the prefix $WINEPREFIX" >&2
        return 1
    fi
    wineserver -w >/dev/null 2>&1 </dev/null &  # returns at once when idle; harmless
}

# Gives the prefix's programs a TEMP (and TMP) that is the 8.3 name of a folder with a long name,
# as a forge's Windows runner has (C:\Users\RUNNER~1\AppData\Local\Temp); Wine makes such names
# up as Windows does, and takes TEMP from the prefix's registry, not from the Unix environment.
# The name goes to $WINEPREFIX/short-temp.
use_short_temp() {
    mkdir -p "$WINEPREFIX/drive_c/users/runneradmin/AppData/Local/Temp"
    # Into a file, not a pipe: a Wine program's helpers may keep a pipe open.
    wine cmd /c 'for %I in (C:\users\runneradmin\AppData\Local\Temp) do @echo %~sI' \
        >"$WINEPREFIX/short-temp" 2>/dev/null </dev/null
    local short
    short=$(tr -d '\r\n' <"$WINEPREFIX/short-temp")
    case "$short" in
    *'~'*) ;;
    *) echo "Wine gave no 8.3 name for the TEMP folder: '$short'" >&2; return 1 ;;
    esac
    printf '%s' "$short" >"$WINEPREFIX/short-temp"
    local name
    for name in TEMP TMP; do
        wine reg add 'HKCU\Environment' /v "$name" /t REG_SZ /d "$short" /f >/dev/null 2>&1 </dev/null
    done
}

# Keeps Wine's desktop process for the whole run (it ends a second after its last client, and
# ctest waits for the output pipe it inherited), with its output away from ctest's pipe.
hold_desktop() {
    # Waits until the desktop is there: a test program that came first would start it itself, and
    # its desktop process would hold ctest's output pipe open until ctest's timeout.
    local held="$WINEPREFIX/drive_c/desktop-held"
    rm -f "$held"
    wine "$1" --hold-desktop 'C:\desktop-held' >/dev/null 2>&1 </dev/null &
    session_pids+=($!)
    for _ in $(seq 300); do [ -e "$held" ] && return 0; sleep 0.1; done
    echo "Wine's desktop did not come up in 30 s" >&2
    return 1
}

# The release is built with clang and lld: without GCC's exception helpers replaced, theirs is
# the smaller program, and lld writes the load configuration.
release_dir=build-clang

# build_targets [--preset NAME] TARGET...: the release build unless another is named; deps.sh
# has run.
build_targets() {
    local preset=mingw-clang
    if [ "${1:-}" = --preset ]; then
        preset=$2
        shift 2
    fi
    cmake --preset "$preset" >/dev/null
    # One target at a time: make builds two named at once side by side, and both would build
    # what they share, over each other.
    local target
    for target in "$@"; do
        cmake --build --preset "$preset" -j "$(nproc)" --target "$target"
    done
}

# What the scripts that look at the windows need beside: xdotool to find and drive them,
# ImageMagick's import to take the picture.
desktop_tools=(xdotool imagemagick)

# A typical text at the Windows location, as a fresh demo registry gets it.
seed_user_agent() {
    wine reg add 'HKEY_USERS\.Default\Software\Microsoft\Windows\CurrentVersion\Internet Settings' \
        /v 'User Agent' /t REG_SZ /d 'Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1)' /f >/dev/null 2>&1
}
