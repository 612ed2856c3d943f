"""The program's run on a desktop, and what it shows: its window, its lines,
its end, and its frames, checked pixel by pixel."""

import os
import select
import signal
import subprocess
import threading
import time

from servers import quietly, wait, x

# The first frame: dark red everywhere but the dark green 200x200 square at
# the top left, at these points.
GREEN, RED = "0,100,0", "100,0,0"
FIRST_FRAME = [(0, 0, GREEN), (199, 0, GREEN), (0, 199, GREEN), (199, 199, GREEN), (100, 100, GREEN),
               (200, 0, RED), (0, 200, RED), (200, 200, RED), (199, 200, RED), (200, 199, RED), (400, 300, RED),
               (799, 0, RED), (0, 599, RED), (799, 599, RED)]


def status_of(returncode):
    """A status as a shell gives it: 128 + N for a death by signal N."""
    return 128 - returncode if returncode < 0 else returncode


def first_frame_errors(shot):
    """Each point of the first frame that a screenshot (its top-left 800x600)
    shows otherwise; a failed reading is an error too."""
    fx = " ".join(f"%[fx:int(255*p{{{px},{py}}}.{c}+0.5)]" for px, py, _ in FIRST_FRAME for c in "rgb")
    found = subprocess.run(["convert", shot, "-format", fx, "info:"], capture_output=True, text=True).stdout.split()
    if len(found) != 3 * len(FIRST_FRAME):
        return [f"{shot} could not be read"]
    return [f"pixel ({px}, {py}) is {','.join(found[3 * i:3 * i + 3])}, expected {rgb}"
            for i, (px, py, rgb) in enumerate(FIRST_FRAME) if ",".join(found[3 * i:3 * i + 3]) != rgb]


def shoot(shot, window="root"):
    return quietly("import", "-window", str(window), str(shot))


def wait_for_first_frame(shot, window="root", seconds=10, failure="the first frame is wrong"):
    """Screenshots of WINDOW until it shows the first frame."""
    wait(lambda: shoot(shot, window) and not first_frame_errors(shot), seconds,
         lambda: f"{failure}: " + "; ".join(first_frame_errors(shot)))


def colours(shot):
    """{(r,g,b): count} of a screenshot, as strings "(r,g,b)"."""
    text = x("convert", str(shot), "-format", "%c", "histogram:info:-", check=False)
    return {f[1]: int(f[0].rstrip(":")) for f in map(str.split, text.splitlines()) if len(f) > 1}


def drawing(shot, window):
    """Whether WINDOW shows the first frame's dark red and its dark green
    square, whole or in part, wherever and at whatever size the desktop put
    it."""
    found = shoot(shot, window) and colours(shot)
    return bool(found) and 0 < found.get(f"({GREEN})", 0) <= 40000 and f"({RED})" in found


def wait_for_drawing(shot, window, failure="the window does not show the first frame"):
    wait(lambda: drawing(shot, window), 10, lambda: f"{failure}: the window shows the colours (count: (r,g,b)): "
         + " ".join(f"{count}: {rgb}" for rgb, count in colours(shot).items()))


class Run:
    """The program started with the signals' default actions, as from a
    terminal, bounded by timeout(1) (killed 5 s after its SECONDS); its
    standard output a pipe read here into `out` ("pipe"), a file
    ("file"), or a descriptor given."""

    def __init__(self, work, command, launcher=(), stdout="pipe", name="display-loss-test", env=None, seconds=30):
        self.work, self.name, self.status, self.ended = work, name, None, None
        self.out = bytearray()
        target = subprocess.PIPE if stdout == "pipe" else open(work / "stdout", "wb") if stdout == "file" else stdout
        self.popen = subprocess.Popen(
            ["timeout", "-k", "5", str(seconds), "env", "--default-signal=INT,TERM,HUP,QUIT,PIPE", *launcher, *command],
            stdout=target, stderr=open(work / "stderr", "wb"), env=env)
        self.reader = None
        if stdout == "pipe":
            self.reader = threading.Thread(target=self.read, daemon=True)
            self.reader.start()
        self.file = stdout == "file"

    def read(self):
        for chunk in iter(lambda: self.popen.stdout.read1(65536), b""):
            self.out.extend(chunk)

    def lines(self):
        return (self.work / "stdout").read_bytes().decode() if self.file else bytes(self.out).decode()

    def stderr(self):
        return (self.work / "stderr").read_text()

    def process(self):
        """The program's own PID, under timeout(1)."""
        found = x("pgrep", "-P", str(self.popen.pid), check=False).split()
        assert found, "the program was gone as soon as its window appeared"
        return int(found[0])

    def window(self, seconds=10):
        """The program's window once it is mapped. A window that goes as
        xdotool walks the tree ends its search with BadWindow (Wine makes and
        drops windows as it starts): the search starts again."""
        def search():
            left = max(1, int(deadline - time.monotonic()))
            found = subprocess.run(["timeout", str(left), "xdotool", "search", "--sync", "--onlyvisible", "--name",
                                    f"^{self.name}$"], capture_output=True, text=True).stdout.split()
            return found[0] if found else None
        deadline = time.monotonic() + seconds
        return wait(search, seconds, lambda: f"no program window appeared within {seconds} s; it printed "
                    f"'{self.lines()[:300]}' and wrote '{self.stderr()[:300]}'")

    def kill(self, name, pid=None):
        os.kill(pid or self.process(), signal.Signals[f"SIG{name}"])

    def reap(self):
        self.status, self.ended = status_of(self.popen.wait()), time.monotonic()

    def end(self, status, least, most, error=""):
        """The run ends with STATUS between LEAST and MOST ms from now,
        having written only ERROR (a line) on standard error."""
        start = time.monotonic()
        try:
            self.popen.wait(most / 1000 + 1)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"still running {most + 1000} ms later, expected to end within {most} ms") from None
        self.reap()
        elapsed = int((self.ended - start) * 1000)
        assert self.status == status, f"exit status {self.status} after {elapsed} ms, expected {status}"
        assert least <= elapsed <= most, f"ended after {elapsed} ms, expected {least} to {most} ms"
        expected = error and error + "\n"
        assert self.stderr() == expected, f"wrote to standard error: '{self.stderr()}', expected '{error}'"

    def stop(self):
        if self.popen.poll() is None:
            self.popen.terminate()
            try:
                self.popen.wait(5)
            except subprocess.TimeoutExpired:
                self.popen.kill()
                self.popen.wait()


