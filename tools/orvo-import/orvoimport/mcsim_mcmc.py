"""GNU MCSim's Bayesian calibration (MCMC, Level, Likelihood and Data) as a
calibration file for `orvo calibrate`.

MCSim draws a Level's Distrib once for each Level or Experiment directly in it.
Parameters drawn once for all experiments become priors; those drawn at the
first Level holding several Levels or Experiments become NAME[subject]
parameters, one subject per such block, whose distribution may name the
parameters drawn above. Likelihoods become error models, and each Experiment
with Data an [experiment] section with its data file. What the calibration
file cannot say exactly is refused."""

import math
import os
from fractions import Fraction

from . import mcsim_sim as sim

# MCSim likelihood -> (our error model, what its one parameter is)
LIKELIHOODS = {
    "Normal": ("normal", "sd"),
    "Normal_v": ("normal", "variance"),
    "LogNormal": ("lognormal", "geometric sd"),
    "LogNormal_v": ("lognormal", "variance of the logarithm"),
}

MISSING = -1.0   # MCSim's mark of a missing data value
MAX_DEPTH = 11   # MCSim's top Level and at most 10 below it
# orvo calibrate's largest --iterations and --thin.
MAX_ITERATIONS = 100_000_000
MAX_THIN = 1_000_000


class Level:
    def __init__(self, token, parent):
        self.token, self.parent = token, parent
        self.priors = []          # Prior
        self.likelihoods = []     # ErrorModel
        self.values = []          # (our name, text, token)
        self.children = []        # Levels and Simulations, in the file's order


class ErrorModel:
    """`error VAR normal|lognormal SD`: sd a number or (MCSim name, our name, token)."""

    def __init__(self, variable, ours, kind, sd, token):
        self.variable, self.ours, self.kind, self.sd, self.token = variable, ours, kind, sd, token

    def text(self, renamed=None):
        sd = (renamed or {}).get(self.sd[1], self.sd[1]) if isinstance(self.sd, tuple) \
            else sim._text(self.sd)
        return f"error {self.ours} {self.kind} {sd}"


# ---- reading ---------------------------------------------------------------------

def read_mcmc(t, token, args):
    """MCMC("out", "restart", "data", iterations, type, print every, print last, seed)."""
    kinds = [a[0] for a in args]
    if kinds != ["string"] * 3 + ["number"] * 5:
        raise t.fault(token, "MCMC takes the output, restart and data files (names in quotes), "
                             "the number of iterations, the simulation type, the print "
                             "frequency, the number of iterations to print and a seed")
    (_, output, _), (_, restart, _), (_, data, data_at) = args[:3]
    (_, runs, runs_at), (_, kind, kind_at), (_, every, every_at), (_, last, last_at), \
        (_, seed, _) = args[3:]
    if data:
        raise t.fault(data_at, "a data file named in MCMC(...) is not read: give the data with "
                               "Data(...) in the experiments")
    if kind != 0:
        raise t.fault(kind_at, f"MCMC with simulation type {sim._text(kind)} is not translated: "
                               "only 0, sampling the posterior, is")
    for value, at, what, most in ((runs, runs_at, "the number of iterations", MAX_ITERATIONS),
                                  (every, every_at, "the print frequency", MAX_THIN)):
        if value != int(value) or not 1 <= value < 2**63:
            raise t.fault(at, f"{what} is a whole number of at least 1")
        if value > most:
            raise t.fault(at, f"{what} is {sim._text(value)}: orvo calibrate takes at most "
                              f"{most}")
    if last != int(last) or not 0 <= last < 2**63:
        raise t.fault(last_at, "the number of iterations to print is a whole number")
    runs, every, last = int(runs), int(every), int(last)
    options = [f"--iterations {runs}"]
    # MCSim keeps every `every`-th of the last `last` iterations.
    if last > 0:
        options.append(f"--burn {runs - min(last, runs)}")
    if every > 1:
        options.append(f"--thin {every}")
    options.append(f"--seed {max(int(abs(seed)), 1)}")
    if output:
        t.notes.append(f"line {token.line}: the output file '{output}' is left out: orvo "
                       "calibrate writes its tables into --out")
    if restart:
        t.notes.append(f"line {token.line}: the restart file '{restart}' is left out: the chains "
                       "start from the priors (orvo calibrate --continue DIR goes on from an "
                       "earlier calibration)")
    t.notes.append(f"line {token.line}: the random numbers differ from MCSim's, and orvo "
                   "calibrate runs several chains of an adaptive Metropolis sampler (--chains)")
    return token, options


