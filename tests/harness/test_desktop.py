"""The real program on a private desktop, next to another window: Xorg with
a 1920x1080 screen and a window manager (with --two-monitors a second
monitor right of it), a Wayland compositor with Xwayland, or the Windows
build under Wine on Xorg with openbox, its lines ending in CRLF and no
watcher. Every case first checks that the program's window shows the first
frame: on Xorg the screen goes to 800x600 while the program runs and back
after it; on Xwayland the mode is emulated for the program alone. Its
standard output is a pipe that ends with it, and its watcher holds nothing
of its and is gone 3 s after it. Each case ends with the desktop's mode
given back. The docstring of each case says what it checks.
"""

import fcntl
import os
import re
import shutil
import signal
import subprocess
import time

import pytest

from conftest import case_name
from registry import CTEST, desktop as registered
from program import Run, Session, begun, first_frame_errors, shoot, wait_for_drawing, wait_for_first_frame
from servers import (TWO_MONITORS, add_second_monitor, layout, screen_mode, wait, wait_for_layout,
                     wait_for_mode, wayland, wine_command, x, xvfb)

OWN_MODE = ["1600x900_60", "118.25", "1600", "1696", "1856", "2112", "900", "903", "908", "934", "-hsync", "+vsync"]
SWITCHES = {"Display Switch In", "Display Switch Out"}


def signum(name):
    return signal.Signals[f"SIG{name}"].value


def window_info(window):
    """What xwininfo says of WINDOW, by name."""
    return dict(map(str.strip, line.split(": ", 1)) for line in x("xwininfo", "-id", window, check=False).splitlines()
                if ": " in line)


def ended(pid):
    """Whether process PID has ended (a zombie has)."""
    try:
        return open(f"/proc/{pid}/stat").read().rsplit(") ", 1)[1][0] == "Z"
    except OSError:
        return True


