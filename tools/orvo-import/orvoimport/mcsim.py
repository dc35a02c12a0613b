"""Translates a GNU MCSim model file into an orvo model description.

States become states, parameters with literal defaults constants, and the
Initialize (Scale), Dynamics and CalcOutputs sections the initial and
derivative blocks. Inputs given by PerDose or NDoses become variables that
discrete sections switch at the exact dose times. Whatever has no exact
counterpart is refused with file:line:col and what to do instead."""

import os
import re
import sys

from .faults import ImportFault
from .mcsim_parser import INPUT_FUNCTIONS, parse

_MODELGEN = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                         "orvo-modelgen")
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
FUNCTIONS.update({"fabs": "abs", "abs": "abs", "fmin": "min", "fmax": "max"})

MAX_DOSE_SECTIONS = 2000


def _reserved(name):
    return (name in ("t", "dt") or name in _settings.BY_NAME or name in _OUR_FUNCTIONS
            or name in _CPP_KEYWORDS or name.startswith("zz") or re.fullmatch(r"z\d{5}", name)
            or name.endswith("_table"))


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
        self.horizon_used = False

    def fault(self, token, message):
        return ImportFault(self.path, token.line, token.col, message)

    # ---- what each name is ---------------------------------------------------------
    def classify(self):
        m = self.m
        for name in m.order:
            kind, token = m.declared[name]
            self.kinds[name], self.tokens[name] = kind, token
        for g in m.globals:
            if g.name in INPUT_FUNCTIONS or g.name in FUNCTIONS:
                raise self.fault(g.token, f"'{g.name}' is a function, not a variable")
            kind = self.kinds.get(g.name)
            if g.name in self.defaults or g.name in self.doses or (g.expr is None and kind == "param"):
                raise self.fault(g.token, f"'{g.name}' is given a value twice in the global part "
                                          f"(first at line {self.tokens[g.name].line})")
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
            if name == "t" or kind in ("state", "output", "local"):
                raise self.fault(token, f"the value of '{owner}' reads '{name}', which changes "
                                        "during the run: compute it in the Dynamics section")
            if kind is None:
                raise self.fault(token, f"unknown name '{name}': declare it before its use")
        self.check_expression(expr, allow_dt=False)

    def dose(self, name, call):
        function, args, token = call[1], call[2], call[3]
        if function == "PerDose":
            if len(args) != 4:
                raise self.fault(token, "PerDose takes 4 arguments: magnitude, period, "
                                        "start time and exposure time")
            for arg in (args[0], args[3]):
                self.check_constant_expression(arg, name)
            period = self.number(args[1], "the period of PerDose")
            start = self.number(args[2], "the start time of PerDose")
            if period <= 0:
                raise self.fault(args[1][-1], "the period of PerDose must be positive (a very "
                                              "long period, e.g. 1e10, gives a single exposure)")
            exposure = _fold(args[3])
            if exposure is not None and exposure <= 0:
                raise self.fault(args[3][-1], "an exposure time of zero delivers nothing: give "
                                              "a positive duration")
        elif function == "NDoses":
            if not args:
                raise self.fault(token, "NDoses takes the number of doses, their magnitudes "
                                        "and their times")
            count = self.number(args[0], "the number of doses of NDoses")
            if count != int(count) or count < 1:
                raise self.fault(args[0][-1], "the number of doses of NDoses must be a whole "
                                              "number of at least 1")
            count = int(count)
            if len(args) != 1 + 2 * count:
                raise self.fault(token, f"NDoses({count}, ...) takes {count} magnitudes and "
                                        f"{count} times: {len(args) - 1} values are given")
            for arg in args[1:1 + count]:
                self.check_constant_expression(arg, name)
            times = [self.number(a, "a time of NDoses") for a in args[1 + count:]]
            for a, b, arg in zip(times, times[1:], args[2 + count:]):
                if b <= a:
                    raise self.fault(arg[-1], "the times of NDoses must ascend")
        elif function == "PerExp":
            raise self.fault(token, "PerExp is not supported: write the exponential in the "
                                    "Dynamics section with an NDoses or PerDose input as switch")
        elif function == "PerTransit":
            raise self.fault(token, "PerTransit is not supported: model the transit "
                                    "compartments as states fed by a PerDose input")
        else:
            raise self.fault(token, "Spikes is not supported: instantaneous doses need a state "
                                    "reset; give the dose as a short PerDose infusion or add it "
                                    "to the state's initial value")
        self.kinds[name] = "dosed"
        self.doses[name] = (function, args, token)

    def number(self, expr, what):
        value = _fold(expr)
        if value is None:
            raise self.fault(expr[-1], f"{what} must be a number (the dose times are laid out "
                                       "when the model is imported)")
        return value

    def check_expression(self, expr, allow_dt):
        kind = expr[0]
        if kind == "call":
            name, args, token = expr[1], expr[2], expr[3]
            if name in INPUT_FUNCTIONS:
                raise self.fault(token, f"{name}() may only give an input's value in the "
                                        "global part (Input = PerDose(...);)")
            if name not in FUNCTIONS:
                raise self.fault(token, f"function '{name}' has no counterpart in our language")
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
                if name == s.target and s.target not in assigned_before(init, s):
                    raise self.fault(token, f"'{name}' is rescaled in place: give the scaled "
                                            "value its own name")
                if name not in self.kinds and name != "t":
                    raise self.fault(token, f"unknown name '{name}'")
            self.check_expression(s.expr, allow_dt=False)
            if kind == "state":
                self.state_init[s.target] = (s.expr, s.token)
            elif kind == "param":
                self.kinds[s.target] = "derived"
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
        for name, kind in self.kinds.items():
            if kind == "output" and name not in assigned:
                self.notes.append(f"output {name} is never computed: it stays 0")

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
            ours = re.sub(r"_+", "_", name.lower()).strip("_") or "v"
            if ours[0].isdigit():
                ours = "v" + ours
            if _reserved(ours):
                ours += "_v"
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
            text = self.expr(test)
            if not _is_boolean(test):
                text = f"{self.expr(test, _PRECEDENCE['!='])} != 0"
            # fcnsw(p, a, b, c) is a for p < 0, b for p == 0 and c for p > 0: the test is 0 or 1.
            return f"fcnsw({text}, {self.expr(e[3])}, {self.expr(e[3])}, {self.expr(e[2])})"
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
        constants.append(f"    {self.tstop_name} = {_number(self.tstop)} \"stop time\";")
        body += ["constants {"] + constants + ["}", ""]
        if variables:
            body += ["variables {"] + variables + ["}", ""]
        body += ["settings {", f"    cint = {_number(self.cint)};", "}", ""]

        for s in self.m.sections.get("Initialize", []):
            if self.kinds[s.target] != "state":
                initial.append((s.token, f"{o[s.target]} = {self.expr(s.expr)};"))
        for n, (function, args, token) in self.doses.items():
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
        written = {s.target for s in self.m.sections.get("Dynamics", []) if s.derivative}
        for n in states:
            if n not in written:
                derivative.append(f"    dt({o[n]}) = 0;  {self.line(self.tokens[n])} "
                                  "(no dt() given: constant)")
        body += ["derivative {"] + derivative + ["}", ""]

        for n, (function, args, token) in self.doses.items():
            body += self.dose_sections(n, function, args, token)

        if self.horizon_used:
            body.append(f"# The doses are laid out up to t = {_number(self.tstop)}: the run stops "
                        "there at the latest;")
            body.append("# import again with a larger --tstop to run longer.")
            body.append(f"terminate when t >= min({self.tstop_name}, {_number(self.tstop)});")
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
        o = self.ours[name]
        line = self.line(token)
        lines = []
        if function == "NDoses":
            count = int(_fold(args[0]))
            for k in range(count):
                time = _fold(args[1 + count + k])
                lines += [f"discrete {o}_dose_{k + 1} at {_number(time)} {{  {line}",
                          f"    {o} = {self.expr(args[1 + k])};", "}", ""]
            return lines
        magnitude = self.expr(args[0])
        period, start, exposure_value = _fold(args[1]), _fold(args[2]), _fold(args[3])
        if exposure_value is not None and exposure_value >= period:
            # On for whole periods: switched on once and never off.
            return [f"discrete {o}_on at {_number(start)} {{  {line}", f"    {o} = {magnitude};",
                    "}", ""]
        times = []
        while start + len(times) * period < self.tstop or not times:
            times.append(start + len(times) * period)
            if len(times) > MAX_DOSE_SECTIONS:
                raise self.fault(token, f"PerDose repeats more than {MAX_DOSE_SECTIONS} times "
                                        f"before t = {_number(self.tstop)}: import with a "
                                        "shorter --tstop")
        if start + len(times) * period < 1e10:
            self.horizon_used = True
        exposure = self.expr(args[3], 6, right=True)
        if exposure_value is not None:
            off = "0"
        else:
            # An exposure as long as the period or longer keeps the input on.
            off = f"{self.expr(args[0], 7)} * ({self.expr(args[3], 5)} >= {_number(period)})"
        for k, time in enumerate(times):
            lines += [f"discrete {o}_on_{k + 1} at {_number(time)} {{  {line}",
                      f"    {o} = {magnitude};", "}", "",
                      f"discrete {o}_off_{k + 1} at {_number(time)} + {exposure} {{  {line}",
                      f"    {o} = {off};", "}", ""]
        return lines

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


def _names(e):
    kind = e[0]
    if kind == "name":
        yield e[1], e[2]
    elif kind == "call":
        for a in e[2]:
            yield from _names(a)
    elif kind == "un":
        yield from _names(e[2])
    elif kind == "bin":
        yield from _names(e[2])
        yield from _names(e[3])
    elif kind == "cond":
        for x in e[1:4]:
            yield from _names(x)


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
        return {"+": a + b, "-": a - b, "*": a * b, "/": a / b}[e[1]]
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


def translate(path, text, name, tstop=24.0, cint=1.0):
    """The orvo description of the MCSim model in `text`, and the notes on what changed."""
    t = Translator(path, text, name, tstop, cint)
    return t.emit(), t.notes
