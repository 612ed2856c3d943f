#!/usr/bin/env bash
# fixture.sh start|stop wine DIR [XORG_CONF [PACKAGE]]: the private desktop
# scripts/run --windows runs the Windows program on: Xorg with the dummy
# video driver set up by XORG_CONF and openbox, Wine with a private prefix in
# DIR, and the Windows package PACKAGE (a zip) unpacked into DIR. start
# leaves it running and writes its display and PIDs to DIR; stop ends them.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib/x11.sh"

action=${1:-}
server=${2:-}
dir=${3:-}
name=${5:-}
usage() {
    echo "usage: $0 start|stop wine DIR [XORG_CONF [PACKAGE]]" >&2
    exit 2
}
[ -n "$dir" ] || usage

stop_all() {
    local pid
    # Wine's server, and the programs of the prefix with it.
    [ ! -d "$dir/prefix" ] || WINEPREFIX=$dir/prefix timeout 10 "$(wine_command wineserver)" -k || true
    rm -rf "$dir/prefix" "$dir/package"
    [ -f "$dir/pids" ] || return 0
    for pid in $(tac "$dir/pids"); do
        stop_pid "$pid"
    done
    rm -f "$dir/pids" "$dir/display"
}

case "$action/$server" in
start/wine)
    mkdir -p "$dir"
    stop_all
    XORG_PID=
    WM_PID=
    mkdir "$dir/package"
    unzip -q "$name" -d "$dir/package"
    if ! start_desktop "$4" "$dir/xorg.log"; then
        [ -z "$WM_PID" ] || stop_pid "$WM_PID"
        [ -z "$XORG_PID" ] || stop_pid "$XORG_PID"
        exit 1
    fi
    printf '%s\n' "$XORG_PID" "$WM_PID" >"$dir/pids"
    WINEPREFIX=$dir/prefix WINEDEBUG=-all timeout 120 "$(wine_command wine64)" wineboot -i \
        >"$dir/wineboot.log" 2>&1 || { cat "$dir/wineboot.log" >&2; exit 1; }
    ;;
stop/wine)
    stop_all
    exit 0
    ;;
*)
    usage
    ;;
esac
echo "$DISPLAY" >"$dir/display"
echo "$server on $DISPLAY, PIDs $(paste -sd ' ' "$dir/pids")"
