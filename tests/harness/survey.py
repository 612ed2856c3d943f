#!/usr/bin/env python3
"""The survey: the desktop cases run on each desktop of the registry, in
pytest sessions of their own, compared with each desktop's expectations and
written out: every run as JSON, and the table of desktops by cases as
Markdown (scripts/survey says where).

    survey.py [--runs N] [--library DIR] [DESKTOP...]

The desktop cases write the record of each run of a case on a desktop to
build/survey/runs (DESKTOP[@LIBRARY].CASE.RUN.json: its outcome, why it
failed, the program's lines and status, what it measured), beside each
desktop's DESKTOP.version. An expectations file lists a desktop's known
failures and flakes, one a line: "fail CASE: why" or "flake CASE: why", or
with the Debian releases it holds on, "fail CASE [bookworm, trixie]: why",
and under Wine the library's releases, "fail CASE [5.2.0, 5.2.3-5.2.11]:
why"; a line naming both holds where both hold. A page compares each
release's results with the lines that hold there, prints the differences
(exit status 1 where there are any) and is written from the complete
results.
"""

import argparse
import collections
import contextlib
import io
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import time

from registry import CASES, DEBIAN_RELEASES as RELEASES, DESKTOPS, DUTIES, LIBRARY_RELEASES, desktop, duties, libraries
from servers import debian_release, wine_command

HERE = pathlib.Path(__file__).resolve().parent

NAMES = {"surveyed": "Surveyed", "debian": "Debian", "allegro": "Allegro", "mesa": "Mesa", "xorg": "Xorg",
         "xwayland": "Xwayland", "allegro-windows": "Allegro for Windows"}
TEMPLATE = pathlib.Path(__file__).with_name("desktops.md.in")


def named_releases(names):
    """The Debian and library releases a line names, as two sets; a library
    range FIRST-LAST takes in every release between; ValueError on a name
    that is neither."""
    debian, library = set(), set()
    for name in names:
        first, _, last = name.partition("-")
        if name in RELEASES:
            debian.add(name)
        elif first in LIBRARY_RELEASES and (last or first) in LIBRARY_RELEASES:
            span = LIBRARY_RELEASES[LIBRARY_RELEASES.index(first):LIBRARY_RELEASES.index(last or first) + 1]
            if not span:
                raise ValueError(f"an empty range: {name}")
            library.update(span)
        else:
            raise ValueError(f"no such release: {name}")
    return debian, library


def parse_expectations(text, duties=DUTIES, release=RELEASES[0], library=None):
    """{case: (kind, why)} of the lines of an expectations file that hold on
    Debian release `release` and, under Wine, the library's `library`;
    ValueError on a line that is not one, lists one of DUTIES, names no such
    release or lists a case twice for a release."""
    expected = {}
    for number, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        match = re.fullmatch(r"(fail|flake) (\S+)(?: \[([a-z0-9., -]+)\])?: (.+)", line)
        if not match:
            raise ValueError(f"line {number}: not 'fail CASE: why' or 'flake CASE [RELEASE, ...]: why'")
        kind, case, releases, why = match.groups()
        if case not in CASES:
            raise ValueError(f"line {number}: no such case: {case}")
        if case in duties:
            raise ValueError(f"line {number}: {case} is the program's own duty; it cannot be listed")
        try:
            debian, libraries = named_releases(re.split(r",\s*", releases) if releases else [])
        except ValueError as error:
            raise ValueError(f"line {number}: {error}") from None
        if (debian and release not in debian) or (libraries and library not in libraries):
            continue
        if case in expected:
            raise ValueError(f"line {number}: {case} is listed twice for {release}")
        expected[case] = (kind, why)
    return expected


def outcome(outcomes):
    """pass, fail or flaky, of a case's runs; skip where none ran."""
    ran = {o for o in outcomes if o != "skip"}
    if not ran:
        return "skip"
    return ran.pop() if len(ran) == 1 else "flaky"


