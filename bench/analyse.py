#!/usr/bin/env python3
"""analyse.py SAMPLES.csv: the benchmark's table, from the samples that
scripts/bench saved (figure,pair,run,value). Each figure gets an estimate and
a 95% bootstrap interval; a target is met only when the whole interval meets
it, not met when the whole interval misses it, and unclear otherwise. The
resampling is seeded, so the same samples always give the same table."""

import csv
import random
import statistics
import sys
from collections import defaultdict

RESAMPLES = 10000


def interval(values, statistic):
    rng = random.Random(1)
    estimates = sorted(
        statistic(rng.choices(values, k=len(values))) for _ in range(RESAMPLES)
    )
    return estimates[int(0.025 * RESAMPLES)], estimates[int(0.975 * RESAMPLES) - 1]


def verdict(low, high, limit, at_least):
    """Met only when the whole interval is on the target's side of the limit,
    not met when it is wholly on the other side."""
    met, missed = (low >= limit, high < limit) if at_least else (high <= limit, low > limit)
    return "met" if met else "not met" if missed else "unclear"


def p99(values):
    return statistics.quantiles(values, n=100)[98] if len(values) > 1 else values[0]


def main(path):
    runs = defaultdict(lambda: defaultdict(dict))
    with open(path, newline="") as file:
        for row in csv.DictReader(file):
            runs[row["figure"]][row["pair"]][row["run"]] = float(row["value"])

    def values(figure, run="program"):
        return [pair[run] for pair in runs[figure].values()]

    def ratios(figure):
        return [pair["program"] / pair["baseline"] for pair in runs[figure].values()]

    frame_ms = 1000 / statistics.mean(values("frames_per_s", "baseline"))
    bound = frame_ms + 0.5
    mean = statistics.mean
    # figure, samples, statistic, decimals, target (limit, at least?) or None
    figures = [
        ("frame rate ratio (program / least loop)", ratios("frames_per_s"), mean, 3, (0.97, True)),
        ("frames/s, program", values("frames_per_s"), mean, 0, None),
        ("frames/s, least loop", values("frames_per_s", "baseline"), mean, 0, None),
        ("event -> line latency p50 (ms)", values("latency_ms"), statistics.median, 3, None),
        ("event -> line latency p99 (ms)", values("latency_ms"), p99, 3, (bound, False)),
        ("batch drain: line after a held 50 ms flip (ms)", values("drain_ms"), mean, 3, (bound, False)),
        ("CPU while suspended (program / 1590 Hz timer loop)", ratios("cpu_ms_per_s"), mean, 3, (1.1, False)),
        ("CPU while suspended, program (ms/s)", values("cpu_ms_per_s"), mean, 1, None),
        ("CPU, 1590 Hz timer loop (ms/s)", values("cpu_ms_per_s", "baseline"), mean, 1, None),
        ("time to first frame (program / least loop)", ratios("first_frame_ms"), mean, 3, (1.2, False)),
        ("time to first frame, program (ms)", values("first_frame_ms"), mean, 1, None),
        ("time to first frame, least loop (ms)", values("first_frame_ms", "baseline"), mean, 1, None),
        ("peak RSS (program / least loop)", ratios("peak_rss_mib"), mean, 3, (1.2, False)),
        ("peak RSS, program (MiB)", values("peak_rss_mib"), mean, 1, None),
    ]
    print(f"One frame of the least loop: {frame_ms:.3f} ms, so the latency bound is {bound:.3f} ms.\n")
    print("| figure | samples | estimate | 95% interval | target | verdict |")
    print("|---|---|---|---|---|---|")
    for name, samples, statistic, decimals, target in figures:
        low, high = interval(samples, statistic)
        said, wanted = "-", "report"
        if target:
            limit, at_least = target
            wanted = f"{'>=' if at_least else '<='} {limit:.{max(decimals, 2)}f}"
            said = verdict(low, high, limit, at_least)
        print(
            f"| {name} | {len(samples)} | {statistic(samples):.{decimals}f} "
            f"| {low:.{decimals}f} to {high:.{decimals}f} | {wanted} | {said} |"
        )


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: analyse.py SAMPLES.csv")
    main(sys.argv[1])
