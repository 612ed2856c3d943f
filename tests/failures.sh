#!/usr/bin/env bash
# failures.sh PROGRAM FAULTS_LIBRARY XVFB_DIR: makes each creation call fail
# in turn in the real program on the real library, and checks the line, what
# is released and when, that the pause is asked for, and the exit status.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib/x11.sh"
case_name=startup-failures
program=$1
faults=$2
DISPLAY=$(cat "$3/display")
export DISPLAY

start_case

# call | line written | every traced call, with the bytes written before it
cases=(
    "al_install_system|Could not init Allegro.|al_install_system fails @0"
    "al_install_keyboard|Could not install keyboard.|al_install_system @0;al_install_keyboard fails @0"
    "al_create_display|Could not create display.|al_install_system @0;al_install_keyboard @0;al_create_display fails @0;al_rest(4) @26"
    "al_create_event_queue|Could not create queue.|al_install_system @0;al_install_keyboard @0;al_create_display @0;al_create_event_queue fails @0;al_destroy_display @24;al_rest(4) @24"
    "al_create_timer|Could not create timer.|al_install_system @0;al_install_keyboard @0;al_create_display @0;al_create_event_queue @0;al_create_timer fails @0;al_destroy_display @0;al_destroy_event_queue @0;al_rest(4) @24"
    "al_create_bitmap|Failed to load image.|al_install_system @0;al_install_keyboard @0;al_create_display @0;al_create_event_queue @0;al_create_timer @0;al_create_bitmap fails @0;al_destroy_display @0;al_destroy_timer @0;al_destroy_event_queue @0;al_rest(4) @22"
)
for row in "${cases[@]}"; do
    IFS='|' read -r call line expected_trace <<<"$row"
    rm -f "$work/trace"
    status=0
    DLT_FAIL=$call DLT_TRACE=$work/trace LD_PRELOAD=$faults \
        timeout 20 "$program" >"$work/stdout" 2>"$work/stderr" || status=$?
    found_trace=$(paste -sd ';' "$work/trace")
    [ "$status" -eq 255 ] || fail "$call fails: exit status $status, expected 255"
    cmp -s "$work/stdout" <(printf '%s\n' "$line") ||
        fail "$call fails: printed '$(cat "$work/stdout")', expected '$line'"
    [ "$found_trace" = "$expected_trace" ] ||
        fail "$call fails: calls were '$found_trace', expected '$expected_trace'"
    [ ! -s "$work/stderr" ] || fail "$call fails: standard error: $(cat "$work/stderr")"
    echo "ok: $call fails"
done
