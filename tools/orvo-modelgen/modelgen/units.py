"""Units written in brackets, as dimensions, and the check that what an
assignment, a sum, a comparison or a dt() puts together agrees in them.

Only dimensions are compared: [mg/L] and [ug/mL] agree (numbers in the
expressions do the scaling). A name without units makes every expression it
enters unchecked; a number takes the units of whatever it is added to or
compared with, and is dimensionless in a product."""

import re
from fractions import Fraction

from .arrays import bottom_up, fold
from .lexer import DescriptionError
from .syntax import Binary, Conditional, Number, Ref, Unary

BASES = ("m", "kg", "s", "mol", "K", "A", "cd", "IU", "cell")
_INDEX = {b: k for k, b in enumerate(BASES)}


def _dims(**powers):
    return tuple(Fraction(powers.get(b, 0)) for b in BASES)


DIMENSIONLESS = _dims()
_TIME = _dims(s=1)
_PRESSURE = _dims(kg=1, m=-1, s=-2)

# Symbols a prefix may precede (mg, uL, nmol, mM, kPa, ...).
_PREFIXABLE = {
    "m": _dims(m=1), "g": _dims(kg=1), "s": _TIME, "L": _dims(m=3), "l": _dims(m=3),
    "mol": _dims(mol=1), "M": _dims(mol=1, m=-3), "eq": _dims(mol=1), "osm": _dims(mol=1),
    "K": _dims(K=1), "A": _dims(A=1), "cd": _dims(cd=1), "Hz": _dims(s=-1),
    "N": _dims(kg=1, m=1, s=-2), "Pa": _PRESSURE, "J": _dims(kg=1, m=2, s=-2),
    "W": _dims(kg=1, m=2, s=-3), "IU": _dims(IU=1), "U": _dims(IU=1), "Da": _dims(kg=1),
}
# Symbols taken as they are, before any prefix is tried (min is not milli-in).
_PLAIN = {
    "h": _TIME, "hr": _TIME, "min": _TIME, "d": _TIME, "day": _TIME, "days": _TIME,
    "wk": _TIME, "week": _TIME, "weeks": _TIME, "yr": _TIME, "year": _TIME, "years": _TIME,
    "mmHg": _PRESSURE, "cell": _dims(cell=1), "cells": _dims(cell=1), "%": DIMENSIONLESS,
    "ppm": DIMENSIONLESS, "rad": DIMENSIONLESS, "kg": _dims(kg=1),
}
_PREFIXES = ("da", "Y", "Z", "E", "P", "T", "G", "M", "k", "h", "d", "c", "m", "u", "\u00b5",
             "\u03bc", "n", "p", "f", "a")

_TOKEN = re.compile(r"\s*(?:(?P<number>\d+(?:\.\d+)?)|(?P<name>[A-Za-z%\u00b5\u03bc]+)"
                    r"|(?P<op>\*\*|[*./^()-]))")


def _symbol(word, text, at):
    if word in _PLAIN:
        return _PLAIN[word]
    if word in _PREFIXABLE:
        return _PREFIXABLE[word]
    for prefix in _PREFIXES:
        if word.startswith(prefix) and word[len(prefix):] in _PREFIXABLE:
            return _PREFIXABLE[word[len(prefix):]]
    raise DescriptionError(at, f"unknown unit '{word}' in [{text}]")


def parse_units(text, at):
    """The dimensions of a unit as written between brackets: products (`*`,
    `.` or a space), quotients, powers (`m^2`, `m2`, `h^-1`, `kg^0.75`),
    parentheses, SI prefixes and `1` for dimensionless."""
    tokens, pos = [], 0
    while pos < len(text):
        match = _TOKEN.match(text, pos)
        if not match or match.end() == pos:
            if text[pos:].strip() == "":
                break
            raise DescriptionError(at, f"cannot read the unit [{text}] at '{text[pos:].strip()}'")
        kind = match.lastgroup
        tokens.append((kind, match.group(kind)))
        pos = match.end()
    if not tokens:
        raise DescriptionError(at, "empty unit []: write [1] for a dimensionless value")
    reader = _Reader(tokens, text, at)
    dims = reader.product()
    if reader.k != len(tokens):
        raise DescriptionError(at, f"cannot read the unit [{text}] at '{tokens[reader.k][1]}'")
    return dims