class Case(Session):
    """A case's run of the program on the shared desktop, from the
    desktop's own mode."""

    def __init__(self, desktop, work, name):
        self.desktop, self.work, self.name, self.kind = desktop, work, name, desktop.kind
        self.watcher, self.finding, self.facts, self.summary, self.mapped_lines = None, None, {}, "", ""
        self.wine = self.kind == "wine"
        self.eol = "\r" if self.wine else ""
        # A normal end (Escape, a close request) comes after the program's
        # pause; under Wine its own end of a process comes on top.
        self.normal_end = 6000 if self.wine else 3000
        self.command, self.launcher, self.exe = desktop.build / "display-loss-test", [], "display-loss-test"
        if self.wine:
            self.prepare_wine()
        super().__init__(desktop.build, work)

    def begin(self):
        super().begin()
        desktop = self.desktop
        if desktop.two_monitors:
            # An earlier case turned one off.
            add_second_monitor()
            wait_for_layout(TWO_MONITORS)
        if self.wine:
            # A Windows program that a signal ends leaves 800x600 and the
            # screen's millimetres shrunk to match, which is Wine's: that
            # case found it, and the next starts from the desktop's own.
            x("xrandr", "-s", "0")
            x("xrandr", "--fbmm", desktop.mm)
        self.shown_before, self.before = self.shown(), screen_mode()
        assert self.before == "1920x1080", f"the screen is at {self.before} before the run, not 1920x1080"
        self.during = ""
        if desktop.two_monitors:
            right = self.name.startswith("right-")
            if right:
                x("xrandr", "--output", "DUMMY1", "--pos", "0x0", "--output", "DUMMY0", "--pos", "1920x0")
            # The window manager opens the program's window on the monitor of
            # the focused window, and the library takes that monitor: the
            # helper's window goes on the first, wherever the window manager
            # put it (icewm places it on either).
            # Not --sync: mutter keeps a window off the very corner at times,
            # and xdotool then waits for ever; on that monitor is enough.
            x("xdotool", "windowmove", self.peer_window, "1920" if right else "0", "0")
            def on_its_monitor():
                left = window_info(self.peer_window).get("Absolute upper-left X", "")
                return left.isdigit() and (int(left) >= 1920) == right
            wait(on_its_monitor, 3)

    def prepare_wine(self):
        """A copy of the package's program in an empty folder, in a Wine
        session of its own: Wine's services outlive a program by 3 s, and
        those of a program with no display driver could make no display.
        No-driver keeps the session before it: Wine 10 hangs starting its
        services with no display driver at all."""
        if self.name != "no-driver":
            subprocess.run([wine_command("wineserver"), "-k"], timeout=10, check=False)
        folder = self.work / "program"
        shutil.copytree(next((self.desktop.folder / "package").iterdir()), folder)
        self.command, self.exe = folder / "display-loss-test.exe", "display-loss-test.exe"
        wine = wine_command("wine64")
        self.launcher = [wine]
        settings = []
        if self.desktop.entry.driver == "opengl" or self.name == "opengl-escape":
            settings.append("[graphics]\ndriver=opengl\n")
        if self.name == "library-recovery":
            shutil.copy(self.desktop.flip_probe, folder)
            self.command, self.exe = folder / "flip-probe.exe", "flip-probe.exe"
        if self.name.endswith("recovery"):
            # The library's own account of the device, in its trace.
            settings.append("[trace]\nlevel=debug\n")
            self.launcher = ["env", f"ALLEGRO_TRACE=Z:{self.work}/trace.log", wine]
        if self.name == "old-dll":
            shutil.copy(self.desktop.older_dll, folder)
        overrides = {"nod3d-escape": "d3d9=d", "no-driver": "d3d9=d;winex11.drv=d"}
        if self.name in overrides:
            self.launcher = ["env", f"WINEDLLOVERRIDES={overrides[self.name]}", wine]
        with open(folder / "allegro5.cfg", "a") as cfg:
            cfg.write("".join(settings))

    def shown(self):
        """What the summary reports of the screen."""
        return layout() if self.desktop.two_monitors else screen_mode()

    def start(self, stdout="pipe", launcher=()):
        self.program = Run(self.work, [self.command], [*launcher, *self.launcher], stdout, self.exe)

    def started(self):
        """The program's window, its watcher, the mode and its first frame."""
        # Under Wine a start can take Wine's server and its services
        # starting again.
        self.window = self.program.window(30 if self.wine else 10)
        self.process = self.program.process()
        if not self.wine:
            found = x("pgrep", "-P", str(self.process), check=False).split()
            self.watcher = int(found[0]) if found else None
            comm = self.watcher and open(f"/proc/{self.watcher}/comm").read().strip()
            assert comm == "dlt-watcher", f"no watcher, or not named dlt-watcher: '{comm}'"
            held = [os.readlink(f"/proc/{self.watcher}/fd/{fd}") for fd in os.listdir(f"/proc/{self.watcher}/fd")]
            held = [h for h in held if h != "/dev/null"]
            assert len(held) == 2 and all(h.startswith("socket:[") for h in held), \
                f"the watcher holds more than its socket and X connection: {' '.join(held)}"
        if self.kind == "wayland":
            self.during = f"{screen_mode()} to other clients, a window of {self.geometry()}"
        else:
            wait_for_mode("800x600", failure="the screen did not switch to 800x600")
            self.during = screen_mode()
            if self.desktop.two_monitors:
                self.during = layout()
                right = self.name.startswith("right-")
                expected = ("screen 3840x1080: DUMMY0 800x600+1920+0, DUMMY1 1920x1080+0+0" if right
                            else "screen 3840x1080: DUMMY0 800x600+0+0, DUMMY1 1920x1080+1920+0")
                assert self.during == expected, f"the monitors show '{self.during}' during the run"
        wait_for_drawing(self.work / "first-frame.png", self.window)
        self.mapped_lines = self.program.lines()

    def geometry(self):
        info = window_info(self.window)
        return (f"{info.get('Width')}x{info.get('Height')}+{info.get('Absolute upper-left X')}"
                f"+{info.get('Absolute upper-left Y')}")

    def activate(self, window):
        x("xdotool", "windowactivate", window, check=False)

    def focus_away(self):
        if self.kind == "wayland" or self.name == "focus":
            self.activate(self.peer_window)
        else:
            x("xdotool", "key", "alt+Tab")

    def focus_back(self):
        if self.kind == "wayland" or self.name == "focus":
            return self.activate(self.window)
        if not self.wine:
            return x("xdotool", "key", "alt+Tab")
        # Wine takes no key event sent to a window: the key is pressed. On
        # Direct3D it minimizes the window after its switch out, and the
        # window is activated back once it has; on OpenGL the window stays,
        # and is activated back after 2 s. Wine 10 shows a minimized window
        # again at its first activation but leaves the focus where it was:
        # it is activated again, as a user clicks twice, until it has it.
        wait(lambda: "IsUnMapped" in x("xwininfo", "-id", self.window, check=False), 2)
        self.activate(self.window)
        wait(lambda: x("xdotool", "getactivewindow", check=False).strip() == self.window
             or self.activate(self.window), 3, pause=0.2)

    def escape(self):
        if self.kind == "wayland":
            x(self.desktop.build / "tests/x11-peer", "escape", self.window)
        elif self.wine:
            x("xdotool", "key", "Escape")
        else:
            super().escape()

    def close(self):
        if self.kind == "wayland":
            x("wmctrl", "-i", "-c", self.window)
        else:
            x("xdotool", "key", "alt+F4")

    def end_normally(self, least=900):
        self.program.end(0, least, self.normal_end)

    def end_by(self, end):
        """The run ended by Escape, by xkill or by that signal, as it should end."""
        if end == "escape":
            self.escape()
            self.end_normally()
        elif end == "xkill":
            x("xdotool", "windowkill", self.window)
            self.program.end(1, 0, 1000)
        else:
            self.program.kill(end)
            self.program.end(128 + signum(end), 0, 1000)

    def switch_lines(self):
        """The lines, but the switches printed as the window mapped, before
        the case did anything (the window manager focuses the window as it
        maps it, and whether the program listens by then is a race; sway
        can move the focus away and back then), and, under Wine, the lost
        and found lines, which the releases up to 5.2.2 print around a
        switch: they are the recovery case's."""
        lines = self.program.lines()
        if set(self.mapped_lines.splitlines()) <= {f"{line}{self.eol}" for line in SWITCHES}:
            lines = lines.removeprefix(self.mapped_lines)
        lines = lines.splitlines(keepends=True)
        if lines and lines[0] == f"Display Switch In{self.eol}\n":
            lines = lines[1:]
        if self.wine:
            lines = [line for line in lines if line.rstrip() not in ("Display Lost", "Display Found")]
        return "".join(lines)

    def printed(self, text):
        """Waits (10 s at most) until the program has printed TEXT."""
        expected = "".join(f"{line}{self.eol}\n" for line in text.splitlines())
        wait(lambda: self.switch_lines() == expected, 10,
             lambda: f"printed '{self.program.lines()}', expected '{text}'")

    def switch_out(self):
        self.focus_away()
        self.printed("Display Switch Out\n")

    def try_switch_out(self):
        """The switch away, which must print its line; but where the
        expectations list the desktop's switch, the line may not come
        within 3 s, and the summary says so."""
        if "switch" not in self.desktop.expected:
            return self.switch_out()
        self.focus_away()
        if not wait(lambda: self.switch_lines() == f"Display Switch Out{self.eol}\n", 3):
            self.during += ", not switched out"

    def finish(self):
        """The desktop's mode back, standard output's reader and the watcher
        gone after the end; then what the case found, if anything."""
        wait_for_mode(self.before, failure="the screen was not given back its mode")
        program = self.program
        if program and program.reader:
            program.reader.join(max(0, program.ended + 1 - time.monotonic()))
            assert not program.reader.is_alive(), "standard output's reader was still waiting 1 s after the end"
        if self.watcher:
            wait(lambda: ended(self.watcher), program.ended + 3 - time.monotonic(),
                 "the watcher was still there 3 s after the end", 0.02)
        assert not self.finding, self.finding
        self.summary = f"{self.desktop.entry.manager} {self.name}: {self.shown_before} before; {self.during} " \
                       f"during; {self.shown()} after"


