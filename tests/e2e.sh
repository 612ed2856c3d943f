#!/usr/bin/env bash
# e2e.sh CASE PROGRAM PEER XVFB_DIR PRELOAD: runs the real program on the
# private X server of XVFB_DIR and checks what it shows, prints and returns.
# On failure the screenshot and the program's output stay, and are named.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib/x11.sh"

case_name=$1
program=$2
peer=$3
xvfb_dir=$4
preload=${5:-}

start_case

expect_output() {
    cmp -s "$work/stdout" <(printf '%s' "$1") ||
        fail "printed '$(cat "$work/stdout")', expected '$1'"
}

start_program() {
    timeout 30 "$program" "$@" >"$work/stdout" 2>"$work/stderr" &
    program_pid=$!
}

if [ "$case_name" = no-server ]; then
    # No X server at all: the display cannot be created.
    unset DISPLAY
    start_program
    wait_for_end 255 3900 8000
    expect_output $'Could not create display.\n'
    exit 0
fi

if [ "$case_name" = bad-displays ]; then
    long=$(printf 'x%.0s' {1..4096})
    for bad in "" ":99999" "nohost:0" "$long"; do
        DISPLAY=$bad start_program
        wait_for_end 255 3900 6000
        expect_output $'Could not create display.\n'
    done
    exit 0
fi

DISPLAY=$(cat "$xvfb_dir/display")
export DISPLAY
start_peer "$peer"

arguments=()
if [ "$case_name" = arguments ]; then
    long=$(printf 'y%.0s' {1..65536})
    arguments=(--help -x "$long" $'\xff\xfe\xc3\x28' '' $'\n')
    for i in {1..2000}; do arguments+=("argument-$i"); done
fi

if [ "$case_name" = stdout-closed ]; then
    timeout 30 "$program" >&- 2>"$work/stderr" &
    program_pid=$!
elif [ "$case_name" = stdout-broken-pipe ]; then
    # The reader of its standard output is gone before it starts.
    timeout 30 "$program" 2>"$work/stderr" | true &
    program_pid=$!
elif [ "$case_name" = destroyed ]; then
    DLT_REPORT=$work/report LD_PRELOAD=$preload start_program
else
    start_program "${arguments[@]}"
fi
window=$(program_window) || fail "no program window appeared"
wait_for_first_frame "$work/first-frame.png" || fail "the first frame is wrong"

case "$case_name" in
stdout-broken-pipe)
    # Its first line has no reader: SIGPIPE ends it at once (128 + 13).
    xdotool windowfocus --sync "$window"
    wait_for_end 141 0 3000
    ;;
escape | arguments)
    press_escape "$window"
    wait_for_end 0 900 3000
    expect_output ''
    ;;
close)
    "$peer" close "$window"
    wait_for_end 0 900 3000
    expect_output $'User clicked on close.\n'
    ;;
focus)
    switch_focus_away_and_back "$window" "$work/stdout"
    # Switched in but never found again: drawing is still suspended here.
    xdotool key Escape
    wait_for_end 0 900 3000
    ;;
destroyed)
    # Another client destroys the window as it draws: the next frame meets
    # the missing window, and the run ends at once. The helper's window keeps
    # the focus, so no Switch Out stops the drawing before that.
    xdotool windowclose "$window"
    wait_for_end_past_driver 1 0 1000
    expect_output ''
    [ -z "$driver_finding" ] || echo "destroyed: $driver_finding"
    ;;
stdout-closed)
    # Its lines have nowhere to go; it goes on all the same.
    xdotool windowfocus --sync "$window" windowfocus --sync "$PEER_WINDOW" \
        windowfocus --sync "$window"
    xdotool key Escape
    wait_for_end 0 900 3000
    ;;
*)
    fail "no such case"
    ;;
esac
