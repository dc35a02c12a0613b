"""Translates a GNU MCSim model file into an orvo model description.

States become states, parameters with literal defaults constants, and the
Initialize (Scale), Dynamics and CalcOutputs sections the initial and
derivative blocks. Inputs given by PerDose, PerExp or NDoses become variables
that discrete sections switch at the exact dose times. Whatever has no exact
counterpart is refused with file:line:col and what to do instead."""

import contextlib
import math
import operator
import os
import re
import sys

from .faults import ImportFault
from .mcsim_parser import INPUT_FUNCTIONS, parse

# The generator's package: beside the importer in a source tree
# (tools/orvo-modelgen) or in an installed orvo (lib/orvo/modelgen).
_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
_MODELGEN = next((d for d in (os.path.join(_ROOT, "orvo-modelgen"), os.path.join(_ROOT, "modelgen"))
                  if os.path.isdir(os.path.join(d, "modelgen"))), os.path.join(_ROOT, "orvo-modelgen"))
if _MODELGEN not in sys.path:
    sys.path.insert(0, _MODELGEN)

from modelgen import settings as _settings  # noqa: E402
from modelgen.analysis import FUNCTIONS as _OUR_FUNCTIONS, _CPP_KEYWORDS, analyse  # noqa: E402
from modelgen.lexer import DescriptionError  # noqa: E402
from modelgen.syntax import parse as parse_ours  # noqa: E402

# MCSim (C) function -> ours; each takes the same arguments in the same order.
FUNCTIONS = {name: name for name in ("exp", "log", "log10", "sqrt", "sin", "cos", "tan", "asin",
                                     "acos", "atan", "atan2", "sinh", "cosh", "tanh", "pow",
                                     "floor", "ceil")}
FUNCTIONS.update({"fabs": "abs", "fmin": "min", "fmax": "max"})

MAX_DOSE_SECTIONS = 2000

# What to write instead of a function without an exact counterpart.
_WHAT_TO_WRITE = {
    "fmod": ": our mod(a, b) is a - b * trunc(a / b) in rounded arithmetic, which can differ "
            "from C's fmod() (by as much as b next to the multiples of b); for an exposure "
            "repeated every period give the input by PerDose, whose times are exact",
    "CalcDelay": ": our delay(x, tau, x0) interpolates between samples of the run, which need "
                 "not give MCSim's past values; if that is close enough, write it in the "
                 "translated description by hand",
}


def _random_hint(name):
    if name.endswith("Random") or name in ("SetSeed", "GetSeed"):
        return (": the model cannot draw random numbers; sample the parameter with "
                "Distrib() in a MonteCarlo simulation file instead")
    return ""


# Keys of the population and calibration files: a constant so named could not be set there.
_FILE_KEYS = ("runs", "seed", "sampling", "doses", "data")


def _reserved(name):
    return (name in ("t", "dt") or name in _settings.BY_NAME or name in _OUR_FUNCTIONS
            or name in _FILE_KEYS
            or name in _CPP_KEYWORDS or name.startswith("zz") or re.fullmatch(r"z\d{5}", name)
            or name.endswith("_table"))


def our_name(name):
    """Our spelling of an MCSim name: lower case, single underscores, not reserved."""
    ours = re.sub(r"_+", "_", name.lower()).strip("_") or "v"
    if ours[0].isdigit() or ours.startswith("zz"):
        ours = "v" + ours
    if _reserved(ours):
        ours += "_v"
    return ours