class _Reader:
    def __init__(self, tokens, text, at):
        self.tokens, self.text, self.at, self.k = tokens, text, at, 0

    def _peek(self):
        return self.tokens[self.k] if self.k < len(self.tokens) else (None, None)

    def _fail(self):
        found = self._peek()[1]
        where = f"at '{found}'" if found is not None else "at its end"
        raise DescriptionError(self.at, f"cannot read the unit [{self.text}] {where}")

    def product(self):
        dims = self.power()
        while True:
            kind, value = self._peek()
            if value in ("*", "."):
                self.k += 1
                dims = _add(dims, self.power())
            elif value == "/":
                self.k += 1
                dims = _add(dims, self.power(), -1)
            elif kind == "name" or value == "(":
                dims = _add(dims, self.power())     # juxtaposed: a product
            else:
                return dims

    def power(self):
        kind, value = self._peek()
        if kind == "number":
            # [1], [1/h], [10^9/L]: a number is dimensionless.
            self.k += 1
            if self._peek()[1] in ("^", "**"):
                self.k += 1
                self._exponent()
            return DIMENSIONLESS
        if value == "(":
            self.k += 1
            dims = self.product()
            if self._peek()[1] != ")":
                self._fail()
            self.k += 1
        elif kind == "name":
            self.k += 1
            dims = _symbol(value, self.text, self.at)
        else:
            self._fail()
        kind, value = self._peek()
        if value in ("^", "**"):
            self.k += 1
            return _scale(dims, self._exponent())
        if kind == "number" or value == "-":    # m2, s-1
            return _scale(dims, self._exponent())
        return dims

    def _exponent(self):
        sign = 1
        if self._peek()[1] == "-":
            self.k += 1
            sign = -1
        kind, value = self._peek()
        if kind != "number":
            self._fail()
        self.k += 1
        return sign * Fraction(value)


def _add(a, b, sign=1):
    return tuple(x + sign * y for x, y in zip(a, b))


def _scale(a, factor):
    return tuple(x * factor for x in a)


def show(dims):
    """Dimensions in SI base units: kg/m^3, 1/s, 1."""
    def power(base, p):
        return base if p == 1 else f"{base}^{p}" if p.denominator == 1 else f"{base}^{float(p):g}"
    top = [power(b, p) for b, p in zip(BASES, dims) if p > 0]
    bottom = [power(b, -p) for b, p in zip(BASES, dims) if p < 0]
    text = "*".join(top) or "1"
    if bottom:
        text += "/" + ("*".join(bottom) if len(bottom) == 1 else "(" + "*".join(bottom) + ")")
    return f"[{text}]"


# A value's units while checking: None (unchecked: something without units
# entered it), ANY (numbers only) or (dims, shown).
ANY = "any"

_SAME = ("abs", "floor", "ceil", "aint", "anint", "min", "max", "mod", "dim", "bound", "dead",
         "qntzr", "ramp")
_TIME_SOURCES = {"step": 2, "pulse": 4, "harm": 2}


