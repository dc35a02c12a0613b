"""Translates a GNU MCSim simulation file (.in) into scenario and population files
(and an MCMC file into a calibration file: mcsim_mcmc).

Each Simulation (or Experiment) block becomes one scenario: the global and
the block's parameter values, the integrator as ialg, the output requests as
tstop and cint. A MonteCarlo block adds one population file per simulation
with its Distrib lines; SetPoints becomes a --params table. What has no
counterpart is either refused (when the runs would come out wrong) or left
out with a note (when it only concerns how MCSim reports)."""

import math
import os
import sys
from fractions import Fraction

from . import mcsim_mcmc
from .faults import ImportFault
from .mcsim_lexer import tokenize
from .mcsim import Translator, _evaluate, _fold, _names, deep_expressions, our_name

# MCSim distribution -> (our name, number of arguments, how many are truncation bounds)
DISTRIBUTIONS = {
    "Uniform": ("uniform", 2, 0),
    "LogUniform": ("loguniform", 2, 0),
    "Normal": ("normal", 2, 0),
    "LogNormal": ("lognormal", 2, 0),
    "TruncNormal": ("normal", 4, 2),
    "TruncLogNormal": ("lognormal", 4, 2),
    "Normal_v": ("normal", 2, 0),
}

INTEGRATORS = {"Lsodes": 14, "Cvodes": 15, "Euler": 3}

# Output times whose common step would make more rows than this are refused, and any
# output beyond MAX_ROWS rows.
MAX_GRID_ROWS = 1_000_000
MAX_ROWS = 1_000_000_000
# The most runs a population file takes.
MAX_RUNS = 100_000_000
# The host tool's nstp is a C int.
MAX_EULER_STEPS = 2**31 - 1


class Prior:
    """A distribution of one parameter: `shape` holds numbers and, for a parameter
    named there, (MCSim name, our name, token)."""

    def __init__(self, name, ours, dist, shape, bounds, token):
        self.name, self.ours, self.dist, self.shape, self.bounds, self.token = \
            name, ours, dist, shape, bounds, token

    def references(self):
        return [v for v in self.shape if isinstance(v, tuple)]

    def text(self, name=None, renamed=None):
        """`NAME ~ dist(shape) [bounds]`, with named parameters respelled by `renamed`."""
        renamed = renamed or {}
        shape = ", ".join(renamed.get(v[1], v[1]) if isinstance(v, tuple) else _text(v)
                          for v in self.shape)
        text = f"{name or self.ours} ~ {self.dist}({shape})"
        if self.bounds:
            text += f" [{_text(self.bounds[0])}, {_text(self.bounds[1])}]"
        return text


class Simulation:
    def __init__(self, token):
        self.token = token
        self.values = []          # (name, text, token)
        self.vars = []            # recorded MCSim names
        self.start = None         # StartTime
        self.requests = []        # (times or (first, end, step), token): Print and PrintStep
        self.printed = {}         # our name -> (times or (first, end, step), token)
        self.data = []            # (MCSim name, our name, [(value, token)], token): Data
        self.level = None         # the Level holding it, in an MCMC file