class Driven:
    """A run driven through the preload library (count_flips_inject_events),
    the one driver of its protocol, for the load cases and the benchmark:
    commands through the FIFO it reads, its report read back."""

    def __init__(self, work, library, command, seconds=30):
        inject, self.report = work / "inject", work / "report"
        os.mkfifo(inject)
        self.report.touch()
        # Open for reading too, so that opening it does not wait for the program.
        self.commands = os.open(inject, os.O_RDWR)
        self.launched_us = time.time_ns() // 1000
        self.run = Run(work, command, ["env", f"DLT_INJECT={inject}", f"DLT_REPORT={self.report}",
                                       f"LD_PRELOAD={library}"], "file", seconds=seconds)

    def send(self, *commands):
        os.write(self.commands, "".join(f"{command}\n" for command in commands).encode())

    def reported(self, key):
        return [line[len(key) + 1:] for line in self.report.read_text().splitlines() if line.startswith(f"{key} ")]

    def wait_for(self, key, count=1):
        """The report's values for KEY once it has COUNT of them (10 s at
        most, and not after the program's end)."""
        wait(lambda: len(self.reported(key)) >= count or self.run.popen.poll() is not None, 10, pause=0.005)
        assert len(self.reported(key)) >= count, f"no report of '{key}' number {count}; see {self.report}"
        return self.reported(key)

    def flips(self):
        """The flips so far and when (CLOCK_MONOTONIC ns), asked for."""
        asked = len(self.reported("flips"))
        self.send("flips")
        count, when = self.wait_for("flips", asked + 1)[-1].split()
        return int(count), int(when)

    def stop(self):
        self.run.stop()
        os.close(self.commands)


class Session:
    """A run of the program beside the helper's own window, which has the
    focus: somewhere to switch to, and a known focus to start from."""

    def __init__(self, build, work):
        self.build, self.work, self.program, self.peer = build, work, None, None

    def begin(self):
        self.peer = subprocess.Popen([self.build / "tests/x11-peer", "window"], stdout=subprocess.PIPE, text=True)
        ready, _, _ = select.select([self.peer.stdout], [], [], 10)
        self.peer_window = ready and self.peer.stdout.readline().strip()
        assert self.peer_window, "the helper's window did not appear"
        # A window manager that has just seen the screen change (fluxbox) can
        # keep it unviewable a moment.
        wait(lambda: quietly("xdotool", "windowfocus", self.peer_window), 10,
             "the helper's window could not take the focus")
        x("xdotool", "windowfocus", "--sync", self.peer_window)

    def switch_away_and_back(self):
        """The focus to the window, away and back, each line waited for."""
        expected = ""
        for window, line in ((self.window, "In"), (self.peer_window, "Out"), (self.window, "In")):
            x("xdotool", "windowfocus", "--sync", window)
            expected += f"Display Switch {line}\n"
            wait(lambda: self.program.lines() == expected, 10,
                 lambda: f"printed '{self.program.lines()}', expected '{expected}'")

    def escape(self):
        # The key-up is not addressed to the window: it can be gone by then.
        x("xdotool", "keydown", "--window", self.window, "Escape", "keyup", "Escape")

    def stop(self):
        if self.program:
            self.program.stop()
        if self.peer:
            self.peer.kill()
            self.peer.wait()


def begun(session):
    """For a fixture: the session begun, and stopped however the case ends."""
    try:
        session.begin()
        yield session
    finally:
        session.stop()
