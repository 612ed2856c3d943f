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

# window_manager NAME: the command that starts window manager NAME as its
# desktop starts it: openbox, fluxbox, xfwm4 (Xfce), kwin (KDE), marco
# (MATE), mutter (GNOME on Xorg), i3 or icewm.
window_manager() {
    case "$1" in
    openbox) echo openbox --sm-disable ;;
    mutter) echo mutter --x11 ;;
    kwin) echo kwin_x11 ;;
    fluxbox | xfwm4 | marco | i3 | icewm) echo "$1" ;;
    *) return 1 ;;
    esac
}

# start_desktop CONF LOG [WM]: starts a desktop as users have one: Xorg with
# the dummy video driver as CONF sets it up (a 1920x1080 screen that offers
# 800x600 too), on a display number it picks itself, and window manager WM
# (openbox by default) with its own settings, in a home folder of its own
# beside LOG and on a session bus of its own, in a process group of its
# own. Waits (10 s at most for each) until both are ready, the window
# manager once it says so on the root window (a window mapped before it
# manages windows can stay unmapped); sets XORG_PID and WM_PID (-GROUP) and
# exports DISPLAY. Xorg is started directly, without the setuid wrapper;
# where it cannot start (not root, say), it fails with the reason from
# Xorg's log.
start_desktop() {
    local conf=$1 log=$2 wm=${3:-openbox} command number deadline
    command=$(window_manager "$wm") || { echo "no such window manager: $wm" >&2; return 1; }
    mkdir -p "$log.d" "$log.home"
    exec {xorg_fd}< <(exec /usr/lib/xorg/Xorg -displayfd 1 -config "$conf" \
        -configdir "$log.d" -logfile "$log" -noreset -nolisten tcp \
        -novtswitch 2>"$log.stderr")
    XORG_PID=$!
    if ! read -r -t 10 -u "$xorg_fd" number; then
        echo "Xorg did not start: $(grep -h -m 1 -E '\(EE\)|Fatal|denied' \
            "$log" "$log.stderr" 2>/dev/null || echo "see $log")" >&2
        return 1
    fi
    export DISPLAY=":$number"
    # i3 asks for its settings in a window of its own where it has none:
    # the user's answer is the defaults, with Alt as the modifier.
    [ "$wm" != i3 ] || install -D -m 644 /etc/i3/config "$log.home/.config/i3/config"
    # Plasma 6's session starts KDE's shortcut daemon beside kwin_x11, whose
    # Alt+Tab and Alt+F4 need it; Debian 12's kwin has it built in.
    local session=()
    # shellcheck disable=SC2016 # the script's words are the inner shell's
    [ "$wm" != kwin ] || session=(sh -c 'for daemon in /usr/lib/*/libexec/kglobalacceld; do
        [ ! -x "$daemon" ] || "$daemon" &
    done; exec "$@"' sh)
    # shellcheck disable=SC2086 # the command is words
    HOME=$log.home XDG_CONFIG_HOME=$log.home/.config setsid dbus-run-session -- \
        "${session[@]}" $command >"$log.wm" 2>&1 &
    WM_PID=-$!
    deadline=$((SECONDS + 10))
    until wm_ready "$wm"; do
        if [ "$SECONDS" -ge "$deadline" ]; then
            echo "$wm did not start within 10 s; see $log.wm" >&2
            return 1
        fi
        sleep 0.05
    done
}

# wm_ready WM: whether the window manager says on the root window that it
# manages windows: openbox by the work area, which it sets last; the others
# by the EWMH check window.
wm_ready() {
    if [ "$1" = openbox ]; then
        xprop -root _NET_WORKAREA 2>/dev/null | grep -q ' = '
    else
        xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'
    fi
}

# screen_mode: the mode the screen shows now, as WIDTHxHEIGHT.
screen_mode() {
    xrandr --current | awk '$2 ~ /\*/ { print $1; exit }'
}

# wait_for_mode MODE [SECONDS]: waits (SECONDS, 10 by default, at most)
# until the screen shows MODE.
wait_for_mode() {
    local deadline=$((SECONDS + ${2:-10}))
    until [ "$(screen_mode)" = "$1" ]; do
        if [ "$SECONDS" -ge "$deadline" ]; then
            echo "the screen stayed at $(screen_mode), expected $1" >&2
            return 1
        fi
        sleep 0.05
    done
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

# wait_for_drawing PNG WINDOW: takes screenshots of WINDOW into PNG until
# it shows the first frame's dark red and its dark green square, whole or in
# part (10 s at most): the program draws, wherever and at whatever size the
# desktop put its window, and whatever of the desktop's covers it.
wait_for_drawing() {
    local shot=$1 window=$2 deadline=$((SECONDS + 10)) colours= green
    until import -window "$window" "$shot" &&
        colours=$(convert "$shot" -format '%c' histogram:info:- | awk '{ print $1, $2 }') &&
        green=$(awk '$2 == "(0,100,0)" { print $1 + 0 }' <<<"$colours") &&
        [ -n "$green" ] && [ "$green" -le 40000 ] && grep -q ' (100,0,0)$' <<<"$colours"; do
        if [ "$SECONDS" -ge "$deadline" ]; then
            echo "the window shows the colours (count: (r,g,b)): $(paste -sd ' ' <<<"$colours")" >&2
            return 1
        fi
        sleep 0.1
    done
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

# start_case: for a test case script that sets case_name. Makes its scratch
# folder $work and, on exit, stops what it started ($program_pid, $PEER_PID,
# $XVFB_PID, the group of $WAYLAND_PID) and removes $work, or keeps it and
# says where when the case failed. With DLT_RECORD set, it first writes the
# program's exit status (none where it did not end by itself) and the lines
# it printed to that file, and what the case measured ($work/facts, "name
# value" lines) and the screen after it ($work/after.png) beside that file,
# with .facts and .png added. With DLT_KEPT set, $work is made there.
start_case() {
    work=$(mktemp -d ${DLT_KEPT:+-p "$DLT_KEPT"})
    program_pid=
    PEER_PID=
    XVFB_PID=
    WAYLAND_PID=
    trap end_case EXIT
}

end_case() {
    local status=$?
    [ -z "$program_pid" ] || stop_pid "$program_pid"
    [ -z "$PEER_PID" ] || stop_pid "$PEER_PID"
    [ -z "$XVFB_PID" ] || stop_pid "$XVFB_PID"
    [ -z "$WAYLAND_PID" ] || stop_pid "-$WAYLAND_PID"
    if [ -n "${DLT_RECORD:-}" ]; then
        echo "status ${ended_status:-none}" >"$DLT_RECORD"
        cat "$work/stdout" >>"$DLT_RECORD" 2>/dev/null || true
        cp "$work/facts" "$DLT_RECORD.facts" 2>/dev/null || true
        cp "$work/after.png" "$DLT_RECORD.png" 2>/dev/null || true
    fi
    if [ "$status" -eq 0 ]; then
        rm -rf "$work"
    else
        echo "$case_name failed; its screenshot and output are in $work" >&2
    fi
}

# wait_for_end STATUS MIN_MS MAX_MS [LINE]: the program ends with STATUS,
# between MIN_MS and MAX_MS after now, and writes nothing to standard error
# but LINE, when given. It fails 1 s past MAX_MS where the program still runs.
wait_for_end() {
    local start deadline
    start=$(date +%s%N)
    deadline=$((start + ($3 + 1000) * 1000000))
    while kill -0 "$program_pid" 2>/dev/null && [ "$(date +%s%N)" -lt "$deadline" ]; do
        sleep 0.01
    done
    ! kill -0 "$program_pid" 2>/dev/null || fail "still running $(($3 + 1000)) ms later, expected to end within $3 ms"
    reap_program
    check_end "$start" "$@"
}

# reap_program: waits for the program, and sets ended_status and ended_ns.
reap_program() {
    ended_status=0
    wait "$program_pid" || ended_status=$?
    program_pid=
    ended_ns=$(date +%s%N)
}

# wait_for_signal_taken PID: waits (5 s at most) until no signal waits for
# PID: two of one kind pending at once would count as one.
wait_for_signal_taken() {
    local deadline=$((SECONDS + 5))
    until grep -q -x 'ShdPnd:[[:space:]]*0*' "/proc/$1/status"; do
        [ "$SECONDS" -lt "$deadline" ] || fail "the first signal was not taken"
        sleep 0.05
    done
}

# check_end START_NS STATUS MIN_MS MAX_MS [LINE]: the end that wait_for_end
# saw, as it checks it, timed from START_NS.
check_end() {
    local start=$1 expected=$2 least=$3 most=$4 error=${5:+$5$'\n'} elapsed
    elapsed=$(((ended_ns - start) / 1000000))
    [ "$ended_status" -eq "$expected" ] || fail "exit status $ended_status after $elapsed ms, expected $expected"
    [ "$elapsed" -ge "$least" ] && [ "$elapsed" -le "$most" ] ||
        fail "ended after $elapsed ms, expected $least to $most ms"
    cmp -s "$work/stderr" <(printf '%s' "$error") ||
        fail "wrote to standard error: '$(cat "$work/stderr")', expected '${5:-}'"
}

# in_gl_driver FRAMES: whether, of the frames that the preload library
# reported (innermost first), the innermost in the program, the library or
# the GL driver is the driver's; system libraries (libc, Xlib) that it
# called, and JIT code, lie below it.
in_gl_driver() {
    local frame
    for frame in $1; do
        case "${frame%%:*}" in
        display-loss-test | liballegro*) return 1 ;;
        libgallium* | *_dri.so | libLLVM* | libGLX_mesa* | libglapi* | libEGL_mesa* | \
            libGLdispatch* | libGLX.so* | libGL.so*) return 0 ;;
        esac
    done
    return 1
}

# wait_for_end_past_driver STATUS MIN_MS MAX_MS: wait_for_end, for a case in
# which another client takes the window or the connection away while the
# program draws, with the preload library reporting to $work/report. Debian
# testing's GL driver (Mesa 26) can crash then, or run away; neither is the
# program's to hide, and neither may make the case flaky. So a death by
# SIGSEGV or SIGBUS passes where the report puts the fault in the driver; a
# run still going at MAX_MS, its drawing thread in the driver, passes where
# the second of two SIGTERMs (Ctrl+C twice) ends it within 1 s. Anything
# else fails. Sets driver_finding to what was met, if either.
wait_for_end_past_driver() {
    local expected=$1 least=$2 most=$3 process start frames deadline
    # None where it has ended already.
    process=$(pgrep -P "$program_pid" || true)
    start=$(date +%s%N)
    driver_finding=
    until [ -z "$process" ] || ! kill -0 "$process" 2>/dev/null ||
        [ "$(date +%s%N)" -ge $((start + most * 1000000)) ]; do
        sleep 0.01
    done
    if [ -n "$process" ] && kill -0 "$process" 2>/dev/null; then
        kill -s USR2 "$process"
        deadline=$((SECONDS + 5))
        until grep -q '^where ' "$work/report"; do
            [ "$SECONDS" -lt "$deadline" ] || fail "still running after $most ms, and no report of where"
            sleep 0.05
        done
        frames=$(sed -n 's/^where //p' "$work/report" | tail -n 1)
        in_gl_driver "$frames" || fail "still running after $most ms, drawing in: $frames"
        kill -s TERM "$process"
        wait_for_signal_taken "$process"
        kill -s TERM "$process"
        wait_for_end 143 0 1000
        driver_finding="ran away inside the GL driver ($frames); the second SIGTERM ended it"
        return
    fi
    reap_program
    if [ "$ended_status" -eq 139 ] || [ "$ended_status" -eq 135 ]; then
        frames=$(sed -n 's/^fault //p' "$work/report")
        in_gl_driver "$frames" ||
            fail "died by SIG$(kill -l "$ended_status") in: ${frames:-(no report)}"
        driver_finding="died by SIG$(kill -l "$ended_status") inside the GL driver ($frames)"
        return
    fi
    check_end "$start" "$expected" "$least" "$most"
}

# wait_for_exit PID SECONDS: waits until process PID has ended (a zombie
# has), at most SECONDS after the program's end that wait_for_end saw.
wait_for_exit() {
    local pid=$1 deadline=$((ended_ns + $2 * 1000000000))
    until [ "$(sed 's/.*) //; s/ .*//' "/proc/$pid/stat" 2>/dev/null || echo Z)" = Z ]; do
        [ "$(date +%s%N)" -lt "$deadline" ] || return 1
        sleep 0.02
    done
}

fail() {
    echo "$case_name: $*" >&2
    exit 1
}