class SimulationTranslator:
    def __init__(self, path, text, model=None):
        self.path = path
        self.tokens, _ = tokenize(path, text, strings=True)
        self.pos = 0
        self.model = model        # a Translator that has emitted the model, or None
        self.globals = []         # (name, text, token)
        self.simulations = []
        self.distributions = []   # (name, text, token)
        self.references = []      # (MCSim name, token): parameters distributions name
        self.priors = {}          # our name -> its Prior, from the Distrib lines
        self.montecarlo = None    # (runs, seed, token)
        self.setpoints = None     # (data file, runs, names, token)
        self.integrator = []      # scenario lines from Integrate
        self.tolerances = None    # (token, [relative, absolute]) of Integrate
        self.mcmc = None          # (token, orvo calibrate's options)
        self.levels = []          # the top Levels
        self.notes = []

    # ---- tokens ----------------------------------------------------------------------
    def fault(self, token, message):
        return ImportFault(self.path, token.line, token.col, message)

    def peek(self):
        return self.tokens[min(self.pos, len(self.tokens) - 1)]

    def next(self):
        token = self.peek()
        self.pos += 1
        return token

    def is_op(self, text):
        token = self.peek()
        return token.kind == "op" and token.text == text

    def expect(self, text, context=""):
        token = self.next()
        if token.kind != "op" or token.text != text:
            found = "the end of the file" if token.kind == "end" else f"'{token.text}'"
            raise self.fault(token, f"expected '{text}'{context}, found {found}")
        return token

    def number(self, what):
        """A number with an optional sign, as its value and token."""
        sign = 1.0
        token = self.peek()
        if token.kind == "op" and token.text in "+-":
            self.next()
            sign = -1.0 if token.text == "-" else 1.0
        value = self.next()
        if value.kind != "number":
            raise self.fault(value, f"expected {what} (a number), found "
                                    f"{'the end of the file' if value.kind == 'end' else repr(value.text)}")
        return sign * float(value.text), token

    def arguments(self):
        """The comma-separated tokens of a call, each a name, string or signed number."""
        self.expect("(")
        args = []
        while not self.is_op(")"):
            token = self.peek()
            if token.kind in ("name", "string"):
                self.next()
                if self.is_op("("):
                    raise self.fault(token, f"'{token.text}(...)' is not supported as an "
                                            "argument here")
                args.append((token.kind, token.text, token))
            else:
                value, at = self.number("a value")
                args.append(("number", value, at))
            if not self.is_op(")"):
                self.expect(",", " between the arguments")
        self.next()
        if self.is_op(";"):
            self.next()
        return args

    # ---- names -----------------------------------------------------------------------
    def settable(self, name, token):
        """Our name of a parameter the scenario may set."""
        if self.model is None:
            return our_name(name)
        kind = self.model.kinds.get(name)
        if kind is None:
            raise self.fault(token, f"'{name}' is not a name of the model")
        if kind in ("param", "input"):
            default = self.model.defaults.get(name)
            if default is None or _fold(default) is not None:
                return self.model.ours[name]
            kind = "derived"
        reasons = {
            "state": "a state's initial value is set in the model (Initialize): give it a "
                     "parameter and set that",
            "derived": "the model computes it from other parameters",
            "dosed": "its input function is laid out in the model: give the function "
                     "parameters in the model file and set those here",
            "output": "it is an output", "local": "it is computed by the model",
        }
        raise self.fault(token, f"'{name}' cannot be set: {reasons.get(kind, kind)}")

    def recorded(self, name, token):
        if self.model is None:
            return our_name(name)
        if name not in self.model.kinds:
            raise self.fault(token, f"'{name}' is not a name of the model")
        return self.model.ours[name]

    # ---- the file --------------------------------------------------------------------
    def parse(self):
        while True:
            token = self.next()
            if token.kind == "end":
                break
            if token.kind != "name":
                raise self.fault(token, f"expected a statement, found '{token.text}'")
            word = token.text
            if word in ("End", "END"):
                self.expect(".", f" after {word}")
                break
            if word in ("Simulation", "Experiment"):
                self.simulation(token)
            elif word == "Integrate":
                self.integrate(token, self.arguments())
            elif word == "MonteCarlo":
                self.monte_carlo(token, self.arguments())
            elif word == "SetPoints":
                self.set_points(token, self.arguments())
            elif word == "Distrib":
                self.distrib(token, self.arguments())
            elif word == "OutputFile":
                self.arguments()
                self.notes.append(f"line {token.line}: OutputFile is left out: the host tools "
                                  "take --out")
            elif word == "MCMC":
                if self.mcmc:
                    raise self.fault(token, f"a second MCMC (the first at line "
                                            f"{self.mcmc[0].line}): keep one")
                self.mcmc = mcsim_mcmc.read_mcmc(self, token, self.arguments())
            elif word == "Level":
                self.levels.append(mcsim_mcmc.read_level(self, token, None))
            elif word == "Likelihood":
                raise self.fault(token, "'Likelihood' belongs inside a Level")
            elif word in ("PrintStep", "Print", "StartTime", "Data"):
                raise self.fault(token, f"'{word}' outside a Simulation block is not translated: "
                                        "write it in each Simulation it applies to")
            elif self.is_op("="):
                self.next()
                self.globals.append(self.assignment(word, token))
            else:
                raise self.fault(token, f"unknown statement '{word}'")
        if self.mcmc or self.levels:
            mcsim_mcmc.check_shape(self)
        if self.tolerances:
            token, tolerances = self.tolerances
            if len(tolerances) == 2 and not self.mcmc:
                self.notes.append(f"line {token.line}: the tolerances of Integrate are left out "
                                  "of the files: give them to the runs with --rtol "
                                  f"{_text(tolerances[0])} --atol {_text(tolerances[1])} (orvo "
                                  "run, orvo batch); without them the runs use the model's")
            else:
                self.notes.append(f"line {token.line}: the tolerances of Integrate are left out: "
                                  "the runs use the model's tolerances")
        sampled = {name for name, _, _ in self.distributions}
        for name, where in self.references:
            if self.settable(name, where) not in sampled:
                raise self.fault(where, f"'{name}' is not sampled by a Distrib line: a "
                                        "distribution's parameter names a sampled parameter or "
                                        "is a number")
        self.check_circles()
        if not self.simulations:
            raise self.fault(self.peek(), "the file has no Simulation block: nothing to run")
        if self.setpoints and self.montecarlo:
            raise self.fault(self.setpoints[3], "SetPoints and MonteCarlo in one file: keep "
                                                "one of them")
        if self.distributions and self.setpoints:
            name, _, at = self.distributions[0]
            raise self.fault(at, f"Distrib with SetPoints: MCSim draws '{self.priors[name].name}' "
                                 "anew for each set point, and a --params table holds fixed "
                                 "values only: put its values in the SetPoints file as a column "
                                 "of their own")
        if self.distributions and not self.montecarlo:
            lines = ", ".join(str(at.line) for _, _, at in self.distributions)
            self.notes.append(f"lines {lines}: Distrib is left out: it is used only with "
                              "MonteCarlo")

    def check_circles(self):
        """Refuses distributions that name themselves or each other in a circle: which
        value MCSim would draw with is not said."""
        done = set()
        for first in self.priors:
            path, at = [first], {first: 0}
            while path:
                name = path[-1]
                refs = [r for r in self.priors[name].references()
                        if r[1] in self.priors and r[1] not in done]
                following = refs[0] if refs else None
                if following is None:
                    done.add(path.pop())
                    at.pop(name)
                    continue
                named, ours, where = following
                if ours in at:
                    circle = [self.priors[n].name for n in path[at[ours]:]]
                    if len(circle) == 1:
                        raise self.fault(where, f"the distribution of '{circle[0]}' names "
                                                "itself: give it numbers")
                    raise self.fault(where, "the distributions of "
                                     + ", ".join(f"'{c}'" for c in circle)
                                     + " name each other in a circle: give one of them numbers")
                at[ours] = len(path)
                path.append(ours)

    def assignment(self, name, token):
        if self.peek().kind == "name" and self.peek().text in (
                "PerDose", "PerExp", "PerTransit", "NDoses", "Spikes"):
            raise self.fault(self.peek(), "input functions in a simulation file are not "
                                          "translated: give the input its function in the model "
                                          "file, with parameters for what differs between "
                                          "simulations, and set those parameters here")
        value, _ = self.number(f"the value of '{name}'")
        if self.is_op(";"):
            self.next()
        else:
            self.expect(";", " at the end of the statement")
        return (self.settable(name, token), _text(value), token)

    def integrate(self, token, args):
        if not args or args[0][0] != "name":
            raise self.fault(token, "Integrate takes the integrator's name first")
        name = args[0][1]
        if name not in INTEGRATORS:
            raise self.fault(args[0][2], f"integrator '{name}' has no counterpart: use Lsodes, "
                                         "Cvodes or Euler")
        self.integrator = [("ialg", str(INTEGRATORS[name]), token)]
        if name == "Euler":
            if len(args) < 2 or args[1][0] != "number" or args[1][1] <= 0:
                raise self.fault(token, "Integrate(Euler, STEP, ...) needs a positive time step")
            self.euler_step = args[1][1]
        else:
            self.euler_step = None
            self.tolerances = (token, [a[1] for a in args[1:3]
                                       if a[0] == "number" and a[1] > 0])

    def monte_carlo(self, token, args):
        numbers = [a[1] for a in args if a[0] == "number"]
        if len(numbers) < 1 or numbers[0] != int(numbers[0]) or numbers[0] < 1:
            raise self.fault(token, "MonteCarlo takes an output file, the number of runs and "
                                    "a seed")
        if numbers[0] > MAX_RUNS:
            at = next(a[2] for a in args if a[0] == "number")
            raise self.fault(at, f"{_text(numbers[0])} runs: a population file takes at most "
                                 f"{MAX_RUNS}; split them into populations with different "
                                 "seeds")
        # MCSim takes any positive seed; ours is a 64-bit whole number.
        seed = max(int(abs(numbers[1])) % 2**64, 1) if len(numbers) > 1 else 1
        self.montecarlo = (int(numbers[0]), seed, token)
        self.notes.append(f"line {token.line}: the random numbers differ from MCSim's: the same "
                          f"distributions, drawn by our generator from seed {seed}")

    def set_points(self, token, args):
        if len(args) < 4 or args[0][0] != "string" or args[1][0] != "string" \
                or args[2][0] != "number":
            raise self.fault(token, "SetPoints takes an output file, the data file, the number "
                                    "of runs and the parameters' names")
        names = []
        for kind, value, at in args[3:]:
            if kind != "name":
                raise self.fault(at, "SetPoints lists the parameters by name")
            names.append((value, self.settable(value, at)))
            if names[-1][1] in [ours for _, ours in names[:-1]]:
                raise self.fault(at, f"SetPoints lists '{value}' twice")
        runs = args[2][1]
        if runs != int(runs) or runs < 0:
            raise self.fault(args[2][2], "the number of SetPoints runs is a whole number, 0 "
                                         "for every row of the file")
        self.setpoints = (args[1][1], int(runs), names, token)

    def distrib(self, token, args):
        prior = self.prior(token, args)
        if prior.ours in self.priors:
            raise self.fault(args[0][2], f"'{prior.name}' has a Distrib at line "
                                         f"{self.priors[prior.ours].token.line} already: keep "
                                         "one")
        self.priors[prior.ours] = prior
        self.references += [(name, where) for name, _, where in prior.references()]
        self.distributions.append((prior.ours, prior.text(), token))

    def prior(self, token, args):
        """A Distrib statement as a Prior; its shape parameters may name parameters."""
        if len(args) < 2 or args[0][0] != "name" or args[1][0] != "name":
            raise self.fault(token, "Distrib takes a parameter's name, a distribution and its "
                                    "arguments")
        name, dist, at = args[0][1], args[1][1], args[1][2]
        ours = self.settable(name, args[0][2])
        if dist not in DISTRIBUTIONS:
            raise self.fault(at, f"distribution '{dist}' is not translated: the population "
                                 "files take " + ", ".join(sorted(DISTRIBUTIONS)))
        our, count, bounds = DISTRIBUTIONS[dist]
        values = args[2:]
        if len(values) != count:
            raise self.fault(at, f"{dist} takes {count} arguments, {len(values)} given")
        for position, (kind, value, where) in enumerate(values):
            if kind == "number":
                continue
            # A shape parameter may name another sampled parameter (the population
            # file samples it first, run by run); bounds and variances are numbers.
            if kind != "name" or position >= count - bounds or (dist == "Normal_v" and position == 1):
                raise self.fault(where, "only the shape parameters of a distribution may name "
                                        "another parameter (not its bounds or a variance): give "
                                        "a number")
        numbers = [v[1] if v[0] == "number" else (v[1], self.settable(v[1], v[2]), v[2])
                   for v in values]
        if dist == "Normal_v":
            if numbers[1] <= 0:
                raise self.fault(values[1][2], "a variance cannot be negative or 0")
            numbers[1] = math.sqrt(numbers[1])
        self.check_distribution(dist, our, numbers, bounds, values)
        return Prior(name, ours, our, numbers[:count - bounds],
                     tuple(numbers[-2:]) if bounds else None, token)

    def check_distribution(self, dist, our, numbers, bounds, values):
        """Refuses, at the argument, the numbers the population and calibration files
        refuse: a distribution without spread, bounds that leave no probability, draws
        beyond the range of doubles."""
        shape = numbers[:len(numbers) - bounds]
        known = all(not isinstance(v, tuple) for v in shape)

        def fault(position, message):
            raise self.fault(values[position][2], f"{dist}: {message}")

        if our in ("uniform", "loguniform") and known:
            if our == "loguniform" and not shape[0] > 0:
                fault(0, "the minimum must be > 0")
            if not shape[0] < shape[1]:
                fault(1, "the maximum must be above the minimum (to fix the parameter, "
                         "assign it instead)")
        if our == "normal" and not isinstance(shape[1], tuple) and not shape[1] > 0:
            fault(1, "the standard deviation must be > 0 (to fix the parameter, assign it "
                     "instead)")
        if our == "lognormal":
            if not isinstance(shape[0], tuple) and not shape[0] > 0:
                fault(0, "the geometric mean must be > 0")
            if not isinstance(shape[1], tuple) and not shape[1] > 1:
                fault(1, "the geometric standard deviation must be > 1 (to fix the parameter, "
                         "assign it instead)")
        if bounds and not numbers[-2] < numbers[-1]:
            fault(len(numbers) - 1, "the upper bound must be above the lower one")
        if our not in ("normal", "lognormal") or not known:
            return
        # Standard normal scores: of x, or of log x for the lognormal.
        if our == "normal":
            mean, sd = shape
        else:
            mean, sd = math.log(shape[0]), math.log(shape[1])

        def cdf(x):
            if our == "lognormal":
                if x <= 0:
                    return 0.0
                x = math.log(x)
            return 0.5 * math.erfc((mean - x) / (sd * math.sqrt(2)))

        if bounds:
            if not cdf(numbers[-1]) - cdf(numbers[-2]) > 1e-12:
                fault(len(numbers) - 2, f"the bounds [{_text(numbers[-2])}, "
                                        f"{_text(numbers[-1])}] leave no probability")
            return
        # The draws reach 37.05 standard deviations below the mean (a probability of
        # 1e-300) and 8.23 above it (1 - 1e-16); exp() overflows past 709.78.
        if our == "normal" and not math.isfinite(abs(mean) + 37.05 * sd) or \
                our == "lognormal" and mean + 8.23 * sd > math.log(sys.float_info.max):
            fault(1, "its draws overflow the range of doubles: give a smaller spread or bounds")

    def simulation(self, keyword):
        sim = Simulation(keyword)
        self.expect("{", f" after {keyword.text}")
        while not self.is_op("}"):
            token = self.next()
            if token.kind == "end":
                raise self.fault(keyword, f"the {keyword.text} block is not closed")
            if token.kind != "name":
                raise self.fault(token, f"expected a statement, found '{token.text}'")
            word = token.text
            if word == "PrintStep":
                args = self.arguments()
                names = [a for a in args if a[0] == "name"]
                numbers = [a for a in args if a[0] == "number"]
                if len(numbers) != 3 or not names or args[-3:] != numbers:
                    raise self.fault(token, "PrintStep takes the variables, then the start, "
                                            "end and step times")
                start, end, step = (n[1] for n in numbers)
                if step <= 0 or end <= start:
                    raise self.fault(numbers[2][2], "PrintStep needs a positive step and an "
                                                    "end after the start")
                sim.requests.append(((start, end, step), token))
                sim.vars += [self.printing(sim, n, (start, end, step), token) for n in names]
            elif word == "Print":
                args = self.arguments()
                names = [a for a in args if a[0] == "name"]
                times = [a[1] for a in args if a[0] == "number"]
                if not names or not times or args[:len(names)] != names:
                    raise self.fault(token, "Print takes the variables, then the times")
                if any(b <= a for a, b in zip(times, times[1:])):
                    raise self.fault(token, "the times of Print must ascend")
                sim.requests.append((times, token))
                sim.vars += [self.printing(sim, n, times, token) for n in names]
            elif word == "StartTime":
                args = self.arguments()
                if len(args) != 1 or args[0][0] != "number":
                    raise self.fault(token, "StartTime takes one time")
                sim.start = args[0][1]
            elif word == "Data":
                args = self.arguments()
                if len(args) < 2 or args[0][0] != "name" \
                        or any(kind != "number" for kind, _, _ in args[1:]):
                    raise self.fault(token, "Data takes a variable, then its values")
                sim.data.append((args[0][1], self.recorded(args[0][1], args[0][2]),
                                 [(value, at) for _, value, at in args[1:]], token))
            elif self.is_op("="):
                self.next()
                sim.values.append(self.assignment(word, token))
            else:
                raise self.fault(token, f"unknown statement '{word}' in a {keyword.text} block")
        self.next()
        if self.is_op(";"):
            self.next()
        if not sim.requests:
            raise self.fault(keyword, "the simulation requests no output: add PrintStep or Print")
        sim.vars = list(dict.fromkeys(sim.vars))
        self.simulations.append(sim)

    def printing(self, sim, name, request, token):
        ours = self.recorded(name[1], name[2])
        # The times of each variable, for its Data; printed twice, it has two sets.
        sim.printed[ours] = None if ours in sim.printed else (request, token)
        return ours

    # ---- the files -------------------------------------------------------------------
    def value_lines(self, sim, varied=()):
        """The scenario's settings; a global value of a parameter in `varied` is left out
        (MCSim sets the drawn or tabulated value over it; only the simulation's own wins)."""
        lines = []
        own = {name for name, _, _ in sim.values}
        for name, text, token in last_values(self.integrator + self.globals + sim.values):
            if name in varied and name not in own:
                continue
            lines.append(f"{name} = {text}  # line {token.line}")
        return lines

    def scenario_lines(self, sim):
        """The run's start, stop and output interval."""
        lines = []
        start = sim.start or 0.0
        tstop = self.model.tstop_name if self.model else "tstop"
        # One grid from the start time through every requested time: the largest
        # step that divides the distances to them and the PrintStep steps.
        token = sim.requests[0][1]
        lengths, end = [], start
        for request, at in sim.requests:
            if isinstance(request, tuple):
                first, last, step = request
                marks, lengths = [first, last], lengths + [Fraction(repr(step))]
            else:
                marks = request
            for mark in marks:
                if mark < start:
                    raise self.fault(at, f"output time {_text(mark)} is before the start time "
                                         f"{_text(start)}")
                if mark > start:
                    lengths.append(Fraction(repr(mark)) - Fraction(repr(start)))
            end = max(end, marks[-1])
        if end <= start:
            raise self.fault(token, "the output times must reach past the start time")
        grid = lengths[0]
        for length in lengths[1:]:
            grid = _gcd(grid, length)
        if end - start > 1e300:
            raise self.fault(token, f"the output times span {_text(start)} to {_text(end)}: "
                                    "beyond the range of a run")
        cint = float(grid)
        exact = len(sim.requests) == 1 and isinstance(sim.requests[0][0], tuple) \
            and sim.requests[0][0][0] == start and cint == sim.requests[0][0][2]
        rows = (Fraction(repr(end)) - Fraction(repr(start))) / grid
        if rows > (MAX_ROWS if exact else MAX_GRID_ROWS):
            raise self.fault(token, f"the output times need a row every {_text(cint)} h from "
                                    f"{_text(start)} to {_text(end)}, over "
                                    f"{MAX_ROWS if exact else MAX_GRID_ROWS} rows: "
                                    + ("ask for fewer" if exact else "round the times or ask "
                                       "for them with PrintStep"))
        if not exact:
            self.notes.append(f"line {token.line}: simulation {self.simulations.index(sim) + 1} "
                              f"writes a row every {_text(cint)} h from {_text(start)}: the "
                              "requested times are among them")
        if sim.start is not None:
            lines.append(f"zzticg = {_text(start)}  # StartTime")
        lines.append(f"{tstop} = {_text(end)}  # line {token.line}")
        if self.model is not None and self.model.horizons and end > self.model.tstop:
            raise self.fault(token, f"the simulation runs to {_text(end)}, past the "
                                    f"{_text(self.model.tstop)} h up to which the model's "
                                    "periodic doses are laid out: import the model, and this "
                                    f"file, with --tstop {_text(end)}")
        if self.model is not None:
            self.check_dose_ends(sim, end, token)
        lines.append(f"cint = {_text(cint)}  # line {token.line}")
        step = getattr(self, "euler_step", None)
        if step is not None:
            nstp = cint / step
            if abs(nstp - round(nstp)) > 1e-9 * nstp:
                raise self.fault(self.integrator[0][2], f"the Euler step {_text(step)} does not "
                                                        f"divide the output interval {_text(cint)}")
            if nstp > MAX_EULER_STEPS:
                raise self.fault(self.integrator[0][2], f"the Euler step {_text(step)} takes "
                                                        f"{nstp:.3g} steps per output "
                                                        f"interval, more than {MAX_EULER_STEPS}")
            lines.append(f"nstp = {int(round(nstp))}  # Euler step {_text(step)}")
        return lines

    def check_dose_ends(self, sim, end, token):
        """Refuses a simulation whose values (a shorter period, a later first dose) make
        the periodic doses laid out at the model's defaults run out before its end."""
        model = self.model
        values = {n: (0.0 if model.defaults.get(n) is None else _fold(model.defaults[n]))
                  for n, kind in model.kinds.items() if kind == "param"}
        defaults = dict(values)
        given = {}
        for _, text, at in last_values(self.globals + sim.values):
            values[at.text], given[at.text] = float(text), at
        for period, first, count in model.dose_ends:
            every, start = _evaluate(period, values), _evaluate(first, values)
            if every is None or start is None or every <= 0 or start + count * every >= end:
                continue
            read = [given[n] for n, _ in _names(period) + _names(first) if n in given]
            # Enough doses at the defaults: as many as the simulation needs before its end.
            needed = math.ceil((end - start) / every)
            wider = _evaluate(first, defaults) + needed * _evaluate(period, defaults)
            raise self.fault(read[0] if read else token,
                             f"with the values of this simulation the model's periodic doses, "
                             f"laid out up to --tstop {_text(model.tstop)} at its defaults, run "
                             f"out at t = {_text(start + count * every)}, before the simulation "
                             f"ends at {_text(end)}: import the model, and this file, with "
                             f"--tstop {_text(max(wider, end))}")

    def files(self, stem, directory=None):
        self.parse()
        if self.mcmc or self.levels:
            return mcsim_mcmc.calibration_files(self, stem, directory)
        out, tables = {}, {}
        self.replaced = set()
        source = os.path.basename(self.path)
        for k, sim in enumerate(self.simulations, start=1):
            for _, _, _, token in sim.data:
                self.notes.append(f"line {token.line}: Data is left out: it serves calibration "
                                  "(MCMC)")
            header = [f"# Simulation {k} of {source} (line {sim.token.line}), imported by "
                      "orvo-import.",
                      f"# Record with --vars t,{','.join(sim.vars)}"]
            times = self.scenario_lines(sim)
            own = {name for name, _, _ in sim.values}
            if self.setpoints:
                # The simulation's own values win over the table's: it runs the table
                # without those columns.
                listed = [ours for _, ours in self.setpoints[2]]
                left = [ours for ours in listed if ours not in own]
                if not left:
                    raise self.fault(sim.token, f"this {sim.token.text} sets every parameter "
                                                "SetPoints varies: its runs would all be the "
                                                "same; run its scenario once")
                table = f"{stem}_setpoints.csv" if left == listed else \
                    f"{stem}_sim{k}_setpoints.csv"
                if table not in tables:
                    tables[table] = left
                self.varied_globals(set(left), "scenarios", "sets it from the SetPoints file")
                body = self.value_lines(sim, set(listed)) + times
                if left != listed:
                    self.notes.append(f"line {sim.token.line}: simulation {k} sets "
                                      + ", ".join(x for x in listed if x not in left)
                                      + f" itself: run it with --params {table}, the set "
                                      "points without that column")
            else:
                body = self.value_lines(sim) + times
            out[f"{stem}_sim{k}.scenario"] = "\n".join(header + body) + "\n"
            if self.montecarlo:
                runs, seed, token = self.montecarlo
                drawn = {}
                for name, text, at in self.distributions:
                    if name in own:
                        # The simulation's own value wins over the sampled one.
                        self.notes.append(f"line {at.line}: simulation {k} sets {name}, so it "
                                          "is not sampled there")
                    else:
                        drawn[name] = (text, at)
                for name, (_, at) in drawn.items():
                    for named, ours, where in self.priors[name].references():
                        if ours in own:
                            # MCSim draws with the sampled value, then sets the simulation's.
                            raise self.fault(where, f"simulation {k} sets '{named}', which the "
                                                    f"distribution of '{self.priors[name].name}' "
                                                    "names: MCSim draws it with the sampled "
                                                    f"'{named}' and runs with the set one; give "
                                                    "this distribution numbers, or leave "
                                                    f"'{named}' unset in the simulation")
                self.varied_globals(set(drawn), "populations", "draws it (Distrib)")
                lines = header + self.value_lines(sim, set(drawn)) + times + [
                    f"runs = {runs}  # line {token.line}", f"seed = {seed}"]
                lines += [f"{text}  # line {at.line}" for text, at in drawn.values()]
                out[f"{stem}_sim{k}.population"] = "\n".join(lines) + "\n"
        for table, names in tables.items():
            out[table] = self.points_table(names)
        return out

    def varied_globals(self, varied, files, how):
        """Notes, once, the global values that a draw or set point replaces."""
        for name, _, token in last_values(self.globals):
            if name in varied and token not in self.replaced:
                self.replaced.add(token)
                self.notes.append(f"line {token.line}: the global value of {name} is left out "
                                  f"of the {files}: MCSim {how} over it")

    def points_table(self, columns):
        """The SetPoints file's rows as a --params table of the listed parameters in
        `columns` (our names)."""
        data, runs, names, token = self.setpoints
        path = data if os.path.isabs(data) else os.path.join(os.path.dirname(self.path), data)
        try:
            with open(path, encoding="utf-8-sig") as f:
                rows = [line.split() for line in f if line.strip()]
        except (OSError, UnicodeDecodeError) as e:
            raise self.fault(token, f"cannot read the SetPoints file: {e}") from None

        def numeric(row):
            try:
                [float(x) for x in row]
                return True
            except ValueError:
                return False

        if rows and not numeric(rows[0]):
            rows = rows[1:]   # a header line
        elif rows:
            note = (f"line {token.line}: the first line of the SetPoints file holds numbers: "
                    "it is run as the first set point, where MCSim skips the first line as a "
                    "header")
            if note not in self.notes:
                self.notes.append(note)
        if runs > len(rows):
            raise self.fault(token, f"SetPoints asks for {runs} runs and the file holds "
                                    f"{len(rows)} rows: ask for {len(rows)}, or 0 for all")
        if runs > 0:
            rows = rows[:runs]
        if not rows:
            raise self.fault(token, "the SetPoints file holds no rows")
        picked = [[ours for _, ours in names].index(c) for c in columns]
        table = [",".join(columns)]
        for i, row in enumerate(rows, start=1):
            # The first column numbers the rows; the parameters follow in the order listed.
            if len(row) < 1 + len(names) or not numeric(row):
                raise self.fault(token, f"row {i} of the SetPoints file does not hold "
                                        f"{len(names)} numbers after its first column")
            values = [float(x) for x in row[1:1 + len(names)]]
            if not all(math.isfinite(v) for v in values):
                raise self.fault(token, f"row {i} of the SetPoints file holds a value that is "
                                        "not a finite number")
            table.append(",".join(_text(values[j]) for j in picked))
        note = (f"line {token.line}: run the SetPoints rows with --params; the first column "
                "of the file is taken as the row number")
        if note not in self.notes:
            self.notes.append(note)
        return "\n".join(table) + "\n"


def last_values(values):
    """(name, text, token) assignments with the last one of each name kept: MCSim applies
    them in turn, the global ones before a simulation's own."""
    last = {}
    for value in values:
        last.pop(value[0], None)
        last[value[0]] = value
    return list(last.values())


def _text(value):
    text = repr(float(value))
    return text[:-2] if text.endswith(".0") else text


def _gcd(a, b):
    while b:
        a, b = b, a % b
    return a


def translate_simulation(path, text, stem, model_path=None, model_text=None, tstop=24.0,
                         directory=None):
    """The scenario, population and table files of an MCSim simulation file, or with
    MCMC the calibration file and its data, and notes.

    `tstop` is the one the model is imported with: periodic doses are laid out up to it;
    `directory` is where the files go, for the command the notes give."""
    model = None
    if model_path is not None:
        with deep_expressions(model_path):
            model = Translator(model_path, model_text, "imported", tstop, 1.0)
            model.emit()
    t = SimulationTranslator(path, text, model)
    files = t.files(stem, directory)
    return files, t.notes
