#!/usr/bin/env python3
"""The desktops the program is checked on, the cases that check it, and the
Debian and library releases they are checked against, each named here once:
the setup, CTest, the survey and its pages read them from here.

    registry.py packages tests|survey|windows
                                      the Debian packages the desktops need
    registry.py ctest                 CMake: CTest's servers and their cases
"""

import dataclasses
import pathlib
import re
import sys

DEBIAN_RELEASES = ["bookworm", "trixie", "forky"]
# The library's Windows releases that the Wine desktops run against, oldest
# first.
LIBRARY_RELEASES = ["5.1.6", "5.1.13", "5.2.0", "5.2.1", "5.2.2", "5.2.3", "5.2.4", "5.2.5", "5.2.6",
                    "5.2.7", "5.2.8", "5.2.9", "5.2.10", "5.2.11"]

# The survey's cases, in the order of the pages' columns.
CASES = ["picture", "escape", "switch", "focus", "close", "taskkill", "no-driver", "recovery",
         "library-recovery", "INT", "TERM", "TERM-drawing", "HUP", "QUIT", "KILL", "xkill", "two-escape"]
# The program's own duties: they pass on every desktop, or the program is
# at fault, so no desktop may list them. Under Wine the signals are Wine's
# to deliver, and the close request and the start-up failure the program's.
DUTIES = {"escape", "INT", "TERM", "HUP", "QUIT", "KILL", "xkill", "two-escape"}
WINE_DUTIES = {"escape", "close", "taskkill", "no-driver"}

X11_CASES = ("picture", "escape", "switch", "focus", "close", "recovery", "INT", "TERM", "HUP", "QUIT", "KILL",
             "xkill")
WAYLAND_CASES = tuple(case for case in X11_CASES if case != "focus")
WINE_CASES = ("picture", "escape", "switch", "close", "taskkill", "no-driver", "recovery", "library-recovery",
              "INT", "TERM", "TERM-drawing", "KILL")


@dataclasses.dataclass(frozen=True)
class Desktop:
    name: str  # in the survey, the pages and tests/expectations/
    kind: str  # the fixture that starts it: desktop (Xorg), wayland or wine
    manager: str  # its window manager or compositor
    packages: tuple  # the Debian packages it needs, the one it comes in first
    cases: tuple
    two_monitor_cases: tuple = ()
    driver: str = "-"  # under Wine, the library's graphics driver
    # How its desktop starts it. A compositor's {session} is a client that
    # says Xwayland's environment and stays, {client} one that says it and
    # ends, {folder} the desktop's own folder.
    start: tuple = ()
    # Files in its home folder, as TEXT, before it starts.
    home: tuple = ()
    # On Xorg, the root window's property it sets last, and what xprop shows
    # of it once set.
    ready: tuple = ("_NET_SUPPORTING_WM_CHECK", "window id")
    # An option its command must offer, else it cannot run here.
    needs: str = ""
    # Its program is copied into the folder and run from there: Debian's
    # carries a file capability that a container may refuse to execute.
    copied: str = ""
    # It refuses to run as root: there it runs as nobody and lets root's
    # clients in.
    not_as_root: bool = False
    runs_on: str = ""  # under Wine, the desktop Wine runs on
    # Under Wine, the cases that run on each of the library's releases, not
    # only on the oldest and the newest.
    every_release: tuple = ()


def xorg(manager, *packages, start=(), **settings):
    return Desktop(f"xorg-{manager}", "desktop", manager, packages or (manager,), X11_CASES, ("two-escape",),
                   start=start or (manager,), **settings)


def wayland(compositor, *packages, start, **settings):
    return Desktop(f"wayland-{compositor}", "wayland", compositor, (packages or (compositor,)) + ("xwayland",),
                   WAYLAND_CASES, start=start, **settings)


def wine(driver, on, every_release=()):
    """The Windows build under Wine on the Xorg desktop ON."""
    return Desktop(f"wine-{driver}", "wine", on.manager, ("wine64", *on.packages), WINE_CASES, driver=driver,
                   runs_on=on.name, every_release=every_release)


