#!/usr/bin/env python3
"""The survey's comparison of a desktop's runs with its expectations."""

import pathlib
import sys
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent / "harness"))
import registry  # noqa: E402
import survey  # noqa: E402

P, F = ("pass", ""), ("fail", "no switch")


class Differences(unittest.TestCase):
    def test_a_run_differs_where_the_expectations_do_not_allow_it(self):
        rows = [
            # what happened, the expectations file, differs?
            ("all pass, nothing listed", {"switch": [P, P, P]}, "", False),
            ("a new failure", {"switch": [P, F, P]}, "", True),
            ("an expected failure", {"switch": [F, F, F]}, "fail switch: grabbed", False),
            ("an expected failure now passes", {"switch": [P, P, P]}, "fail switch: grabbed", True),
            ("an expected failure now flaky", {"switch": [F, P, F]}, "fail switch: grabbed", True),
            ("a flake failing", {"close": [F, F, F]}, "flake close: cut", False),
            ("a flake passing", {"close": [P, P, P]}, "flake close: cut", False),
            ("a listed case not run", {"switch": [P]}, "flake close: cut", True),
            # The runs here are bookworm's.
            ("a failure of this release", {"switch": [F, F, F]},
             "fail switch [trixie, bookworm]: grabbed\nflake switch [forky]: cut", False),
            ("a failure of another release", {"switch": [F, F, F]}, "fail switch [trixie]: grabbed", True),
            # And the library's release is 5.2.2.
            ("a failure of this library release", {"recovery": [F, F, F]},
             "fail recovery [5.2.0-5.2.2]: lost\nfail recovery [5.2.3-5.2.11, bookworm]: no loss", False),
            ("a failure of another library release", {"recovery": [F, F, F]},
             "fail recovery [bookworm, 5.2.3-5.2.11]: no loss", True),
        ]
        for name, observed, text, differs in rows:
            with self.subTest(name):
                found = survey.differences(observed, survey.parse_expectations(text, library="5.2.2"))
                self.assertEqual(bool(found), differs, found)

    def test_only_findings_may_be_listed(self):
        rows = [
            "fail KILL: the mode was not given back",
            "flake escape: sometimes",
            "fail switch grabbed",
            "skip switch: not here",
            "fail switch: one\nflake switch: two",
            "fail switch [potato]: no such release",
            "fail recovery [5.2.12]: no such library release",
            "fail recovery [5.2.3-5.2.1]: a range the wrong way round",
        ]
        for text in rows:
            with self.subTest(text):
                with self.assertRaises(ValueError):
                    survey.parse_expectations(text)
        # Under Wine the signals are Wine's, and the close the program's.
        self.assertIn("TERM", survey.parse_expectations("fail TERM: Wine's", survey.duties("wine-direct3d")))
        with self.assertRaises(ValueError):
            survey.parse_expectations("fail close: cut", survey.duties("wine-opengl"))

    def test_each_expectations_file_is_read_for_a_desktop_that_runs_its_cases(self):
        # A file under another name than its desktop's is never read.
        for path in sorted(pathlib.Path(__file__).with_name("expectations").iterdir()):
            with self.subTest(path.name):
                desktop = next((d for d in registry.DESKTOPS if d.name == path.name), None)
                self.assertIsNotNone(desktop, "no desktop of that name")
                for release in registry.DEBIAN_RELEASES:
                    listed = survey.parse_expectations(path.read_text(), registry.duties(path.name), release)
                    self.assertLessEqual(set(listed), {*desktop.cases, *desktop.two_monitor_cases})


if __name__ == "__main__":
    unittest.main()
