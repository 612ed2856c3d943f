# Shared by the scripts (bench, test, survey, package): a private X server,
# and where Wine and the library's releases are. Source it; it only defines.

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