def differences(observed, expected):
    """What differs between a desktop's runs ({case: [(outcome, reason)]})
    and its expectations, one line each."""
    found = []
    for case, runs in observed.items():
        seen = outcome([o for o, _ in runs])
        passed = sum(o == "pass" for o, _ in runs)
        reasons = sorted({r for o, r in runs if o == "fail"})
        kind = expected.get(case, ("pass", ""))[0]
        if kind == "pass" and seen in ("fail", "flaky"):
            found.append(f"{case}: failed in {len(runs) - passed} of {len(runs)} runs"
                         f" ({'; '.join(reasons)}), expected to pass")
        elif kind == "fail" and seen in ("pass", "flaky"):
            found.append(f"{case}: passed in {passed} of {len(runs)} runs, expected to fail"
                         f" ({expected[case][1]})")
    for case in expected:
        if case not in observed:
            found.append(f"{case}: listed, but not run on this desktop")
    return found


def read_runs(runs_dir):
    """Every run's record in RUNS, in the order of desktops' names, cases and
    runs, with its desktop's version."""
    runs = []
    for path in pathlib.Path(runs_dir).glob("*.json"):
        run = json.loads(path.read_text())
        version = pathlib.Path(runs_dir, f"{run['desktop']}.version")
        run["desktop_version"] = version.read_text().strip() if version.exists() else "unknown"
        runs.append(run)
    runs.sort(key=order)
    return runs


def library_order(library):
    return LIBRARY_RELEASES.index(library) if library in LIBRARY_RELEASES else -1


def order(run):
    return (run["desktop"], library_order(run.get("library")), CASES.index(run["case"]), run["run"])


def label(run):
    """A run's row: its desktop, and under Wine the library's release."""
    return run["desktop"] + (f" {run['library']}" if run.get("library") else "")


def by_case(runs):
    observed = collections.defaultdict(list)
    for run in runs:
        observed[run["case"]].append((run["outcome"], run["reason"]))
    return observed


def cell(runs):
    if not runs:
        return "–"
    seen = outcome([o for o, _ in runs])
    passed = sum(o == "pass" for o, _ in runs)
    return f"flaky {passed}/{len(runs)}" if seen == "flaky" else f"{seen} {len(runs)}"


def spans(cells):
    """[(first, last, cell)] of consecutive equal cells of [(library, cell)]."""
    grouped = []
    for library, value in cells:
        if grouped and grouped[-1][2] == value:
            grouped[-1][1] = library
        else:
            grouped.append([library, library, value])
    return grouped


def fact(runs, name):
    """A fact the runs measured: their one value, or each value with its count."""
    values = collections.Counter(r["facts"].get(name, "–") for r in runs)
    if len(values) == 1:
        return next(iter(values))
    return ", ".join(f"{value} {count}/{len(runs)}" for value, count in values.most_common())


def library_rows(results, pictures):
    """The table of the library's releases: for each Debian release, desktop
    and library release, what the program's recovery row and the helper's
    measured, and the program's screen after the switch back where the
    folder of pictures holds it (RELEASE-DESKTOP-LIBRARY.png)."""
    head = ["Debian", "Desktop", "Release", "lost", "found", "drawing back", "square", "the library's trace",
            "helper: lost", "found", "drawing back", "square", "the screen after"]
    rows = [f"| {' | '.join(head)} |", "|" + "---|" * len(head)]
    for result in results:
        runs = [r for r in result["runs"] if r.get("library") and r["case"] in ("recovery", "library-recovery")]
        for desktop, library in sorted({(r["desktop"], r["library"]) for r in runs},
                                       key=lambda k: (k[0], library_order(k[1]))):
            own = [r for r in runs if (r["desktop"], r["library"], r["case"]) == (desktop, library, "recovery")]
            helper = [r for r in runs if (r["desktop"], r["library"], r["case"]) == (desktop, library,
                                                                                   "library-recovery")]
            trace = (f"device lost {fact(own, 'device-lost')}; reset refused: {fact(own, 'reset-refused')}"
                     if own and "device-lost" in own[0]["facts"] else "–")
            cells = ([fact(own, name) if own else "–" for name in ("lost", "found", "drawing", "square")] + [trace]
                     + [fact(helper, name) if helper else "–" for name in ("lost", "found", "drawing", "square")])
            release = result["versions"]["release"]
            picture = pathlib.Path(pictures, f"{release}-{desktop}-{library}.png")
            cells.append(f"![{library}]({picture.parent.name}/{picture.name})" if picture.exists() else "–")
            rows.append(f"| {release} | {desktop} | {library} | {' | '.join(cells)} |")
    return rows if len(rows) > 2 else []


