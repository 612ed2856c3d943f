#!/usr/bin/env python3
"""try_windows.py PACKAGE BUILD SHOT: the Windows package's program under
Wine on the private desktop the tests use (Xorg with the dummy driver and
openbox, which switches modes), for scripts/run --windows: its first frame
checked and saved to SHOT, a switch away and back, Escape; then what it
printed, its status and the screenshot's path. Exit status 0 where the
first frame showed, the switch out was reported and Escape ended it with 0.
"""

import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

from program import Run, Session, wait_for_first_frame
from servers import wine, wine_command, x


def main(package, build, shot):
    folder = pathlib.Path(tempfile.mkdtemp(prefix="display-loss-test-"))
    problem = None
    try:
        with wine(folder, package):
            session = Session(build, folder)
            try:
                session.begin()
                program = next((folder / "package").iterdir()) / "display-loss-test.exe"
                session.program = Run(folder, [program], [wine_command("wine64")], "file", program.name, seconds=60)
                window = session.program.window(30)
                wait_for_first_frame(shot)
                # Wine shows the window again at its first activation and
                # gives it the focus at the next.
                for target in (session.peer_window, window, window):
                    x("xdotool", "windowactivate", target, check=False)
                    time.sleep(1)
                x("xdotool", "key", "Escape")
                session.program.popen.wait(30)
                session.program.reap()
            except (AssertionError, subprocess.TimeoutExpired) as error:
                problem = str(error).splitlines()[0]
            finally:
                session.stop()
        lines = session.program.lines().replace("\r", "") if session.program else ""
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print(f"{program.name} ({package.name}) ran under Wine on a private desktop.\nIt printed:")
    print("".join(f"  {line}\n" for line in lines.splitlines()), end="")
    print(f"Its exit status: {session.program.status}\nScreenshot of the first frame: {shot}")
    if problem or session.program.status != 0 or "Display Switch Out" not in lines:
        print(f"Not as expected{': ' + problem if problem else ''}; see the messages above.", file=sys.stderr)
        return 1
    print("As expected: the first frame shown, the switch out reported, ended by Escape.")
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    sys.exit(main(*map(pathlib.Path, sys.argv[1:])))
