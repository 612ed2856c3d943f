#!/usr/bin/env python3
"""The benchmark's verdicts and intervals, as bench/analyse.py computes them."""

import pathlib
import statistics
import sys
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
import analyse  # noqa: E402


class Verdict(unittest.TestCase):
    def test_only_an_interval_wholly_on_one_side_decides(self):
        rows = [
            # low, high, limit, at least the limit?, verdict
            (0.98, 1.10, 0.97, True, "met"),
            (0.97, 1.10, 0.97, True, "met"),
            (0.90, 1.10, 0.97, True, "unclear"),
            (0.90, 0.96, 0.97, True, "not met"),
            (0.50, 1.10, 1.10, False, "met"),
            (1.00, 1.20, 1.10, False, "unclear"),
            (1.11, 1.20, 1.10, False, "not met"),
        ]
        for low, high, limit, at_least, expected in rows:
            with self.subTest(low=low, high=high, limit=limit, at_least=at_least):
                self.assertEqual(analyse.verdict(low, high, limit, at_least), expected)


class Interval(unittest.TestCase):
    def test_holds_the_estimate_inside_the_samples(self):
        rows = [
            ([1.0, 1.2, 0.8, 1.1, 0.9, 1.05], statistics.mean),
            ([float(i) for i in range(1, 201)], analyse.p99),
        ]
        for samples, statistic in rows:
            with self.subTest(statistic=statistic.__name__):
                low, high = analyse.interval(samples, statistic)
                self.assertLess(low, high)
                self.assertLessEqual(min(samples), low)
                self.assertLessEqual(high, max(samples))
                self.assertTrue(low <= statistic(samples) <= high)


if __name__ == "__main__":
    unittest.main()