def library_changes(results):
    """Where a case's outcome changes from one library release to the next."""
    changes = []
    for result in results:
        runs = [r for r in result["runs"] if r.get("library")]
        for desktop in sorted({r["desktop"] for r in runs}):
            for case in CASES:
                ran = collections.defaultdict(list)
                for r in runs:
                    if (r["desktop"], r["case"]) == (desktop, case):
                        ran[r["library"]].append(r)
                # Releases with the same outcome differ still where the
                # recovery saw otherwise (lost and never found, or found).
                cells = [(library, (outcome([r["outcome"] for r in ran[library]]),
                                    fact(ran[library], "lost"), fact(ran[library], "found")))
                         for library in sorted(ran, key=library_order)]
                grouped = spans(cells)
                if len(grouped) < 2:
                    continue
                parts = []
                for first, last, (seen, _, _) in grouped:
                    inside = [library for library, _ in cells
                              if library_order(first) <= library_order(library) <= library_order(last)]
                    reasons = sorted({r["reason"] for library in inside for r in ran[library]
                                      if r["outcome"] == "fail" and r["reason"]})
                    span = first if first == last else f"{first} to {last}"
                    parts.append(f"{seen} on {span}" + (f" ({reasons[0]})" if seen != "pass" and reasons else ""))
                changes.append(f"- **{desktop}**, {case} ({result['versions']['release']}): " + "; ".join(parts))
    return changes


def rows(results, found):
    """Each row's name (a desktop, and under Wine the library's release) in
    order, its runs by case for each release, the table of them, and the
    differences from the expectations as lines."""
    releases = [result["versions"]["release"] for result in results]
    kinds = ["xorg", "wayland", "wine"]
    first = {label(r): r for result in results for r in result["runs"]}
    desktops = sorted(first, key=lambda d: (kinds.index(d.split("-")[0]), first[d]["desktop"],
                                            library_order(first[d].get("library"))))
    observed = {(result["versions"]["release"], d): by_case([r for r in result["runs"] if label(r) == d])
                for result in results for d in desktops}
    cases = [case for case in CASES if any(case in runs for runs in observed.values())]
    table = [row("Desktop", ["Release"] + cases), "|" + "---|" * (len(cases) + 2)]
    table += [row(d, [release] + [cell(observed[release, d].get(case, [])) for case in cases])
              for d in desktops for release in releases if observed[release, d]]
    differing = [f"- **{d}** on {release}, {line}" for (release, d), lines in found.items() for line in lines]
    return desktops, observed, table, differing


def row(name, cells):
    return f"| {name} | " + " | ".join(cells) + " |"


def fill(template, parts):
    text = template.read_text()
    for key, lines, none in parts:
        text = text.replace(key, "\n".join(lines) or none)
    return text