class Translator:
    def __init__(self, path, text, name, tstop, cint):
        self.path = path
        self.m = parse(path, text)
        self.model_name = name
        self.tstop = tstop
        self.cint = cint
        self.kinds = {}       # MCSim name -> state, param, derived, input, dosed, output, local
        self.tokens = {}      # MCSim name -> declaring token
        self.defaults = {}    # MCSim name -> default expression (globals)
        self.value_tokens = {}  # MCSim name -> token of the statement giving its default
        self.state_init = {}  # state -> (expression, token)
        self.doses = {}       # dosed input -> (function, args, token)
        self.rates = set()    # states whose dt() is read
        self.ours = {}        # MCSim name -> our name
        self.notes = []
        self.horizons = []    # our expressions of the times the laid-out doses run out
        self.dose_ends = []   # (period, start, count): MCSim expressions of the same

    def fault(self, token, message):
        return ImportFault(self.path, token.line, token.col, message)

    # ---- what each name is ---------------------------------------------------------
    def classify(self):
        m = self.m
        named = [(n, m.declared[n][1]) for n in m.order] + [(g.name, g.token) for g in m.globals]
        for section in m.sections.values():
            named += [(s.target, s.token) for s in section]
        for name, token in named:
            if name == "t":
                raise self.fault(token, "'t' is the time: it cannot be declared or assigned")
        for name in m.order:
            kind, token = m.declared[name]
            self.kinds[name], self.tokens[name] = kind, token
        for g in m.globals:
            if g.name in INPUT_FUNCTIONS or g.name in FUNCTIONS:
                raise self.fault(g.token, f"'{g.name}' is a function, not a variable")
            kind = self.kinds.get(g.name)
            if g.name in self.value_tokens or (g.expr is None and kind == "param"):
                first = self.value_tokens.get(g.name, self.tokens.get(g.name))
                raise self.fault(g.token, f"'{g.name}' is given a value twice in the global part "
                                          f"(first at line {first.line})")
            if kind is None:
                self.kinds[g.name], self.tokens[g.name] = "param", g.token
                self.m.order.append(g.name)
                kind = "param"
            if g.expr is None:
                if kind != "param":
                    raise self.fault(g.token, f"'{g.name}' is already declared as {_a(kind)}")
                continue
            if kind == "output":
                raise self.fault(g.token, f"output '{g.name}' is computed in Dynamics or "
                                          "CalcOutputs: remove its global value")
            if g.expr[0] == "call" and g.expr[1] in INPUT_FUNCTIONS:
                if kind != "input":
                    raise self.fault(g.expr[-1], f"{g.expr[1]}() gives the value of an input: "
                                                 f"declare '{g.name}' in Inputs = {{...}}")
                self.dose(g.name, g.expr)
                self.value_tokens[g.name] = g.token
                continue
            self.check_constant_expression(g.expr, g.name)
            self.defaults[g.name] = g.expr
            self.value_tokens[g.name] = g.token
            if kind == "state":
                self.state_init[g.name] = (g.expr, g.token)

    def check_constant_expression(self, expr, owner):
        """A global value reads parameters and numbers only."""
        for name, token in _names(expr):
            kind = self.kinds.get(name)
            if name == "t" or kind in ("state", "output", "local", "dosed"):
                raise self.fault(token, f"the value of '{owner}' reads '{name}', which changes "
                                        "during the run: compute it in the Dynamics section")
            if kind is None:
                raise self.fault(token, f"unknown name '{name}': declare it before its use")
        self.check_expression(expr, allow_dt=False)

    def dose(self, name, call):
        function, args, token = call[1], call[2], call[3]
        if function in ("PerDose", "PerExp"):
            last = "exposure time" if function == "PerDose" else "decay constant"
            if len(args) != 4:
                raise self.fault(token, f"{function} takes 4 arguments: magnitude, period, "
                                        f"start time and {last}")
            for arg in (args[0], args[3]):
                self.check_constant_expression(arg, name)
            period = self.timing(args[1], f"the period of {function}", name)
            self.timing(args[2], f"the start time of {function}", name)
            if period <= 0:
                raise self.fault(args[1][-1], f"the period of {function} must be positive (a "
                                              "very long period, e.g. 1e10, gives a single "
                                              "exposure)")
            exposure = _fold(args[3])
            if function == "PerDose" and exposure is not None and exposure <= 0:
                raise self.fault(args[3][-1], "an exposure time of zero delivers nothing: give "
                                              "a positive duration")
        elif function == "NDoses":
            if not args:
                raise self.fault(token, "NDoses takes the number of doses, their magnitudes "
                                        "and their times")
            count = _fold(args[0])
            if count is None or count != int(count) or count < 1:
                raise self.fault(args[0][-1], "the number of doses of NDoses must be a whole "
                                              "number of at least 1")
            count = int(count)
            if len(args) != 1 + 2 * count:
                raise self.fault(token, f"NDoses({count}, ...) takes {count} magnitudes and "
                                        f"{count} times: {len(args) - 1} values are given")
            for arg in args[1:1 + count]:
                self.check_constant_expression(arg, name)
            times = [self.timing(a, "a time of NDoses", name) for a in args[1 + count:]]
            for a, b, arg in zip(times, times[1:], args[2 + count:]):
                if b <= a:
                    raise self.fault(arg[-1], "the times of NDoses must ascend")
        elif function == "PerTransit":
            raise self.fault(token, "PerTransit is not supported: model the transit "
                                    "compartments as states fed by a PerDose input")
        else:
            raise self.fault(token, self.spikes_refusal(name, args))
        self.kinds[name] = "dosed"
        self.doses[name] = (function, args, token)

    def spikes_refusal(self, name, args):
        """What to write instead of Spikes(): the same amounts as dose records, which add
        each one to a state at its exact time."""
        # The states whose dt() reads the input are the ones its spikes feed.
        fed = []
        for s in self.m.sections.get("Dynamics", []):
            if s.derivative and s.target not in fed and \
                    any(n == name for n, _ in _names(s.expr)):
                fed.append(s.target)
        target = our_name(fed[0]) if len(fed) == 1 else "STATE"
        count = _fold(args[0]) if args else None
        records = ""
        if count is not None and count == int(count) and count >= 1 and \
                len(args) == 1 + 2 * int(count):
            count = int(count)

            # Parameters, wherever in the global part they are given.
            params = {g.name for g in self.m.globals if g.name not in self.m.declared}

            def value(e):
                if e[0] == "name" and e[1] in params:
                    return our_name(e[1])   # dose records may name a constant
                v = _fold(e)
                return None if v is None else _number(v)

            amounts = [value(a) for a in args[1:1 + count]]
            times = [value(a) for a in args[1 + count:]]
            if None not in amounts and None not in times:
                records = ": " + "; ".join(["time,target,amount"] + [
                    f"{t},{target},{a}" for t, a in zip(times, amounts)])
        where = (f"the state it feeds ({target})" if target != "STATE"
                 else "the state each spike is added to (STATE)")
        return (f"Spikes() is not translated: an instantaneous input has no value an "
                f"integrator can use, and no exact translation exists. Give the spikes as "
                f"dose records instead, which add each amount to a state at its exact time: "
                f"remove '{name}' from the model (and from the dt() that reads it), import "
                f"it, and run with --doses FILE.csv naming {where}{records}")

    def timing(self, expr, what, owner):
        """The value, at the defaults, of a dose time or period: numbers and parameters."""
        self.check_constant_expression(expr, owner)
        values = {}
        for n, kind in self.kinds.items():
            if kind == "param":
                default = self.defaults.get(n)
                values[n] = 0.0 if default is None else _fold(default)
        value = _evaluate(expr, values)
        if value is None:
            raise self.fault(expr[-1], f"{what} must be a number or a parameter with a "
                                       "numeric default")
        return value

    def check_expression(self, expr, allow_dt):
        kind = expr[0]
        if kind == "call":
            name, args, token = expr[1], expr[2], expr[3]
            if name in INPUT_FUNCTIONS:
                raise self.fault(token, f"{name}() may only give an input's value in the "
                                        "global part (Input = PerDose(...);)")
            if name == "abs":
                raise self.fault(token, "abs() is C's absolute value of a whole number (it "
                                        "truncates): write fabs() for the absolute value")
            if name not in FUNCTIONS:
                raise self.fault(token, f"function '{name}' has no counterpart in our language"
                                        + _WHAT_TO_WRITE.get(name, _random_hint(name)))
            arity = _OUR_FUNCTIONS[FUNCTIONS[name]][1]
            if len(args) != arity:
                raise self.fault(token, f"{name}() takes {arity} argument"
                                        f"{'s' if arity != 1 else ''}, {len(args)} given")
            for a in args:
                self.check_expression(a, allow_dt)
        elif kind == "dt":
            if not allow_dt:
                raise self.fault(expr[-1], "dt() can be read in the Dynamics and CalcOutputs "
                                           "sections only")
            if self.kinds.get(expr[1]) != "state":
                raise self.fault(expr[-1], f"dt() of '{expr[1]}', which is not a state")
            self.rates.add(expr[1])
        elif kind == "un":
            self.check_expression(expr[2], allow_dt)
        elif kind == "bin":
            if expr[1] == "/" and _whole(expr[2]) and _whole(expr[3]):
                raise self.fault(expr[-1], f"{expr[2][1]}/{expr[3][1]} divides two whole "
                                           "numbers, which C rounds down to a whole number: "
                                           f"write {expr[2][1]}.0/{expr[3][1]} if the fraction "
                                           "is meant")
            if expr[1] == "/" and _integral(expr[2]) and _integral(expr[3]):
                raise self.fault(expr[-1], "this '/' divides two whole-number values (whole "
                                           "numbers, comparisons), which C rounds down to a "
                                           "whole number: write a number with a decimal point "
                                           "in it if the fraction is meant")
            self.check_expression(expr[2], allow_dt)
            self.check_expression(expr[3], allow_dt)
        elif kind == "cond":
            for e in expr[1:4]:
                self.check_expression(e, allow_dt)

    # ---- sections ------------------------------------------------------------------
    def sections(self):
        assigned = {}   # name -> (section, token)
        init = self.m.sections.get("Initialize", [])
        # Locals are what a section assigns without a declaration.
        for section in ("Initialize", "Dynamics", "CalcOutputs"):
            for s in self.m.sections.get(section, []):
                if s.target not in self.kinds and not s.derivative:
                    self.kinds[s.target], self.tokens[s.target] = "local", s.token
                    self.m.order.append(s.target)
        self.versions(init, ("local", "output", "param"))
        self.versions(self.m.sections.get("Dynamics", []) + self.m.sections.get("CalcOutputs", []),
                      ("local", "output"))
        first_assignment = {}
        for s in init:
            first_assignment.setdefault(s.target.split("#")[0], s)
        for s in init:
            kind = self.kinds.get(s.target)
            if s.derivative:
                raise self.fault(s.token, "dt() belongs in the Dynamics section")
            self.once(assigned, s, "Initialize")
            if kind in ("input", "dosed"):
                raise self.fault(s.token, f"input '{s.target}' cannot be assigned: inputs are "
                                          "set by the host or an input function")
            for name, token in _names(s.expr):
                if self.kinds.get(name) == "state":
                    raise self.fault(token, f"the Initialize section reads state '{name}' "
                                            "before the run has given it a value")
                if self.kinds.get(name) == "dosed":
                    raise self.fault(token, f"the Initialize section reads input '{name}', "
                                            f"which {self.doses[name][0]}() gives only once the "
                                            "run is under way (MCSim does not allow inputs "
                                            "there): read it in the Dynamics section")
                first = first_assignment.get(name)
                if self.kinds.get(name) == "param" and first is not None and \
                        name not in assigned_before(init, s):
                    if first is s:
                        raise self.fault(token, f"'{name}' is rescaled in place: give the scaled "
                                                "value its own name")
                    raise self.fault(token, f"'{name}' is read before the Initialize section "
                                            f"assigns it at line {first.token.line}: give the "
                                            "computed value its own name")
                if name not in self.kinds and name != "t":
                    raise self.fault(token, f"unknown name '{name}'")
            self.check_expression(s.expr, allow_dt=False)
            if kind == "state":
                self.state_init[s.target] = (s.expr, s.token)
            elif kind == "param":
                self.kinds[s.target] = "derived"
        # Global values are worked out before the Initialize section runs.
        for owner, default in self.defaults.items():
            for name, token in _names(default):
                if self.kinds.get(name) == "derived":
                    raise self.fault(token, f"the value of '{owner}' reads '{name}', which the "
                                            "Initialize section assigns: compute it there too")
        for name, kind in self.kinds.items():
            if kind == "derived" and name in self.defaults:
                self.notes.append(f"the default of {name} (line {self.value_tokens[name].line}) "
                                  "is replaced by the Initialize section")
        for section in ("Dynamics", "CalcOutputs"):
            for s in self.m.sections.get(section, []):
                kind = self.kinds.get(s.target)
                if s.derivative:
                    if kind != "state":
                        raise self.fault(s.token, f"dt() of '{s.target}', which is not a state")
                    if section == "CalcOutputs":
                        raise self.fault(s.token, "dt() belongs in the Dynamics section")
                    self.once(assigned, s, section, key=("dt", s.target))
                else:
                    if kind == "state":
                        raise self.fault(s.token, f"state '{s.target}' is assigned: a state "
                                                  "changes only through dt()")
                    if kind in ("param", "derived"):
                        raise self.fault(s.token, f"parameter '{s.target}' is assigned in the "
                                                  f"{section} section: give the computed value "
                                                  "its own name")
                    if kind in ("input", "dosed"):
                        raise self.fault(s.token, f"input '{s.target}' cannot be assigned: "
                                                  "inputs are set by the host or an input "
                                                  "function")
                    self.once(assigned, s, section)
                for name, token in _names(s.expr):
                    if name not in self.kinds and name != "t":
                        raise self.fault(token, f"unknown name '{name}'")
                self.check_expression(s.expr, allow_dt=True)
        self.reads_before_assignment()
        for name, kind in self.kinds.items():
            if kind == "output" and name not in assigned:
                self.notes.append(f"output {name} is never computed: it stays 0")

    def reads_before_assignment(self):
        """MCSim runs Dynamics, then CalcOutputs at output times, statement by statement: a
        value read before its assignment there is the one kept from an earlier call. Our
        derivative section computes every value before it is read, so such a read is refused."""
        order = [(section, s) for section in ("Dynamics", "CalcOutputs")
                 for s in self.m.sections.get(section, [])]
        position = {}   # name (or ("dt", state)) -> where it is first assigned
        for k, (section, s) in enumerate(order):
            key = ("dt", s.target) if s.derivative else s.target.split("#")[0]
            position.setdefault(key, (k, section, s.token))
        for k, (section, s) in enumerate(order):
            reads = [(n, at) for n, at in _names(s.expr)
                     if self.kinds.get(n) in ("output", "local")]
            reads += [(("dt", n), at) for n, at in _dt_reads(s.expr)]
            for key, at in reads:
                if key not in position or position[key][0] < k:
                    continue
                _, where, token = position[key]
                what = f"dt({key[1]})" if isinstance(key, tuple) else f"'{key.split('#')[0]}'"
                if where != section:
                    kept = ("a local there, out of the Dynamics section's reach"
                            if self.kinds.get(key) == "local" else
                            "MCSim gives it the value of the last output time there")
                    raise self.fault(at, f"the {section} section reads {what}, which only "
                                         f"{where} computes (line {token.line}): {kept}; "
                                         f"compute it in the {section} section first")
                raise self.fault(at, f"{what} is read before the {section} section assigns it "
                                     f"at line {token.line}, so MCSim reads a value left from "
                                     "before (none, for a local): assign it first")

    def versions(self, statements, kinds):
        """Gives each value of a name assigned several times in a row its own name.

        The k-th of n assignments targets NAME#k (our NAME_k) and the reads up to the
        next assignment read it; the last one keeps the name, so outputs keep theirs."""
        count = {}
        for s in statements:
            if not s.derivative and self.kinds.get(s.target) in kinds:
                count[s.target] = count.get(s.target, 0) + 1
        seen, current = {}, {}
        for s in statements:
            s.expr = _rename(s.expr, current)
            if s.derivative or count.get(s.target, 1) == 1:
                continue
            k = seen[s.target] = seen.get(s.target, 0) + 1
            if k < count[s.target]:
                alias = f"{s.target}#{k}"
                self.kinds[alias], self.tokens[alias] = "local", s.token
                self.m.order.append(alias)
                current[s.target] = alias
                s.target = alias
            else:
                current.pop(s.target, None)

    def once(self, assigned, s, section, key=None):
        key = key or s.target
        if key in assigned:
            first_section, first = assigned[key]
            what = f"dt({s.target})" if s.derivative else f"'{s.target}'"
            raise self.fault(s.token, f"{what} is assigned again (first in {first_section} at "
                                      f"line {first.line}): give each value its own name")
        assigned[key] = (section, s.token)

    # ---- names ---------------------------------------------------------------------
    def name_all(self):
        taken = {}
        for name in ["t"] + self.m.order:
            if name == "t":
                self.ours["t"] = "t"
                continue
            if "#" in name:
                base, k = name.split("#")
                self.ours[name] = self.fresh(f"{self.ours[base]}_{k}", taken)
                continue
            ours = our_name(name)
            if ours in taken:
                other = taken[ours]
                raise self.fault(self.tokens[name], f"'{name}' and '{other}' (line "
                                                    f"{self.tokens[other].line}) both become "
                                                    f"'{ours}' in our lower-case names: rename one")
            taken[ours] = name
            self.ours[name] = ours
        for state in self.rates:
            rate = self.fresh(self.ours[state] + "_rate", taken)
            self.ours[("rate", state)] = rate
        for name, (function, _, _) in self.doses.items():
            if function == "PerExp":
                self.ours[("mag", name)] = self.fresh(self.ours[name] + "_mag", taken)
                self.ours[("start", name)] = self.fresh(self.ours[name] + "_start", taken)
        self.tstop_name = self.fresh("tstop", taken)

    def fresh(self, base, taken):
        name, k = base, 2
        while name in taken:
            name, k = f"{base}{k}", k + 1
        taken[name] = name
        return name

    # ---- expressions ---------------------------------------------------------------
    def expr(self, e, parent=0, right=False):
        kind = e[0]
        if kind == "num":
            return e[1]
        if kind == "name":
            return self.ours[e[1]]
        if kind == "dt":
            return self.ours[("rate", e[1])]
        if kind == "call":
            return f"{FUNCTIONS[e[1]]}({', '.join(self.expr(a) for a in e[2])})"
        if kind == "cond":
            test = e[1]
            text = self.expr(test, 1)
            if not _is_boolean(test):
                text = f"{self.expr(test, _PRECEDENCE['!='])} != 0"
            # Ours evaluates the branch taken only, as C does: (V > 0 ? A / V : 0) divides
            # by nothing when V is 0.
            text = f"{text} ? {self.expr(e[2])} : {self.expr(e[3])}"
            return f"({text})" if parent > 0 else text
        if kind == "un":
            inner = self.expr(e[2], 7)
            text = f"{e[1]}{inner}"
            return f"({text})" if parent > 7 else text
        op = e[1]
        p = _PRECEDENCE[op]
        text = f"{self.expr(e[2], p)} {op} {self.expr(e[3], p, right=True)}"
        # Our comparisons share one level, so a comparison inside another is bracketed.
        if p < parent or (p == parent and right) or (p in (4, 5) and parent in (4, 5)):
            return f"({text})"
        return text

    # ---- the description -------------------------------------------------------------
    def line(self, token):
        return f"# line {token.line}"

    def description(self, name):
        comment = ""
        if name in self.value_tokens:
            comment = self.m.comments.get(self.value_tokens[name].line, "")
        comment = comment or self.m.comments.get(self.tokens[name].line, "")
        comment = comment.replace('"', "'").strip()
        return f' "{comment}"' if comment else ""

    def emit(self):
        self.classify()
        if "state" not in self.kinds.values():
            raise ImportFault(self.path, 1, 1, "the model declares no States: our models "
                                               "integrate at least one state (States = {...};)")
        self.sections()
        self.name_all()
        o = self.ours
        out = [f"# Imported by orvo-import from the GNU MCSim model {os.path.basename(self.path)};",
               "# each statement names the line of that file it comes from.", ""]
        body = [f"model {self.model_name};", ""]
        states = [n for n in self.m.order if self.kinds[n] == "state"]
        if states:
            body.append("states {")
            for n in states:
                init = self.state_init.get(n)
                value = self.expr(init[0]) if init else "0"
                token = init[1] if init else self.tokens[n]
                body.append(f"    {o[n]} = {value}{self.description(n)};  {self.line(token)}")
            body.append("}")
            body.append("")
        constants, variables, initial = [], [], []
        for n in self.m.order:
            kind = self.kinds[n]
            if kind in ("param", "input"):
                default = self.defaults.get(n)
                value = _fold(default) if default is not None else 0.0
                token = self.value_tokens.get(n, self.tokens[n])
                if value is None:
                    # A value computed from other parameters: evaluated at the start of each run.
                    variables.append(f"    {o[n]}{self.description(n)};  {self.line(token)}")
                    initial.append((token, f"{o[n]} = {self.expr(default)};"))
                    self.notes.append(f"{n} is computed from other parameters at the start of "
                                      "each run, so it cannot be set on its own")
                else:
                    constants.append(f"    {o[n]} = {_literal(value, default)}{self.description(n)};"
                                     f"  {self.line(token)}")
            elif kind != "state":
                variables.append(f"    {o[n]}{self.description(n)};  {self.line(self.tokens[n])}")
        for s in self.rates:
            variables.append(f"    {o[('rate', s)]} \"dt({s})\";  {self.line(self.tokens[s])}")
        dose_parts = [self.dose_sections(n, *dose) for n, dose in self.doses.items()]
        for n, (function, args, token) in self.doses.items():
            if function == "PerExp":
                variables.append(f"    {o[('mag', n)]} \"magnitude of the last {n} dose\";  "
                                 f"{self.line(token)}")
                variables.append(f"    {o[('start', n)]} \"time of the last {n} dose\";  "
                                 f"{self.line(token)}")
        constants.append(f"    {self.tstop_name} = {_number(self.tstop)} \"stop time\";")
        body += ["constants {"] + constants + ["}", ""]
        if variables:
            body += ["variables {"] + variables + ["}", ""]
        body += ["settings {", f"    cint = {_number(self.cint)};", "}", ""]

        for s in self.m.sections.get("Initialize", []):
            if self.kinds[s.target] != "state":
                initial.append((s.token, f"{o[s.target]} = {self.expr(s.expr)};"))
        for n, (function, args, token) in self.doses.items():
            if function == "PerExp":
                initial.append((token, f"{o[('mag', n)]} = 0;"))
                initial.append((token, f"{o[('start', n)]} = 0;"))
            else:
                initial.append((token, f"{o[n]} = 0;"))
        for n in self.m.order:
            if self.kinds[n] == "output" and not self.assigned_anywhere(n):
                initial.append((self.tokens[n], f"{o[n]} = 0;"))
        if initial:
            body.append("initial {")
            body += [f"    {text}  {self.line(token)}" for token, text in initial]
            body += ["}", ""]

        derivative = []
        for section in ("Dynamics", "CalcOutputs"):
            for s in self.m.sections.get(section, []):
                if s.derivative and s.target in self.rates:
                    rate = o[("rate", s.target)]
                    derivative.append(f"    {rate} = {self.expr(s.expr)};  {self.line(s.token)}")
                    derivative.append(f"    dt({o[s.target]}) = {rate};  {self.line(s.token)}")
                elif s.derivative:
                    derivative.append(f"    dt({o[s.target]}) = {self.expr(s.expr)};  "
                                      f"{self.line(s.token)}")
                else:
                    derivative.append(f"    {o[s.target]} = {self.expr(s.expr)};  "
                                      f"{self.line(s.token)}")
        for _, statements in dose_parts:
            derivative += statements
        written = {s.target for s in self.m.sections.get("Dynamics", []) if s.derivative}
        for n in states:
            if n not in written:
                derivative.append(f"    dt({o[n]}) = 0;  {self.line(self.tokens[n])} "
                                  "(no dt() given: constant)")
                self.notes.append(f"state {n} has no dt() in the Dynamics section: it stays "
                                  "at its initial value")
        body += ["derivative {"] + derivative + ["}", ""]

        for sections, _ in dose_parts:
            body += sections

        if self.horizons:
            body.append(f"# The periodic doses are laid out up to t = {_number(self.tstop)} at the "
                        "defaults: the run stops where")
            body.append("# they run out; import again with a larger --tstop to run longer.")
            limit = self.horizons[0]
            for h in self.horizons[1:]:
                limit = f"min({limit}, {h})"
            body.append(f"terminate when t >= min({self.tstop_name}, {limit});")
            self.notes.append(f"periodic doses are laid out up to t = {_number(self.tstop)} "
                              "(--tstop)")
        else:
            body.append(f"terminate when t >= {self.tstop_name};")
        for token, note in self.m.dropped:
            self.notes.append(f"line {token.line}: {note}")
        if self.notes:
            out.append("# Notes:")
            out += [f"#   {note}" for note in self.notes]
            out.append("")
        text = "\n".join(out + body) + "\n"
        self.validate(text)
        return text

    def assigned_anywhere(self, name):
        return any(s.target == name and not s.derivative
                   for section in self.m.sections.values() for s in section)

    def dose_sections(self, name, function, args, token):
        """The discrete sections of one input function, and its derivative statement if any."""
        o = self.ours[name]
        line = self.line(token)
        for arg in args[1:]:
            for n, at in _names(arg):
                if self.kinds.get(n) == "derived":
                    raise self.fault(at, f"the dose times read '{n}', which the Initialize "
                                         "section computes: use a parameter with a default")
        if function == "NDoses":
            count = int(_fold(args[0]))
            lines = []
            for k in range(count):
                lines += [f"discrete {o}_dose_{k + 1} at {self.expr(args[1 + count + k])} {{  "
                          f"{line}", f"    {o} = {self.expr(args[1 + k])};", "}", ""]
            return lines, []
        values = {n: (0.0 if self.defaults.get(n) is None else _fold(self.defaults[n]))
                  for n, kind in self.kinds.items() if kind == "param"}
        period, start = _evaluate(args[1], values), _evaluate(args[2], values)
        literal = _fold(args[1]) is not None and _fold(args[2]) is not None

        def at(k):
            if literal:
                return _number(start + k * period)
            if k == 0:
                return self.expr(args[2])
            return f"{self.expr(args[2], 6)} + {k} * {self.expr(args[1], 7, right=True)}"

        magnitude = self.expr(args[0])
        exposure_value = _fold(args[3])
        if function == "PerDose" and literal and exposure_value is not None \
                and exposure_value >= period:
            # On for whole periods: switched on once and never off.
            return [f"discrete {o}_on at {at(0)} {{  {line}", f"    {o} = {magnitude};",
                    "}", ""], []
        count = 0
        while start + count * period < self.tstop or count == 0:
            count += 1
            if count > MAX_DOSE_SECTIONS:
                raise self.fault(token, f"{function} repeats more than {MAX_DOSE_SECTIONS} "
                                        f"times before t = {_number(self.tstop)}: import with "
                                        "a shorter --tstop")
        if not literal or start + count * period < 1e10:
            self.horizons.append(at(count))
            self.dose_ends.append((args[1], args[2], count))
        lines, derivative = [], []
        if function == "PerExp":
            held, since = self.ours[("mag", name)], self.ours[("start", name)]
            derivative.append(f"    {o} = {held} * exp(-{self.expr(args[3], 7)} * (t - {since}));"
                              f"  {line}")
            for k in range(count):
                lines += [f"discrete {o}_start_{k + 1} at {at(k)} {{  {line}",
                          f"    {held} = {magnitude};", f"    {since} = {at(k)};", "}", ""]
            return lines, derivative
        exposure = self.expr(args[3], 6, right=True)
        if exposure_value is not None and literal:
            off = "0"
        else:
            # An exposure as long as the period or longer keeps the input on.
            off = (f"{self.expr(args[0], 7)} * ({self.expr(args[3], 5)} >= "
                   f"{self.expr(args[1], 5, right=True)})")
        for k in range(count):
            lines += [f"discrete {o}_on_{k + 1} at {at(k)} {{  {line}",
                      f"    {o} = {magnitude};", "}", "",
                      f"discrete {o}_off_{k + 1} at {at(k)} + {exposure} {{  {line}",
                      f"    {o} = {off};", "}", ""]
        return lines, derivative

    def validate(self, text):
        """Runs our generator's checks on the result; a fault there is traced to its source line."""
        try:
            analyse(parse_ours(self.path, text))
        except DescriptionError as e:
            lines = text.split("\n")
            found = re.search(r"# line (\d+)", lines[e.where.line - 1]) \
                if 0 < e.where.line <= len(lines) else None
            line = int(found.group(1)) if found else 1
            raise ImportFault(self.path, line, 1, f"the translated model is refused: {e.message}") \
                from None


