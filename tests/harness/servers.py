"""The private desktops the program's cases run on, as context managers that
start them and always stop them, and what the cases read off them.

Each server picks its own display number and is waited for on what it says
(the number it writes, the window manager's mark on the root window,
Xwayland answering), within one bounded wait. Where one is up, DISPLAY (and
XAUTHORITY) in os.environ name it, so every X client the cases run goes
there.
"""

import contextlib
import os
import pathlib
import re
import select
import shutil
import signal
import subprocess
import sys
import time

from registry import desktop as registered

CONF = pathlib.Path(__file__).resolve().parent.parent / "desktop.xorg.conf"
TWO_MONITORS = "screen 3840x1080: DUMMY0 1920x1080+0+0, DUMMY1 1920x1080+1920+0"


class Skip(Exception):
    """The desktop cannot run here, and why: its cases are skipped."""


def wait(condition, seconds=10, failure=None, pause=0.05):
    """The one wait on a condition: calls it until it gives a true value, and
    returns that; after `seconds` raises AssertionError with `failure` (or
    what it returns), or, with none, returns the false value: where the
    condition's not coming is no failure."""
    deadline = time.monotonic() + seconds
    while not (value := condition()):
        if time.monotonic() >= deadline:
            if failure is None:
                return value
            raise AssertionError(failure() if callable(failure) else failure)
        time.sleep(pause)
    return value


def x(*command, check=True, **options):
    """Runs an X client (xrandr, xdotool, ...) and returns what it printed."""
    return subprocess.run(command, check=check, capture_output=True, text=True, timeout=30, **options).stdout


def quietly(*command):
    return subprocess.run(command, capture_output=True, timeout=30).returncode == 0


def screen_mode():
    return next((f[0] for f in map(str.split, x("xrandr", "--current").splitlines())
                 if len(f) > 1 and "*" in f[1]), None)


def layout():
    """The screen's size and each monitor's place, or off."""
    text = x("xrandr", "--current")
    size = re.search(r"current (\d+) x (\d+)", text)
    monitors = [f"{m[1]} {m[2] or 'off'}" for m in
                re.finditer(r"^(DUMMY[01]) \S+(?: primary)?(?: (\d+x\d+\+\d+\+\d+))?", text, re.M)]
    return f"screen {size[1]}x{size[2]}: " + ", ".join(monitors)


def wait_for_layout(expected, seconds=10):
    wait(lambda: layout() == expected, seconds, lambda: f"the monitors show '{layout()}', expected '{expected}'")


def wait_for_mode(expected, seconds=10, failure=None):
    wait(lambda: screen_mode() == expected, seconds,
         failure or (lambda: f"the screen stayed at {screen_mode()}, expected {expected}"))


def add_second_monitor():
    """DUMMY1 plugged in at 1920x1080 right of DUMMY0, the primary."""
    quietly("xrandr", "--addmode", "DUMMY1", "1920x1080")
    x("xrandr", "--output", "DUMMY0", "--mode", "1920x1080", "--pos", "0x0", "--primary",
      "--output", "DUMMY1", "--mode", "1920x1080", "--right-of", "DUMMY0")


def debian_release():
    text = pathlib.Path("/etc/os-release").read_text()
    return next((m[1] for m in re.finditer(r"^VERSION_CODENAME=\"?(\w+)", text, re.M)), "unknown")


def wine_command(name):
    """Wine's own program NAME, where Debian keeps it: on the PATH where the
    wine package is installed, else where wine64 alone puts it."""
    return shutil.which(name) or f"/usr/lib/wine/{name}"


def stop(process, group=False):
    """Ends a process started here (its group, with group) and waits 5 s at
    most before it kills it."""
    send = (lambda s: os.killpg(process.pid, s)) if group else process.send_signal
    for sig, seconds in ((signal.SIGTERM, 5), (signal.SIGKILL, 5)):
        with contextlib.suppress(ProcessLookupError):
            send(sig)
        with contextlib.suppress(subprocess.TimeoutExpired):
            process.wait(seconds)
            if not group or not quietly("pgrep", "-g", str(process.pid)):
                return


def display_number(process, what, log):
    """The display number the server writes on its standard output (by
    -displayfd 1), 10 s at most."""
    ready, _, _ = select.select([process.stdout], [], [], 10)
    number = process.stdout.readline().strip() if ready else ""
    if not number:
        raise Skip(f"{what} did not start: " + next(
            (line for line in log.read_text(errors="replace").splitlines() if re.search(r"\(EE\)|Fatal|denied", line)),
            f"see {log}")) if log.exists() else AssertionError(f"{what} did not start within 10 s")
    return f":{number}"


def start(stack, command, group=False, **options):
    """Starts a process (in a group of its own, with group) that the stack
    stops."""
    process = subprocess.Popen(command, start_new_session=group, **options)
    stack.callback(stop, process, group)
    return process


@contextlib.contextmanager
def xvfb(folder):
    """An 800x600x24 Xvfb."""
    with contextlib.ExitStack() as stack:
        server = start(stack, ["Xvfb", "-displayfd", "1", "-screen", "0", "800x600x24", "-noreset",
                                                     "-nolisten", "tcp"], stdout=subprocess.PIPE, text=True,
                                             stderr=open(folder / "xvfb.log", "w"))
        os.environ["DISPLAY"] = display_number(server, "Xvfb", folder / "xvfb.log")
        yield server


def settled_in(entry, home, **places):
    """ENTRY's start command and its home folder's files, with PLACES filled
    in."""
    for path, text in entry.home:
        (home / path).parent.mkdir(parents=True, exist_ok=True)
        (home / path).write_text(text.format(**places))
    return [str(word).format(**places) for word in entry.start]