def markdown(results, expectations, found):
    """The page, from each release's results, in the order of releases, with
    the expectations and differences of each ({(release, row): ...})."""
    releases = [result["versions"]["release"] for result in results]
    kinds = ["xorg", "wayland", "wine"]
    desktops, observed, table, differing = rows(results, found)
    bases = sorted({r["desktop"] for result in results for r in result["runs"]},
                   key=lambda d: (kinds.index(d.split("-")[0]), d))
    versions = [row("", releases), "|" + "---|" * (len(releases) + 1)]
    versions += [row(NAMES[key], [result["versions"].get(key) or "–" for result in results])
                 for key in NAMES if any(key in result["versions"] for result in results)]
    versions += [row(d, [next((r["desktop_version"] for r in result["runs"] if r["desktop"] == d), "–")
                         for result in results]) for d in bases]
    held = collections.defaultdict(list)
    for (release, d), expected in expectations.items():
        for case, (kind, why) in expected.items():
            held[d, case, kind, why].append(f"{release} {cell(observed[release, d].get(case, []))}")
    findings = [f"- **{d}**, {case} ({'expected to fail' if kind == 'fail' else 'a flake'}; {', '.join(cells)}): {why}"
                for (d, case, kind, why), cells in sorted(held.items(),
                                                          key=lambda h: (desktops.index(h[0][0]), CASES.index(h[0][1])))]
    changes = []
    for d in desktops:
        for case in CASES:
            ran = {release: observed[release, d][case] for release in releases if observed[release, d].get(case)}
            if len({outcome([o for o, _ in runs]) for runs in ran.values()}) > 1:
                changes.append(f"- **{d}**, {case}: " + "; ".join(
                    f"{release} {cell(runs)}" + "".join(f" ({r})" for r in sorted({r for o, r in runs if r})[:1])
                    for release, runs in ran.items()))
    recoveries = [f"- **{label(r)}** on {result['versions']['release']}, run {r['run']}: "
                  + (", ".join(r["lines"]) or "nothing")
                  for result in results for r in result["runs"] if r["case"] == "library-recovery"]
    return fill(TEMPLATE, [("@VERSIONS@", versions, ""), ("@TABLE@", table, ""), ("@FINDINGS@", findings, "None."),
                           ("@CHANGES@", changes, "None: every case did the same on every release."),
                           ("@RECOVERIES@", recoveries, "Not run."),
                           ("@DIFFERENCES@", differing, "None: every desktop did as expected.")])


def releases_markdown(results, found, pictures):
    """The page of the library's releases, from the runs under Wine."""
    _, _, table, differing = rows(results, found)
    head = ["Debian", "Wine", "The library's releases"]
    versions = [row(head[0], head[1:]), "|" + "---|" * len(head)]
    versions += [row(f"{result['versions']['release']} ({result['versions']['surveyed']})",
                     [next(r["desktop_version"] for r in result["runs"]),
                      result["versions"].get("allegro-windows", "–")]) for result in results]
    return fill(TEMPLATE.with_name("releases.md.in"), [
        ("@VERSIONS@", versions, ""), ("@LIBRARIES@", library_rows(results, pictures), "Not run."),
        ("@LIBRARY_CHANGES@", library_changes(results), "None: every case did the same on every release."),
        ("@TABLE@", table, ""), ("@DIFFERENCES@", differing, "None: every release did as expected.")])


def progress(runs, desktop):
    runs = [r for r in runs if r["desktop"] == desktop]
    failed = collections.Counter(r["case"] for r in runs if r["outcome"] == "fail")
    passed = sum(r["outcome"] == "pass" for r in runs)
    detail = ", ".join(f"{case} {count}" for case, count in failed.items())
    print(f"{desktop} {runs[0]['desktop_version'] if runs else ''}: {len(runs)} runs,"
          f" {passed} passed, {sum(failed.values())} failed{f' ({detail})' if detail else ''}", flush=True)


def package_version(pattern):
    """The installed version of a Debian package, or of the installed one of
    those a pattern names (the library's took a t64 suffix in Debian 13)."""
    text = subprocess.run(["dpkg-query", "-W", "-f=${db:Status-Status} ${Version}\n", pattern],
                          capture_output=True, text=True).stdout
    return next((f[1] for f in map(str.split, text.splitlines()) if f[0] == "installed"), "unknown")


