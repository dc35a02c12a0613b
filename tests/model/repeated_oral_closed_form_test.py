#!/usr/bin/env python3
"""Ten oral doses through one repeated section and a zero-order infusion,
run through the host tool and checked against the closed-form superposition.

usage: repeated_oral_closed_form_test.py ORVO LIBRARY
"""

import math
import sys
import unittest

sys.dont_write_bytecode = True  # nothing written beside the sources
from orvo_run import run_orvo  # noqa: E402

ORVO, LIBRARY = sys.argv[1], sys.argv[2]
DEFAULTS = dict(dose=100.0, tfirst=0.0, tau=12.0, ndoses=10, infdose=60.0, tinf=30.5, tinfdur=2.0,
                ka=1.2, ke=0.15)


def closed_form(t, p):
    """(agut, acentral) at t: each dose and the infusion superposed."""
    ka, ke = p["ka"], p["ke"]
    gut = central = 0.0
    for k in range(int(p["ndoses"])):
        tk = p["tfirst"] + k * p["tau"]
        if t >= tk:
            s = t - tk
            gut += p["dose"] * math.exp(-ka * s)
            central += p["dose"] * ka / (ka - ke) * (math.exp(-ke * s) - math.exp(-ka * s))
    rate = p["infdose"] / p["tinfdur"]
    if t > p["tinf"]:
        s = min(t - p["tinf"], p["tinfdur"])
        central += rate / ke * (1.0 - math.exp(-ke * s)) * math.exp(-ke * (t - p["tinf"] - s))
    return gut, central


def run(*settings, check=True):
    return run_orvo(ORVO, LIBRARY, "t,agut,acentral,balance", *settings, check=check)


class RepeatedOral(unittest.TestCase):
    def check(self, rows, relative, floor, **changes):
        p = dict(DEFAULTS, **changes)
        self.assertGreater(len(rows), 100)
        for row in rows:
            gut, central = closed_form(row["t"], p)
            for name, exact in (("agut", gut), ("acentral", central)):
                self.assertLessEqual(abs(row[name] - exact), relative * abs(exact) + floor,
                                     f"{name} at t = {row['t']}")
            self.assertLess(abs(row["balance"]), 1e-9)

    def test_regimens_against_the_closed_form(self):
        # Fixed steps of 0.005 h (RK4) meet 1e-8; dose times on and off the
        # grid; --set reaches the period, the count and the first time.
        cases = [
            ((), {}),
            (("ndoses=3", "tau=7.3", "tfirst=1.1"), dict(ndoses=3, tau=7.3, tfirst=1.1)),
            (("ndoses=0",), dict(ndoses=0)),
            (("ndoses=1", "tinf=100.25", "tinfdur=0.75"), dict(ndoses=1, tinf=100.25, tinfdur=0.75)),
            (("tau=0.1", "ndoses=7"), dict(tau=0.1, ndoses=7)),   # 0.6 = 0 + 6 x 0.1 is included
        ]
        for settings, changes in cases:
            with self.subTest(settings=settings):
                rows = run(*settings)
                self.assertEqual(rows[-1]["t"], 150.0)
                self.check(rows, 1e-8, 1e-10, **changes)

    def test_variable_step_methods_at_the_models_tolerances(self):
        # The model declares rtol = atol = 1e-10 (1e-11 for the gut and central
        # compartment); each method stops and restarts at every dose time.
        for ialg in (2, 14, 15):
            with self.subTest(ialg=ialg):
                self.check(run(f"ialg={ialg}"), 1e-8, 1e-8)

    def test_every_method_gives_every_dose(self):
        # Default tolerances: a dose missed or given twice is far outside 1 %.
        total = DEFAULTS["dose"] * DEFAULTS["ndoses"]
        for ialg in (1, 2, 3, 4, 8, 9, 12, 13, 14, 15):
            with self.subTest(ialg=ialg):
                rows = run(f"ialg={ialg}")
                final = rows[-1]
                _, central = closed_form(final["t"], DEFAULTS)
                self.assertLess(abs(final["acentral"] - central), 1e-2 * total)
                self.assertLess(abs(final["balance"]), 1e-3 * total)

    def test_bad_period_ends_the_run_with_a_message(self):
        for setting, message in (("tau=0", "the period of repeated section 'oral_dose' is 0"),
                                 ("tau=-2", "the period of repeated section 'oral_dose' is -2"),
                                 ("dose=-1", "constant 'dose' is -1, outside its bounds >= 0")):
            with self.subTest(setting=setting):
                done = run(setting, check=False)
                self.assertNotEqual(done.returncode, 0)
                self.assertIn(message, done.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
