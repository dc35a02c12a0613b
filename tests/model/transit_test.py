#!/usr/bin/env python3
"""Five transit compartments as an array with loops, and the same dose
through a transport delay, run through the host tool and checked against
their closed forms.

usage: transit_test.py ORVO LIBRARY
"""

import math
import sys
import unittest

sys.dont_write_bytecode = True  # nothing written beside the sources
from orvo_run import run_orvo  # noqa: E402

ORVO, LIBRARY = sys.argv[1], sys.argv[2]
DEFAULTS = dict(dose=100.0, tdose=1.0, ktr=2.0, ke=0.3, ka=1.5)
N = 5


def regularised_gamma(n, x):
    """P(n, x) = exp(-x) sum_{j >= n} x^j / j!: without the cancellation of
    1 - exp(-x) sum_{j < n} x^j / j! at small x."""
    term = x ** n / math.factorial(n)
    total, j = 0.0, n
    while term > 1e-18 * total or total == 0.0:
        total += term
        j += 1
        term *= x / j
        if term == 0.0:
            break
    return math.exp(-x) * total


def closed_form(t, p):
    """The transit compartments, the central compartment behind them (the
    Erlang density convolved with elimination) and the delayed path's."""
    s = t - p["tdose"]
    if s < 0:
        return [0.0] * N, 0.0, 0.0
    ktr, ke, ka, dose = p["ktr"], p["ke"], p["ka"], p["dose"]
    transit = [dose * (ktr * s) ** k / math.factorial(k) * math.exp(-ktr * s) for k in range(N)]
    central = dose * (ktr / (ktr - ke)) ** N * math.exp(-ke * s) * regularised_gamma(N, (ktr - ke) * s)
    lag = s - N / ktr
    lagged = dose * ka / (ka - ke) * (math.exp(-ke * lag) - math.exp(-ka * lag)) if lag > 0 else 0.0
    return transit, central, lagged


VARIABLES = "t,transit,central,lagged,balance"


class Transit(unittest.TestCase):
    def check(self, rows, relative, floor, lagged_tolerance, **changes):
        p = dict(DEFAULTS, **changes)
        self.assertGreater(len(rows), 90)
        for row in rows:
            transit, central, lagged = closed_form(row["t"], p)
            for k in range(N):
                name = f"transit[{k + 1}]"
                self.assertLessEqual(abs(row[name] - transit[k]), relative * transit[k] + floor,
                                     f"{name} at t = {row['t']}")
            self.assertLessEqual(abs(row["central"] - central), relative * central + floor,
                                 f"central at t = {row['t']}")
            # The delay interpolates linearly between samples at least tau / 1000
            # apart: second order in that spacing, as documented.
            self.assertLessEqual(abs(row["lagged"] - lagged), lagged_tolerance * p["dose"],
                                 f"lagged at t = {row['t']}")
            self.assertLess(abs(row["balance"]), 1e-9)

    def test_fixed_steps_and_set_constants(self):
        # RK4 with steps of 0.0025 h; --set reaches the rate constants and the
        # dose time (on and off the grid), and with them the delay.
        cases = [((), {}),
                 (("ktr=0.8", "tdose=0.3"), dict(ktr=0.8, tdose=0.3)),
                 (("ke=1.1", "ka=0.4", "dose=7"), dict(ke=1.1, ka=0.4, dose=7.0))]
        for settings, changes in cases:
            with self.subTest(settings=settings):
                rows = run_orvo(ORVO, LIBRARY, VARIABLES, *settings)
                self.assertEqual(rows[-1]["t"], 24.0)
                self.check(rows, 1e-8, 1e-10, 5e-5, **changes)

    def test_variable_step_methods_at_the_models_tolerances(self):
        # Gear, ODEPACK and CVODE at the model's rtol = atol = 1e-10 (1e-11 for
        # the chain and its central compartment).
        for ialg in (2, 14, 15):
            for settings, changes in (((), {}), (("ktr=0.8", "tdose=0.3"), dict(ktr=0.8, tdose=0.3))):
                with self.subTest(ialg=ialg, settings=settings):
                    rows = run_orvo(ORVO, LIBRARY, VARIABLES, f"ialg={ialg}", *settings)
                    self.check(rows, 1e-8, 1e-9, 5e-5, **changes)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