def read_level(t, keyword, parent, depth=1):
    if depth > MAX_DEPTH:
        raise t.fault(keyword, f"Levels nest more than {MAX_DEPTH} deep (MCSim's limit)")
    level = Level(keyword, parent)
    t.expect("{", " after Level")
    while not t.is_op("}"):
        token = t.next()
        if token.kind == "end":
            raise t.fault(keyword, "the Level block is not closed")
        if token.kind != "name":
            raise t.fault(token, f"expected a statement, found '{token.text}'")
        word = token.text
        if word == "Level":
            level.children.append(read_level(t, token, level, depth + 1))
        elif word in ("Simulation", "Experiment"):
            t.simulation(token)
            t.simulations[-1].level = level
            level.children.append(t.simulations[-1])
        elif word == "Distrib":
            level.priors.append(t.prior(token, t.arguments()))
        elif word == "Likelihood":
            level.likelihoods.append(read_likelihood(t, token))
        elif word in ("PrintStep", "Print", "StartTime", "Data"):
            raise t.fault(token, f"'{word}' outside a Simulation block is not translated: write it "
                                "in each Simulation it applies to")
        elif t.is_op("="):
            t.next()
            level.values.append(t.assignment(word, token))
        else:
            raise t.fault(token, f"unknown statement '{word}' in a Level block")
    t.next()
    if t.is_op(";"):
        t.next()
    return level


def read_likelihood(t, token):
    """Likelihood(Data(y), Distribution, Prediction(y), parameter)."""
    shape = "Likelihood takes Data(VARIABLE), a distribution, Prediction(VARIABLE) and its " \
            "parameter"

    def call(keyword):
        head = t.next()
        if head.kind != "name" or head.text != keyword:
            raise t.fault(head, shape)
        t.expect("(", f" after {keyword}")
        name = t.next()
        if name.kind != "name":
            raise t.fault(name, shape)
        t.expect(")", f" after {keyword}({name.text}")
        return name

    t.expect("(", " after Likelihood")
    data = call("Data")
    t.expect(",", " between the arguments")
    dist = t.next()
    if dist.kind != "name":
        raise t.fault(dist, shape)
    t.expect(",", " between the arguments")
    prediction = call("Prediction")
    rest = []
    while t.is_op(","):
        t.next()
        at = t.peek()
        if at.kind == "name":
            t.next()
            rest.append(("name", at.text, at))
        else:
            value, at = t.number("the likelihood's parameter")
            rest.append(("number", value, at))
    t.expect(")", " at the end of the Likelihood")
    if t.is_op(";"):
        t.next()
    if dist.text not in LIKELIHOODS:
        raise t.fault(dist, f"likelihood '{dist.text}' is not translated: orvo calibrate's error "
                            "models take " + ", ".join(sorted(LIKELIHOODS)))
    if prediction.text != data.text:
        raise t.fault(prediction, f"the data of '{data.text}' are compared with "
                                  f"Prediction({prediction.text}): orvo calibrate compares a "
                                  "variable's data with its own prediction")
    if len(rest) != 1:
        raise t.fault(dist, f"{dist.text} takes Prediction({data.text}) and one parameter, "
                            f"{len(rest)} given")
    ours = t.recorded(data.text, data)
    error, what = LIKELIHOODS[dist.text]
    kind, value, at = rest[0]
    if kind == "name":
        if what != "sd":
            raise t.fault(at, f"the {what} '{value}' is a parameter: orvo calibrate's {error} "
                              "error takes " + ("the sd of the logarithm, log(" if what ==
                                                "geometric sd" else "an sd, sqrt(")
                          + f"{value}), which its file cannot write: give a number, or write "
                            "the error line by hand with a parameter for the sd"
                          + (" of the logarithm" if error == "lognormal" else ""))
        return ErrorModel(data.text, ours, error, (value, t.settable(value, at), at), token)
    if what == "geometric sd":
        if not value > 1:
            raise t.fault(at, f"a geometric sd is above 1, not {sim._text(value)}")
        value = math.log(value)
    elif not value > 0:
        raise t.fault(at, f"the {what} must be above 0, not {sim._text(value)}")
    elif what != "sd":
        value = math.sqrt(value)
    return ErrorModel(data.text, ours, error, value, token)


