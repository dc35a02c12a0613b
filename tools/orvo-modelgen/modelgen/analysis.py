"""Checks a parsed description and lays out its variable table.

The result numbers every variable as the runtime requires: t, the states, their
derivatives, their initial conditions, the other variables in declaration
order, then the settings. Derivative statements are sorted by dependency."""

import heapq
import math
import re
from dataclasses import dataclass, field

from . import settings as S
from .lexer import DescriptionError
from .arrays import Unroller, assignment_key, constant_index, element_key, fold, number_text, start
from .syntax import Binary, Call, If, Number, Ref, Unary, assignments, expressions, names_read, walk
from .units import Checker, declared_units, parse_units

# name -> (C++ function, argument count)
FUNCTIONS = {
    "exp": ("std::exp", 1), "log": ("std::log", 1), "log10": ("std::log10", 1),
    "sqrt": ("std::sqrt", 1), "sin": ("std::sin", 1), "cos": ("std::cos", 1),
    "tan": ("std::tan", 1), "asin": ("std::asin", 1), "acos": ("std::acos", 1),
    "atan": ("std::atan", 1), "atan2": ("std::atan2", 2), "sinh": ("std::sinh", 1),
    "cosh": ("std::cosh", 1), "tanh": ("std::tanh", 1), "pow": ("std::pow", 2),
    "abs": ("std::fabs", 1), "floor": ("std::floor", 1), "ceil": ("std::ceil", 1),
    "min": ("zzmin", 2), "max": ("zzmax", 2),
    "aint": ("aint", 1), "anint": ("anint", 1), "mod": ("mod", 2), "dim": ("dim", 2),
    "sgn": ("sgn", 1), "sign": ("sign", 2), "ssqrt": ("ssqrt", 1),
    "bound": ("bound", 3), "dead": ("dead", 3), "qntzr": ("qntzr", 2),
    "fcnsw": ("fcnsw", 4), "step": ("step", 2), "ramp": ("ramp", 2),
    "harm": ("harm", 4), "pulse": ("pulse", 4),
    "delay": ("Delay", 3),
    "limint": ("Limint", 4), "backlash": ("Backlash", 3), "derivt": ("Derivt", 2),
    "expsw": ("Expsw", 3),
}

# Functions with memory of the run: the derivative section only.
MEMORY_FUNCTIONS = ("delay", "limint", "backlash", "derivt", "expsw")

_CPP_KEYWORDS = set("""alignas alignof and and_eq asm auto bitand bitor bool break case catch char
char8_t char16_t char32_t class compl concept const consteval constexpr constinit const_cast
continue co_await co_return co_yield decltype default delete do double dynamic_cast else enum
explicit export extern false float for friend goto if inline int long mutable namespace new
noexcept not not_eq nullptr operator or or_eq private protected public register reinterpret_cast
requires return short signed sizeof static static_assert static_cast struct switch template this
thread_local throw true try typedef typeid typename union unsigned using virtual void volatile
wchar_t while xor xor_eq std var real integer logical int8_t int16_t int32_t int64_t uint8_t
uint16_t uint32_t uint64_t size_t""".split())

# Lower-case macros of the C library headers the generated C++ includes: a name
# among them would be replaced wherever the generated code writes it.
_C_MACROS = set("""alloca be16toh be32toh be64toh errno htobe16 htobe32 htobe64 htole16 htole32
htole64 issubnormal le16toh le32toh le64toh math_errhandling offsetof pthread_cleanup_pop
pthread_cleanup_pop_restore_np pthread_cleanup_push pthread_cleanup_push_defer_np sched_priority
stderr stdin stdout""".split())

DERIVATIVE_BASE = 99999   # the k-th dt() statement names z(99999 - 2k) and z(99998 - 2k)
MAX_STATES = 40000


@dataclass
class Variable:
    index: int
    name: str
    symbol_type: int
    data_type: int = S.DOUBLE
    dim1: int = 0
    flags: tuple = ()
    default: str = S.UNSET_REAL         # literal text of the default
    table: list = None                  # a table's or array's initial elements (literal texts)
    points: int = 0                     # a table's number of points
    units: str = ""
    description: str = ""
    bounds: list = field(default_factory=list)   # syntax.Bound, on constants only
    bounds_text: str = ""
    kind: str = ""                      # constant, variable or table, for symbol type 5
    rtol: float = None                  # a state's tolerances, None for the runtime's default
    atol: float = None


@dataclass
class Section:
    name: str
    code: int
    event_id: int
    time: object
    body: list
    period: object = None
    until: object = None
    when: object = None
    direction: str = ""


@dataclass
class LaidOutModel:
    name: str
    variables: list                 # Variable, index order (variables[0] is index 1)
    states: list                    # state Variables in order
    derivatives: list               # derivative Variable of each state
    initial_conditions: list        # (initial-condition Variable, expression) of each state
    other_count: int
    initial: list                   # Assignment statements, as written
    derivative: list                # Assignment statements, dependency order
    discretes: list                 # Section
    termination: object
    stop_time: object = None        # E of `terminate when t >= E` (or t > E), else None
    by_name: dict = field(default_factory=dict)
    tables: list = field(default_factory=list)   # table Variables
    arrays: dict = field(default_factory=dict)   # array name (constant, state, variable) -> size
    run_indices: bool = False                    # some index is only known during a run
    typed: dict = field(default_factory=dict)    # integer and logical variable -> data type
    source: object = None                        # the parsed description
    tolerances: dict = field(default_factory=dict)   # model-wide rtol, atol as declared
    delays: dict = field(default_factory=dict)       # id of each delay() call -> its memory
    memories: dict = field(default_factory=dict)     # id of each other memory call -> its memory
    memory_counts: dict = field(default_factory=dict)  # those calls per function