@pytest.fixture
def case(desktop, work, request):
    request.node.case = Case(desktop, work, case_name(request.node))
    yield from begun(request.node.case)


def test_picture(case):
    """The window is 800x600 at the top left, over everything: on Xorg the
    whole screen shows the first frame."""
    case.start()
    case.started()
    geometry = case.geometry()
    assert geometry == "800x600+0+0", f"the window is at {geometry}, not 800x600+0+0"
    if case.kind == "wayland":
        wait_for_first_frame(case.work / "window.png", case.window, 3, "the window's first frame is out of place")
    else:
        wait_for_first_frame(case.work / "screen.png", "root", 3, "the screen does not show the first frame whole")
    case.escape()
    case.end_normally()
    case.finish()


@pytest.mark.parametrize("name", ["escape", "opengl-escape", "nod3d-escape", "watcher-KILL"])
def test_escape(case, name):
    """Escape: status 0, nothing printed; on OpenGL by allegro5.cfg, on
    OpenGL with Direct3D missing (Wine); with the watcher killed by another
    process first, the run ends as usual all the same."""
    case.start()
    case.started()
    if name == "watcher-KILL":
        os.kill(case.watcher, signal.SIGKILL)
    case.escape()
    case.end_normally()
    case.printed("")
    case.finish()


