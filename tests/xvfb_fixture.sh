#!/usr/bin/env bash
# xvfb_fixture.sh start|stop DIR: the private X server that the end-to-end
# tests share. start leaves it running and writes its display and PID to DIR;
# stop ends it.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib/x11.sh"

action=${1:-}
dir=${2:-}
[ -n "$dir" ] || { echo "usage: $0 start|stop DIR" >&2; exit 2; }

case "$action" in
start)
    mkdir -p "$dir"
    [ ! -f "$dir/pid" ] || stop_pid "$(cat "$dir/pid")"
    start_xvfb "$dir/xvfb.log"
    echo "$XVFB_PID" >"$dir/pid"
    echo "$DISPLAY" >"$dir/display"
    echo "Xvfb $XVFB_PID on $DISPLAY"
    ;;
stop)
    [ -f "$dir/pid" ] || exit 0
    stop_pid "$(cat "$dir/pid")"
    rm -f "$dir/pid" "$dir/display"
    ;;
*)
    echo "usage: $0 start|stop DIR" >&2
    exit 2
    ;;
esac
