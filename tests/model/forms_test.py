#!/usr/bin/env python3
"""The language's forms, built into a test model and run through the host
tool: conditional expressions and statements in every section, against
their closed forms.

usage: forms_test.py ORVO FORMS_LIBRARY
"""

import csv
import io
import math
import os
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True  # nothing written beside the sources
from orvo_run import run_orvo  # noqa: E402

ORVO, FORMS = sys.argv[1], sys.argv[2]


def run(library, variables, *settings):
    return run_orvo(ORVO, library, variables, *settings)


class Memory(unittest.TestCase):
    def test_operators_with_memory_against_their_closed_forms(self):
        # Fixed steps of 0.005: each operator changes at step starts, so it
        # may lag its closed form by one step.
        rows = run(FORMS, "t,tank,play,rise,charge")
        self.assertEqual(rows[-1]["t"], 10.0)
        play = 0.0
        for row in rows:
            t = row["t"]
            self.assertAlmostEqual(row["tank"], min(t, 2.0), delta=0.006, msg=f"tank at {t}")
            x = math.sin(t)
            play = min(max(play, x - 0.5), x + 0.5)  # the output points are step starts
            self.assertAlmostEqual(row["play"], play, delta=0.006, msg=f"play at {t}")
            if t > 0:
                self.assertAlmostEqual(row["rise"], 2 * t - 0.01, delta=0.0051, msg=f"rise at {t}")
            charge = 1 - math.exp(-t) if t <= 3 else (1 - math.exp(-3)) * math.exp(-(t - 3))
            self.assertAlmostEqual(row["charge"], charge, delta=2e-3, msg=f"charge at {t}")

    def test_limited_integrator_leaves_a_limit_when_the_rate_turns(self):
        # Held full from t = 2, it drains from t = 4 at the rate given (not
        # at that rate less the one it was held at) and is held empty from 6.
        rows = run(FORMS, "t,vat")
        self.assertEqual(rows[-1]["t"], 10.0)
        for row in rows:
            t = row["t"]
            vat = min(t, 2.0) if t <= 4 else max(2.0 - (t - 4), 0.0)
            self.assertAlmostEqual(row["vat"], vat, delta=0.011, msg=f"vat at {t}")

    def test_switched_exponential_under_the_stiff_methods(self):
        # The switch is read at step starts: trial evaluations past it
        # (DLSODES, CVODE, Gear and Rosenbrock step past t = 1.6) neither
        # end the run nor move the output points' values off the curve.
        for ialg in (2, 12, 14, 15):
            with self.subTest(ialg=ialg):
                rows = run(FORMS, "t,lit", f"ialg={ialg}")
                self.assertEqual(rows[-1]["t"], 10.0)
                switched, before = None, 0.0
                for row in rows:
                    t, lit = row["t"], row["lit"]
                    if switched is None and lit < 1e-29:
                        before = t
                        continue
                    if switched is None:  # the step start that read the switch
                        switched = t + math.log(1 - lit)
                        self.assertTrue(max(before, 1.6) - 1e-9 <= switched < t, msg=f"on at {switched}")
                    self.assertAlmostEqual(lit, 1 - math.exp(-(t - switched)), delta=1e-9,
                                           msg=f"lit at {t}")
                self.assertLess(before, 2.0)


class Delay(unittest.TestCase):
    def test_transport_delay_against_its_closed_form(self):
        for lag in (2.0, 0.5, 3.7):
            with self.subTest(lag=lag):
                rows = run(FORMS, "t,ylag,late", f"lag={lag}")
                for row in rows:
                    t = row["t"]
                    # A linear input is interpolated exactly between samples.
                    exact = 0.5 * (t - lag) ** 2 if t > lag else 0.0
                    self.assertAlmostEqual(row["ylag"], exact, delta=1e-9, msg=f"ylag at {t}")
                    late = math.sin(t - 1.0) if t > 1.0 else 0.25
                    if abs(t - 1.0) > 1e-9:
                        self.assertAlmostEqual(row["late"], late, delta=1e-5, msg=f"late at {t}")


class Repetitions(unittest.TestCase):
    def test_unbounded_and_started_before_the_run(self):
        rows = run(FORMS, "t,ticks,early")
        self.assertEqual(rows[-1]["t"], 10.0)
        for row in rows:
            t = row["t"]
            self.assertEqual(row["ticks"], math.floor((t - 0.25) / 0.5) + 1 if t >= 0.25 else 0, t)
            self.assertEqual(row["early"], 1 + sum(1 for k in range(4) if 0.8 + k <= t), t)


class Arrays(unittest.TestCase):
    def test_elements_at_indices_computed_during_a_run(self):
        # 20 ticks: hits(1 + mod(ticks, 3)) counts ticks 3, 6, ..., 1, 4, ... and 2, 5, ...
        rows = run(FORMS, "t,ticks,hits,picked,scaled")
        final = rows[-1]
        self.assertEqual(final["ticks"], 20.0)
        self.assertEqual([final[f"hits[{k}]"] for k in (1, 2, 3)], [6.0, 7.0, 7.0])
        self.assertEqual([final[f"scaled[{k}]"] for k in (1, 2, 3)], [1.5, 3.0, 4.5])
        for row in rows:
            self.assertEqual(row["picked"], row["hits[1]"])

    def test_an_index_outside_the_array_ends_the_run(self):
        for slot, shown in (("2", "4"), ("0.5", "0.5"), ("-1", "-1")):
            with self.subTest(slot=slot):
                done = run_orvo(ORVO, FORMS, "t,hits", f"slot={slot}", check=False)
                self.assertNotEqual(done.returncode, 0)
                self.assertIn(f"index {shown} is outside array 'hits' of size 3", done.stderr)