@pytest.mark.parametrize("name", ["switch", "focus", "file"])
def test_switch(case, name):
    """The focus away and back, as the desktop does it (the window manager's
    Alt+Tab; on Wayland, whose keys X clients cannot press, activating the
    windows), or by activating the windows (EWMH); under Wine with standard
    output a file read while the program runs: Switch Out, Switch In."""
    case.start("file" if name == "file" else "pipe")
    case.started()
    case.switch_out()
    case.focus_back()
    case.printed("Display Switch Out\nDisplay Switch In\n")
    case.escape()
    case.end_normally()
    case.finish()


@pytest.mark.parametrize("name", ["close", "taskkill"])
def test_close(case, name):
    """A close request (the window manager's Alt+F4, or an EWMH request;
    under Wine, Windows' from another program): the close line, status 0."""
    case.start()
    case.started()
    if name == "taskkill":
        x(wine_command("wine64"), "taskkill", "/IM", "display-loss-test.exe")
    else:
        case.close()
    case.end_normally()
    case.printed("User clicked on close.\n")
    case.finish()


# Each signal: a switch away first ("try": where the desktop's switch is a
# finding, it may not come), the ms within which the process ends by it,
# and whether the program catches it: then it prints nothing more; else the
# mode is back within 3 s.
SIGNALS = {"INT": ("try", 800, True), "TERM": ("try", 800, True), "HUP": ("try", 800, True),
           "QUIT": ("try", 800, True), "TERM-drawing": (None, 800, True), "KILL": (None, 1000, False),
           "SEGV": (None, 1000, False), "ABRT": (None, 1000, False), "KILL-out": ("must", 1000, False)}


@pytest.mark.parametrize("name", SIGNALS)
def test_signal(case, name):
    """That signal after a switch away or while drawing, as a user, the OOM
    killer or a crash would send it: the process ends by it, at once."""
    switch, most, caught = SIGNALS[name]
    case.start()
    case.started()
    if switch == "try":
        case.try_switch_out()
    elif switch:
        case.switch_out()
    elif caught:
        case.during += ", drawing"
    if case.wine and caught:
        # Releases up to 5.2.2 report the loss a moment after the switch
        # out: the lines settle (none new for 0.5 s, 3 s at most) first.
        def settled(seen=case.program.lines):
            before = seen()
            time.sleep(0.5)
            return seen() == before
        wait(settled, 3, pause=0)
    before = case.program.lines()
    sig = name.split("-")[0]
    case.program.kill(sig)
    case.program.end(128 + signum(sig), 0, most)
    if caught:
        assert case.program.lines() == before, f"printed '{case.program.lines()}' in all, '{before}' before the signal"
    else:
        wait_for_mode(case.before, 3, "the mode was not back within 3 s")
    case.finish()