# ---- the calibration file --------------------------------------------------------

def check_shape(t):
    """Faults of an MCMC file that are not about one Level's content."""
    mcmc = t.mcmc[0] if t.mcmc else None
    if t.levels and mcmc is None:
        raise t.fault(t.levels[0].token, "Level goes with MCMC(...): without it the file has no "
                                         "calibration to run")
    if mcmc is not None and not t.levels:
        raise t.fault(mcmc, "MCMC needs a Level holding the experiments, their Distrib and "
                            "Likelihood statements")
    if len(t.levels) > 1:
        raise t.fault(t.levels[1].token, "a second top Level: put both in one Level")
    for word, found in (("MonteCarlo", t.montecarlo), ("SetPoints", t.setpoints)):
        if found:
            raise t.fault(found[-1], f"{word} and MCMC in one file: keep one of them")
    if t.distributions:
        raise t.fault(t.distributions[0][2], "in an MCMC file Distrib goes inside a Level")
    outside = [s for s in t.simulations if s.level is None]
    if outside:
        raise t.fault(outside[0].token, f"in an MCMC file the {outside[0].token.text} blocks go "
                                        "inside a Level")
    if t.integrator and t.integrator[0][1] == str(sim.INTEGRATORS["Euler"]):
        raise t.fault(t.integrator[0][2], "Euler's step follows the output times, which orvo "
                                          "calibrate sets by the data: use Lsodes or Cvodes")


def fresh(name, taken):
    k, candidate = 1, name
    while candidate in taken:
        k += 1
        candidate = f"{name}{k}"
    taken.add(candidate)
    return candidate


def by_name(t, priors):
    named = {}
    for prior in priors:
        if prior.ours in named:
            raise t.fault(prior.token, f"'{prior.name}' has a second Distrib in this Level "
                                       f"(the first at line {named[prior.ours].token.line})")
        named[prior.ours] = prior
    return named


def walk(level):
    """The Levels under `level` and their experiments, depth first."""
    for child in level.children:
        yield child
        if isinstance(child, Level):
            yield from walk(child)


