#!/usr/bin/env python3
"""Styrene inhalation in the rat, 6 h a day for 5 days through repeated
sections, run through the host tool and checked against an independent
solution: the same equations integrated by scipy between the switching times.

usage: styrene_test.py ORVO LIBRARY
"""

import sys
import unittest

import numpy as np
from scipy.integrate import solve_ivp

sys.dont_write_bytecode = True  # nothing written beside the sources
from orvo_run import run_orvo  # noqa: E402

ORVO, LIBRARY = sys.argv[1], sys.argv[2]
DEFAULTS = dict(bw=0.3, qpc=14.0, qcc=14.0, qfc=0.09, qsc=0.15, qlc=0.25, vfc=0.09, vsc=0.72,
                vrc=0.05, vlc=0.04, pb=40.2, pf=86.5, ps=1.16, pr=3.46, pl=3.46, vmaxc=8.4, km=0.36,
                conc=80.0, mw=104.15, vmol=24.45, texp=6.0, day=24.0, ndays=5, tstop=144.0)
RECORDED = ("cart", "af", "as", "ar", "al", "amet")


def reference(p, times):
    """The recorded values at `times`: the flow-limited model with lung
    equilibrium, exposure on from k day to k day + texp."""
    qp, qc = p["qpc"] * p["bw"] ** 0.74, p["qcc"] * p["bw"] ** 0.74
    q = np.array([p["qfc"], p["qsc"], 0.0, p["qlc"]]) * qc
    q[2] = qc - q.sum()
    v = np.array([p["vfc"], p["vsc"], p["vrc"], p["vlc"]]) * p["bw"]
    partition = np.array([p["pf"], p["ps"], p["pr"], p["pl"]])
    vmax = p["vmaxc"] * p["bw"] ** 0.7
    inhaled = 1e-6 * p["conc"] * p["mw"] / p["vmol"] * 1000

    def arterial(y, cinh):
        venous = y[:4] / (v * partition)
        return (q @ venous + qp * cinh) / (qc + qp / p["pb"]), venous

    def rates(_, y, cinh):
        cart, venous = arterial(y, cinh)
        flows = q * (cart - venous)
        metabolism = vmax * venous[3] / (p["km"] + venous[3])
        flows[3] -= metabolism
        return np.append(flows, metabolism)

    switches = sorted({k * p["day"] + d for k in range(int(p["ndays"])) for d in (0.0, p["texp"])})
    edges = [0.0] + [s for s in switches if 0 < s < p["tstop"]] + [p["tstop"]]
    y, rows = np.zeros(5), {}
    for start, end in zip(edges[:-1], edges[1:]):
        exposed = any(k * p["day"] <= start < k * p["day"] + p["texp"] for k in range(int(p["ndays"])))
        cinh = inhaled if exposed else 0.0
        inside = sorted({t for t in times if start <= t <= end} | {end})
        done = solve_ivp(rates, (start, end), y, method="DOP853", t_eval=inside, args=(cinh,),
                         rtol=1e-13, atol=1e-16)
        assert done.success, done.message
        for t, state in zip(done.t, done.y.T):
            # At a switching time the host reports the state after the switch.
            if t not in rows or t == start:
                rows[t] = (arterial(state, cinh)[0], *state)
        y = done.y[:, -1]
    return rows


class Styrene(unittest.TestCase):
    def check(self, settings, **changes):
        p = dict(DEFAULTS, **changes)
        rows = run_orvo(ORVO, LIBRARY, "t," + ",".join(RECORDED) + ",balance", *settings)
        self.assertEqual(rows[-1]["t"], p["tstop"])
        exact = reference(p, [row["t"] for row in rows])
        for row in rows:
            for name, value in zip(RECORDED, exact[row["t"]]):
                self.assertLessEqual(abs(row[name] - value), 1e-8 * abs(value) + 1e-12,
                                     f"{name} at t = {row['t']}")
            self.assertLess(abs(row["balance"]), 1e-9)

    def test_against_an_independent_solution(self):
        # Gear, ODEPACK and CVODE at the model's rtol = 1e-11, atol = 1e-13.
        for ialg in (2, 14, 15):
            with self.subTest(ialg=ialg):
                self.check((f"ialg={ialg}",))

    def test_exposures_follow_the_constants(self):
        # --set reaches the days, the hours a day and the concentration.
        for settings, changes in ((("ndays=2", "texp=8.5", "conc=200"), dict(ndays=2, texp=8.5, conc=200.0)),
                                  (("ndays=0",), dict(ndays=0))):
            with self.subTest(settings=settings):
                self.check(settings, **changes)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