def assigned_before(section, statement):
    names = set()
    for s in section:
        if s is statement:
            return names
        names.add(s.target)
    return names


_PRECEDENCE = {"||": 2, "&&": 3, "==": 4, "!=": 4, "<": 5, "<=": 5, ">": 5, ">=": 5,
               "+": 6, "-": 6, "*": 7, "/": 7}


def _is_boolean(e):
    return (e[0] == "bin" and e[1] in ("||", "&&", "==", "!=", "<", "<=", ">", ">=")) or \
        (e[0] == "un" and e[1] == "!")


def _rename(e, current):
    kind = e[0]
    if kind == "name":
        return ("name", current.get(e[1], e[1]), e[2])
    if kind == "call":
        return ("call", e[1], [_rename(a, current) for a in e[2]], e[3])
    if kind == "un":
        return ("un", e[1], _rename(e[2], current), e[3])
    if kind == "bin":
        return ("bin", e[1], _rename(e[2], current), _rename(e[3], current), e[4])
    if kind == "cond":
        return ("cond", *[_rename(x, current) for x in e[1:4]], e[4])
    return e


_ARITHMETIC = {"+": operator.add, "-": operator.sub, "*": operator.mul, "/": operator.truediv}


def _evaluate(e, values):
    """The value of an expression of numbers, names with known values and + - * /, else None."""
    kind = e[0]
    if kind == "num":
        return float(e[1])
    if kind == "name":
        return values.get(e[1])
    if kind == "un" and e[1] in "+-":
        v = _evaluate(e[2], values)
        return None if v is None else (-v if e[1] == "-" else v)
    if kind == "bin" and e[1] in ("+", "-", "*", "/"):
        a, b = _evaluate(e[2], values), _evaluate(e[3], values)
        if a is None or b is None or (e[1] == "/" and b == 0):
            return None
        return _ARITHMETIC[e[1]](a, b)
    return None


