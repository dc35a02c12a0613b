"""Loops and array elements. Loops are unrolled when the model is built, so
that every later check (each element assigned once, dependency order,
algebraic loops) sees one statement per element; an index that folds to a
number is checked then, any other is checked when the generated code runs."""

import math
import re

from .lexer import DescriptionError
from .syntax import Assignment, Binary, Call, Conditional, For, If, Number, Ref, Unary, walk

# Statements and passes a description's loops may unroll to, all sections together.
MAX_UNROLLED = 1_000_000
# Loop values and indices beyond this are refused rather than unrolled.
MAX_INDEX = 999_999_999


def children(node):
    if isinstance(node, Call):
        return node.args
    if isinstance(node, Unary):
        return [node.operand]
    if isinstance(node, Binary):
        return [node.left, node.right]
    if isinstance(node, Conditional):
        return [node.condition, node.then, node.other]
    return []


def fold(expr):
    """The value of an expression of numbers, unary signs and + - * /, or None
    when it reads anything else (or divides by zero). Without recursion."""
    values = {}
    pending = [(expr, False)]
    while pending:
        node, visited = pending.pop()
        if isinstance(node, Number):
            values[id(node)] = float(node.text)
        elif isinstance(node, Unary) and node.op in ("+", "-"):
            if not visited:
                pending += [(node, True), (node.operand, False)]
                continue
            v = values[id(node.operand)]
            values[id(node)] = None if v is None else (-v if node.op == "-" else v)
        elif isinstance(node, Binary) and node.op in ("+", "-", "*", "/"):
            if not visited:
                pending += [(node, True), (node.right, False), (node.left, False)]
                continue
            a, b = values[id(node.left)], values[id(node.right)]
            if a is None or b is None or (node.op == "/" and b == 0):
                values[id(node)] = None
            else:
                values[id(node)] = {"+": lambda: a + b, "-": lambda: a - b,
                                    "*": lambda: a * b, "/": lambda: a / b}[node.op]()
        else:
            values[id(node)] = None
    return values[id(expr)]


def bottom_up(expr, make):
    """make(node, [what make gave for each of its children]) for every node,
    children first, without recursion; what it gives for expr."""
    done = {}
    pending = [(expr, False)]
    while pending:
        node, visited = pending.pop()
        kids = children(node)
        if kids and not visited:
            pending.append((node, True))
            pending.extend((k, False) for k in kids)
            continue
        done[id(node)] = make(node, [done[id(k)] for k in kids])
    return done[id(expr)]


def substitute(expr, env):
    """A copy of expr with each loop index of env replaced by its value; every
    node is new, so that each unrolled statement has calls of its own (a delay
    keeps one memory per call)."""
    def copy(node, args):
        if isinstance(node, Ref):
            return Number(str(env[node.name]), node.at) if node.name in env else Ref(node.name, node.at)
        if isinstance(node, Number):
            return Number(node.text, node.at)
        if isinstance(node, Call):
            return Call(node.name, args, node.at)
        if isinstance(node, Unary):
            return Unary(node.op, args[0], node.at)
        if isinstance(node, Binary):
            return Binary(node.op, args[0], args[1], node.at)
        return Conditional(args[0], args[1], args[2], node.at)
    return bottom_up(expr, copy)


def start(expr):
    """Where an expression starts in the description: its leftmost token."""
    while True:
        if isinstance(expr, Binary):
            expr = expr.left
        elif isinstance(expr, Conditional):
            expr = expr.condition
        else:
            return expr.at


def number_text(value):
    return str(int(value)) if float(value).is_integer() and abs(value) < 1e15 else repr(value)


def element_key(name, k):
    return f"{name}({k})"


def assignment_key(statement):
    """The name an assignment writes: a scalar's name or one element, a(3);
    a(?) for an index only known during a run."""
    if statement.index is None:
        return statement.target
    k = fold(statement.index)
    return element_key(statement.target, number_text(k) if k is not None else "?")


