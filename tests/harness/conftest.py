"""The desktop cases' options, their desktop as a session fixture, the
desktop's expectations as expected failures, and a record of each run.

    pytest tests/harness --desktop xorg-openbox --build build/default [--two-monitors]
        [--cases picture,escape] [--runs N] [--records DIR] [--kept DIR]
        [--package ZIP [--older-dll DLL] [--flip-probe EXE]]

With DLT_CASES set in the environment (comma-separated), only those of
the cases run. Each case is a test function named after it (test_two_escape: two-escape),
or parametrized by `name` where cases differ by one value (the signal). A
case the desktop's expectations list on this Debian release (and, under
Wine, the library's release) is an expected failure: strict for a fail
line, not for a flake. With --records, each run writes
DESKTOP[@LIBRARY].CASE.RUN.json there: its outcome whatever was expected,
why it failed, the program's lines and status, what it measured, and the
screen after it (.png) where it kept one.
"""

import json
import os
import pathlib
import re
import shutil
import signal
import tempfile

import pytest

import servers
import survey
from registry import CTEST, desktop as registered, duties

HERE = pathlib.Path(__file__).resolve().parent


def pytest_configure(config):
    # SIGTERM (the survey's timeout, CTest's) ends the session as Ctrl+C
    # does: each case's run and the desktop are stopped on the way out.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    for label in ("e2e", "reliability", "package", "static"):
        config.addinivalue_line("markers", f"{label}: the cases of CTest's label {label}")


def pytest_addoption(parser):
    add = parser.addoption
    add("--desktop", default=CTEST["desktop"][0], help="the registry's desktop the cases run on (CTest's desktop's)")
    add("--two-monitors", action="store_true", help="a second monitor right of the first")
    add("--build", type=pathlib.Path, help="the build folder: the program and its helpers")
    add("--cases", help="the cases to run, comma-separated (all the test functions by default)")
    add("--runs", type=int, default=1)
    add("--records", type=pathlib.Path, help="where each run's record goes")
    add("--kept", type=pathlib.Path, help="where a failed run's folder is kept")
    add("--package", type=pathlib.Path, help="under Wine, the Windows package (zip) whose program runs")
    add("--older-dll", type=pathlib.Path, help="under Wine, a DLL of an older release of the library")
    add("--flip-probe", type=pathlib.Path, help="under Wine, the Windows build of the helper that keeps flipping")


def case_name(item):
    params = getattr(item, "callspec", None)
    return params.params["name"] if params and "name" in params.params else item.originalname[5:].replace("_", "-")


def library(config):
    """Under Wine, the library release the package was built against."""
    package = config.getoption("package")
    found = package and re.search(r"-allegro-([0-9.]+)-windows-", package.name)
    return found[1] if found else None


def expectations(config):
    """{case: (fail|flake, why)} of this desktop here."""
    name = config.getoption("desktop")
    path = HERE.parent / "expectations" / name
    text = path.read_text() if path.exists() else ""
    return survey.parse_expectations(text, duties(name), servers.debian_release(), library(config))


def pytest_generate_tests(metafunc):
    if "run" in metafunc.fixturenames:
        metafunc.parametrize("run", range(1, metafunc.config.getoption("runs") + 1))


def pytest_collection_modifyitems(config, items):
    """The cases --cases names, in its order: by default the desktop's, and
    every case on the Xvfb; DLT_CASES narrows them. A desktop case its
    expectations list is an expected failure."""
    given = config.getoption("cases")
    entry = registered(config.getoption("desktop"))
    wanted = given.split(",") if given else [
        *entry.cases, *(entry.two_monitor_cases if config.getoption("two_monitors") else ())]
    narrowed = os.environ.get("DLT_CASES", "").split(",")
    missing = set(wanted) - {case_name(item) for item in items}
    if missing and (given or any(item.module.__name__ == "test_desktop" for item in items)):
        raise pytest.UsageError(f"no test function runs case {', '.join(sorted(missing))}")

    def chosen(item):
        on_desktop = item.module.__name__ == "test_desktop"
        return (case_name(item) in wanted or not (given or on_desktop)) and (narrowed == [""] or
                                                                              case_name(item) in narrowed)
    config.hook.pytest_deselected(items=[item for item in items if not chosen(item)])
    items[:] = sorted(filter(chosen, items), key=lambda item: wanted.index(case_name(item))
                      if case_name(item) in wanted else len(wanted))
    expected = expectations(config)
    for item in items:
        kind, why = expected.get(case_name(item), (None, None))
        if kind and item.module.__name__ == "test_desktop":
            item.add_marker(pytest.mark.xfail(strict=kind == "fail", reason=why))