def _flags(declaration, default):
    return tuple(sorted(set(declaration.flags))) if declaration.flags is not None else default


def _literal_value(number):
    value = float(number.text)
    if math.isinf(value):
        raise DescriptionError(number.at, f"number {number.text} is out of range")
    return value


def analyse(model):
    return _Analysis(model).run()


class _Analysis:
    def __init__(self, model):
        self.m = model
        self.declared = {}      # name -> Declaration

    def run(self):
        m = self.m
        if not re.fullmatch(r"[a-z][a-z0-9_]*", m.name):
            raise DescriptionError(m.name_at, f"model name '{m.name}' must be lower case letters, "
                                              "digits and underscores")
        # The name is the generated code's namespace.
        self._check_name(m.name, m.name_at)
        for d in m.declarations:
            self._declare(d)
        if m.time_units:
            parse_units(m.time_units, m.time_units_at)
        unroll = Unroller(self.declared, self._check_name)
        m.initial = unroll.body(m.initial)
        m.derivative = unroll.body(m.derivative)
        for section in m.discretes:
            section.body = unroll.body(section.body)
        self.run_indices = False
        states = [d for d in m.declarations if d.kind == "state"]
        if not states:
            raise DescriptionError(m.name_at, "the model declares no states")
        if len(states) > MAX_STATES:
            raise DescriptionError(states[MAX_STATES].at, f"more than {MAX_STATES} states")
        settings = self._settings()
        if m.termination is None:
            raise DescriptionError(m.name_at, "the model has no termination condition: "
                                              "add terminate when ...;")

        # Every read names something declared, and every call fits what it calls.
        for expr in expressions(m.initial + m.derivative):
            self._check_expr(expr)
        for d in states:
            for expr in _initials(d):
                self._check_expr(expr)
        for section in m.discretes:
            for expr in (section.time, section.period, section.until, section.when):
                if expr is not None:
                    self._check_expr(expr)
            for expr in expressions(section.body):
                self._check_expr(expr)
        if m.termination is not None:
            self._check_expr(m.termination)

        self._check_memory_functions()
        derivative_of, computed = self._derivative_assignments()
        procedural = self._procedural_assignments(computed)
        procedural, anywhere = procedural
        for d in states:
            for key, k in _elements(d):
                if key not in derivative_of:
                    what = f"element {k} of state '{d.name}'" if k else f"state '{d.name}'"
                    raise DescriptionError(d.at, f"{what} has no derivative: "
                                                 f"add dt({key}) = ...; to the derivative section")
        for d in m.declarations:
            if d.kind != "variable" or d.name in anywhere:
                continue
            for key, k in _elements(d):
                if key not in computed and key not in procedural:
                    what = f"element {k} of variable '{d.name}'" if k else f"variable '{d.name}'"
                    raise DescriptionError(d.at, f"{what} is never assigned")
        ordered = self._dependency_order(computed)
        self._check_initial_conditions(states, ordered)
        self._check_read_before_run(states, computed)
        self._check_repeated_sections()
        self._check_host_declarations()
        self._check_units()
        laid = self._layout(states, derivative_of, computed, ordered, settings)
        laid.source = m
        laid.tolerances = self.tolerances
        laid.delays = self.delays
        laid.memories = self.memories
        laid.memory_counts = self.memory_counts
        laid.run_indices = self.run_indices
        return laid

    def _check_memory_functions(self):
        m = self.m
        elsewhere = list(expressions(m.initial))
        for section in m.discretes:
            elsewhere += [e for e in (section.time, section.period, section.until, section.when) if e]
            elsewhere += list(expressions(section.body))
        elsewhere += [e for d in m.declarations if d.kind == "state" for e in _initials(d)]
        elsewhere.append(m.termination)
        for expr in elsewhere:
            for node in walk(expr):
                if isinstance(node, Call) and node.name in MEMORY_FUNCTIONS \
                        and node.name not in self.declared:
                    raise DescriptionError(node.at, f"'{node.name}' keeps a memory of the run: "
                                                    "it belongs in the derivative section")
        self.delays, self.memories, counts = {}, {}, {}
        for expr in expressions(m.derivative):
            for node in walk(expr):
                if not isinstance(node, Call) or node.name not in MEMORY_FUNCTIONS or node.name in self.declared:
                    continue
                if node.name == "delay":
                    self.delays[id(node)] = len(self.delays)
                else:
                    self.memories[id(node)] = counts.get(node.name, 0)
                    counts[node.name] = self.memories[id(node)] + 1
        self.memory_counts = counts

    def _check_units(self):
        """Every assignment, sum, comparison and dt() agrees in units where
        every name it involves has them."""
        m = self.m
        units_of, time = declared_units(m.declarations, m.time_units, m.time_units_at)
        checker = Checker(units_of, time)

        def body(statements):
            for s in statements:
                if isinstance(s, If):
                    for condition, branch in s.branches:
                        checker.value(condition)
                        body(branch)
                    body(s.otherwise or [])
                    continue
                shown = ""
                if s.index is not None:
                    checker.value(s.index)
                    k = fold(s.index)
                    shown = f"({number_text(k) if k is not None else '...'})"
                checker.check_assignment(s.target, shown, s.expr, s.at, s.derivative)

        body(m.initial)
        body(m.derivative)
        for d in m.declarations:
            if d.kind == "state":
                for e in _initials(d):
                    checker.check_assignment(d.name, "", e, d.at)
        for section in m.discretes:
            for expr, what in ((section.time, f"the time of '{section.name}'"),
                               (section.period, f"the period of '{section.name}'"),
                               (section.until, f"the last time of '{section.name}'")):
                if expr is not None:
                    checker.check_time(expr, start(expr), what)
            if section.when is not None:
                checker.value(section.when)
            body(section.body)
        checker.value(m.termination)

    def _changing(self):
        """Names whose value moves during a run: t, the states and whatever the
        derivative or discrete sections assign."""
        changing = {"t"}
        changing.update(s.target for s in assignments(self.m.derivative))
        changing.update(s.target for d in self.m.discretes for s in assignments(d.body))
        changing.update(d.name for d in self.m.declarations if d.kind == "state")
        return changing

    def _check_repeated_sections(self):
        changing = self._changing()
        for section in self.m.discretes:
            if section.when is not None:
                expr = section.when
                if (isinstance(expr, Binary) and expr.op in ("<", "<=", ">", ">=", "==", "!=", "&&", "||")) \
                        or (isinstance(expr, Unary) and expr.op == "!"):
                    raise DescriptionError(expr.at, f"the event expression of '{section.name}' is a "
                                                    "condition (1 or 0), not a number that crosses "
                                                    "zero: write a - b rather than a > b")
            if section.period is None:
                continue
            for expr, what in ((section.time, "first time"), (section.period, "period"),
                               (section.until, "last time")):
                if expr is None:
                    continue
                for name, at in names_read(expr):
                    if name in changing:
                        raise DescriptionError(at, f"the {what} of repeated section "
                                                   f"'{section.name}' reads '{name}', which "
                                                   "changes during a run: use constants")

    # what hosts are told
    def _known(self, name, at, what):
        if name == "t":
            return None
        d = self.declared.get(name)
        if d is None:
            if name in S.BY_NAME:
                raise DescriptionError(at, f"setting '{name}' cannot be {what}")
            raise DescriptionError(at, f"unknown name '{name}'")
        return d

    def _check_host_declarations(self):
        m = self.m
        for group, what in ((m.record or [], "recorded"), (m.population_outputs or [], "recorded")):
            seen = {}
            for name, at in group:
                d = self._known(name, at, what)
                if d is not None and d.kind == "table":
                    raise DescriptionError(at, f"table '{name}' cannot be recorded")
                if name in seen:
                    raise DescriptionError(at, f"'{name}' is recorded twice "
                                               f"(first at {seen[name].line}:{seen[name].col})")
                seen[name] = at
        names = {}
        for b in m.balances:
            if b.name in names:
                first = names[b.name]
                raise DescriptionError(b.at, f"balance '{b.name}' is declared twice "
                                             f"(first at {first.line}:{first.col})")
            names[b.name] = b.at
            name, at = b.unaccounted
            d = self._known(name, at, "a balance")
            if d is None or d.kind not in ("variable", "state") or d.size:
                raise DescriptionError(at, f"the unaccounted amount of balance '{b.name}' must be "
                                           f"a scalar variable, not '{name}'")
            for name, at in b.dosed + b.accounted:
                d = self._known(name, at, "in a balance")
                if d is None or d.kind == "table" or d.size:
                    raise DescriptionError(at, f"'{name}' cannot be summed in balance '{b.name}': "
                                               "name scalar states, constants or variables")
            if b.tolerance is not None:
                value = _literal_value(b.tolerance)
                if not value > 0:
                    raise DescriptionError(b.tolerance.at, f"the tolerance of balance '{b.name}' "
                                                           "must be positive")
        seen = {}
        for group, what, kinds in ((m.dose_targets, "a dose target", ("state", "constant")),
                                   (m.infusion_inputs, "an infusion input", ("constant",))):
            for name, at in group:
                d = self._known(name, at, what)
                if d is None or d.kind not in kinds or d.size:
                    allowed = "a scalar state or constant" if len(kinds) == 2 else "a scalar constant"
                    raise DescriptionError(at, f"'{name}' cannot be {what}: it must be {allowed}")
                if name in seen:
                    raise DescriptionError(at, f"'{name}' is declared a dose target or infusion "
                                               f"input twice (first at {seen[name].line}:"
                                               f"{seen[name].col})")
                seen[name] = at

    # declarations
    def _declare(self, d):
        if d.name in self.declared:
            first = self.declared[d.name].at
            raise DescriptionError(d.at, f"'{d.name}' is declared twice "
                                         f"(first at {first.line}:{first.col})")
        self._check_name(d.name, d.at)
        for value in d.values:
            for number in value if isinstance(value, tuple) else (value,):
                _literal_value(number)
        if d.type != "real":
            self._check_type(d)
        if d.units:
            parse_units(d.units, d.units_at)
        if d.bounds:
            self._check_bounds(d)
        if d.tolerance_at is not None:
            if d.kind != "state":
                raise DescriptionError(d.tolerance_at, f"tolerances apply to states only, not to "
                                                       f"{_kind_phrase(d)} '{d.name}'")
            for key in ("rtol", "atol"):
                number = getattr(d, key)
                if number is not None:
                    _tolerance(number.text, number.at, key)
        if d.kind == "table":
            breakpoints = [float(x.text) for x, _ in d.values]
            for (x, _), previous in zip(d.values[1:], breakpoints):
                if float(x.text) <= previous:
                    raise DescriptionError(x.at, f"table '{d.name}': breakpoints must ascend")
        self.declared[d.name] = d

    def _check_type(self, d):
        if d.kind != "constant":
            return
        for number in d.values:
            value = float(number.text)
            if d.type == "integer" and not (value == math.floor(value) and -2**31 <= value < 2**31):
                raise DescriptionError(number.at, f"the default {number.text} of integer "
                                                  f"'{d.name}' is not a 32-bit whole number")
            if d.type == "logical" and value not in (0.0, 1.0):
                raise DescriptionError(number.at, f"the default of logical '{d.name}' is true, "
                                                  f"false, 1 or 0, not {number.text}")

    def _check_bounds(self, d):
        if d.kind != "constant":
            raise DescriptionError(d.bounds_at, f"bounds apply to constants only, "
                                                f"not to {_kind_phrase(d)} '{d.name}'")
        for bound in d.bounds:
            if bound.limit is not None:
                _literal_value(bound.limit)
        lowest = max((float(b.limit.text) for b in d.bounds if b.op in (">", ">=")), default=None)
        highest = min((float(b.limit.text) for b in d.bounds if b.op in ("<", "<=")), default=None)
        if lowest is not None and highest is not None and lowest > highest:
            raise DescriptionError(d.bounds_at, f"the bounds {d.bounds_text} of '{d.name}' "
                                                "admit no value")
        for k, number in enumerate(d.values):
            if not within(float(number.text), d.bounds):
                element = f"({k + 1})" if d.size else ""
                raise DescriptionError(number.at, f"the default {number.text} of "
                                                  f"'{d.name}{element}' is outside its bounds "
                                                  f"{d.bounds_text}")

    def _check_name(self, name, at):
        if not re.fullmatch(r"[a-z][a-z0-9_]*", name) or "__" in name:
            raise DescriptionError(at, f"'{name}': names are lower-case letters, digits and "
                                       "single underscores, starting with a letter")
        if (name in ("t", "dt") or name in S.BY_NAME or name in FUNCTIONS or name in _CPP_KEYWORDS
                or name in _C_MACROS
                or name.startswith("zz") or re.fullmatch(r"z\d{5}", name)
                or name.endswith(("_table", "_table_slope"))):
            raise DescriptionError(at, f"'{name}' is a reserved name")

    def _settings(self):
        given = {}
        self.tolerances = {}
        for s in self.m.settings:
            if s.name in ("rtol", "atol"):
                if s.name in self.tolerances:
                    raise DescriptionError(s.at, f"setting '{s.name}' is assigned twice")
                self.tolerances[s.name] = _tolerance(s.value, s.at, s.name)
                continue
            known = S.BY_NAME.get(s.name)
            if known is None:
                raise DescriptionError(s.at, f"unknown setting '{s.name}'")
            if not known.settable:
                raise DescriptionError(s.at, f"'{s.name}' is set by the runtime, not the model")
            if s.name in given:
                raise DescriptionError(s.at, f"setting '{s.name}' is assigned twice")
            value = s.value
            if known.data_type == S.BOOL:
                if value not in ("true", "false", "0", "1"):
                    raise DescriptionError(s.at, f"setting '{s.name}' takes true or false")
                value = "1" if value in ("true", "1") else "0"
            elif value in ("true", "false"):
                raise DescriptionError(s.at, f"setting '{s.name}' takes a number")
            elif known.data_type == S.LONG:
                if not re.fullmatch(r"-?\d+", value) or not -2**31 <= int(value) < 2**31:
                    raise DescriptionError(s.at, f"setting '{s.name}' takes a 32-bit integer")
            elif math.isinf(float(value)):
                raise DescriptionError(s.at, f"number {value} is out of range")
            given[s.name] = value
        return given

    # expressions
    def _check_expr(self, expr):
        for node in walk(expr):
            if isinstance(node, Number):
                _literal_value(node)
            elif isinstance(node, Ref):
                d = self.declared.get(node.name)
                if d is None and node.name != "t" and node.name not in S.BY_NAME:
                    raise DescriptionError(node.at, f"unknown name '{node.name}'")
                if d is not None and (d.kind == "table" or d.size):
                    raise DescriptionError(node.at, f"'{node.name}' is {_kind_phrase(d)}: "
                                                    f"write {node.name}(...){_units_hint(d)}")
            elif isinstance(node, Call):
                self._check_call(node)
            elif isinstance(node, Binary) and node.op == "/" and fold(node.right) == 0 \
                    and not fold(node.left):
                # A non-zero number over 0 is how an infinity is written.
                raise DescriptionError(node.at, "division by zero: the divisor is always 0 "
                                                "(only a non-zero number over 0, an infinity, is "
                                                "allowed)")

    def _check_call(self, call):
        d = self.declared.get(call.name)
        if d is not None and d.kind == "table":
            expected = 1
        elif d is not None and d.size:
            if len(call.args) != 1:
                raise DescriptionError(call.at, f"array '{call.name}' takes one index")
            if constant_index(call.args[0], call.name, d.size) is None:
                self.run_indices = True
            return
        elif d is not None:
            raise DescriptionError(call.at, f"'{call.name}' is not a function, table or array")
        elif call.name in FUNCTIONS:
            expected = FUNCTIONS[call.name][1]
        else:
            raise DescriptionError(call.at, f"unknown function '{call.name}'")
        if len(call.args) != expected:
            raise DescriptionError(call.at, f"'{call.name}' takes {expected} argument"
                                            f"{'s' if expected != 1 else ''}, "
                                            f"given {len(call.args)}")
        if call.name == "delay" and d is None:
            tau = fold(call.args[1])
            if tau is not None and tau < 0:
                # The operator would report it at every evaluation and give 0.
                raise DescriptionError(call.args[1].at, f"'delay' looks back a time tau >= 0, "
                                                        f"not {tau:g}")

    # assignments
    def _target(self, statement, allowed):
        d = self.declared.get(statement.target)
        if d is None:
            if statement.target == "t" or statement.target in S.BY_NAME:
                raise DescriptionError(statement.at, f"'{statement.target}' cannot be assigned "
                                                     "by the model")
            raise DescriptionError(statement.at, f"unknown name '{statement.target}'")
        if d.kind not in allowed:
            raise DescriptionError(statement.at, f"{_kind_phrase(d)} '{d.name}' cannot be "
                                                 f"assigned here")
        return d

    def _derivative_assignments(self):
        """Each name the derivative section assigns, with the statement (the
        first branch's, for a condition) and the top-level unit that assigns it."""
        derivative_of, computed = {}, {}
        self.unit_of = {}
        for unit in self.m.derivative:
            for statement in self._unit_assignments(unit):
                if statement.derivative:
                    d = self.declared.get(statement.target)
                    if d is None or d.kind != "state":
                        what = "unknown name" if d is None else f"{_kind_phrase(d)}, not a state:"
                        raise DescriptionError(statement.at, f"dt() of {what} '{statement.target}'")
                    table = derivative_of
                else:
                    d = self._target(statement, ("variable",))
                    table = computed
                if self._element(statement, d) is None and statement.index is not None:
                    raise DescriptionError(statement.at, f"in the derivative section the element "
                                                         f"of '{d.name}' assigned must be known "
                                                         "when the model is built (a number or an "
                                                         "expression of loop indices)")
                key = assignment_key(statement)
                first = table.get(key)
                if first is not None:
                    raise DescriptionError(statement.at, _twice(key, first.at))
                table[key] = statement
                if not statement.derivative:
                    self.unit_of[key] = unit
        return derivative_of, computed

    def _element(self, statement, d):
        """The element an assignment writes (checked), None for a scalar or an
        index known only during a run."""
        if d.size and statement.index is None:
            raise DescriptionError(statement.at, f"'{d.name}' is an array: assign its elements, "
                                                 f"{d.name}(i) = ...{_units_hint(d)}")
        if not d.size and statement.index is not None:
            raise DescriptionError(statement.at, f"{_kind_phrase(d)} '{d.name}' is not an array")
        if statement.index is None:
            return None
        self._check_expr(statement.index)
        k = constant_index(statement.index, d.name, d.size)
        if k is None:
            self.run_indices = True
        return k

    def _reads(self, expr):
        """What an expression reads, by name or array element, with where: an
        index known only during a run reads every element."""
        for node in walk(expr):
            if isinstance(node, Ref):
                yield node.name, node.at
            elif isinstance(node, Call):
                d = self.declared.get(node.name)
                if d is None or not d.size or d.kind == "table":
                    continue
                k = constant_index(node.args[0], d.name, d.size)
                if k is not None:
                    yield element_key(d.name, k), node.at
                else:
                    for key, _ in _elements(d):
                        yield key, node.at

    def _unit_assignments(self, unit):
        """The assignments of one derivative statement; a condition must have an
        else and assign the same names in every branch, each once, none read
        before it is assigned."""
        if not isinstance(unit, If):
            return [unit]
        if unit.otherwise is None:
            raise DescriptionError(unit.at, "an if in the derivative section needs an else: "
                                            "every branch must assign the same variables")
        branches = [body for _, body in unit.branches] + [unit.otherwise]
        first, first_keys = None, None
        for body in branches:
            flat = []
            for inner in body:
                flat += self._unit_assignments(inner)
            keys = {}
            for k, statement in enumerate(flat):
                key = (statement.derivative, assignment_key(statement))
                if key in keys:
                    raise DescriptionError(statement.at, _twice(key[1], keys[key].at))
                keys[key] = statement
                later = {assignment_key(s) for s in flat[k:] if not s.derivative}
                for name, at in self._reads(statement.expr):
                    if name in later:
                        raise DescriptionError(at, f"'{name}' is read before this branch assigns it")
            if first is None:
                first, first_keys = flat, keys
            elif set(keys) != set(first_keys):
                missing = sorted(set(keys) ^ set(first_keys))[0]
                name = f"dt({missing[1]})" if missing[0] else missing[1]
                raise DescriptionError(unit.at, f"every branch of this if must assign the same "
                                                f"variables: '{name}' is not assigned in all of them")
        return first

    def _procedural_assignments(self, computed):
        """The names and elements the initial and discrete sections assign, and
        the arrays they assign at indices known only during a run."""
        assigned, anywhere = set(), set()
        in_derivative = {s.target: s for s in computed.values()}
        initial = {id(s) for s in assignments(self.m.initial)}
        bodies = list(assignments(self.m.initial))
        for d in self.m.discretes:
            bodies += assignments(d.body)
        for statement in bodies:
            if statement.derivative:
                raise DescriptionError(statement.at, "dt() belongs in the derivative section")
            # The initial conditions overwrite the states after the initial section.
            d = self._target(statement, ("variable",) if id(statement) in initial
                             else ("variable", "state"))
            if d.name in in_derivative:
                raise DescriptionError(statement.at, _twice(d.name, in_derivative[d.name].at))
            if self._element(statement, d) is None and d.size:
                anywhere.add(d.name)
            assigned.add(assignment_key(statement))
        return assigned, anywhere

    def _dependency_order(self, computed):
        """Statements in written order, except that each comes after what it reads."""
        statements = self.m.derivative
        position = {id(s): k for k, s in enumerate(statements)}
        needs = []
        for k, s in enumerate(statements):
            read = {name for expr in expressions([s]) for name, _ in self._reads(expr)}
            # A statement reading what it assigns would read the previous evaluation's value.
            if not isinstance(s, If) and not s.derivative and assignment_key(s) in read:
                raise DescriptionError(s.at, f"algebraic loop: {assignment_key(s)} -> "
                                             f"{assignment_key(s)}")
            needs.append(sorted({position[id(self.unit_of[name])] for name in read
                                 if name in computed} - {k}))
        users = [[] for _ in statements]
        for k, deps in enumerate(needs):
            for dep in deps:
                users[dep].append(k)
        waiting = [len(deps) for deps in needs]
        ready = [k for k, count in enumerate(waiting) if count == 0]
        heapq.heapify(ready)
        order = []
        while ready:
            k = heapq.heappop(ready)
            order.append(statements[k])
            for user in users[k]:
                waiting[user] -= 1
                if waiting[user] == 0:
                    heapq.heappush(ready, user)
        if len(order) < len(statements):
            self._report_loop(statements, needs, waiting)
        return order

    def _check_initial_conditions(self, states, ordered):
        """The initial conditions are computed before the states have values:
        they may not read a state, nor what the derivative section computes
        from the states."""
        state_keys = {key for d in states for key, _ in _elements(d)}
        varying = set(state_keys)
        for unit in ordered:
            if any(name in varying for expr in expressions([unit]) for name, _ in self._reads(expr)):
                varying.update(assignment_key(s) for s in assignments([unit]) if not s.derivative)
        for d in states:
            for expr in _initials(d):
                for name, at in self._reads(expr):
                    if name in state_keys:
                        raise DescriptionError(at, f"the initial condition of '{d.name}' reads "
                                                   f"state '{name}', which has no value yet: "
                                                   "write that state's initial condition instead")
                    if name in varying:
                        raise DescriptionError(at, f"the initial condition of '{d.name}' reads "
                                                   f"'{name}', which the derivative section "
                                                   "computes from the states: they have no "
                                                   "value yet")

    def _check_read_before_run(self, states, computed):
        """The initial section and the times of the sections run once are
        computed before the states have values and before the derivative
        section first runs: they may read neither, and the initial section
        reads a variable only after assigning it."""
        state_keys = {key for d in states for key, _ in _elements(d)}

        def check(expr, where, assigned):
            for name, at in self._reads(expr):
                if name in state_keys:
                    raise DescriptionError(at, f"{where} reads state '{name}', which has no "
                                               "value yet: the initial conditions are set "
                                               "after the initial section")
                if name in computed:
                    raise DescriptionError(at, f"{where} reads '{name}', which the derivative "
                                               "section computes: it has no value before "
                                               "the first evaluation")
                if assigned is not None and name not in assigned:
                    d = self.declared.get(name.split("(")[0])
                    if d is not None and d.kind == "variable":
                        raise DescriptionError(at, f"{where} reads '{name}' before assigning "
                                                   "it: a fresh run has no value for it yet")

        assigned = set()
        self._in_order(self.m.initial, lambda expr: check(expr, "the initial section", assigned), assigned)
        for section in self.m.discretes:
            if section.period is None and section.time is not None:
                check(section.time, f"the time of section '{section.name}'", None)

        # A variable that only discrete sections assign has no value until one
        # of them runs: read elsewhere, or by a section before that section
        # assigns it, it would read whatever the storage held.
        ready = assigned | set(computed)

        def unset(expr, where, own=frozenset()):
            for name, at in self._reads(expr):
                d = self.declared.get(name.split("(")[0])
                if d is not None and d.kind == "variable" and name not in ready \
                        and name not in own:
                    raise DescriptionError(at, f"{where} reads '{name}', which only discrete "
                                               "sections assign: it has no value until one "
                                               "runs; assign it in the initial section")

        for expr in expressions(self.m.derivative):
            unset(expr, "the derivative section")
        for d in states:
            for expr in _initials(d):
                unset(expr, f"the initial condition of '{d.name}'")
        unset(self.m.termination, "the termination condition")
        for section in self.m.discretes:
            where = f"section '{section.name}'"
            for expr in (section.time, section.period, section.until, section.when):
                if expr is not None:
                    unset(expr, where)
            own = set()
            self._in_order(section.body, lambda expr: unset(expr, where, own), own)

    def _in_order(self, body, read, assigned):
        """Passes each expression of `body` to `read` in the order the
        statements run, adding to `assigned` what each statement assigns once
        it has run; what one branch of an if assigns counts as assigned after it."""
        for statement in body:
            if isinstance(statement, If):
                for condition, branch in statement.branches:
                    read(condition)
                    self._in_order(branch, read, assigned)
                self._in_order(statement.otherwise or [], read, assigned)
                continue
            for expr in expressions([statement]):
                read(expr)
            key = assignment_key(statement)
            if key.endswith("(?)"):
                assigned.update(k for k, _ in _elements(self.declared[statement.target]))
            assigned.add(key)

    def _report_loop(self, statements, needs, waiting):
        # Walk back along unmet dependencies from a stuck statement until one repeats.
        current = min(k for k, count in enumerate(waiting) if count)
        path = []
        seen = {}
        while current not in seen:
            seen[current] = len(path)
            path.append(current)
            current = next(dep for dep in needs[current] if waiting[dep])
        loop = path[seen[current]:]
        loop.reverse()
        first = min(loop)
        start = loop.index(first)
        loop = loop[start:] + loop[:start]
        names = " -> ".join(_unit_name(statements[k]) for k in loop + [loop[0]])
        raise DescriptionError(statements[first].at, f"algebraic loop: {names}")

    # the variable table
    def _layout(self, states, derivative_of, computed, ordered, given_settings):
        m = self.m
        variables = [Variable(1, "t", 0, flags=(4,), default="0")]
        n = len(states)
        for d in states:
            v = Variable(len(variables) + 1, d.name, 2, flags=_flags(d, (4, 5)),
                         units=d.units, description=d.description, dim1=d.size,
                         table=[S.UNSET_REAL] * d.size if d.size else None)
            v.rtol = float(d.rtol.text) if d.rtol is not None else self.tolerances.get("rtol")
            v.atol = float(d.atol.text) if d.atol is not None else self.tolerances.get("atol")
            variables.append(v)
        # The k-th dt() statement written names the k-th derivative/initial-condition pair.
        written = list(dict.fromkeys(s.target for s in assignments(m.derivative) if s.derivative))
        number = {name: DERIVATIVE_BASE - 2 * k for k, name in enumerate(written)}
        derivatives = []
        for d in states:
            v = Variable(len(variables) + 1, f"z{number[d.name]}", 3, flags=(4, 5),
                         description=f"derivative of {d.name}", dim1=d.size,
                         table=[S.UNSET_REAL] * d.size if d.size else None)
            variables.append(v)
            derivatives.append(v)
        initial_conditions = []
        for d in states:
            v = Variable(len(variables) + 1, f"z{number[d.name] - 1}", 4, flags=(5,),
                         description=f"initial condition of {d.name}", dim1=d.size,
                         table=[S.UNSET_REAL] * d.size if d.size else None)
            variables.append(v)
            initial_conditions.append((v, d.initial))
        first_other = len(variables)
        tables = []
        arrays = {d.name: d.size for d in m.declarations if d.size and d.kind != "table"}
        for d in m.declarations:
            if d.kind == "state":
                continue
            v = Variable(len(variables) + 1, d.name, 5, units=d.units, description=d.description,
                         data_type={"real": S.DOUBLE, "integer": S.LONG, "logical": S.BOOL}[d.type])
            v.kind = d.kind
            v.bounds, v.bounds_text = d.bounds, d.bounds_text
            if d.kind == "constant" and d.size:
                v.dim1, v.flags = d.size, _flags(d, (2,))
                v.table = [_double_text(x) if d.type == "real" else str(int(float(x.text)))
                           for x in d.values]
                if d.type != "real":
                    v.default = S.UNSET_INTEGER if d.type == "integer" else "0"
            elif d.kind == "constant":
                v.flags, v.default = _flags(d, (2,)), _double_text(d.values[0])
                if d.type != "real":
                    v.default = str(int(float(d.values[0].text)))
            elif d.kind == "table":
                v.dim1, v.points, v.flags = 2 * d.size, d.size, _flags(d, (2, 11))
                v.table = [_double_text(y) for _, y in d.values] + \
                          [_double_text(x) for x, _ in d.values]
                tables.append(v)
            else:
                assigned = any(key in computed for key, _ in _elements(d))
                v.flags = _flags(d, (4, 5) if assigned else (4,))
                if d.type != "real":
                    v.default = S.UNSET_INTEGER if d.type == "integer" else "0"
                if d.size:
                    v.dim1, v.table = d.size, [v.default] * d.size
            variables.append(v)
        other_count = len(variables) - first_other
        for k, known in enumerate(S.SETTINGS):
            variables.append(Variable(len(variables) + 1, known.name, known.symbol_type,
                                      data_type=known.data_type, flags=(1,) if k < 5 else (),
                                      default=given_settings.get(known.name, known.default)))
        discretes = [Section(d.name, 1000 + k, k + 1, d.time, d.body, d.period, d.until, d.when,
                             d.direction)
                     for k, d in enumerate(m.discretes)]
        seen = {}
        for d in m.discretes:
            if d.name in seen:
                raise DescriptionError(d.at, f"discrete section '{d.name}' is declared twice")
            # Its C++ identifiers would be those of a section the generated code has anyway.
            if camel(d.name) in ("Derivative", "Initial", "StopTime", "ConstantsChanged"):
                raise DescriptionError(d.at, f"'{d.name}' cannot name a discrete section: the "
                                             "generated code has a section of that name")
            seen[d.name] = d
        # Discrete sections and initial element lists get CamelCase identifiers.
        for group in (m.discretes, [d for d in m.declarations if d.kind == "table" or d.size]):
            spelled = {}
            for d in group:
                key = camel(d.name)
                if key in spelled:
                    raise DescriptionError(d.at, f"'{d.name}' and '{spelled[key].name}' are too "
                                                 "alike: they differ only in underscores")
                spelled[key] = d
        laid = LaidOutModel(m.name, variables, variables[1:n + 1], derivatives,
                            initial_conditions, other_count, m.initial, ordered, discretes,
                            m.termination, tables=tables, arrays=arrays)
        laid.by_name = {v.name: v for v in variables}
        laid.typed = {v.name: v.data_type for v in variables
                      if v.symbol_type == 5 and v.data_type != S.DOUBLE}
        laid.stop_time = self._stop_time()
        return laid

    def _stop_time(self):
        """E when the termination condition is `t >= E`, `t > E`, `E <= t` or `E < t` and E
        reads only what stays put during a run: constants, tables, settings and variables
        that only the initial section assigns."""
        condition = self.m.termination
        if not isinstance(condition, Binary):
            return None
        if condition.op in (">=", ">") and _is_time(condition.left):
            bound = condition.right
        elif condition.op in ("<=", "<") and _is_time(condition.right):
            bound = condition.left
        else:
            return None
        changing = {s.target for s in assignments(self.m.derivative)}
        changing.update(s.target for d in self.m.discretes for s in assignments(d.body))
        for name, _ in names_read(bound):
            d = self.declared.get(name)
            if name == "t" or name in changing or (d is not None and d.kind == "state"):
                return None
        return bound