def test_startup(case):
    """SIGTERM at moments through the start-up, and just as the mode
    switches, before the display is made: 143 and the mode back each time."""
    for moment in [0.05, 0.1, 0.2, 0.3] + ["switch"] * 4:
        case.start()
        if moment == "switch":
            wait(lambda: screen_mode() == "800x600", 10, "the screen did not switch to 800x600", pause=0)
        else:
            time.sleep(moment)
        # timeout passes it on.
        case.program.popen.send_signal(signal.SIGTERM)
        case.program.end(143, 0, 2000)
        wait_for_mode(case.before, failure=f"SIGTERM at {moment}: the mode was not given back")
    case.summary = f"startup: 143 and {case.before} back each time"


@pytest.mark.parametrize("name", ["no-driver", "old-dll"])
def test_startup_failure(case, name):
    """Under Wine, no graphics driver at all: "Could not create display.",
    255 after the 4 s pause; an older release's DLL beside the program:
    "Could not init Allegro.", 255 at once (Wine's services starting take
    up to 2 s of that)."""
    line, least, most = (("Could not create display.", 3900, 9000) if name == "no-driver"
                         else ("Could not init Allegro.", 0, 3000))
    case.start()
    case.program.end(255, least, most)
    assert case.program.lines() == f"{line}\r\n", f"printed {case.program.lines()!r}, expected '{line}\\r\\n'"
    case.summary = f"{name}: '{line}', 255"


def test_full(case):
    """Standard output is /dev/full: the first line ends the run, status 1,
    and standard error names the error."""
    case.start(open("/dev/full", "wb"))
    # A first Switch In, as the window manager focuses the window, can end
    # the run already; the switch away does otherwise, once the first frame
    # shows that the program listens.
    shot = case.work / "first-frame.png"
    wait(lambda: case.program.popen.poll() is not None or (shoot(shot) and not first_frame_errors(shot)), 10,
         "neither the first frame nor the end came")
    if case.program.popen.poll() is None:
        x("xdotool", "key", "alt+Tab")
    case.program.end(1, 0, 1000, "display-loss-test: write error: No space left on device")
    case.finish()


@pytest.mark.parametrize("name", ["pipe-gone", "blocked"])
def test_pipe(case, name):
    """Standard output's reader goes, then a switch away: the process dies
    by SIGPIPE. Or standard output is a one-page pipe nobody reads, filled
    by switches away and back until the program is blocked writing; then
    SIGTERM: 143 within 1 s."""
    reader, writer = os.pipe()
    if name == "blocked":
        fcntl.fcntl(writer, fcntl.F_SETPIPE_SZ, 4096)
    case.start(writer)
    os.close(writer)
    case.started()
    if name == "pipe-gone":
        os.close(reader)
        case.focus_away()
        case.program.end(141, 0, 1000)
        return case.finish()
    switches = 0
    while not open(f"/proc/{case.process}/wchan").read().endswith("pipe_write"):
        assert switches < 300, f"still not blocked after {switches} switches"
        x("xdotool", "windowfocus", "--sync", case.peer_window, "windowfocus", "--sync", case.window)
        switches += 1
    case.program.kill("TERM")
    case.program.end(143, 0, 1000)
    os.close(reader)
    case.during += f", blocked after {switches} switches"
    case.finish()


@pytest.mark.parametrize("name", ["mode-escape", "mode-TERM"])
def test_mode(case, name):
    """Another client sets 1024x768, then Escape or SIGTERM: the mode cannot
    be given back, and the run ends as usual all the same, leaving the
    screen at 1024x768 and usable."""
    case.start()
    case.started()
    x("xrandr", "--output", "DUMMY0", "--mode", "1024x768")
    wait_for_mode("1024x768", failure="the other client could not set 1024x768")
    case.end_by(name.split("-")[1])
    case.printed("")
    wait_for_mode("1024x768", failure="the other client's mode was not kept")
    x("xrandr", "--output", "DUMMY0", "--mode", case.before)
    case.finish()


