#!/usr/bin/env python3
"""The desktops the program is checked on, the cases that check it, and the
Debian and library releases they are checked against, each named here once:
the setup, CTest, the survey and its pages read them from here.

    registry.py survey [DESKTOP...]   a line a desktop (all by default):
                                      NAME KIND MANAGER DRIVER PACKAGE CASES TWO_MONITOR_CASES,
                                      the case lists comma-separated, "-" for none
    registry.py packages tests|survey the Debian packages the desktops need
    registry.py ctest                 CMake: CTest's servers and their cases
    registry.py libraries DIR         the library's Windows release in DIR, or each
                                      release in the folder of releases DIR, oldest
                                      first: a line each, RELEASE PATH
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
    start: tuple = ()  # on Xorg, the window manager's command, as its desktop starts it


def xorg(manager, *packages, start=()):
    return Desktop(f"xorg-{manager}", "desktop", manager, packages or (manager,), X11_CASES, ("two-escape",),
                   start=start or (manager,))


def wayland(compositor, *packages):
    return Desktop(f"wayland-{compositor}", "wayland", compositor, (packages or (compositor,)) + ("xwayland",),
                   WAYLAND_CASES)


DESKTOPS = [
    xorg("openbox", start=("openbox", "--sm-disable")), xorg("fluxbox"), xorg("xfwm4"),
    xorg("kwin", "kwin-x11", "kglobalacceld", start=("kwin_x11",)), xorg("marco", "marco", "mate-settings-daemon-common"),
    xorg("mutter", start=("mutter", "--x11")), xorg("i3", "i3-wm"), xorg("icewm"),
    wayland("mutter"), wayland("kwin", "kwin-wayland"), wayland("weston"), wayland("sway", "sway", "sway-backgrounds"),
    # The Windows build under Wine, on Xorg with openbox; OpenGL by the
    # library's allegro5.cfg.
    Desktop("wine-direct3d", "wine", "openbox", ("wine64", "openbox"), WINE_CASES, driver="direct3d"),
    Desktop("wine-opengl", "wine", "openbox", ("wine64", "openbox"), WINE_CASES, driver="opengl"),
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


def survey_lines(names):
    """A line a desktop for the survey's shell, or KeyError on a name that
    is no desktop's."""
    known = {d.name: d for d in DESKTOPS}
    lines = []
    for d in [known[name] for name in names] if names else DESKTOPS:
        cases = [",".join(cases) or "-" for cases in (d.cases, d.two_monitor_cases)]
        lines.append(" ".join([d.name, d.kind, d.manager, d.driver, d.packages[0], *cases]))
    return lines


def packages(what):
    """The packages the tests' desktops need, or every desktop's."""
    wanted = [desktop(name) for name, _ in CTEST.values()] if what == "tests" else DESKTOPS
    return sorted({package for d in wanted for package in d.packages if d.kind != "wine"})


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
    if command == ["survey"]:
        try:
            print("\n".join(survey_lines(arguments)))
        except KeyError as error:
            sys.exit(f"no such desktop: {error.args[0]}")
    elif command == ["packages"] and arguments in (["tests"], ["survey"]):
        print("\n".join(packages(arguments[0])))
    elif command == ["ctest"] and not arguments:
        print("\n".join(ctest_lines()))
    elif command == ["libraries"] and len(arguments) == 1:
        for release, folder in libraries(arguments[0]):
            print(release, folder)
    else:
        sys.exit(__doc__)
