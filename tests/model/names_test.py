#!/usr/bin/env python3
"""Model names that the generated C++ also uses for its own parameters,
locals and arrays, or that the C library declares: built into a test model
and run through the host tool against their closed forms.

usage: names_test.py ORVO NAMES_LIBRARY
"""

import math
import sys
import unittest

sys.dont_write_bytecode = True  # nothing written beside the sources
from orvo_run import run_orvo  # noqa: E402

ORVO, NAMES = sys.argv[1], sys.argv[2]


class Names(unittest.TestCase):
    def test_each_name_means_the_models_own(self):
        # DLSODES at 1e-10 uses the analytic Jacobian, whose entries read
        # flags, instance and the slopes of the tables value and breakpoint.
        rows = run_orvo(ORVO, NAMES, "t,instance,values,gamma,round,delays,index,repetitions")
        self.assertEqual([row["t"] for row in rows], [0.5 * k for k in range(11)])
        for row in rows:
            t = row["t"]
            decay = math.exp(-0.25 * t)
            expected = {
                "instance": decay,
                "values[1]": 2 * math.exp(-0.5 * t),   # k in an array's initial condition
                "values[2]": 2 * math.exp(-0.5 * t),
                "gamma": 8 * (1 - decay),
                "round": t + 8 * (1 - decay),
                "delays": (t - 1) ** 2 / 2 if t > 1 else 0.0,
                "index": math.floor(t) + 1,              # the section at t runs before the row
                "repetitions": 2 * (math.floor(t) + 1),
            }
            for name, value in expected.items():
                self.assertAlmostEqual(row[name], value, delta=1e-7, msg=f"{name} at {t}")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