def test_stuck(case):
    """The drawing thread held in a flip that never returns (the preload
    library), then Ctrl+C twice to the process group: the second ends the
    run within 1 s, by SIGINT, and the mode is back within 3 s."""
    inject = case.work / "inject"
    os.mkfifo(inject)
    held = os.open(inject, os.O_RDWR)
    preload = case.desktop.build / "preload/libcount_flips_inject_events.so"
    # A process group of its own, as a terminal gives it.
    case.start(launcher=["setsid", "env", f"DLT_INJECT={inject}", f"LD_PRELOAD={preload}"])
    case.started()
    os.write(held, b"hold 600000 in\n")
    wait(lambda: open(f"/proc/{case.process}/wchan").read().endswith("nanosleep"), 10, "the flip was not held")
    os.killpg(case.process, signal.SIGINT)
    wait_for_signal_taken(case.process)
    os.killpg(case.process, signal.SIGINT)
    case.program.end(130, 0, 1000)
    wait_for_mode(case.before, 3, "the mode was not back within 3 s")
    os.close(held)
    case.finish()


def wait_for_signal_taken(pid):
    """No signal waits for PID: two of one kind pending would count as one."""
    wait(lambda: int(next(line.split()[1] for line in open(f"/proc/{pid}/status") if line.startswith("ShdPnd")), 16)
         == 0, 5, "the first signal was not taken")


def test_replug_KILL(case):
    """The desktop at a mode of the monitor's own, the monitor unplugged and
    plugged back in mid-run (its mode made anew), then SIGKILL: that mode is
    back within 3 s."""
    x("xrandr", "--newmode", *OWN_MODE)
    x("xrandr", "--addmode", "DUMMY0", OWN_MODE[0])
    x("xrandr", "--output", "DUMMY0", "--mode", OWN_MODE[0])
    case.start()
    case.started()
    x("xrandr", "--delmode", "DUMMY0", OWN_MODE[0])
    x("xrandr", "--rmmode", OWN_MODE[0])
    x("xrandr", "--newmode", *OWN_MODE)
    x("xrandr", "--addmode", "DUMMY0", OWN_MODE[0])
    case.end_by("KILL")
    wait_for_mode("1600x900", 3, "the monitor's own mode was not back within 3 s")
    case.during += f", {screen_mode()} after SIGKILL"
    x("xrandr", "--output", "DUMMY0", "--mode", case.before)
    x("xrandr", "--delmode", "DUMMY0", OWN_MODE[0])
    x("xrandr", "--rmmode", OWN_MODE[0])
    case.finish()


def test_fb_KILL(case):
    """A 2560x1440 screen larger than its monitor, then SIGKILL: the screen
    gets its size back within 3 s."""
    x("xrandr", "--fb", "2560x1440")
    case.start()
    case.started()
    case.end_by("KILL")
    wait_for_layout("screen 2560x1440: DUMMY0 1920x1080+0+0, DUMMY1 off")
    x("xrandr", "--fb", case.before)
    case.finish()


def test_alarm_ignored(case):
    """The program started with SIGALRM ignored and blocked, the X server
    stopped, then SIGKILL: the watcher ends within 3 s all the same."""
    case.start(launcher=["env", "--ignore-signal=ALRM", "--block-signal=ALRM"])
    case.started()
    # Nothing may fail while the server is stopped: it would stay so.
    server = case.desktop.server.pid
    os.kill(server, signal.SIGSTOP)
    try:
        case.program.kill("KILL")
        case.program.reap()
        watcher_ended = wait(lambda: ended(case.watcher), case.program.ended + 3 - time.monotonic(), pause=0.02)
    finally:
        os.kill(server, signal.SIGCONT)
    assert case.program.status == 137, f"exit status {case.program.status}, expected 137"
    assert watcher_ended, "the watcher still waited for the server 3 s after the end"
    x("xrandr", "--output", "DUMMY0", "--mode", case.before)
    case.finish()


def in_gl_driver(frames):
    """Whether, of the frames the preload library reported (innermost
    first), the innermost in the program, the library or the GL driver is
    the driver's; system libraries and JIT code lie below it."""
    for frame in frames.split():
        module = frame.split(":")[0]
        if module == "display-loss-test" or module.startswith("liballegro"):
            return False
        if module.startswith(("libgallium", "libLLVM", "libGLX_mesa", "libglapi", "libEGL_mesa", "libGLdispatch",
                              "libGLX.so", "libGL.so")) or module.endswith("_dri.so"):
            return True
    return False


