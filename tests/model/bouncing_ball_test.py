#!/usr/bin/env python3
"""A state event with restitution: the bouncing ball's bounce times and
heights against the closed form, by several methods.

usage: bouncing_ball_test.py ORVO LIBRARY
"""

import math
import sys
import unittest

sys.dont_write_bytecode = True  # nothing written beside the sources
from orvo_run import run_orvo  # noqa: E402

ORVO, LIBRARY = sys.argv[1], sys.argv[2]


def bounce_times(h0, g, e, until):
    """Times of the bounces up to `until`, and the speed leaving each."""
    t = math.sqrt(2.0 * h0 / g)
    speed = e * g * t
    times = []
    while t <= until:
        times.append((t, speed))
        t += 2.0 * speed / g
        speed *= e
    return times


def run(*settings):
    return run_orvo(ORVO, LIBRARY, "t,h,v,bounces,lastbounce", *settings)


class BouncingBall(unittest.TestCase):
    def check(self, rows, h0=10.0, g=9.81, e=0.8, tstop=10.0):
        bounces = bounce_times(h0, g, e, tstop)
        self.assertGreaterEqual(len(bounces), 4)
        self.assertEqual(rows[-1]["t"], tstop)
        self.assertEqual(rows[-1]["bounces"], len(bounces))
        for row in rows:
            t = row["t"]
            before = [b for b in bounces if b[0] <= t]
            # A grid point within the location tolerance of a bounce may fall either side.
            if any(abs(t - b[0]) < 1e-9 for b in bounces):
                continue
            self.assertEqual(row["bounces"], len(before), f"at t = {t}")
            if before:
                tb, speed = before[-1]
                self.assertLessEqual(abs(row["lastbounce"] - tb), 1e-8 * tb, f"bounce before {t}")
                s = t - tb
                h, v = speed * s - 0.5 * g * s * s, speed - g * s
            else:
                h, v = h0 - 0.5 * g * t * t, -g * t
            self.assertLessEqual(abs(row["h"] - h), 1e-8 * h0, f"h at {t}")
            self.assertLessEqual(abs(row["v"] - v), 1e-7 * g, f"v at {t}")

    def test_bounce_times_by_method(self):
        # The model's tolerances are 1e-12; RK4 (5) integrates the parabola exactly.
        for ialg in (2, 5, 9, 14, 15):
            with self.subTest(ialg=ialg):
                self.check(run(f"ialg={ialg}"))

    def test_parameters_reach_the_event(self):
        self.check(run("h0=3", "e=0.6", "g=1.62", "tstop=7"), h0=3.0, e=0.6, g=1.62, tstop=7.0)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