def _tolerance(text, at, name):
    if text in ("true", "false") or not (0 < float(text) < math.inf):
        raise DescriptionError(at, f"{name} must be a positive finite number, not {text}")
    return float(text)


def within(value, bounds):
    """Whether value meets every bound; NaN meets none."""
    tests = {"<": lambda x, y: x < y, "<=": lambda x, y: x <= y,
             ">": lambda x, y: x > y, ">=": lambda x, y: x >= y}
    for bound in bounds:
        if bound.op == "finite":
            if not math.isfinite(value):
                return False
        elif not tests[bound.op](value, float(bound.limit.text)):
            return False
    return True


def _is_time(expr):
    return isinstance(expr, Ref) and expr.name == "t"


def camel(name):
    return "".join(part[:1].upper() + part[1:] for part in name.split("_"))


def _double_text(number):
    return number.text


def _kind_phrase(d):
    if d.kind == "table":
        return "a table"
    if d.size:
        return "an array"
    return {"constant": "constant", "variable": "variable", "state": "state"}[d.kind]


def _unit_name(statement):
    if isinstance(statement, If):
        return next(assignment_key(s) for s in assignments([statement]) if not s.derivative)
    return assignment_key(statement)


def _units_hint(d):
    """For `v[1]` meant as units: an array of one element reads as a slip."""
    if d.kind == "variable" and d.size == 1:
        return f" (for units, put a space before the bracket: {d.name} [1])"
    return ""


def _elements(d):
    """Each (key, 1-based element) a declaration holds; (name, 0) for a scalar."""
    if not d.size:
        return [(d.name, 0)]
    return [(element_key(d.name, k), k) for k in range(1, d.size + 1)]


def _initials(d):
    """A state's initial-condition expressions: one, or one per element."""
    return d.initial if isinstance(d.initial, list) else [d.initial]


def _twice(name, first):
    return f"'{name}' is assigned twice (first at {first.line}:{first.col})"
