#!/usr/bin/env python3
"""Estimates a model parameter from concentration data with orvo.calibrate
(Bayesian: adaptive Metropolis chains through `orvo calibrate`).

The data are synthetic: the mother's perchlorate plasma concentration
(ca_mp) over ten days of dosing, simulated with a known urinary clearance
factor clf_upm and perturbed by 1 % multiplicative noise. The prior is wide
(lognormal around the model's default clf_upm, a factor 3 either way); the
posterior median should recover the known value within 1 %.

Usage: fit_parameter.py [--lib PATH] [--true VALUE] [--noise FRACTION] [--seed N]
                        [--iterations N] [--jobs N]
Exit status: 0 when the estimate is within 1 % of the true value, 1 if not.
"""

import argparse
import sys

import numpy as np
import pandas as pd

import orvo

PARAMETER = "clf_upm"
OBSERVED = "ca_mp"
# Ten days of perchlorate dosing, sampled every 12 h; Gear's stiff method
# takes steps of hours on this model, so each run is quick.
SCENARIO = {"pdosemg_p": 0.01, "doseon": 0, "tstop": 240.0, "ialg": 2}
CINT = 12.0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lib", help="model library (default: ORVO_LIB or beside the package)")
    parser.add_argument("--true", type=float, default=0.065, help="clf_upm that makes the data")
    parser.add_argument("--noise", type=float, default=0.01, help="relative noise of the data")
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--iterations", type=int, default=800, help="iterations per chain")
    parser.add_argument("--jobs", type=int, default=2, help="worker processes")
    args = parser.parse_args(argv)

    model = orvo.Model(args.lib)
    start = model.get(PARAMETER)
    rng = np.random.default_rng(args.seed)
    clean = model.run({**SCENARIO, PARAMETER: args.true}, record=[OBSERVED], cint=CINT).iloc[1:]  # t = 0: no information
    data = pd.DataFrame({"time": clean.index, "variable": OBSERVED,
                         "value": clean[OBSERVED] * (1.0 + args.noise * rng.standard_normal(len(clean)))})

    fit = orvo.calibrate(parameters={PARAMETER: f"lognormal({start!r}, 3) [{start / 20!r}, {start * 20!r}]"},
                         errors={OBSERVED: f"lognormal {args.noise!r}"}, settings={**SCENARIO, "cint": CINT},
                         data=data, iterations=args.iterations, chains=2, jobs=args.jobs, seed=args.seed,
                         lib=args.lib)
    row = fit.summary.loc[PARAMETER]
    estimate = row["q50"]
    error = abs(estimate - args.true) / args.true
    print(f"{PARAMETER}: start {start:g}, true {args.true:g}, estimate {estimate:.6g} "
          f"({100 * error:.3f} % off), 95 % interval [{row['q2.5']:.6g}, {row['q97.5']:.6g}], "
          f"R-hat {row['rhat']:.3f}, {len(fit.chains)} draws")
    return 0 if error < 0.01 else 1


if __name__ == "__main__":
    sys.exit(main())