@pytest.fixture(scope="session")
def desktop(request):
    """The desktop the cases share, started once and stopped at the end: its
    registry entry, the folder it keeps its files in, and under Wine the
    screen's size in millimetres, which each case gives back."""
    config = request.config
    entry = registered(config.getoption("desktop"))
    # A folder sway, run as nobody, can reach.
    folder = pathlib.Path(tempfile.mkdtemp(prefix="display-loss-test-"))
    folder.chmod(0o755)
    saved = dict(os.environ)
    try:
        if entry.kind == "wine":
            server = servers.wine(folder, entry, config.getoption("package"))
        elif entry.kind == "wayland":
            server = servers.wayland(folder, entry)
        else:
            server = servers.xorg(folder, entry, config.getoption("two_monitors"))
        with server as process:
            mm = re.search(r"dimensions:.*\((\d+x\d+) millimeters", servers.x("xdpyinfo"))
            yield Desktop(entry, folder, process, mm[1], config)
    except servers.Skip as why:
        pytest.skip(str(why))
    except AssertionError as why:
        if os.getuid() == 0:
            raise
        pytest.skip(f"no desktop for a user who is not root: {why}")
    finally:
        os.environ.clear()
        os.environ.update(saved)
        shutil.rmtree(folder, ignore_errors=True)


class Desktop:
    def __init__(self, entry, folder, server, mm, config):
        self.entry, self.folder, self.server, self.mm = entry, folder, server, mm
        self.name, self.kind = entry.name, entry.kind
        self.two_monitors = config.getoption("two_monitors")
        self.build = config.getoption("build")
        self.older_dll = config.getoption("older_dll")
        self.flip_probe = config.getoption("flip_probe")
        self.expected = expectations(config)


@pytest.fixture(scope="session")
def build(request):
    return request.config.getoption("build")


@pytest.fixture
def work(request, run):
    """The run's scratch folder: removed after a pass, kept after a failure
    (the report says where)."""
    kept = request.config.getoption("kept")
    if kept:
        kept.mkdir(parents=True, exist_ok=True)
    folder = pathlib.Path(tempfile.mkdtemp(prefix=f"{case_name(request.node)}.", dir=kept))
    request.node.work = folder
    yield folder
    if not getattr(request.node, "failed", False):
        shutil.rmtree(folder, ignore_errors=True)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    report = (yield).get_result()
    if call.when == "teardown" or (call.when == "setup" and call.excinfo is None):
        return
    error = call.excinfo and call.excinfo.value
    outcome = ("pass" if error is None else "skip" if isinstance(error, pytest.skip.Exception) else "fail")
    if outcome == "fail" and hasattr(item, "work"):
        item.failed = True
        report.sections.append(("kept", f"its screenshots and output are in {item.work}"))
    records = item.config.getoption("records")
    if not records:
        return
    records.mkdir(parents=True, exist_ok=True)
    case = getattr(item, "case", None)
    run = item.callspec.params.get("run", 1) if hasattr(item, "callspec") else 1
    lib = library(item.config)
    name = f"{item.config.getoption('desktop')}{'@' + lib if lib else ''}.{case_name(item)}.{run}"
    # The case's own message, on one line, without pytest's account of the assert.
    reason = "" if error is None else " ".join(str(error).split("\nassert ")[0].split()) or type(error).__name__
    program = case and case.program
    (records / f"{name}.json").write_text(json.dumps({
        "desktop": item.config.getoption("desktop"), "library": lib, "case": case_name(item), "run": run,
        "outcome": outcome, "reason": reason.removeprefix("Skipped: "),
        "lines": program.lines().replace("\r", "").splitlines() if program else [],
        "status": program.status if program else None, "facts": case.facts if case else {},
        "summary": case.summary if case else ""}, indent=1) + "\n")
    if case and (case.work / "after.png").exists():
        shutil.copy(case.work / "after.png", records / f"{name}.png")