class IntegersAndLogicals(unittest.TestCase):
    def test_truncation_and_truth(self):
        for settings, nth, marking in (((), 3, True), (("nth=4", "marking=0"), 4, False),
                                       (("nth=2", "halving=-0.7"), 2, True)):
            with self.subTest(settings=settings):
                halving = -0.7 if "halving=-0.7" in settings else 0.5
                rows = run(FORMS, "t,ticks,marks,marked,half", *settings)
                for row in rows:
                    ticks = int(row["ticks"])
                    self.assertEqual(row["half"], math.trunc(ticks * halving), row["t"])
                    self.assertEqual(row["marked"], 1.0 if ticks and ticks % nth == 0 else 0.0)
                    self.assertEqual(row["marks"], ticks // nth if marking else 0, row["t"])

    def test_arrays_of_integers_and_logicals(self):
        for settings, every in (((), (2, 3)), (("every=5,4",), (5, 4))):
            with self.subTest(settings=settings):
                final = run(FORMS, "t,ticks,seen,counts", *settings)[-1]
                self.assertEqual(final["ticks"], 20.0)
                self.assertEqual([final["seen[1]"], final["seen[2]"]],
                                 [1.0 if 20 % e == 0 else 0.0 for e in every])
                self.assertEqual([final["counts[1]"], final["counts[2]"]], [20 // e for e in every])

    def test_integers_and_indices_computed_from_the_states(self):
        # The pass that computes the initial conditions reads the states
        # before they have values; only the later passes check the conversion.
        for ialg in (5, 14):
            with self.subTest(ialg=ialg):
                rows = run(FORMS, "t,x,level,stepped", f"ialg={ialg}")
                self.assertEqual(rows[-1]["t"], 10.0)
                for row in rows:
                    level = math.trunc(row["x"])
                    self.assertEqual(row["level"], level, row["t"])
                    self.assertEqual(row["stepped"], 1.5 * (1 + level % 3), row["t"])

    def test_a_value_that_does_not_fit_an_integer_ends_the_run(self):
        for halving, shown in (("1e10", "1e+10"), ("-3e9", "-3e+09")):
            with self.subTest(halving=halving):
                done = run_orvo(ORVO, FORMS, "t,half", f"halving={halving}", check=False)
                self.assertNotEqual(done.returncode, 0)
                self.assertIn(f"the value {shown} does not fit integer variable 'half'", done.stderr)


class Conditions(unittest.TestCase):
    def test_branches_follow_the_conditions(self):
        # k picks the initial branch (base) and the sign in dt(y) = (k > 0 ? -k : k) y.
        for k, base in ((2.0, 20.0), (0.5, 10.0), (0.1, 5.0), (-0.3, 5.0)):
            with self.subTest(k=k):
                rows = run(FORMS, "t,x,y,slope,base,phase,bumped", f"k={k}")
                self.assertEqual(rows[-1]["t"], 10.0)
                rate = -k if k > 0 else k
                for row in rows:
                    t = row["t"]
                    self.assertEqual(row["base"], base)
                    x = t if t <= 3 else 3 + 2 * (t - 3) if t <= 6 else 9.0
                    self.assertAlmostEqual(row["x"], x, delta=1e-9, msg=f"x at {t}")
                    y = math.exp(rate * t) + (base * math.exp(rate * (t - 4)) if t >= 4 else 0.0)
                    self.assertLessEqual(abs(row["y"] - y), 1e-8 * abs(y), f"y at {t}")
                    # On a switching time either branch may have been evaluated last.
                    if min(abs(t - 3.0), abs(t - 6.0)) > 1e-9:
                        self.assertEqual(row["phase"], 1.0 if t < 3 else 2.0 if t < 6 else 3.0)
                        self.assertEqual(row["slope"], 1.0 if t < 3 else 2.0 if t < 6 else 0.0)
                    self.assertEqual(row["bumped"], 1.0 if t >= 4 else 0.0)


class HostWrites(unittest.TestCase):
    def test_a_constant_written_during_the_run_takes_effect_at_once(self):
        # dt(y) = (k > 0 ? -k : k) y is computed from k once per change of k:
        # a dose record sets k = 2 at t = 2, and y follows the new rate from there.
        with tempfile.TemporaryDirectory() as folder:
            doses = os.path.join(folder, "doses.csv")
            with open(doses, "w", encoding="utf-8") as f:
                f.write("time,target,value\n2,k,2\n")
            done = subprocess.run([ORVO, "run", "--lib", FORMS, "--vars", "t,y,base", "--doses", doses],
                                  capture_output=True, text=True, check=False)
        self.assertEqual(done.returncode, 0, done.stderr)
        rows = [{k: float(v) for k, v in row.items()} for row in csv.DictReader(io.StringIO(done.stdout))]
        self.assertEqual(rows[-1]["t"], 10.0)
        for row in rows:
            t = row["t"]
            y = math.exp(-0.5 * t) if t <= 2 else math.exp(-1.0 - 2.0 * (t - 2))
            if t >= 4:
                y += row["base"] * math.exp(-2.0 * (t - 4))   # the bump, base from k = 0.5
            self.assertLessEqual(abs(row["y"] - y), 1e-8 * abs(y), f"y at {t}")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
