#!/usr/bin/env bash
# valgrind.sh PROGRAM SUPPRESSIONS XVFB_DIR: the real program under memcheck,
# once through a start-up failure (no X server) and once through a short
# normal run on the private X server of XVFB_DIR ended by Escape. Any error,
# or a definitely lost block not in the suppressions, fails.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib/x11.sh"
program=$1
suppressions=$2
xvfb_dir=$3

work=$(mktemp -d)
pid=
finish() {
    local status=$?
    [ -z "$pid" ] || stop_pid "$pid"
    if [ "$status" -eq 0 ]; then rm -rf "$work"; else echo "logs are in $work" >&2; fi
}
trap finish EXIT

memcheck=(valgrind --error-exitcode=99 --leak-check=full
    --errors-for-leak-kinds=definite --num-callers=30
    --suppressions="$suppressions")

status=0
env -u DISPLAY timeout 120 "${memcheck[@]}" --log-file="$work/failure.log" \
    "$program" >"$work/failure.out" || status=$?
[ "$status" -eq 255 ] || { grep -E 'ERROR SUMMARY' "$work/failure.log" >&2; exit 1; }
grep -h 'ERROR SUMMARY' "$work/failure.log" | sed 's/^==[0-9]*== /start-up failure: /'

DISPLAY=$(cat "$xvfb_dir/display")
export DISPLAY
timeout 120 "${memcheck[@]}" --log-file="$work/run.log" \
    "$program" >"$work/run.out" &
pid=$!
window=$(timeout 60 xdotool search --sync --onlyvisible --name '^display-loss-test$' | head -n 1)
[ -n "$window" ] || { echo "no window under valgrind" >&2; exit 1; }
# A second's worth of frames under memcheck, then the end.
sleep 1
press_escape "$window"
status=0
wait "$pid" || status=$?
pid=
grep -h 'ERROR SUMMARY' "$work/run.log" | sed 's/^==[0-9]*== /normal run: /'
[ "$status" -eq 0 ] || { echo "normal run ended with $status" >&2; exit 1; }
