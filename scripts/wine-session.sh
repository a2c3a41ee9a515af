# Sourced: starts a virtual display with a window manager and a warm wineserver for
# WINEPREFIX, all detached from our pipes, and stops them again on exit.
export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

session_pids=()
stop_wine_session() {
    WINEPREFIX="$WINEPREFIX" wineserver -k >/dev/null 2>&1 || true
    for pid in "${session_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
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

start_wineserver() {
    mkdir -p "$WINEPREFIX"
    wineserver -p >/dev/null 2>&1 </dev/null &
    wine wineboot >/dev/null 2>&1 </dev/null
    wineserver -w >/dev/null 2>&1 </dev/null &  # returns at once when idle; harmless
}
