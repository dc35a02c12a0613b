"""The description's syntax tree and the parser that builds it."""

import re
from dataclasses import dataclass, field

from .lexer import DescriptionError, Lexer


# ---- expressions -------------------------------------------------------------

@dataclass
class Number:
    text: str
    at: object


@dataclass
class Ref:
    name: str
    at: object


@dataclass
class Call:
    """A function, a table lookup or an array element: name(args)."""
    name: str
    args: list
    at: object


@dataclass
class Unary:
    op: str
    operand: object
    at: object


@dataclass
class Binary:
    op: str
    left: object
    right: object
    at: object


@dataclass
class Conditional:
    """COND ? A : B"""
    condition: object
    then: object
    other: object
    at: object


def walk(expr):
    """Every node of an expression, parents before children, left to right;
    without recursion, since a long flat sum is a deep tree."""
    pending = [expr]
    while pending:
        node = pending.pop()
        yield node
        if isinstance(node, Call):
            pending.extend(reversed(node.args))
        elif isinstance(node, Unary):
            pending.append(node.operand)
        elif isinstance(node, Binary):
            pending.append(node.right)
            pending.append(node.left)
        elif isinstance(node, Conditional):
            pending.extend((node.other, node.then, node.condition))


def names_read(expr):
    """Every name an expression reads, with where it is read: variables, and
    the arrays, tables and functions it calls."""
    for node in walk(expr):
        if isinstance(node, (Ref, Call)):
            yield node.name, node.at


# ---- declarations and statements ---------------------------------------------

@dataclass
class Declaration:
    kind: str            # 'constant', 'variable', 'table' or 'state'
    name: str
    at: object
    size: int = 0        # array elements, or table points; 0 for a scalar
    values: list = field(default_factory=list)   # literal Number tokens (table: x, y pairs)
    initial: object = None                       # a state's initial-condition expression
                                                 # (an array's: one for all, or a list)
    units: str = ""
    units_at: object = None
    description: str = ""
    flags: list = None   # explicit attribute flags, else the kind's defaults
    flags_at: object = None
    bounds: list = field(default_factory=list)   # Bound, each a condition every value meets
    bounds_at: object = None
    bounds_text: str = ""                        # as written, for messages
    rtol: object = None                          # a state's own tolerances (Number)
    atol: object = None
    tolerance_at: object = None
    type: str = "real"                           # 'real', 'integer' or 'logical'
    type_at: object = None


@dataclass
class Bound:
    op: str              # '<', '<=', '>', '>=' or 'finite'
    limit: object = None  # the Number compared with


@dataclass
class Assignment:
    target: str
    at: object
    expr: object
    derivative: bool = False   # dt(target) = expr
    index: object = None       # an array element's 1-based index expression, else None


@dataclass
class For:
    """for NAME in FIRST..LAST { ... }: unrolled when the model is built."""
    at: object
    name: str
    first: object
    last: object
    body: list


@dataclass
class If:
    """if (C1) { ... } else if (C2) { ... } else { ... }"""
    at: object
    branches: list            # (condition, body)
    otherwise: list = None    # the else body, or None


def assignments(body):
    """Every assignment of a body, also those inside conditions, in written order."""
    for statement in body:
        if isinstance(statement, If):
            for _, branch in statement.branches:
                yield from assignments(branch)
            yield from assignments(statement.otherwise or [])
        elif isinstance(statement, For):
            yield from assignments(statement.body)
        else:
            yield statement


def expressions(body):
    """Every expression a body evaluates: conditions and right-hand sides."""
    for statement in body:
        if isinstance(statement, If):
            for condition, branch in statement.branches:
                yield condition
                yield from expressions(branch)
            yield from expressions(statement.otherwise or [])
        elif isinstance(statement, For):
            yield statement.first
            yield statement.last
            yield from expressions(statement.body)
        else:
            if statement.index is not None:
                yield statement.index
            yield statement.expr


