#!/usr/bin/env bash
# load.sh CASE PROGRAM PEER PRELOAD XVFB_DIR: the real program under load on
# the private X server of XVFB_DIR, events injected through the PRELOAD
# library (count_flips_inject_events) or sent as real X input.
#   storm  20 000 display events back to back: every line, in order
#   flood  2 000 focus switches and 5 000 other keys: every switch printed
#   soak   60 s drawing with a switch-out/found cycle a second: RSS steady
#          over the second half
set -euo pipefail
source "$(dirname "$0")/../scripts/lib/x11.sh"
source "$(dirname "$0")/../scripts/lib/preload.sh"

case_name=$1
program=$2
peer=$3
library=$4
DISPLAY=$(cat "$5/display")
export DISPLAY

start_case

# wait_for_lines N: waits (60 s at most) until the program has printed N lines.
wait_for_lines() {
    local deadline=$((SECONDS + 60))
    until [ "$(wc -l <"$work/stdout")" -ge "$1" ]; do
        [ "$SECONDS" -lt "$deadline" ] ||
            fail "$(wc -l <"$work/stdout") lines after 60 s, expected $1"
        sleep 0.1
    done
}

end_with_escape() {
    press_escape "$window"
    wait_for_end 0 900 3000
}

rss_kib() {
    awk '/^VmRSS:/ { print $2 }' "/proc/$program_pid/status"
}

start_peer "$peer"
start_preloaded "$library" "$work" "$program"
window=$(program_window) || fail "no program window appeared"
wait_for_first_frame "$work/first-frame.png" || fail "the first frame is wrong"

case "$case_name" in
storm)
    names=(out in lost found)
    lines=("Display Switch Out" "Display Switch In" "Display Lost" "Display Found")
    storm=()
    for ((i = 0; i < 20000; i++)); do
        storm+=("${names[i % 4]}")
    done
    send "${storm[@]}"
    for ((i = 0; i < 20000; i++)); do
        echo "${lines[i % 4]}"
    done >"$work/expected"
    wait_for_lines 20000
    cmp "$work/stdout" "$work/expected" || fail "the lines differ from those sent"
    # The storm ends with a found report: drawing goes on after it.
    before=$(flips "$work")
    sleep 0.5
    after=$(flips "$work")
    drawn=$((${after% *} - ${before% *}))
    [ "$drawn" -ge 10 ] || fail "only $drawn frames in 0.5 s after the last found report"
    end_with_escape
    echo "storm: 20000 events, 20000 lines in order, $drawn frames in 0.5 s after"
    ;;
flood)
    switches=()
    for ((i = 0; i < 1000; i++)); do
        switches+=(windowfocus "$PEER_WINDOW" windowfocus "$window")
    done
    letters=({a..z})
    keys=()
    for ((i = 0; i < 5000; i++)); do
        keys+=("${letters[i % 26]}")
    done
    xdotool windowfocus --sync "$window"
    xdotool "${switches[@]}"
    xdotool key --delay 0 "${keys[@]}"
    echo "Display Switch In" >"$work/expected"
    for ((i = 0; i < 1000; i++)); do
        printf 'Display Switch Out\nDisplay Switch In\n'
    done >>"$work/expected"
    wait_for_lines 2001
    cmp "$work/stdout" "$work/expected" || fail "switches were lost or out of pairs"
    end_with_escape
    echo "flood: 2000 switches, 5000 keys, $(wc -l <"$work/stdout") lines"
    ;;
soak)
    # The growth once the run has settled, over its second half: a driver's
    # one-time buffers come before that (Mesa 26's llvmpipe makes one of
    # 1 MiB 6 to 9 s in), while a leak goes on growing.
    for ((second = 1; second <= 60; second++)); do
        send out found
        sleep 1
        case "$second" in
        5) rss_at_5=$(rss_kib) ;;
        30) rss_at_30=$(rss_kib) ;;
        esac
    done
    rss_at_60=$(rss_kib)
    wait_for_lines 120
    end_with_escape
    growth=$((rss_at_60 - rss_at_30))
    echo "soak: RSS $rss_at_5 KiB at 5 s, $rss_at_30 KiB at 30 s, $rss_at_60 KiB" \
        "at 60 s: $growth KiB over the second half"
    [ "$growth" -lt 32 ] || fail "RSS grew by $growth KiB over the last 30 s, 1 KiB/s or more"
    ;;
*)
    fail "no such case"
    ;;
esac
