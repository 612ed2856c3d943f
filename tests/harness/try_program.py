#!/usr/bin/env python3
"""try_program.py BUILD SHOT [PACKAGE]: scripts/run's check where there is
no desktop. The program of BUILD on a private Xvfb: its first frame checked
and saved to SHOT, the focus switched to it, away and back, each line
waited for, then Escape. With PACKAGE, the Windows package's program under
Wine on the private desktop the tests use (Xorg with the dummy driver and
openbox, which switches modes): its first frame, a switch away and back,
Escape. Then what it printed, its status and the screenshot's path; exit
status 0 where all of that went as expected.
"""

import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

from program import Run, Session, wait_for_first_frame
from registry import CTEST, desktop
from servers import wine, wine_command, x, xvfb


def on_xvfb(session, shot):
    session.program = Run(session.work, [session.build / "display-loss-test"], stdout="file", seconds=60)
    session.window = session.program.window()
    wait_for_first_frame(shot)
    session.switch_away_and_back()
    session.escape()


def under_wine(session, shot):
    program = next((session.work / "package").iterdir()) / "display-loss-test.exe"
    session.program = Run(session.work, [program], [wine_command("wine64")], "file", program.name, seconds=60)
    window = session.program.window(30)
    wait_for_first_frame(shot)
    # Wine shows the window again at its first activation and gives it the
    # focus at the next.
    for target in (session.peer_window, window, window):
        x("xdotool", "windowactivate", target, check=False)
        time.sleep(1)
    x("xdotool", "key", "Escape")


def main(build, shot, package=None):
    folder = pathlib.Path(tempfile.mkdtemp(prefix="display-loss-test-"))
    session, problem = Session(build, folder), None
    try:
        with wine(folder, desktop(CTEST["wine"][0]), package) if package else xvfb(folder):
            try:
                session.begin()
                (under_wine if package else on_xvfb)(session, shot)
                session.program.popen.wait(30)
                session.program.reap()
            except (AssertionError, subprocess.TimeoutExpired) as error:
                problem = " ".join(str(error).split())
            finally:
                session.stop()
        run = session.program
        lines, errors = (run.lines().replace("\r", ""), run.stderr()) if run else ("", "")
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print(f"display-loss-test.exe ({package.name}) ran under Wine on a private desktop." if package else
          "display-loss-test ran on a private virtual display (Xvfb).")
    print("It printed:\n" + "".join(f"  {line}\n" for line in lines.splitlines()), end="")
    if errors and not package:
        print("On standard error:\n" + "".join(f"  {line}\n" for line in errors.splitlines()), end="")
        problem = problem or "it wrote on standard error"
    print(f"Its exit status: {run and run.status}\nScreenshot of the first frame: {shot}")
    if problem or not run or run.status != 0 or "Display Switch Out" not in lines:
        print(f"Not as expected{': ' + problem if problem else ''}; see the messages above.", file=sys.stderr)
        return 1
    print("As expected: the first frame shown, the switch out reported, ended by Escape." if package else
          "All as expected: dark red screen, dark green 200x200 square at the top left;\n"
          "switch out and back in reported; ended by Escape.")
    return 0


if __name__ == "__main__":
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    sys.exit(main(*map(pathlib.Path, sys.argv[1:])))