def _whole(e):
    return e[0] == "num" and e[1].isdigit()


def _integral(e):
    """Whether C computes e in whole numbers: whole literals, comparisons and logic, and
    + - * ?: of such values."""
    kind = e[0]
    if kind == "num":
        return _whole(e)
    if kind == "un":
        return e[1] == "!" or _integral(e[2])
    if kind == "bin":
        return _is_boolean(e) or (e[1] in "+-*" and _integral(e[2]) and _integral(e[3]))
    if kind == "cond":
        return _integral(e[2]) and _integral(e[3])
    return False


def _leaves(e, kind):
    """The (name, token) pairs of the `kind` leaves ("name", "dt") of an expression, in the
    order written; without recursion, since a long flat sum is a deep tree."""
    found, pending = [], [e]
    while pending:
        e = pending.pop()
        if e[0] == kind:
            found.append((e[1], e[2]))
        elif e[0] == "call":
            pending += reversed(e[2])
        elif e[0] == "un":
            pending.append(e[2])
        elif e[0] == "bin":
            pending += (e[3], e[2])
        elif e[0] == "cond":
            pending += (e[3], e[2], e[1])
    return found


def _names(e):
    """The (name, token) pairs an expression reads, in the order written."""
    return _leaves(e, "name")


def _dt_reads(e):
    """The (state, token) pairs of the dt() an expression reads, in the order written."""
    return _leaves(e, "dt")