OPENBOX = xorg("openbox", start=("openbox", "--sm-disable"), ready=("_NET_WORKAREA", " = "))
DESKTOPS = [
    OPENBOX, xorg("fluxbox"), xorg("xfwm4"),
    # Plasma 6's session starts KDE's shortcut daemon beside kwin_x11, whose
    # Alt+Tab and Alt+F4 need it; Debian 12's kwin has it built in.
    xorg("kwin", "kwin-x11", "kglobalacceld", start=(
        "sh", "-c", 'for d in /usr/lib/*/libexec/kglobalacceld; do [ ! -x "$d" ] || "$d" & done; exec kwin_x11')),
    xorg("marco", "marco", "mate-settings-daemon-common"),
    xorg("mutter", start=("mutter", "--x11"), needs="--x11"),
    # i3 asks for its settings in a window where it has none: the user's
    # answer is the defaults, with Alt as the modifier.
    xorg("i3", "i3-wm", home=((".config/i3/config", "include /etc/i3/config\n"),)),
    xorg("icewm"),
    wayland("mutter", start=("mutter", "--headless", "--wayland", "--virtual-monitor", "1920x1080", "--",
                             "{session}")),
    wayland("kwin", "kwin-wayland", copied="kwin_wayland", start=(
        "{folder}/kwin_wayland", "--virtual", "--xwayland", "--width", "1920", "--height", "1080",
        "--exit-with-session", "{session}")),
    # Weston starts no client; it names its Xwayland display in its log.
    wayland("weston", start=("weston", "--backend=headless-backend.so", "--width=1920", "--height=1080",
                             "--xwayland")),
    # sway's exec starts a client in a session of its own, out of sway's
    # group: the client ends.
    wayland("sway", "sway", "sway-backgrounds", not_as_root=True,
            start=("env", "WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1", "sway"),
            home=((".config/sway/config",
                   "include /etc/sway/config\noutput HEADLESS-1 resolution 1920x1080\nexec {client}\n"),)),
    # The Windows build under Wine, on Direct3D and on OpenGL by the
    # library's allegro5.cfg. On Direct3D, where the releases differ, the
    # recovery rows run on each.
    wine("direct3d", OPENBOX, ("recovery", "library-recovery")), wine("opengl", OPENBOX),
]

# CTest's servers: the desktop each stands for, and the cases it runs there,
# the program's own checks beside the survey's. xvfb runs the checks that
# need no desktop.
CTEST = {
    "desktop": ("xorg-openbox", ("picture", "escape", "switch", "focus", "close", "INT", "TERM", "HUP", "QUIT",
                                 "mode-escape", "mode-TERM", "pipe-gone", "blocked", "startup", "xkill", "full",
                                 "KILL", "KILL-out", "SEGV", "ABRT", "stuck", "replug-KILL", "fb-KILL",
                                 "watcher-KILL", "alarm-ignored")),
    "desktop2": ("xorg-openbox", ("two-escape", "other-off-escape", "other-off-TERM", "other-off-xkill",
                                  "right-other-off-KILL", "own-off-escape", "own-off-TERM", "refused")),
    "wayland": ("wayland-mutter", ("picture", "escape", "switch", "close", "INT", "TERM")),
    "kwin": ("wayland-kwin", ("picture", "escape", "switch", "close", "INT", "TERM")),
    "wine": ("wine-direct3d", ("picture", "escape", "opengl-escape", "nod3d-escape", "switch", "close", "taskkill",
                               "file", "no-driver", "recovery")),
}


def desktop(name):
    return next(d for d in DESKTOPS if d.name == name)


def duties(name):
    wine = any(d.name == name and d.kind == "wine" for d in DESKTOPS)
    return WINE_DUTIES if wine else DUTIES


def packages(what):
    """The packages the tests' desktops need, every desktop's, or Wine's."""
    wanted = [desktop(name) for name, _ in CTEST.values()] if what == "tests" else DESKTOPS
    return sorted({package for d in wanted for package in d.packages if (d.kind == "wine") == (what == "windows")})


def ctest_lines():
    """Each server's desktop, its cases comma-separated, and its options."""
    lines = [f"set(servers {' '.join(CTEST)})"]
    for server, (name, cases) in CTEST.items():
        lines += [f"set({server}_desktop {name})", f"set({server}_cases {','.join(cases)})",
                  f"set({server}_options{' --two-monitors' if server == 'desktop2' else ''})"]
    return lines


def libraries(folder):
    """[(release, folder)] of the library's Windows releases in FOLDER, or
    FOLDER's own, oldest first, each release as its headers say it."""
    found = []
    for candidate in [pathlib.Path(folder), *sorted(pathlib.Path(folder).glob("*/"))]:
        header = candidate / "include/allegro5/base.h"
        version = header.exists() and re.search(r'^#define ALLEGRO_VERSION_STR *"([0-9.]+)', header.read_text(), re.M)
        if version:
            found.append((version[1], candidate.resolve()))
            if candidate == pathlib.Path(folder):
                break
    return sorted(found, key=lambda release: [int(part) for part in release[0].split(".")])


if __name__ == "__main__":
    command, arguments = sys.argv[1:2], sys.argv[2:]
    if command == ["packages"] and arguments in (["tests"], ["survey"], ["windows"]):
        print("\n".join(packages(arguments[0])))
    elif command == ["ctest"] and not arguments:
        print("\n".join(ctest_lines()))
    else:
        sys.exit(__doc__)
