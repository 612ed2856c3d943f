# Shared by the scripts (run, bench, test, survey, package): a private X
# server, and checks of what the program shows and prints. Source it; it
# only defines.

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

# stop_pid PID: ends a process started here, or with -PGID a process group,
# and waits (5 s at most) for it.
stop_pid() {
    local pid=$1 deadline=$((SECONDS + 5))
    kill -- "$pid" 2>/dev/null || return 0
    while kill -0 -- "$pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do
        sleep 0.05
    done
    kill -KILL -- "$pid" 2>/dev/null || true
}

# start_peer PEER: maps the helper's own window (10 s at most) and sets
# PEER_PID and PEER_WINDOW. Focus goes to it, so a run starts
# from a known focus whatever came before; a window manager that has just
# seen the screen change (fluxbox) can keep it unviewable a moment.
start_peer() {
    local peer=$1 deadline=$((SECONDS + 10))
    exec {peer_fd}< <(exec "$peer" window)
    PEER_PID=$!
    if ! read -r -t 10 -u "$peer_fd" PEER_WINDOW; then
        echo "the helper's window did not appear" >&2
        return 1
    fi
    until xdotool windowfocus "$PEER_WINDOW" 2>/dev/null; do
        if [ "$SECONDS" -ge "$deadline" ]; then
            echo "the helper's window could not take the focus" >&2
            return 1
        fi
        sleep 0.05
    done
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

# press_escape WINDOW: presses Escape for WINDOW and lets it go. The key-up
# is not addressed to the window: the program ends on the key-down, and its
# window can be gone by then. Where xdotool pressed the key on the server
# (WINDOW had the focus), the key-up leaves no key held for the next run.
press_escape() {
    xdotool keydown --window "$1" Escape keyup Escape
}

# wine_command NAME: Wine's own NAME (wine64, wineserver), where Debian keeps
# it: on the PATH where the wine package is installed, else in
# /usr/lib/wine, where wine64 alone puts it.
wine_command() {
    command -v "$1" || echo "/usr/lib/wine/$1"
}

# allegro_windows_version DIR: the release of the library's Windows release
# in DIR (5.2.2), as its headers say it.
allegro_windows_version() {
    sed -n 's/^#define ALLEGRO_VERSION_STR *"\([0-9.]*\).*/\1/p' "$1/include/allegro5/base.h"
}

# debian_release: this Debian release's codename (bookworm, trixie, forky),
# as the desktops' expectations name releases.
debian_release() {
    (. /etc/os-release && echo "${VERSION_CODENAME:-unknown}")
}

# program_window [SECONDS]: prints the id of the program's window once it is
# mapped, waiting SECONDS (10 by default) at most. The window takes the
# program's name, PROGRAM_NAME (display-loss-test.exe under Wine). A window
# that goes while xdotool walks the tree ends its search with BadWindow
# (Wine makes and drops windows as it starts): the search starts again.
program_window() {
    local deadline=$((SECONDS + ${1:-10})) window=
    while [ -z "$window" ] && [ "$SECONDS" -lt "$deadline" ]; do
        window=$(timeout "$((deadline - SECONDS))" xdotool search --sync --onlyvisible \
            --name "^${PROGRAM_NAME:-display-loss-test}\$" 2>/dev/null | head -n 1) || sleep 0.05
    done
    [ -n "$window" ] && echo "$window"
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
# screenshot (the top-left 800x600 of the screen); prints each point that
# differs and fails if any does.
check_first_frame() {
    local shot=$1 point x y channel expected format=() found wrong=0 i=0
    for point in "${first_frame_points[@]}"; do
        read -r x y _ <<<"$point"
        for channel in r g b; do
            format+=("%[fx:int(255*p{$x,$y}.$channel+0.5)]")
        done
    done
    found=$(convert "$shot" -format "${format[*]}" info:) || return 1
    read -r -a found <<<"$found"
    for point in "${first_frame_points[@]}"; do
        read -r x y expected <<<"$point"
        if [ "${found[i]},${found[i + 1]},${found[i + 2]}" != "$expected" ]; then
            echo "pixel ($x, $y) is ${found[i]},${found[i + 1]},${found[i + 2]}, expected $expected" >&2
            wrong=1
        fi
        i=$((i + 3))
    done
    return "$wrong"
}

# wait_for_first_frame PNG [WINDOW [SECONDS]]: takes screenshots of WINDOW
# (the whole screen by default) into PNG until the first frame is shown
# (SECONDS, 10 by default, at most), then checks it point by point.
wait_for_first_frame() {
    local shot=$1 window=${2:-root} deadline=$((SECONDS + ${3:-10}))
    until import -window "$window" "$shot" && check_first_frame "$shot" 2>/dev/null; do
        if [ "$SECONDS" -ge "$deadline" ]; then
            check_first_frame "$shot"
            return 1
        fi
        sleep 0.1
    done
}