def test_xkill(case):
    """Another client cuts the program's X connection: status 1, or the GL
    driver's crash or runaway where the driver has them (Debian testing),
    each shown to lie in the driver."""
    report = case.work / "report"
    preload = case.desktop.build / "preload/libcount_flips_inject_events.so"
    case.start(launcher=["env", f"DLT_REPORT={report}", f"LD_PRELOAD={preload}"])
    case.started()
    x("xdotool", "windowkill", case.window)
    driver = end_past_driver(case, report)
    # The switches the library reported as the desktop moved the focus
    # (sway 1.12 moves it away and back as the helper's window maps), and
    # nothing else.
    assert set(case.program.lines().splitlines()) <= SWITCHES, \
        f"printed '{case.program.lines()}', expected no line but the switches"
    if driver:
        case.during += f"; {driver}"
    case.finish()


def end_past_driver(case, report):
    """The end of a run whose window or connection another client took away:
    status 1 within 1 s. Debian testing's GL driver (Mesa 26) can crash then,
    or run away; neither is the program's to hide, and neither may make the
    case flaky: a death by SIGSEGV or SIGBUS passes where the report puts
    the fault in the driver, and a run still going at 1 s, its drawing
    thread in the driver, where the second of two SIGTERMs ends it within
    1 s. Returns what was met, if either."""
    program = case.program
    wait(lambda: program.popen.poll() is not None, 1, pause=0.01)
    if program.popen.poll() is None:
        program.kill("USR2", case.process)
        wait(lambda: report.exists() and "where " in report.read_text(), 5,
             "still running after 1000 ms, and no report of where")
        frames = [line[6:] for line in report.read_text().splitlines() if line.startswith("where ")][-1]
        assert in_gl_driver(frames), f"still running after 1000 ms, drawing in: {frames}"
        program.kill("TERM", case.process)
        wait_for_signal_taken(case.process)
        program.kill("TERM", case.process)
        program.end(143, 0, 1000)
        return f"ran away inside the GL driver ({frames}); the second SIGTERM ended it"
    program.reap()
    if program.status in (139, 135):
        frames = next((line[6:] for line in report.read_text().splitlines() if line.startswith("fault ")), "") \
            if report.exists() else ""
        died = signal.Signals(program.status - 128).name
        assert in_gl_driver(frames), f"died by {died} in: {frames or '(no report)'}"
        return f"died by {died} inside the GL driver ({frames})"
    assert program.status == 1, f"exit status {program.status}, expected 1"
    assert program.stderr() == "", f"wrote to standard error: '{program.stderr()}', expected ''"


@pytest.mark.parametrize("name", ["recovery", "library-recovery"])
def test_recovery(case, name):
    """The library's recovery: the switch away, 1 s, the switch back, 2 s,
    then Escape. It passes where the library reported the display lost and
    found, so that the drawing resumed, and the window then shows the first
    frame: the square kept its content. X11 never reports a loss. Under
    Wine, library-recovery is run by a helper that goes on flipping after
    its switch out, as the library needs to learn of a lost device. What it
    measured goes to the record, the screen 2 s after the switch back
    beside it."""
    case.start()
    case.started()
    case.focus_away()
    wait(lambda: case.program.lines().startswith("Display Switch Out") or "\nDisplay Switch Out"
         in case.program.lines(), 10, "no switch out was reported")
    time.sleep(1)
    case.focus_back()
    time.sleep(2)
    shoot(case.work / "after.png")
    printed = case.program.lines().replace("\r", "").splitlines()
    lines = ",".join(printed)
    lost = any(line.startswith("Display Lost") for line in printed)
    found = any(line.startswith("Display Found") for line in printed)
    facts = {"lost": "no", "found": "no", "drawing": "no", "square": "–"}
    trace = case.work / "trace.log"
    refused = ""
    if trace.exists():
        text = trace.read_text(errors="replace")
        refused = ",".join(sorted(set(re.findall(r" (D3DERR_[A-Z]+) in reset\.", text))))
        lost_lines = sum("D3DERR_DEVICELOST" in line for line in text.splitlines())
        facts |= {"device-lost": str(lost_lines), "reset-refused": refused or "none"}
    facts |= {"lost": "yes" if lost else "no", "found": "yes" if found else "no"}
    if not found:
        case.finding = (f"lost, never found{f': reset refused ({refused})' if refused else ''} (printed '{lines}')"
                        if lost else f"no loss reported (printed '{lines}'): the drawing stays suspended")
    else:
        try:
            wait_for_drawing(case.work / "recovered.png", case.window, "found, but the square did not keep its content")
            facts |= {"drawing": "yes", "square": "kept"}
            case.during += ", found; square kept"
        except AssertionError as error:
            facts |= {"drawing": "yes" if "(100,0,0)" in str(error) else "no", "square": "not kept"}
            case.finding = str(error)
    case.facts = facts
    case.escape()
    # The helper ends at once, with no rest.
    case.end_normally(900 if name == "recovery" else 0)
    case.during += f", printed '{lines}'"
    case.finish()


