#!/usr/bin/env bash
# e2e.sh CASE PROGRAM PEER XVFB_DIR: runs the real program on the private X
# server of XVFB_DIR and checks what it shows, prints and returns.
# On failure the screenshot and the program's output stay, and are named.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib/x11.sh"

case_name=$1
program=$2
peer=$3
xvfb_dir=$4

work=$(mktemp -d)
program_pid=
PEER_PID=
finish() {
    local status=$?
    [ -z "$program_pid" ] || stop_pid "$program_pid"
    [ -z "$PEER_PID" ] || stop_pid "$PEER_PID"
    if [ "$status" -eq 0 ]; then
        rm -rf "$work"
    else
        echo "$case_name failed; its screenshot and output are in $work" >&2
    fi
}
trap finish EXIT

fail() {
    echo "$case_name: $*" >&2
    exit 1
}

start_program() {
    timeout 30 "$program" >"$work/stdout" 2>"$work/stderr" &
    program_pid=$!
}

# wait_for_end STATUS MIN_MS MAX_MS: the program ends with STATUS, between
# MIN_MS and MAX_MS after now, and writes nothing to standard error.
wait_for_end() {
    local expected=$1 least=$2 most=$3 start status=0 elapsed
    start=$(date +%s%N)
    wait "$program_pid" || status=$?
    program_pid=
    elapsed=$((($(date +%s%N) - start) / 1000000))
    [ "$status" -eq "$expected" ] || fail "exit status $status, expected $expected"
    [ "$elapsed" -ge "$least" ] && [ "$elapsed" -le "$most" ] ||
        fail "ended after $elapsed ms, expected $least to $most ms"
    [ ! -s "$work/stderr" ] || fail "wrote to standard error: $(cat "$work/stderr")"
}

expect_output() {
    cmp -s "$work/stdout" <(printf '%s' "$1") ||
        fail "printed '$(cat "$work/stdout")', expected '$1'"
}

if [ "$case_name" = no-server ]; then
    # No X server at all: the display cannot be created.
    unset DISPLAY
    start_program
    wait_for_end 255 3900 8000
    expect_output $'Could not create display.\n'
    exit 0
fi

DISPLAY=$(cat "$xvfb_dir/display")
export DISPLAY
start_peer "$peer"

start_program
window=$(program_window)
[ -n "$window" ] || fail "no program window appeared"
wait_for_first_frame "$work/first-frame.png" || fail "the first frame is wrong"

case "$case_name" in
escape)
    xdotool key --window "$window" Escape
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
*)
    fail "no such case"
    ;;
esac
