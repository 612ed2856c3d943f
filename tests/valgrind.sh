#!/usr/bin/env bash
# valgrind.sh PROGRAM SUPPRESSIONS XVFB_DIR: the real program under memcheck,
# once through a start-up failure (no X server) and once through a short
# normal run on the private X server of XVFB_DIR ended by Escape. Any error,
# or a definitely lost block not in the suppressions, fails.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib/x11.sh"
case_name=valgrind
program=$1
suppressions=$2
xvfb_dir=$3

start_case

memcheck=(valgrind --error-exitcode=99 --leak-check=full
    --errors-for-leak-kinds=definite --num-callers=30
    --suppressions="$suppressions")

status=0
env -u DISPLAY timeout 120 "${memcheck[@]}" --log-file="$work/failure.log" \
    "$program" >"$work/failure.out" || status=$?
[ "$status" -eq 255 ] ||
    fail "start-up failure: status $status; $(grep -h 'ERROR SUMMARY' "$work/failure.log")"
grep -h 'ERROR SUMMARY' "$work/failure.log" | sed 's/^==[0-9]*== /start-up failure: /'

DISPLAY=$(cat "$xvfb_dir/display")
export DISPLAY
timeout 120 "${memcheck[@]}" --log-file="$work/run.log" \
    "$program" >"$work/run.out" &
program_pid=$!
# Under memcheck the window takes longer to appear.
window=$(program_window 60) || fail "no window under valgrind"
# Frames under memcheck until the first one shows, which takes a while (over
# 10 s on Debian 13), then the end. The window is given the focus first: an
# earlier case can leave none to any window.
wait_for_first_frame "$work/first-frame.png" root 60 ||
    fail "the first frame is wrong under valgrind"
xdotool windowfocus --sync "$window"
press_escape "$window"
status=0
wait "$program_pid" || status=$?
program_pid=
grep -h 'ERROR SUMMARY' "$work/run.log" | sed 's/^==[0-9]*== /normal run: /'
[ "$status" -eq 0 ] || fail "normal run ended with $status"