def survey(root, options):
    """Runs the desktops' cases, each desktop's in pytest sessions of their
    own, and writes the results and the pages; 1 where a desktop differed
    from its expectations."""
    chosen = [desktop(name) for name in options.desktops] or DESKTOPS
    windows = os.environ.get("ALLEGRO_WINDOWS")
    if not windows and any(d.kind == "wine" for d in chosen):
        if options.desktops:
            sys.exit("the Wine desktops need ALLEGRO_WINDOWS (see the README)")
        print("The Wine desktops are left out: ALLEGRO_WINDOWS does not name the library's Windows release.",
              file=sys.stderr)
        chosen = [d for d in chosen if d.kind != "wine"]
    subprocess.run([root / "scripts/setup", "--survey"], check=True)
    subprocess.run(["cmake", "--preset", "default"], cwd=root, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", "--preset", "default"], cwd=root, check=True, stdout=subprocess.DEVNULL)
    out, release = root / "build/survey", debian_release()
    shutil.rmtree(out / "runs", ignore_errors=True)
    shutil.rmtree(out / "kept", ignore_errors=True)
    (out / "kept").mkdir(parents=True)
    (out / "runs").mkdir()
    (out / release).mkdir(exist_ok=True)
    versions = {"release": release, "surveyed": time.strftime("%Y-%m-%d", time.gmtime()),
                "debian": pathlib.Path("/etc/debian_version").read_text().strip(),
                "allegro": package_version("liballegro5.2*"), "mesa": package_version("libgl1-mesa-dri"),
                "xorg": package_version("xserver-xorg-core"), "xwayland": package_version("xwayland")}
    if options.library:
        os.environ["LD_LIBRARY_PATH"] = ":".join(filter(None, [options.library, os.environ.get("LD_LIBRARY_PATH")]))
        versions["allegro"] = f"built in {options.library}"
    releases = []
    if any(d.kind == "wine" for d in chosen):
        releases = libraries(windows)
        if not releases:
            sys.exit(f"no release of the library in {windows}")
        versions["allegro-windows"] = " ".join(name for name, _ in releases)
        subprocess.run([root / "scripts/setup", "--windows"], check=True)
        if not os.access(wine_command("wine64"), os.X_OK):
            print("The Wine desktops are left out: this release has no Wine.", file=sys.stderr)
            chosen, releases = [d for d in chosen if d.kind != "wine"], []

    def run_cases(entry, cases, *more):
        # A desktop that hangs is stopped after an hour.
        with open(out / f"runs/{entry.name}.log", "a") as log:
            subprocess.run(["timeout", "-k", "10", "3600", "pytest-3", "-p", "no:cacheprovider", "-q", "-rxXs",
                            HERE / "test_desktop.py", "--desktop", entry.name, "--cases", ",".join(cases),
                            "--runs", str(options.runs), "--build", root / "build/default", "--records",
                            out / "runs", "--kept", out / "kept", *more], stdout=log, stderr=subprocess.STDOUT)

    for entry in chosen:
        (out / f"runs/{entry.name}.version").write_text(package_version(entry.packages[0]) + "\n")
        if entry.kind != "wine":
            run_cases(entry, entry.cases)
            if entry.two_monitor_cases:
                run_cases(entry, entry.two_monitor_cases, "--two-monitors")
        for number, (name, folder) in enumerate(releases if entry.kind == "wine" else []):
            cases = entry.cases if number in (0, len(releases) - 1) else entry.every_release
            if cases:
                package = subprocess.run([root / "scripts/package", "--windows"], check=True, text=True,
                                         stdout=subprocess.PIPE, env=os.environ | {"ALLEGRO_WINDOWS": str(folder)})
                run_cases(entry, cases, "--package", package.stdout.strip(),
                          "--flip-probe", root / "build/windows/tests/flip-probe.exe")
        progress(read_runs(out / "runs"), entry.name)

    results = out / release / "results.json"
    complete = not options.desktops and bool(windows)
    results.write_text(json.dumps({"versions": versions, "complete": complete, "runs": read_runs(out / "runs")},
                                  indent=1) + "\n")
    status = page(root / "tests/expectations", out / "desktops.md", [results])
    with contextlib.redirect_stdout(io.StringIO()):
        if complete:
            page(root / "tests/expectations", root / "docs/desktops.md", sorted(out.glob("*/results.json")))
        # Against a folder of the library's releases, the page of the
        # releases too, from this Debian release's and the others'
        # (scripts/check-fresh), with the program's screen 2 s after its
        # switch back, small, for each desktop and release.
        if len(releases) > 1:
            shutil.copy(results, out / release / "libraries.json")
            (root / "docs/releases").mkdir(exist_ok=True)
            for shot in (out / "runs").glob("*@*.recovery.1.png"):
                name = shot.name.removesuffix(".recovery.1.png").replace("@", "-")
                subprocess.run(["convert", shot, "-resize", "160x120", root / f"docs/releases/{release}-{name}.png"])
            page(root / "tests/expectations", root / "docs/releases.md", sorted(out.glob("*/libraries.json")),
                 "releases")
    return status


def page(expectations_dir, document, result_files, kind="desktops"):
    """The desktops' page: from one results file whatever it holds, from
    several the complete. The releases' page: the runs under Wine against
    the library's releases."""
    results = [json.loads(pathlib.Path(f).read_text()) for f in result_files]
    if kind == "releases":
        for result in results:
            result["runs"] = [r for r in result["runs"] if r.get("library")]
        results = [r for r in results if r["runs"]]
    else:
        results = [r for r in results if r["complete"] or len(results) == 1]
    order = lambda release: RELEASES.index(release) if release in RELEASES else len(RELEASES)
    results.sort(key=lambda result: order(result["versions"]["release"]))
    expectations, found = {}, {}
    for result in results:
        release = result["versions"]["release"]
        for desktop, library in sorted({(r["desktop"], r.get("library")) for r in result["runs"]},
                                       key=lambda k: (k[0], library_order(k[1]))):
            path = pathlib.Path(expectations_dir, desktop)
            name = desktop + (f" {library}" if library else "")
            try:
                expected = (parse_expectations(path.read_text(), duties(desktop), release, library)
                            if path.exists() else {})
            except ValueError as error:
                print(f"{path}: {error}", file=sys.stderr)
                return 1
            observed = by_case([r for r in result["runs"] if label(r) == name])
            if library and not set(observed) - {"recovery", "library-recovery"}:
                # A release between the oldest and the newest ran the
                # recovery rows alone.
                expected = {case: line for case, line in expected.items() if case in observed}
            expectations[release, name] = expected
            lines = differences(observed, expected)
            if lines:
                found[release, name] = lines
                print(f"{name} on {release} differs from {path}:")
                print("\n".join(f"  {line}" for line in lines))
    text = (releases_markdown(results, found, pathlib.Path(document).with_name("releases")) if kind == "releases"
            else markdown(results, expectations, found))
    pathlib.Path(document).write_text(text)
    return 1 if found else 0


def arguments():
    def runs(text):
        if not text.isdigit() or int(text) < 1:
            raise argparse.ArgumentTypeError(f"not a count of runs: {text}")
        return int(text)

    def folder(text):
        if not os.path.isdir(text):
            raise argparse.ArgumentTypeError(f"no such folder: {text}")
        return os.path.abspath(text)

    def known(name):
        if name not in [d.name for d in DESKTOPS]:
            raise argparse.ArgumentTypeError(f"no such desktop: {name} (desktops: {' '.join(d.name for d in DESKTOPS)})")
        return name

    parser = argparse.ArgumentParser(prog="scripts/survey")
    parser.add_argument("--runs", type=runs, default=3, help="runs of each case (3)")
    parser.add_argument("--library", type=folder, help="the Allegro library built in this folder")
    parser.add_argument("desktops", nargs="*", type=known, metavar="DESKTOP", help="(every desktop by default)")
    return parser.parse_args()


if __name__ == "__main__":
    sys.exit(survey(HERE.parent.parent, arguments()))