def _fold(e):
    """The value of an expression of numbers and + - * /, else None."""
    if e is None:
        return None
    kind = e[0]
    if kind == "num":
        return float(e[1])
    if kind == "un" and e[1] in "+-":
        v = _fold(e[2])
        return None if v is None else (-v if e[1] == "-" else v)
    if kind == "bin" and e[1] in ("+", "-", "*", "/"):
        a, b = _fold(e[2]), _fold(e[3])
        if a is None or b is None or (e[1] == "/" and b == 0):
            return None
        value = _ARITHMETIC[e[1]](a, b)
        return value if math.isfinite(value) else None
    return None


def _number(value):
    text = repr(float(value))
    return text[:-2] if text.endswith(".0") else text


def _literal(value, default):
    if default is not None and default[0] == "num":
        return default[1]
    if default is not None and default[0] == "un" and default[2][0] == "num":
        return ("-" if default[1] == "-" else "") + default[2][1]
    return _number(value)


def _a(kind):
    return {"state": "a state", "input": "an input", "output": "an output"}.get(kind, kind)


# The translation walks expressions recursively: a flat sum of n terms is n deep.
_RECURSION_LIMIT = 100000


@contextlib.contextmanager
def deep_expressions(path):
    """Lets the walks reach the depth of long flat sums; deeper still is a fault of the file."""
    before = sys.getrecursionlimit()
    sys.setrecursionlimit(max(before, _RECURSION_LIMIT))
    try:
        yield
    except RecursionError:
        raise ImportFault(path, 1, 1, "an expression is too long to translate: split it into "
                                      "parts with names of their own") from None
    finally:
        sys.setrecursionlimit(before)


def translate(path, text, name, tstop=24.0, cint=1.0):
    """The orvo description of the MCSim model in `text`, and the notes on what changed."""
    with deep_expressions(path):
        t = Translator(path, text, name, tstop, cint)
        return t.emit(), t.notes
