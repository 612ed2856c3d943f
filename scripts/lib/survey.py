#!/usr/bin/env python3
"""The survey's runs, compared with each desktop's expectations and written
out: every run as JSON, and the table of desktops by cases as Markdown.

    survey.py progress RUNS DESKTOP
    survey.py report RUNS VERSIONS EXPECTATIONS RESULTS_JSON MARKDOWN...

RUNS holds, for each run of a case on a desktop, DESKTOP.CASE.RUN.status
(the case's exit status: 0 passed, 77 skipped, else failed), .log (why it
failed), .summary and .record (the program's status, then its lines), and
DESKTOP.version. An expectations file lists a desktop's known failures and
flakes, one a line: "fail CASE: why" or "flake CASE: why".
"""

import collections
import json
import pathlib
import re
import sys

CASES = ["picture", "escape", "switch", "focus", "close", "taskkill", "no-driver", "recovery",
         "library-recovery", "INT", "TERM", "HUP", "QUIT", "KILL", "xkill", "two-escape"]
# The program's own duties: they pass on every desktop, or the program is
# at fault, so no desktop may list them. Under Wine the signals are Wine's
# to deliver, and the close request and the start-up failure the program's.
DUTIES = {"escape", "INT", "TERM", "HUP", "QUIT", "KILL", "xkill", "two-escape"}
WINE_DUTIES = {"escape", "close", "taskkill", "no-driver"}
NAMES = {"debian": "Debian", "allegro": "Allegro", "mesa": "Mesa", "xorg": "Xorg", "xwayland": "Xwayland",
         "allegro-windows": "Allegro for Windows"}


def duties(desktop):
    return WINE_DUTIES if desktop.startswith("wine-") else DUTIES
TEMPLATE = pathlib.Path(__file__).with_name("desktops.md.in")


def parse_expectations(text, duties=DUTIES):
    """{case: (kind, why)} from an expectations file; ValueError on a line
    that is not one, lists one of DUTIES or lists a case twice."""
    expected = {}
    for number, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        match = re.fullmatch(r"(fail|flake) (\S+): (.+)", line)
        if not match:
            raise ValueError(f"line {number}: not 'fail CASE: why' or 'flake CASE: why'")
        kind, case, why = match.groups()
        if case not in CASES:
            raise ValueError(f"line {number}: no such case: {case}")
        if case in duties:
            raise ValueError(f"line {number}: {case} is the program's own duty; it cannot be listed")
        if case in expected:
            raise ValueError(f"line {number}: {case} is listed twice")
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


def reason(case, log):
    """Why a run failed: the case's last message, without its name."""
    lines = log.splitlines()
    starts = [i for i, line in enumerate(lines) if line.startswith(f"{case}: ")]
    if not starts:
        said = [line for line in lines if line and not line[0].isspace() and " failed; " not in line]
        return " ".join(said) or "no reason given"
    message = []
    for line in lines[starts[-1]:]:
        if line.startswith(f"{case} failed; "):
            break
        message.append(line.strip())
    return " ".join(message)[len(case) + 2:]


def read_runs(runs_dir):
    """Every run in RUNS, in the order of desktops' names, cases and runs."""
    runs = []
    for status_file in sorted(pathlib.Path(runs_dir).glob("*.status")):
        desktop, case, run = status_file.name[:-len(".status")].rsplit(".", 2)
        base = str(status_file)[:-len(".status")]
        status = int(status_file.read_text())
        record = pathlib.Path(base + ".record")
        record_lines = record.read_text().splitlines() if record.exists() else ["status none"]
        program_status = record_lines[0].split()[-1]
        log = pathlib.Path(base + ".log")
        summary = pathlib.Path(base + ".summary")
        version = pathlib.Path(runs_dir, f"{desktop}.version")
        runs.append({
            "desktop": desktop,
            "desktop_version": version.read_text().strip() if version.exists() else "unknown",
            "case": case,
            "run": int(run),
            "outcome": {0: "pass", 77: "skip"}.get(status, "fail"),
            "reason": reason(case, log.read_text()) if status not in (0, 77) else "",
            "summary": summary.read_text().strip() if summary.exists() else "",
            "lines": record_lines[1:],
            "status": int(program_status) if program_status.isdigit() else None,
        })
    runs.sort(key=lambda r: (r["desktop"], CASES.index(r["case"]), r["run"]))
    return runs


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