@contextlib.contextmanager
def xorg(folder, entry, two_monitors=False):
    """A desktop as users have one: Xorg with the dummy video driver (a
    1920x1080 screen that offers 800x600 too; with two_monitors a second
    one right of it) and the registry ENTRY's window manager with its own
    settings, home folder and session bus, in a process group of its own.
    Xorg is started directly, without the setuid wrapper: where it cannot
    start (not root, say), Skip says why."""
    if entry.needs and entry.needs not in x(entry.start[0], "--help", check=False):
        raise Skip(f"{x(entry.start[0], '--version').strip()} has no {entry.needs}")
    home = folder / "home"
    (folder / "xorg.d").mkdir(parents=True, exist_ok=True)
    home.mkdir(exist_ok=True)
    with contextlib.ExitStack() as stack:
        server = start(stack, [
            "/usr/lib/xorg/Xorg", "-displayfd", "1", "-config", CONF, "-configdir", folder / "xorg.d",
            "-logfile", folder / "xorg.log", "-noreset", "-nolisten", "tcp", "-novtswitch"],
            stdout=subprocess.PIPE, text=True, stderr=open(folder / "xorg.stderr", "w"))
        os.environ["DISPLAY"] = display_number(server, "Xorg", folder / "xorg.log")
        if two_monitors:
            add_second_monitor()
        start(stack, ["dbus-run-session", "--", *settled_in(entry, home, folder=folder)], group=True,
              env=os.environ | {"HOME": str(home), "XDG_CONFIG_HOME": str(home / ".config")},
              stdout=open(folder / "manager.log", "w"), stderr=subprocess.STDOUT)
        # A window mapped before the manager manages windows can stay
        # unmapped.
        mark, said = entry.ready
        wait(lambda: said in x("xprop", "-root", mark, check=False), 10,
             f"{entry.manager} did not start within 10 s; see {folder / 'manager.log'}")
        yield server


@contextlib.contextmanager
def wayland(folder, entry):
    """A Wayland desktop as users have one: the registry ENTRY's compositor
    headless with a 1920x1080 virtual monitor and Xwayland, in a process
    group of its own with a private runtime folder, home folder and session
    bus."""
    runtime, home = folder / "runtime", folder / "home"
    # Xwayland's sockets go there, and the compositors do not make it.
    os.makedirs("/tmp/.X11-unix", mode=0o1777, exist_ok=True)
    runtime.mkdir(mode=0o700, parents=True, exist_ok=True)
    home.mkdir(exist_ok=True)
    environment, log = runtime / "environment", folder / "compositor.log"
    environment.unlink(missing_ok=True)
    user, allow = [], ""
    if entry.not_as_root and os.getuid() == 0:
        user = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
        allow = "xhost +si:localuser:root >/dev/null && "
    # The compositor starts one of these once Xwayland is up, with its
    # environment.
    say = f'{allow}env >"{environment}.new" && mv "{environment}.new" "{environment}"'
    for name, text in (("client", say), ("session", f"{say} && exec sleep infinity")):
        (folder / name).write_text(f"#!/bin/sh\n{text}\n")
        (folder / name).chmod(0o755)
    if entry.copied:
        shutil.copy(shutil.which(entry.copied), folder / entry.copied)
    command = settled_in(entry, home, folder=folder, client=folder / "client", session=folder / "session")
    for path in [runtime, home, *home.rglob("*")] if user else []:
        shutil.chown(path, "nobody")
    env = os.environ | {"HOME": str(home), "XDG_CONFIG_HOME": str(home / ".config"), "XDG_RUNTIME_DIR": str(runtime)}

    def up():
        if environment.exists():
            said = dict(line.split("=", 1) for line in environment.read_text().splitlines() if "=" in line)
            os.environ.update(DISPLAY=said.get("DISPLAY", ""), XAUTHORITY=said.get("XAUTHORITY", ""))
        elif number := re.search(r"xserver listening on display (:\d+)", log.read_text(errors="replace")):
            os.environ.update(DISPLAY=number[1], XAUTHORITY="")
        else:
            return False
        return quietly("xrandr")

    with contextlib.ExitStack() as stack:
        server = start(stack, [*user, "dbus-run-session", "--", *command], group=True, env=env,
                       stdout=open(log, "w"), stderr=subprocess.STDOUT)
        wait(up, 10, f"{entry.manager} did not start within 10 s; see {log}")
        yield server


@contextlib.contextmanager
def wine(folder, entry, package):
    """The desktop Wine runs on, the Windows package (a zip) unpacked into
    FOLDER/package, and Wine with a private prefix."""
    shutil.rmtree(folder / "package", ignore_errors=True)
    subprocess.run(["unzip", "-q", package, "-d", folder / "package"], check=True)
    os.environ.update(WINEPREFIX=str(folder / "prefix"), WINEDEBUG="-all")
    with xorg(folder, registered(entry.runs_on)) as server:
        try:
            subprocess.run([wine_command("wine64"), "wineboot", "-i"], check=True, timeout=120,
                           stdout=open(folder / "wineboot.log", "w"), stderr=subprocess.STDOUT)
            yield server
        finally:
            subprocess.run([wine_command("wineserver"), "-k"], timeout=10, check=False)
            shutil.rmtree(folder / "prefix", ignore_errors=True)


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "wine-command":
        print(wine_command(sys.argv[2]))
    else:
        sys.exit("usage: servers.py wine-command NAME")