def test_two_escape(case):
    """(Two monitors) the switch takes the first monitor, the other keeps
    its mode and place; Escape gives both back."""
    case.start()
    case.started()
    case.end_by("escape")
    wait_for_layout(TWO_MONITORS)
    case.finish()


@pytest.mark.parametrize("name", ["other-off-escape", "other-off-TERM", "other-off-xkill", "right-other-off-KILL",
                                  "own-off-escape", "own-off-TERM"])
def test_monitor_off(case, name):
    """(Two monitors) the other monitor turned off (unplugged) mid-run,
    which shrinks the screen, or the program's own, then that end: the
    program's monitor gets its mode back, the turned-off one stays off. With
    the program's monitor right of the other, xrandr moves it to the left as
    it turns the other off: it keeps that place."""
    case.start()
    case.started()
    if "other-off" in name:
        x("xrandr", "--output", "DUMMY1", "--off")
        wait_for_layout("screen 800x600: DUMMY0 800x600+0+0, DUMMY1 off")
        after = "screen 1920x1080: DUMMY0 1920x1080+0+0, DUMMY1 off"
    else:
        x("xrandr", "--output", "DUMMY0", "--off")
        after = "screen 1920x1080: DUMMY0 off, DUMMY1 1920x1080+0+0"
        wait_for_layout(after)
    case.end_by(name.rsplit("-", 1)[1])
    wait_for_layout(after)
    case.finish()


def test_refused(case):
    """(Two monitors; the helper refused-layout) the program's layout code
    sets a layout the server refuses part-way: the layout is as it was, both
    monitors on at their places, the screen at its size."""
    status = subprocess.run([case.desktop.build / "tests/refused-layout"]).returncode
    assert status == 0, f"the helper could not set its layout: status {status}"
    assert layout() == TWO_MONITORS, f"the monitors show '{layout()}' after the roll-back, expected '{TWO_MONITORS}'"
    case.summary = f"refused: '{TWO_MONITORS}' before, and again after the roll-back"


@pytest.mark.parametrize("name", ["server-killed", "compositor-killed"])
def test_server_gone(request, tmp_path, name):
    """The X server dies mid-run, shut down or killed outright, five times,
    each on a short-lived Xvfb of its own; or the Wayland server's
    compositor, which takes its Xwayland with it, three times: status 1, at
    once, no crash."""
    build = request.config.getoption("build")
    compositor = registered(CTEST["wayland"][0])
    signals = ["TERM", "KILL", "TERM", "KILL", "TERM"][:5 if name == "server-killed" else 3]
    for number, sig in enumerate(signals, 1):
        folder = tmp_path / str(number)
        folder.mkdir()
        with xvfb(folder) if name == "server-killed" else wayland(folder, compositor) as server:
            # The compositor itself: the oldest, not a child it has forked.
            victim = server.pid if name == "server-killed" else int(
                x("pgrep", "-o", "-g", str(server.pid), "-x", compositor.start[0], check=False) or 0)
            assert victim, f"run {number}: no {compositor.manager} in the compositor's group"
            program = Run(folder, [build / "display-loss-test"])
            try:
                wait_for_first_frame(folder / "first-frame.png", program.window(), 10,
                                     f"run {number}: the first frame is wrong")
                os.kill(victim, signal.Signals[f"SIG{sig}"])
                program.end(1, 0, 1000)
                assert set(program.lines().splitlines()) <= SWITCHES, f"run {number} printed more than its lines"
            finally:
                program.stop()