def calibration_files(t, stem, directory=None):
    check_shape(t)
    top = t.levels[0]
    # A Level's Distrib draws a value for each Level or Experiment directly in it.
    # Down to the first Level with more than one (the split), each draw serves every
    # experiment: shared parameters. The split's draws are one per subject, each of its
    # Levels or Experiments; below it nothing more is drawn.
    chain, split = [], top
    while len(split.children) == 1 and isinstance(split.children[0], Level):
        chain.append(split)
        split = split.children[0]
    if not split.children:
        raise t.fault(split.token, "this Level holds no Experiment")
    for level in walk(split):
        if isinstance(level, Level) and level.priors:
            raise t.fault(level.priors[0].token, "a Distrib inside one of the subjects of the "
                                                 f"Level at line {split.token.line}: orvo "
                                                 "calibrate draws parameters for all "
                                                 "experiments or for each subject, not deeper")
        if isinstance(level, Level) and not any(
                not isinstance(x, Level) for x in walk(level)):
            raise t.fault(level.token, "this Level holds no Experiment")
    subjects = split.children if len(split.children) > 1 else []
    shared = {}
    for level in chain + ([] if subjects else [split]):
        for name, prior in by_name(t, level.priors).items():
            if name in shared:
                raise t.fault(prior.token, f"'{prior.name}' has a Distrib at line "
                                           f"{shared[name].token.line} as well, and both would "
                                           "serve every experiment: keep one")
            for _, _, at in prior.references():
                raise t.fault(at, "a distribution drawn once for all experiments takes "
                                  "numbers: orvo calibrate's priors name no other parameter "
                                  "(only a subject's distribution names population parameters)")
            shared[name] = prior
    varying = by_name(t, split.priors) if subjects else {}
    for prior in varying.values():
        for name, ours, at in prior.references():
            if ours not in shared:
                raise t.fault(at, f"'{name}' has no Distrib in a Level above: a subject's "
                                  "distribution names population parameters")
    if varying:
        kinds = {"Level" if isinstance(x, Level) else "Experiment" for x in subjects}
        t.notes.append(f"line {split.token.line}: each of the {len(subjects)} "
                       f"{' and '.join(sorted(kinds))} blocks in this Level draws its own "
                       + ", ".join(p.name for p in varying.values())
                       + f" (subjects s1 to s{len(subjects)}), as MCSim draws a Level's "
                       "Distrib once for each Level or Experiment in it"
                       + ("; to share them, put the experiments in one inner Level"
                          if "Experiment" in kinds and split is top else ""))
    # A population parameter with the name of the subjects' one gets a name of its own;
    # one that no subject's distribution names is drawn for nothing.
    named = {ours for prior in varying.values() for _, ours, _ in prior.references()}
    for name in [name for name in shared if name in varying and name not in named]:
        t.notes.append(f"line {shared[name].token.line}: the Distrib of '{shared[name].name}' "
                       "is left out: each subject draws its own")
        del shared[name]
    taken = set(shared) | set(varying)
    if t.model is not None:
        taken |= set(t.model.ours.values())
    renamed = {name: fresh(name + "_pop", taken) for name in shared if name in varying}

    errors = {}
    for level in [top] + [x for x in walk(top) if isinstance(x, Level)]:
        for error in level.likelihoods:
            if isinstance(error.sd, tuple):
                name, ours, at = error.sd
                if ours in varying:
                    raise t.fault(at, f"'{name}' varies between subjects: an error's sd is "
                                      "shared by all")
                if ours not in shared:
                    raise t.fault(at, f"'{name}' has no Distrib drawn for all experiments: a "
                                      "Likelihood's sd is a number or a calibrated parameter")
            before = errors.get(error.ours)
            if before is not None and before.text() != error.text():
                raise t.fault(error.token, f"a second Likelihood of '{error.variable}' (the first "
                                           f"at line {before.token.line}): orvo calibrate has one "
                                           "error model per variable")
            errors.setdefault(error.ours, error)

    calibrated = {**shared, **varying}
    settings = t.integrator + t.globals
    for level in chain + [split]:
        settings += level.values
    settings_fault(t, settings, calibrated)

    source = os.path.basename(t.path)
    lines = [f"# Calibration of {source} (MCMC at line {t.mcmc[0].line}), imported by "
             "orvo-import."]
    lines += [f"{name} = {text}  # line {at.line}" for name, text, at in settings]
    for prior in shared.values():
        lines.append(f"{prior.text(renamed.get(prior.ours))}  # line {prior.token.line}")
    for prior in varying.values():
        lines.append(f"{prior.text(prior.ours + '[subject]', renamed)}  "
                     f"# line {prior.token.line}")
    for error in errors.values():
        lines.append(f"{error.text(renamed)}  # line {error.token.line}")
    files, unfitted = {}, set()
    for k, experiment in enumerate(t.simulations, start=1):
        # The Levels from the split down to the experiment: their settings are its own.
        path, level = [], experiment.level
        while level is not split:
            path.insert(0, level)
            level = level.parent
        child = path[0] if path else experiment
        subject = subjects.index(child) + 1 if varying else None
        rows = data_rows(t, experiment, errors, unfitted)
        if not rows:
            t.notes.append(f"line {experiment.token.line}: experiment {k} has no data to fit: "
                           "left out")
            continue
        values = [v for level in path for v in level.values] + experiment.values
        settings_fault(t, values, calibrated)
        own = {name: (text, at) for name, text, at in values}
        name = f"{stem}_sim{k}.csv"
        lines += ["", f"[experiment sim{k}]  # line {experiment.token.line}"
                  + (f", subject s{subject}" if subject else ""),
                  f"data = {name}"]
        lines += [f"{n} = {text}  # line {at.line}" for n, (text, at) in own.items()]
        lines += run_lines(t, experiment, rows)
        # The subject column comes after the sd column, here left empty (the error's sd).
        table = ["time,variable,value" + (",sd,subject" if subject else "")]
        table += [f"{sim._text(time)},{variable},{sim._text(value)}"
                  + (f",,s{subject}" if subject else "") for time, variable, value, _ in rows]
        files[name] = "\n".join(table) + "\n"
    if not files:
        raise t.fault(t.mcmc[0], "no experiment has data that a Likelihood fits: nothing to "
                                 "calibrate")
    if not calibrated:
        raise t.fault(top.token, "no Level has a Distrib: nothing to calibrate")
    calibration = f"{stem}.calibration"
    files[calibration] = "\n".join(lines) + "\n"
    where = f"{directory.rstrip('/')}/{calibration}" if directory else calibration
    t.notes.append(f"line {t.mcmc[0].line}: run it with: orvo calibrate {where} --lib LIB "
                   + " ".join(t.mcmc[1]) + " --out DIR (LIB: the model's library; DIR: the "
                   "folder for its tables)")
    return files