def constant_index(index, name, size):
    """The 1-based index as an int when it folds to a number (checked against
    the array's size), or None when only a run knows it."""
    if isinstance(index, Number) and len(index.text.lstrip("0")) > 9 and index.text.isdigit():
        raise DescriptionError(index.at, f"index {index.text[:20]} is outside array "
                                         f"'{name}' of size {size}")
    value = fold(index)
    if value is None:
        return None
    if not (math.isfinite(value) and value == math.floor(value)):
        raise DescriptionError(start(index), f"index {number_text(value)} of array '{name}' is "
                                             "not a whole number")
    if not 1 <= value <= size:
        raise DescriptionError(start(index), f"index {number_text(value)} is outside array "
                                             f"'{name}' of size {size}")
    return int(value)


class Unroller:
    def __init__(self, declared, check_name):
        self.declared = declared
        self.check_name = check_name
        self.count = 0

    def body(self, statements, env=None):
        env = env or {}
        out = []
        for s in statements:
            if isinstance(s, For):
                out += self._loop(s, env)
            elif isinstance(s, If):
                out.append(If(s.at, [(substitute(c, env), self.body(b, env)) for c, b in s.branches],
                              None if s.otherwise is None else self.body(s.otherwise, env)))
            else:
                out.append(Assignment(s.target, s.at, substitute(s.expr, env), s.derivative,
                                      None if s.index is None else substitute(s.index, env)))
                self.count += 1
                if self.count > MAX_UNROLLED:
                    raise DescriptionError(s.at, f"the loops unroll to more than {MAX_UNROLLED} "
                                                 "statements")
        return out

    def _loop(self, loop, env):
        if loop.name in self.declared or loop.name == "t":
            raise DescriptionError(loop.at, f"the loop's index '{loop.name}' is a name the model "
                                            "declares: choose another")
        if loop.name in env:
            raise DescriptionError(loop.at, f"the loop's index '{loop.name}' is already the index "
                                            "of an enclosing loop")
        if not re.fullmatch(r"[a-z][a-z0-9_]*", loop.name):
            raise DescriptionError(loop.at, f"'{loop.name}': names are lower-case letters, digits "
                                            "and single underscores, starting with a letter")
        self.check_name(loop.name, loop.at)
        first = self._bound(loop.first, env, "first")
        last = self._bound(loop.last, env, "last")
        out = []
        for value in range(first, last + 1):
            # Each pass counts, so that loops without statements cannot spin.
            self.count += 1
            if self.count > MAX_UNROLLED:
                raise DescriptionError(loop.at, f"the loops unroll to more than {MAX_UNROLLED} "
                                                "statements")
            out += self.body(loop.body, dict(env, **{loop.name: value}))
        return out

    def _bound(self, expr, env, what):
        for node in walk(expr):
            if isinstance(node, Ref) and node.name not in env:
                raise DescriptionError(node.at, f"the loop's {what} value reads '{node.name}', "
                                                "which is not fixed when the model is built: use "
                                                "whole numbers and the indices of enclosing loops")
            if not isinstance(node, (Number, Ref, Unary, Binary)) or \
                    (isinstance(node, (Unary, Binary)) and node.op not in ("+", "-", "*", "/")):
                raise DescriptionError(node.at, f"the loop's {what} value may use only whole "
                                                "numbers, + - * / and the indices of enclosing "
                                                "loops")
        value = fold(substitute(expr, env))
        if value is None or not math.isfinite(value) or value != math.floor(value):
            shown = "undefined" if value is None else number_text(value)
            raise DescriptionError(start(expr), f"the loop's {what} value is {shown}, not a whole "
                                                "number")
        if abs(value) > MAX_INDEX:
            raise DescriptionError(start(expr), f"the loop's {what} value {number_text(value)} is "
                                                "too large")
        return int(value)
