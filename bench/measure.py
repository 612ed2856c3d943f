#!/usr/bin/env python3
"""measure.py BUILD SAMPLES.csv [DOC]: measures display-loss-test of BUILD on
a private Xvfb against the least loops that do its work, through the preload
library (count_flips_inject_events), for scripts/bench. Program and least
loop run in alternating pairs, each pair in the other order from the last;
every sample goes to SAMPLES.csv, and analyse.py's table of them to
standard output and, where DOC is given (a full run), to DOC with the
machine and versions they were measured on. QUICK=1 in the environment
makes it shorter."""

import os
import pathlib
import platform
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "harness"))
from program import Driven  # noqa: E402
from servers import xvfb  # noqa: E402

QUICK = os.environ.get("QUICK") == "1"
PAIRS, WARMUP_S, COUNTED_S, CPU_S, LATENCY_EVENTS, HOLDS = (4, 0.5, 1, 1, 100, 4) if QUICK else (12, 0.5, 2, 2, 500, 10)


class Bench:
    def __init__(self, build, work):
        self.build, self.work, self.runs, self.rows = build, work, 0, ["figure,pair,run,value"]

    def start(self, program):
        self.runs += 1
        folder = self.work / f"run{self.runs}"
        folder.mkdir()
        return Driven(folder, self.build / "preload/libcount_flips_inject_events.so", [program], seconds=120)

    def sample(self, figure, pair, run, value):
        # Pair 0, the warm-up, is not kept.
        if pair:
            self.rows.append(f"{figure},{pair},{run},{value}")

    def draw(self, pair, run, program):
        """Time to the first frame, frames a second after a warm-up, and
        peak memory."""
        driven = self.start(program)
        try:
            first = int(driven.wait_for("first_flip_wall_us")[0])
            self.sample("first_frame_ms", pair, run, (first - driven.launched_us) / 1000)
            time.sleep(WARMUP_S)
            (from_count, from_ns) = driven.flips()
            time.sleep(COUNTED_S)
            (to_count, to_ns) = driven.flips()
            self.sample("frames_per_s", pair, run, (to_count - from_count) * 1e9 / (to_ns - from_ns))
            self.sample("peak_rss_mib", pair, run, status(driven, "VmHWM") / 1024)
            return driven
        finally:
            driven.stop()

    def cpu(self, pair, run, program):
        """CPU time a second: the program switched out (it waits on its
        timer only), the timer loop as it is."""
        driven = self.start(program)
        try:
            if run == "program":
                driven.wait_for("first_flip_wall_us")
                driven.send("out")
                driven.wait_for("line")
            else:
                driven.wait_for("version")
            time.sleep(0.2)
            cpu_from, wall_from = cpu_ns(driven), time.time_ns()
            time.sleep(CPU_S)
            cpu_to, wall_to = cpu_ns(driven), time.time_ns()
            self.sample("cpu_ms_per_s", pair, run, (cpu_to - cpu_from) / ((wall_to - wall_from) / 1000))
        finally:
            driven.stop()

    def in_pairs(self, measure, least_loop):
        for pair in range(1, PAIRS + 1):
            order = [("program", "display-loss-test"), ("baseline", least_loop)]
            for run, program in order if pair % 2 else reversed(order):
                print(f"bench: {measure.__name__}, pair {pair} of {PAIRS}, {run}", file=sys.stderr)
                measure(pair, run, self.build / program)

    def latency(self):
        """Display events 10 ms apart, each from its emission to the flush of
        its line; and a found event emitted at the end of a flip held for 50
        ms, from the flip's return to the flush of its line."""
        driven = self.start(self.build / "display-loss-test")
        try:
            driven.wait_for("first_flip_wall_us")
            for _ in range(LATENCY_EVENTS):
                driven.send("found")
                time.sleep(0.01)
            for _ in range(HOLDS):
                driven.send("hold 50 found")
                time.sleep(0.1)
            lines = driven.wait_for("line", LATENCY_EVENTS + HOLDS)
        finally:
            driven.stop()
        pairs = [("latency_ms", zip(driven.reported("emit found"), lines[:LATENCY_EVENTS])),
                 ("drain_ms", zip(driven.reported("held_flip_return"), lines[-HOLDS:]))]
        for figure, spans in pairs:
            self.rows += [f"{figure},{n},program,{(int(end) - int(start)) / 1e6:.6f}"
                          for n, (start, end) in enumerate(spans, 1)]


def status(driven, key):
    return int(re.search(rf"^{key}:\s+(\d+)", open(f"/proc/{driven.run.process()}/status").read(), re.M)[1])


def cpu_ns(driven):
    tasks = pathlib.Path(f"/proc/{driven.run.process()}/task")
    return sum(int((task / "schedstat").read_text().split()[0]) for task in tasks.iterdir())


def main(build, samples, doc=None):
    work = pathlib.Path(tempfile.mkdtemp(prefix="display-loss-test-bench-"))
    bench = Bench(build, work)
    try:
        with xvfb(work):
            print("bench: warm-up", file=sys.stderr)
            warm_up = bench.draw(0, "warm-up", build / "bench/baseline_draw")
            version, renderer = (warm_up.reported(key)[0] for key in ("version", "renderer"))
            bench.in_pairs(bench.draw, "bench/baseline_draw")
            bench.in_pairs(bench.cpu, "bench/baseline_timer")
            print("bench: event to line latency and batch drain", file=sys.stderr)
            bench.latency()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    samples.write_text("\n".join(bench.rows) + "\n")
    results = subprocess.run([sys.executable, HERE / "analyse.py", samples], check=True, capture_output=True,
                             text=True).stdout
    print(results, end="")
    print(f"bench: samples in {samples}", file=sys.stderr)
    if not doc:
        return
    cpu = next(line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name"))
    system = re.search(r'^PRETTY_NAME="?([^"\n]*)', pathlib.Path("/etc/os-release").read_text(), re.M)[1]
    doc.write_text(f"""# Benchmarks

Made by `scripts/bench` on a private Xvfb (800x600x24): display-loss-test
against the least loop that draws the same picture at the same 1590 Hz pace
(frame rate, first frame, memory) and the least loop that waits on a 1590 Hz
timer (CPU while suspended), in {PAIRS} alternating pairs each; latency over {LATENCY_EVENTS}
events and {HOLDS} held flips. Each estimate is the mean over pairs (of the
pair ratios, for a ratio); the interval is a 95% bootstrap interval, and a
target is met only when the whole interval meets it ("unclear" when it
straddles the target).

- machine: {cpu}, {os.cpu_count()} cores
- system: {system}, Linux {platform.release()}
- Allegro: {version}
- GL renderer: {renderer}

{results}""")
    print(f"bench: wrote {doc}", file=sys.stderr)


if __name__ == "__main__":
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    main(*map(pathlib.Path, sys.argv[1:]))