def settings_fault(t, values, calibrated):
    for name, _, at in values:
        if name in calibrated:
            raise t.fault(at, f"'{at.text}' is calibrated (Distrib at line "
                              f"{calibrated[name].token.line}) and set here: orvo calibrate "
                              "calibrates a parameter or sets it, not both")


def output_times(t, request, at, name, values, token):
    """The output times of a printed variable, as many as its Data has values."""
    if isinstance(request, tuple):
        first, end, step = (Fraction(repr(x)) for x in request)
        count = (end - first) / step
        if count.denominator != 1:
            raise t.fault(at, f"the step {sim._text(request[2])} does not divide the span from "
                              f"{sim._text(request[0])} to {sim._text(request[1])}: give the "
                              "times of the data with Print")
        count = int(count) + 1
    else:
        count = len(request)
    if len(values) != count:
        raise t.fault(token, f"Data of '{name}' gives {len(values)} values for {count} output "
                             "times")
    if isinstance(request, tuple):
        return [float(first + k * step) for k in range(count)]
    return list(request)


def data_rows(t, experiment, errors, unfitted):
    """(time, variable, value, token) per Data value, missing values left out."""
    rows, seen = [], set()
    start = experiment.start or 0.0
    for name, ours, values, token in experiment.data:
        if ours in seen:
            raise t.fault(token, f"a second Data of '{name}' in this experiment")
        seen.add(ours)
        if ours not in experiment.printed:
            raise t.fault(token, f"Data of '{name}' without a Print or PrintStep of it in this "
                                 "experiment: the data are at its output times")
        printed = experiment.printed[ours]
        if printed is None:
            raise t.fault(token, f"'{name}' is printed twice in this experiment, so which times "
                                 "its Data are at is unclear: print it once")
        times = output_times(t, *printed, name, values, token)
        error = errors.get(ours)
        if error is None:
            if ours not in unfitted:
                unfitted.add(ours)
                t.notes.append(f"line {token.line}: the Data of '{name}' are left out: no "
                               "Likelihood names it")
            continue
        for time, (value, at) in zip(times, values):
            if value == MISSING:
                continue
            if time < start:
                raise t.fault(printed[1], f"output time {sim._text(time)} is before the start "
                                          f"time {sim._text(start)}")
            if error.kind == "lognormal" and not value > 0:
                raise t.fault(at, f"a {sim._text(value)} under a LogNormal likelihood: its data "
                                  f"are above 0 ({sim._text(MISSING)} marks a missing value)")
            rows.append((time, ours, value, at))
    return rows


def run_lines(t, experiment, rows):
    """The start and stop of the experiment's runs: from its start to its last datum."""
    start = experiment.start or 0.0
    end = max(time for time, _, _, _ in rows)
    token = max(rows, key=lambda row: row[0])[3]
    if end <= start:
        raise t.fault(token, f"the data end at the start time {sim._text(start)}: a run needs "
                             "data after it")
    lines = []
    if experiment.start is not None:
        lines.append(f"zzticg = {sim._text(start)}  # StartTime")
    if t.model is not None and t.model.horizons and end > t.model.tstop:
        raise t.fault(token, f"the data run to {sim._text(end)}, past the "
                             f"{sim._text(t.model.tstop)} h up to which the model's periodic "
                             f"doses are laid out: import the model, and this file, with "
                             f"--tstop {sim._text(end)}")
    tstop = t.model.tstop_name if t.model else "tstop"
    lines.append(f"{tstop} = {sim._text(end)}  # the last datum")
    return lines