class Checker:
    def __init__(self, units_of, time_units):
        self.units_of = units_of          # name -> (dims, shown) of each name with units
        self.time = time_units            # (dims, shown) of t, or None

    def agree(self, a, b, at, what):
        """The units both sides share; a fault when both are known and differ."""
        if a is None or b is None:
            return None
        if a == ANY:
            return b
        if b == ANY or a[0] == b[0]:
            return a
        raise DescriptionError(at, f"units disagree: {what} {a[1]} and {b[1]}")

    def value(self, expr):
        """The units of an expression, checking the sums, comparisons and
        calls within it; without recursion."""
        return bottom_up(expr, self._node)

    def _node(self, node, args):
        if isinstance(node, Number):
            return ANY
        if isinstance(node, Ref):
            if node.name == "t":
                return self.time
            return self.units_of.get(node.name)
        if isinstance(node, Unary):
            return ANY if node.op == "!" else args[0]
        if isinstance(node, Conditional):
            return self.agree(args[1], args[2], node.at, "the two values of '?' are")
        if isinstance(node, Binary):
            left, right = args
            if node.op in ("+", "-"):
                verb = "adds" if node.op == "+" else "subtracts"
                return self.agree(left, right, node.at, f"'{node.op}' {verb}")
            if node.op in ("<", "<=", ">", ">=", "==", "!="):
                self.agree(left, right, node.at, f"'{node.op}' compares")
                return ANY
            if node.op in ("&&", "||"):
                return ANY
            if left is None or right is None:
                return None
            if left == ANY and right == ANY:
                return ANY
            a = DIMENSIONLESS if left == ANY else left[0]
            b = DIMENSIONLESS if right == ANY else right[0]
            dims = _add(a, b, 1 if node.op == "*" else -1)
            return dims, show(dims)
        return self._call(node, args)

    def _call(self, call, args):
        name = call.name
        if name in self.units_of:
            return self.units_of[name]          # an array element or a table's value
        if name in _SAME:
            first = 1 if name in ("qntzr",) else 0
            result = args[first]
            for other in args[:first] + args[first + 1:]:
                result = self.agree(result, other, call.at, f"'{name}' is given")
            return result if name != "qntzr" else self.agree(args[1], args[0], call.at,
                                                             "'qntzr' is given")
        if name == "sign":
            return args[0]
        if name == "fcnsw":
            return self.agree(self.agree(args[1], args[2], call.at, "'fcnsw' is given"), args[3],
                              call.at, "'fcnsw' is given")
        if name in ("sqrt", "ssqrt"):
            return _power(args[0], Fraction(1, 2))
        if name == "pow":
            exponent = fold(call.args[1])
            if exponent is None:
                return ANY if args[0] == ANY or (args[0] and args[0][0] == DIMENSIONLESS) else None
            return _power(args[0], Fraction(exponent).limit_denominator(1000))
        if name in _TIME_SOURCES:
            count = _TIME_SOURCES[name]
            result = args[0]
            for other in args[1:count]:
                result = self.agree(result, other, call.at, f"'{name}' is given")
            return ANY
        if name == "delay":
            self.agree(args[1], self.time, call.at, "the delay of 'delay' and t are")
            return self.agree(args[0], args[2], call.at, "'delay' is given")
        if name == "limint":
            self.agree(self.agree(args[0], args[2], call.at, "'limint' is given"), args[3], call.at,
                       "'limint' is given")
            return args[1]
        if name == "backlash":
            return self.agree(self.agree(args[0], args[1], call.at, "'backlash' is given"), args[2], call.at,
                              "'backlash' is given")
        if name == "derivt":
            if args[0] in (None, ANY) or self.time is None:
                return args[0]
            return (_add(args[0][0], self.time[0], -1), f"{args[0][1]}/{self.time[1]}")
        if name == "expsw":
            self.agree(args[1], self.time, call.at, "the time constant of 'expsw' and t are")
            return ANY
        return ANY    # exp, log, sin, ...: numbers

    def check_assignment(self, target, index_shown, expr, at, derivative=False):
        """target = expr, or dt(target) = expr: the sides agree."""
        value = self.value(expr)
        expected = self.units_of.get(target)
        if expected is None or value is None or value == ANY:
            return
        if derivative:
            if self.time is None:
                return
            dims = _add(expected[0], self.time[0], -1)
            expected = (dims, f"{expected[1]}/{self.time[1]}")
            written = f"dt({target}{index_shown})"
        else:
            written = f"'{target}{index_shown}'"
        if value[0] != expected[0]:
            raise DescriptionError(at, f"units disagree: {written} is {expected[1]} but the "
                                       f"expression is {value[1]}")

    def check_time(self, expr, at, what):
        value = self.value(expr)
        if self.time is not None and value not in (None, ANY) and value[0] != self.time[0]:
            raise DescriptionError(at, f"units disagree: {what} is {value[1]}, not a time "
                                       f"{self.time[1]}")


def _power(value, exponent):
    if value is None or value == ANY:
        return value
    dims = _scale(value[0], exponent)
    return dims, show(dims)


def declared_units(declarations, time_units, time_at):
    """(units of each name with units, units of t): each parsed, a fault when
    one cannot be read."""
    units_of = {}
    for d in declarations:
        if d.units:
            units_of[d.name] = (parse_units(d.units, d.units_at), f"[{d.units}]")
    time = (parse_units(time_units, time_at), f"[{time_units}]") if time_units else None
    return units_of, time