@dataclass
class Discrete:
    name: str
    at: object
    time: object
    body: list
    period: object = None    # `every PERIOD`: repeated from `time` on
    until: object = None     # `until T1`: the last time it may run
    when: object = None      # `when EXPR DIRECTION`: a state event on EXPR crossing zero
    direction: str = ""      # rising, falling or crosses


@dataclass
class Setting:
    name: str
    at: object
    value: str          # literal text: a number, true or false


@dataclass
class Balance:
    """A named mass balance: `unaccounted` holds dosed minus accounted."""
    name: str
    at: object
    unaccounted: object = None   # (name, at)
    dosed: list = field(default_factory=list)       # (name, at)
    accounted: list = field(default_factory=list)   # (name, at)
    tolerance: object = None     # a Number, or None: not judged


@dataclass
class Model:
    path: str
    name: str = ""
    name_at: object = None
    declarations: list = field(default_factory=list)
    settings: list = field(default_factory=list)
    initial: list = field(default_factory=list)
    derivative: list = field(default_factory=list)
    discretes: list = field(default_factory=list)
    termination: object = None
    termination_at: object = None
    time_units: str = ""
    time_description: str = ""
    time_at: object = None
    time_units_at: object = None
    record: list = None                 # (name, at) recorded by default, or None
    record_at: object = None
    population_outputs: list = None     # (name, at) a population records, or None
    population_at: object = None
    balances: list = field(default_factory=list)
    dose_targets: list = field(default_factory=list)     # (name, at)
    infusion_inputs: list = field(default_factory=list)  # (name, at)


# ---- parser ------------------------------------------------------------------

_COMPARISONS = ("<", "<=", ">", ">=", "==", "!=")
_BOUND_STARTS = ("<", "<=", ">", ">=", "in", "finite")


MAX_NESTING = 100
MAX_ARRAY = 1_000_000
_SIZE = re.compile(r"[ \t]*\d+[ \t]*\]")


