# Shared by the scripts and the end-to-end tests: a private X server, and
# checks of what the program shows and prints. Source it; it only defines.

# start_xvfb LOG: starts an 800x600x24 Xvfb on a display number it picks
# itself, waits (10 s at most) until it is ready, and sets XVFB_PID and exports
# DISPLAY.
start_xvfb() {
    local log=$1 number
    exec {xvfb_fd}< <(exec Xvfb -displayfd 1 -screen 0 800x600x24 -nolisten tcp 2>"$log")
    XVFB_PID=$!
    if ! read -r -t 10 -u "$xvfb_fd" number; then
        echo "Xvfb did not start within 10 s; see $log" >&2
        return 1
    fi
    export DISPLAY=":$number"
}

# stop_pid PID: ends a process started here and waits (5 s at most) for it.
stop_pid() {
    local pid=$1 deadline=$((SECONDS + 5))
    kill "$pid" 2>/dev/null || return 0
    while kill -0 "$pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do
        sleep 0.05
    done
    kill -KILL "$pid" 2>/dev/null || true
}

# start_peer PEER: maps the helper's own window (10 s at most) and sets
# PEER_PID and PEER_WINDOW. Focus goes to it, so a run starts from a known
# focus whatever came before.
start_peer() {
    local peer=$1
    exec {peer_fd}< <(exec "$peer" window)
    PEER_PID=$!
    if ! read -r -t 10 -u "$peer_fd" PEER_WINDOW; then
        echo "the helper's window did not appear" >&2
        return 1
    fi
    xdotool windowfocus --sync "$PEER_WINDOW"
}

# switch_focus_away_and_back WINDOW OUTPUT: gives the program's window the
# focus, moves it to the helper's window and back, and waits after each step
# for the line the program should print for it.
switch_focus_away_and_back() {
    local window=$1 output=$2
    xdotool windowfocus --sync "$window"
    wait_for_output "$output" $'Display Switch In\n'
    xdotool windowfocus --sync "$PEER_WINDOW"
    wait_for_output "$output" $'Display Switch In\nDisplay Switch Out\n'
    xdotool windowfocus --sync "$window"
    wait_for_output "$output" $'Display Switch In\nDisplay Switch Out\nDisplay Switch In\n'
}

# press_escape WINDOW: sends Escape's key-down to WINDOW. The program ends on
# the key-down, and its window can be gone before a key-up would arrive.
press_escape() {
    xdotool keydown --window "$1" Escape
}

# program_window: prints the id of the program's window once it is mapped,
# waiting 10 s at most.
program_window() {
    timeout 10 xdotool search --sync --onlyvisible --name '^display-loss-test$' | head -n 1
}

# wait_for_output FILE TEXT: waits (10 s at most) until FILE holds exactly TEXT.
wait_for_output() {
    local file=$1 text=$2 deadline=$((SECONDS + 10))
    until cmp -s "$file" <(printf '%s' "$text"); do
        if [ "$SECONDS" -ge "$deadline" ]; then
            echo "waited 10 s for the output to be:" >&2
            printf '%s' "$text" | sed 's/^/  /' >&2
            echo "it is:" >&2
            sed 's/^/  /' "$file" >&2
            return 1
        fi
        sleep 0.05
    done
}

# The first frame: dark red everywhere but the dark green 200x200 square at
# the top left. Each point is "x y expected-rgb".
first_frame_points=(
    "0 0 0,100,0" "199 0 0,100,0" "0 199 0,100,0" "199 199 0,100,0"
    "100 100 0,100,0"
    "200 0 100,0,0" "0 200 100,0,0" "200 200 100,0,0" "199 200 100,0,0"
    "200 199 100,0,0" "400 300 100,0,0" "799 0 100,0,0" "0 599 100,0,0"
    "799 599 100,0,0"
)

# check_first_frame PNG: checks every point of the first frame in a
# screenshot; prints each point that differs and fails if any does.
check_first_frame() {
    local shot=$1 raw x y expected found wrong=0
    raw=$(convert "$shot" -depth 8 rgb:- | od -An -v -tu1 -w3 | tr -s ' ' ',')
    if [ "$(wc -l <<<"$raw")" -ne $((800 * 600)) ]; then
        echo "$shot is not an 800x600 picture" >&2
        return 1
    fi
    mapfile -t pixels <<<"$raw"
    for point in "${first_frame_points[@]}"; do
        read -r x y expected <<<"$point"
        found=${pixels[y * 800 + x]#,}
        if [ "$found" != "$expected" ]; then
            echo "pixel ($x, $y) is $found, expected $expected" >&2
            wrong=1
        fi
    done
    return "$wrong"
}

# wait_for_first_frame PNG: takes screenshots into PNG until the first frame
# is shown (10 s at most), then checks it point by point.
wait_for_first_frame() {
    local shot=$1 deadline=$((SECONDS + 10))
    until import -window root "$shot" && check_first_frame "$shot" 2>/dev/null; do
        if [ "$SECONDS" -ge "$deadline" ]; then
            check_first_frame "$shot"
            return 1
        fi
        sleep 0.1
    done
}

# start_case: for a test case script that sets case_name. Makes its scratch
# folder $work and, on exit, stops what it started ($program_pid, $PEER_PID)
# and removes $work, or keeps it and says where when the case failed.
start_case() {
    work=$(mktemp -d)
    program_pid=
    PEER_PID=
    trap end_case EXIT
}

end_case() {
    local status=$?
    [ -z "$program_pid" ] || stop_pid "$program_pid"
    [ -z "$PEER_PID" ] || stop_pid "$PEER_PID"
    if [ "$status" -eq 0 ]; then
        rm -rf "$work"
    else
        echo "$case_name failed; its screenshot and output are in $work" >&2
    fi
}

fail() {
    echo "$case_name: $*" >&2
    exit 1
}
