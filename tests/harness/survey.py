#!/usr/bin/env python3
"""The survey's runs, compared with each desktop's expectations and written
out: every run as JSON, and the table of desktops by cases as Markdown.

    survey.py progress RUNS DESKTOP
    survey.py report RUNS VERSIONS RESULTS_JSON complete|partial
    survey.py page EXPECTATIONS MARKDOWN RESULTS_JSON...
    survey.py releases EXPECTATIONS MARKDOWN RESULTS_JSON...

RUNS holds the record of each run of a case on a desktop that the desktop
cases wrote (DESKTOP[@LIBRARY].CASE.RUN.json: its outcome, why it failed,
the program's lines and status, what it measured), and DESKTOP.version. An expectations file lists a desktop's known failures and
flakes, one a line: "fail CASE: why" or "flake CASE: why", or with the
Debian releases it holds on, "fail CASE [bookworm, trixie]: why", and under
Wine the library's releases, "fail CASE [5.2.0, 5.2.3-5.2.11]: why"; a line
naming both holds where both hold. page
compares each release's results with the lines that hold there, prints the
differences (exit status 1 where there are any) and writes the page from
the complete results.
"""

import collections
import json
import pathlib
import re
import sys

from registry import CASES, DEBIAN_RELEASES as RELEASES, DUTIES, LIBRARY_RELEASES, duties

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


def progress(runs_dir, desktop):
    runs = [r for r in read_runs(runs_dir) if r["desktop"] == desktop]
    failed = collections.Counter(r["case"] for r in runs if r["outcome"] == "fail")
    passed = sum(r["outcome"] == "pass" for r in runs)
    detail = ", ".join(f"{case} {count}" for case, count in failed.items())
    print(f"{desktop} {runs[0]['desktop_version'] if runs else ''}: {len(runs)} runs,"
          f" {passed} passed, {sum(failed.values())} failed{f' ({detail})' if detail else ''}")


def report(runs_dir, versions_file, results_json, complete):
    versions = dict(line.split(" ", 1) for line in pathlib.Path(versions_file).read_text().splitlines())
    pathlib.Path(results_json).write_text(json.dumps(
        {"versions": versions, "complete": complete == "complete", "runs": read_runs(runs_dir)}, indent=1) + "\n")


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


if __name__ == "__main__":
    if sys.argv[1:2] == ["progress"] and len(sys.argv) == 4:
        progress(sys.argv[2], sys.argv[3])
    elif sys.argv[1:2] == ["report"] and len(sys.argv) == 6 and sys.argv[5] in ("complete", "partial"):
        report(sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5])
    elif sys.argv[1:2] == ["page"] and len(sys.argv) >= 5:
        sys.exit(page(sys.argv[2], sys.argv[3], sys.argv[4:]))
    elif sys.argv[1:2] == ["releases"] and len(sys.argv) >= 5:
        sys.exit(page(sys.argv[2], sys.argv[3], sys.argv[4:], "releases"))
    else:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