class Parser:
    def __init__(self, path, text):
        self.lexer = Lexer(path, text)
        self.model = Model(path)
        self.depth = 0   # open parentheses, calls and signs around the current expression

    # token helpers
    def _peek(self):
        return self.lexer.peek()

    def _next(self):
        return self.lexer.next()

    def _is(self, text):
        token = self._peek()
        return token.kind in ("op", "name") and token.text == text

    def _expect(self, text, what=None):
        token = self._next()
        if token.kind not in ("op", "name") or token.text != text:
            raise DescriptionError(token.at, f"expected '{text}'{what or ''}, found {_describe(token)}")
        return token

    def _name(self, what="a name"):
        token = self._next()
        if token.kind != "name":
            raise DescriptionError(token.at, f"expected {what}, found {_describe(token)}")
        return token

    def _integer(self, what):
        token = self._next()
        if token.kind != "number" or not token.text.isdigit():
            raise DescriptionError(token.at, f"expected {what}, found {_describe(token)}")
        if len(token.text.lstrip("0")) > 9:
            raise DescriptionError(token.at, f"{_describe(token)} is too large for {what}")
        return token

    def _literal(self):
        """A number with an optional sign."""
        sign, at = "", self._peek().at
        if self._is("-") or self._is("+"):
            sign = self._next().text
        token = self._next()
        if token.kind != "number":
            raise DescriptionError(token.at, f"expected a number, found {_describe(token)}")
        return Number(("-" if sign == "-" else "") + token.text, at)

    # the model
    def parse(self):
        m = self.model
        self._expect("model", " at the start of the description")
        name = self._name("the model's name")
        m.name, m.name_at = name.text, name.at
        self._expect(";")
        blocks = {
            "constants": self._constants, "variables": self._variables, "tables": self._tables,
            "settings": self._settings, "states": self._states,
        }
        while self._peek().kind != "end":
            token = self._next()
            if token.kind == "name" and token.text in blocks:
                self._expect("{")
                while not self._is("}"):
                    blocks[token.text]()
                self._expect("}")
            elif token.kind == "name" and token.text in ("initial", "derivative"):
                body = self._block()
                target = m.initial if token.text == "initial" else m.derivative
                target.extend(body)
            elif token.kind == "name" and token.text == "discrete":
                name = self._name("the discrete section's name")
                if self._is("when"):
                    self._next()
                    section = Discrete(name.text, name.at, None, None, when=self.expression())
                    token = self._next()
                    if token.text not in ("rising", "falling", "crosses") or token.kind != "name":
                        raise DescriptionError(token.at, f"expected rising, falling or crosses "
                                                         f"after the event expression, found "
                                                         f"{_describe(token)}")
                    section.direction = token.text
                    section.body = self._block()
                    m.discretes.append(section)
                    continue
                self._expect("at", " (or 'when') and the time the section runs")
                section = Discrete(name.text, name.at, self.expression(), None)
                if self._is("every"):
                    self._next()
                    section.period = self.expression()
                    if self._is("until"):
                        self._next()
                        section.until = self.expression()
                section.body = self._block()
                m.discretes.append(section)
            elif token.kind == "name" and token.text == "terminate":
                if m.termination is not None:
                    raise DescriptionError(token.at, "a second termination condition")
                self._expect("when")
                m.termination_at = token.at
                m.termination = self.expression()
                self._expect(";")
            elif token.kind == "name" and token.text in ("time", "record", "balance", "dose",
                                                         "infusion"):
                getattr(self, f"_{token.text}_statement")(token)
            else:
                raise DescriptionError(token.at, f"expected a block (constants, variables, tables, "
                                                 f"settings, states, initial, derivative, discrete, "
                                                 f"balance) or 'terminate', 'time', 'record', "
                                                 f"'dose', 'infusion', found {_describe(token)}")
        return m

    # what hosts are told about the model
    def _names(self, what):
        names = [self._name(what)]
        while self._is(","):
            self._next()
            names.append(self._name(what))
        return [(n.text, n.at) for n in names]

    def _time_statement(self, token):
        m = self.model
        if m.time_at is not None:
            raise DescriptionError(token.at, f"a second time declaration (first at "
                                             f"{m.time_at.line}:{m.time_at.col})")
        name = self._name("the independent variable 't'")
        if name.text != "t":
            raise DescriptionError(name.at, f"the independent variable is named 't', "
                                            f"not '{name.text}'")
        m.time_at = token.at
        if self._is("["):
            m.time_units_at = self._next().at
            m.time_units = self.lexer.raw_until("]")
        if self._peek().kind == "string":
            m.time_description = self._next().text
        self._expect(";")

    def _record_statement(self, token):
        m = self.model
        population = False
        if self._peek().kind == "name" and self._peek().text == "population":
            first = self._next()
            if self._is(":"):
                self._next()
                population = True
            else:
                names = [(first.text, first.at)]
                if self._is(","):
                    self._next()
                    names += self._names("a variable to record")
                self._expect(";")
                return self._set_record(token, names, False)
        names = self._names("a variable to record")
        self._expect(";")
        self._set_record(token, names, population)

    def _set_record(self, token, names, population):
        m = self.model
        earlier = m.population_at if population else m.record_at
        if earlier is not None:
            raise DescriptionError(token.at, f"a second 'record{' population:' if population else ''}' "
                                             f"(first at {earlier.line}:{earlier.col})")
        if population:
            m.population_outputs, m.population_at = names, token.at
        else:
            m.record, m.record_at = names, token.at

    def _balance_statement(self, token):
        name = self._name("the balance's name")
        b = Balance(name.text, name.at)
        self._expect("{")
        seen = set()
        while not self._is("}"):
            field_token = self._name("unaccounted, dosed, accounted or tolerance")
            key = field_token.text
            if key not in ("unaccounted", "dosed", "accounted", "tolerance"):
                raise DescriptionError(field_token.at, f"expected unaccounted, dosed, accounted or "
                                                       f"tolerance, found '{key}'")
            if key in seen:
                raise DescriptionError(field_token.at, f"'{key}' is given twice in balance "
                                                       f"'{b.name}'")
            seen.add(key)
            self._expect("=")
            if key == "tolerance":
                b.tolerance = self._literal()
            elif key == "unaccounted":
                n = self._name("the variable holding dosed minus accounted")
                b.unaccounted = (n.text, n.at)
            else:
                setattr(b, key, self._names("a variable"))
            self._expect(";")
        self._expect("}")
        for key in ("unaccounted", "dosed", "accounted"):
            if key not in seen:
                raise DescriptionError(name.at, f"balance '{b.name}' needs '{key} = ...;'")
        self.model.balances.append(b)

    def _dose_statement(self, token):
        self._expect("target", " (dose target NAME, ...;)")
        self.model.dose_targets += self._names("a dose target")
        self._expect(";")

    def _infusion_statement(self, token):
        self._expect("input", " (infusion input NAME, ...;)")
        self.model.infusion_inputs += self._names("an infusion input")
        self._expect(";")

    def _annotations(self, declaration):
        if self._is("["):
            declaration.units_at = self._next().at
            declaration.units = self.lexer.raw_until("]")
        if self._peek().kind == "string":
            declaration.description = self._next().text
        while self._peek().kind == "name" and self._peek().text in ("rtol", "atol"):
            token = self._next()
            if getattr(declaration, token.text) is not None:
                raise DescriptionError(token.at, f"'{token.text}' is given twice for "
                                                 f"'{declaration.name}'")
            declaration.tolerance_at = declaration.tolerance_at or token.at
            setattr(declaration, token.text, self._literal())
        if self._peek().kind in ("op", "name") and self._peek().text in _BOUND_STARTS:
            declaration.bounds_at = self._peek().at
            bounds, text = self._bound()
            declaration.bounds, written = bounds, [text]
            while self._is(","):
                self._next()
                bounds, text = self._bound()
                declaration.bounds += bounds
                written.append(text)
            declaration.bounds_text = ", ".join(written)
        if self._is("@"):
            at = self._next().at
            self._expect("flags")
            self._expect("(")
            flags = []
            while True:
                token = self._integer("an attribute flag 1..11")
                if not 1 <= int(token.text) <= 11:
                    raise DescriptionError(token.at, f"attribute flag {token.text} is not 1..11")
                flags.append(int(token.text))
                if not self._is(","):
                    break
                self._next()
            self._expect(")")
            declaration.flags, declaration.flags_at = flags, at
        self._expect(";")
        self.model.declarations.append(declaration)

    def _bound(self):
        """One bound: `>= 0`, `> 0`, `<= 1`, `< 1`, `in [0, 1]` or `finite`."""
        token = self._next()
        if token.text == "finite":
            return [Bound("finite")], "finite"
        if token.text == "in":
            self._expect("[", " and the interval's lower end")
            lower = self._literal()
            self._expect(",", " between the interval's ends")
            upper = self._literal()
            self._expect("]", " after the interval's upper end")
            return [Bound(">=", lower), Bound("<=", upper)], f"in [{lower.text}, {upper.text}]"
        if token.kind == "op" and token.text in ("<", "<=", ">", ">="):
            limit = self._literal()
            return [Bound(token.text, limit)], f"{token.text} {limit.text}"
        raise DescriptionError(token.at, f"expected a bound (>= X, > X, <= X, < X, in [X, Y] or "
                                         f"finite), found {_describe(token)}")

    def _size(self, d):
        """`[N]` after an array's name."""
        if self._is("["):
            self._next()
            token = self._integer("the array's size")
            d.size = int(token.text)
            if d.size == 0:
                raise DescriptionError(d.at, f"array '{d.name}' has size 0")
            if d.size > MAX_ARRAY:
                raise DescriptionError(token.at, f"array '{d.name}' has more than {MAX_ARRAY} "
                                                 "elements")
            self._expect("]")

    def _type(self):
        """An optional `integer` or `logical` before a declaration's name."""
        token = self._peek()
        if token.kind == "name" and token.text in ("integer", "logical"):
            self._next()
            return token.text, token.at
        return "real", None

    def _constants(self):
        kind, kind_at = self._type()
        name = self._name("a constant's name")
        d = Declaration("constant", name.text, name.at, type=kind, type_at=kind_at)
        self._size(d)
        self._expect("=", " and the constant's default")
        if d.size and not self._is("{"):
            d.values = [self._literal()] * d.size    # one value for every element
        elif d.size:
            self._expect("{")
            d.values.append(self._literal())
            while self._is(","):
                self._next()
                d.values.append(self._literal())
            self._expect("}")
            if len(d.values) != d.size:
                raise DescriptionError(name.at, f"array '{name.text}' has size {d.size} "
                                                f"but {len(d.values)} values")
        elif kind == "logical" and (self._is("true") or self._is("false")):
            token = self._next()
            d.values.append(Number("1" if token.text == "true" else "0", token.at))
        else:
            d.values.append(self._literal())
        self._annotations(d)

    def _variables(self):
        kind, kind_at = self._type()
        name = self._name("a variable's name")
        d = Declaration("variable", name.text, name.at, type=kind, type_at=kind_at)
        # `v[5]` (a whole number right after the name) is an array; `v [1]` a
        # scalar's units.
        lexer = self.lexer
        if self._is("[") and self._peek().at.col == name.at.col + len(name.text) \
                and _SIZE.match(lexer.text, lexer.pos):
            self._size(d)
        self._annotations(d)

    def _tables(self):
        name = self._name("a table's name")
        d = Declaration("table", name.text, name.at)
        self._expect("[", " and the table's number of points")
        d.size = int(self._integer("the table's number of points").text)
        self._expect("]")
        self._expect("=")
        self._expect("{")
        while True:
            x = self._literal()
            self._expect(":", " between a breakpoint and its value")
            d.values.append((x, self._literal()))
            if not self._is(","):
                break
            self._next()
        self._expect("}")
        if len(d.values) != d.size:
            raise DescriptionError(name.at, f"table '{name.text}' has {d.size} points "
                                            f"but {len(d.values)} are given")
        if d.size < 2:
            raise DescriptionError(name.at, f"table '{name.text}' needs at least 2 points")
        self._annotations(d)

    def _settings(self):
        name = self._name("a setting's name")
        self._expect("=")
        if self._is("true") or self._is("false"):
            value = self._next().text
        else:
            value = self._literal().text
        self._expect(";")
        self.model.settings.append(Setting(name.text, name.at, value))

    def _states(self):
        kind, kind_at = self._type()
        if kind_at is not None:
            raise DescriptionError(kind_at, f"states are real: '{kind}' applies to constants and "
                                            "variables")
        name = self._name("a state's name")
        d = Declaration("state", name.text, name.at)
        self._size(d)
        self._expect("=", " and the state's initial condition")
        if d.size and self._is("{"):
            self._next()
            d.initial = [self.expression()]
            while self._is(","):
                self._next()
                d.initial.append(self.expression())
            self._expect("}")
            if len(d.initial) != d.size:
                raise DescriptionError(name.at, f"array '{name.text}' has size {d.size} "
                                                f"but {len(d.initial)} initial conditions")
        else:
            d.initial = self.expression()
        self._annotations(d)

    def _block(self):
        self._expect("{")
        body = []
        while not self._is("}"):
            body.append(self._statement())
        self._expect("}")
        return body

    def _statement(self):
        if self._is("if"):
            return self._if()
        if self._is("for"):
            return self._for()
        name = self._name("an assignment")
        derivative, index = False, None
        if name.text == "dt" and self._is("("):
            self._next()
            name = self._name("a state's name")
            index = self._element_index()
            self._expect(")")
            derivative = True
        else:
            index = self._element_index()
        self._expect("=")
        expr = self.expression()
        self._expect(";")
        return Assignment(name.text, name.at, expr, derivative, index)

    def _element_index(self):
        """`(INDEX)` after an assigned array's name, else None."""
        if not self._is("("):
            return None
        self._nest(self._next())
        index = self.expression()
        self._expect(")", " after the element's index")
        self.depth -= 1
        return index

    def _for(self):
        at = self._next().at
        name = self._name("the loop's index")
        self._expect("in", " and the loop's range FIRST..LAST")
        first = self.expression()
        self._expect("..", " between the first and the last value of the loop's index")
        last = self.expression()
        return For(at, name.text, first, last, self._block())

    def _if(self):
        at = self._next().at
        branches, otherwise = [], None
        while True:
            self._expect("(", " around the condition")
            condition = self.expression()
            self._expect(")", " after the condition")
            branches.append((condition, self._block()))
            if not self._is("else"):
                break
            self._next()
            if self._is("if"):
                self._next()
                continue
            otherwise = self._block()
            break
        return If(at, branches, otherwise)

    # expressions, by C precedence: || && comparisons + - * / unary. Operands
    # of one level are read in a loop, so that a flat sum of any length takes
    # no recursion; parentheses, calls and signs nest, up to MAX_NESTING.
    def expression(self):
        """C's precedence; `C ? A : B` lowest, grouping from the right."""
        condition = self._binary(0)
        if not self._is("?"):
            return condition
        at = self._next()
        self._nest(at)
        then = self.expression()
        self._expect(":", " between the two values of '?'")
        other = self.expression()
        self.depth -= 1
        return Conditional(condition, then, other, at.at)

    def _nest(self, token):
        self.depth += 1
        if self.depth > MAX_NESTING:
            raise DescriptionError(token.at, f"the expression nests deeper than {MAX_NESTING} "
                                             "levels of parentheses, calls and signs")

    _LEVELS = (("||",), ("&&",), _COMPARISONS, ("+", "-"), ("*", "/"))

    def _binary(self, level):
        if level == len(self._LEVELS):
            return self._unary()
        left = self._binary(level + 1)
        while self._peek().kind == "op" and self._peek().text in self._LEVELS[level]:
            op = self._next()
            right = self._binary(level + 1)
            left = Binary(op.text, left, right, op.at)
        return left

    def _unary(self):
        signs = []
        while self._peek().kind == "op" and self._peek().text in ("-", "+", "!"):
            signs.append(self._next())
            self._nest(signs[-1])
        operand = self._primary()
        for op in reversed(signs):
            operand = Unary(op.text, operand, op.at)
        self.depth -= len(signs)
        return operand

    def _primary(self):
        token = self._next()
        if token.kind == "number":
            return Number(token.text, token.at)
        if token.kind == "name":
            if self._is("("):
                self._nest(self._next())
                args = []
                if not self._is(")"):
                    args.append(self.expression())
                    while self._is(","):
                        self._next()
                        args.append(self.expression())
                self._expect(")")
                self.depth -= 1
                return Call(token.text, args, token.at)
            return Ref(token.text, token.at)
        if token.kind == "op" and token.text == "(":
            self._nest(token)
            inner = self.expression()
            self._expect(")")
            self.depth -= 1
            return inner
        raise DescriptionError(token.at, f"expected an expression, found {_describe(token)}")


def _describe(token):
    if token.kind == "end":
        return "the end of the file"
    text = token.text if len(token.text) <= 40 else token.text[:37] + "..."
    if token.kind == "string":
        return f'"{text}"'
    return f"'{text}'"


def parse(path, text):
    return Parser(path, text).parse()