def markdown(runs, versions, expectations, found):
    kinds = ["xorg", "wayland", "wine"]
    desktops = sorted({r["desktop"] for r in runs}, key=lambda d: (kinds.index(d.split("-")[0]), d))
    header = "| Desktop | Version | " + " | ".join(CASES) + " |"
    table = [header, "|" + "---|" * (len(CASES) + 2)]
    findings = []
    for desktop in desktops:
        mine = [r for r in runs if r["desktop"] == desktop]
        observed = by_case(mine)
        table.append(f"| {desktop} | {mine[0]['desktop_version']} | "
                     + " | ".join(cell(observed.get(case, [])) for case in CASES) + " |")
        for case, (kind, why) in expectations.get(desktop, {}).items():
            listed = "expected to fail" if kind == "fail" else "a flake"
            findings.append(f"- **{desktop}**, {case} ({listed}; {cell(observed.get(case, []))}): {why}")
    differing = [f"- **{d}**, {line}" for d, lines in found.items() for line in lines]
    printed = [(r, re.search(r"printed '([^']*)'", r["summary"] or r["reason"]))
               for r in runs if r["case"] == "library-recovery"]
    recoveries = [f"- **{r['desktop']}**, run {r['run']}: {match.group(1).replace(',', ', ')}"
                  for r, match in printed if match]
    text = TEMPLATE.read_text()
    text = text.replace("@VERSIONS@", ", ".join(f"{NAMES.get(k, k)} {v}" for k, v in versions.items()))
    text = text.replace("@TABLE@", "\n".join(table))
    text = text.replace("@FINDINGS@", "\n".join(findings) or "None.")
    text = text.replace("@RECOVERIES@", "\n".join(recoveries) or "Not run.")
    text = text.replace("@DIFFERENCES@", "\n".join(differing) or "None: every desktop did as expected.")
    return text


def progress(runs_dir, desktop):
    runs = [r for r in read_runs(runs_dir) if r["desktop"] == desktop]
    failed = collections.Counter(r["case"] for r in runs if r["outcome"] == "fail")
    passed = sum(r["outcome"] == "pass" for r in runs)
    detail = ", ".join(f"{case} {count}" for case, count in failed.items())
    print(f"{desktop} {runs[0]['desktop_version'] if runs else ''}: {len(runs)} runs,"
          f" {passed} passed, {sum(failed.values())} failed{f' ({detail})' if detail else ''}")


def report(runs_dir, versions_file, expectations_dir, results_json, documents):
    runs = read_runs(runs_dir)
    versions = dict(line.split(" ", 1) for line in pathlib.Path(versions_file).read_text().splitlines())
    expectations, found = {}, {}
    for desktop in sorted({r["desktop"] for r in runs}):
        path = pathlib.Path(expectations_dir, desktop)
        try:
            expectations[desktop] = parse_expectations(path.read_text(), duties(desktop)) if path.exists() else {}
        except ValueError as error:
            print(f"{path}: {error}", file=sys.stderr)
            return 1
        lines = differences(by_case([r for r in runs if r["desktop"] == desktop]), expectations[desktop])
        if lines:
            found[desktop] = lines
    pathlib.Path(results_json).write_text(json.dumps({"versions": versions, "runs": runs}, indent=1) + "\n")
    for document in documents:
        pathlib.Path(document).write_text(markdown(runs, versions, expectations, found))
    for desktop, lines in found.items():
        print(f"{desktop} differs from {pathlib.Path(expectations_dir, desktop)}:")
        for line in lines:
            print(f"  {line}")
    return 1 if found else 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["progress"] and len(sys.argv) == 4:
        progress(sys.argv[2], sys.argv[3])
    elif sys.argv[1:2] == ["report"] and len(sys.argv) >= 7:
        sys.exit(report(sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5], sys.argv[6:]))
    else:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
