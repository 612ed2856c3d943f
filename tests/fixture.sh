#!/usr/bin/env bash
# fixture.sh start|stop xvfb|desktop|desktop2|wayland|wine DIR [XORG_CONF [NAME]]:
# the private X server that a group of tests shares. xvfb: an 800x600 Xvfb.
# desktop: Xorg with the dummy video driver set up by XORG_CONF, and window
# manager NAME (openbox by default); desktop2 the same with a second monitor
# right of the first. wayland: compositor NAME (mutter by default) on
# Wayland, headless, with Xwayland. wine: the desktop with openbox, Wine
# with a private prefix in DIR, and the Windows package NAME (a zip)
# unpacked into DIR. start leaves it running and writes its kind, name (the
# window manager or compositor; wine), display, authority file and PIDs to
# DIR, and under Wine the library release the package was built against;
# stop ends them.
# Where the desktop cannot start for a user who is not root, start writes the
# reason to DIR/skip and the desktop's cases report themselves skipped.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib/x11.sh"

action=${1:-}
server=${2:-}
dir=${3:-}
name=${5:-}
usage() {
    echo "usage: $0 start|stop xvfb|desktop|desktop2|wayland|wine DIR [XORG_CONF [NAME]]" >&2
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
    rm -f "$dir/pids" "$dir/server" "$dir/name" "$dir/display" "$dir/xauthority" "$dir/skip" \
        "$dir/screen-mm" "$dir/library"
}

case "$action/$server" in
start/xvfb)
    mkdir -p "$dir"
    stop_all
    start_xvfb "$dir/xvfb.log"
    echo "$XVFB_PID" >"$dir/pids"
    ;;
start/desktop | start/desktop2 | start/wine)
    mkdir -p "$dir"
    stop_all
    XORG_PID=
    WM_PID=
    name=${name:-openbox}
    window_manager=$name
    if [ "$server" = wine ]; then
        mkdir "$dir/package"
        unzip -q "$name" -d "$dir/package"
        # The library release the package was built against, from its name.
        basename "$name" | sed -n 's/.*-allegro-\([0-9.]*\)-windows-.*/\1/p' >"$dir/library"
        name=wine
        window_manager=openbox
    fi
    if ! start_desktop "$4" "$dir/xorg.log" "$window_manager" 2>"$dir/error" ||
        { [ "$server" = desktop2 ] && ! add_second_monitor 2>"$dir/error"; }; then
        [ -z "$WM_PID" ] || stop_pid "$WM_PID"
        [ -z "$XORG_PID" ] || stop_pid "$XORG_PID"
        if [ "$(id -u)" -eq 0 ]; then
            cat "$dir/error" >&2
            exit 1
        fi
        echo "no desktop for a user who is not root: $(cat "$dir/error")" >"$dir/skip"
        cat "$dir/skip"
        exit 0
    fi
    printf '%s\n' "$XORG_PID" "$WM_PID" >"$dir/pids"
    if [ "$server" = wine ]; then
        WINEPREFIX=$dir/prefix WINEDEBUG=-all timeout 120 "$(wine_command wine64)" wineboot -i \
            >"$dir/wineboot.log" 2>&1 || { cat "$dir/wineboot.log" >&2; exit 1; }
        # The screen's size in millimetres, which each case gives back.
        xdpyinfo | awk '/dimensions:/ { gsub(/[()]/, "", $4); print $4 }' >"$dir/screen-mm"
    fi
    ;;
start/wayland)
    mkdir -p "$dir"
    stop_all
    name=${name:-mutter}
    start_wayland "$dir" "$name" || { stop_pid "-$WAYLAND_PID"; exit 1; }
    echo "-$WAYLAND_PID" >"$dir/pids"
    echo "$XAUTHORITY" >"$dir/xauthority"
    ;;
stop/xvfb | stop/desktop | stop/desktop2 | stop/wayland | stop/wine)
    stop_all
    exit 0
    ;;
*)
    usage
    ;;
esac
echo "$server" >"$dir/server"
echo "${name:-$server}" >"$dir/name"
echo "$DISPLAY" >"$dir/display"
echo "$server ${name:-} on $DISPLAY, PIDs $(paste -sd ' ' "$dir/pids")"
