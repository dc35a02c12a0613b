"""The analytic Jacobian of the derivative section by the ODE state elements.

Forward differentiation along the section's statements, in the order they
run: each variable the section computes carries the partial derivatives of
its value by the state elements it depends on (its gradient, sparse), each
dt() statement gives one row. Columns and rows are the state elements in
storage order (state arrays flattened).

The generated function runs the derivative section first and then reads
what it left in storage (the variables, the hoisted values), so that the
partial derivatives only add the operations of the chain rule. Conditions are
evaluated again as the section evaluated them, and only the branch taken is
differentiated. Integer and logical values, conditions, delay() and
everything computed from constants alone have zero derivative.

A table lookup contributes the slope of the segment it uses. A
state-dependent construct without a rule (an operator with a memory of the
run other than delay, a time function, an index known only during the run) leaves the model without a Jacobian: the integrators keep
their difference quotients."""

import dataclasses

from .analysis import MEMORY_FUNCTIONS
from .arrays import bottom_up, element_key, fold
from .cpp import cxx_name, expression, strip_parens
from .optimize import _Sharing
from .syntax import Assignment, Binary, Call, Conditional, If, Number, Ref, Unary, assignments, walk

LOCAL = "zzd"
# Partial derivatives the section's statements may carry in all; beyond, the
# generation would take minutes and the Jacobian would hardly be sparse.
MAX_ENTRIES = 4_000_000
_LN10 = "2.302585092994046"
_ZERO_FUNCTIONS = frozenset({"floor", "ceil", "aint", "anint", "sgn"})
_LOGICAL_OPS = frozenset({"<", "<=", ">", ">=", "==", "!=", "&&", "||"})


class NoJacobian(Exception):
    """Why the model gets no analytic Jacobian."""


@dataclasses.dataclass
class Jacobian:
    n: int
    column_starts: list
    row_indices: list
    lines: list            # the statements after the derivative section, C++
    slopes: set            # the tables whose slope functions they call


# ---- expression algebra; None is zero ------------------------------------------------

def number(value):
    value = float(value)
    text = repr(value)
    return Number(text[:-2] if text.endswith(".0") else text, None)


def value_of(node):
    return float(node.text) if isinstance(node, Number) else None


def neg(a):
    if a is None:
        return None
    if isinstance(a, Number):
        return number(-float(a.text))
    if isinstance(a, Unary) and a.op == "-":
        return a.operand
    return Unary("-", a, None)


def add(a, b):
    if a is None:
        return b
    if b is None:
        return a
    if isinstance(b, Unary) and b.op == "-" or (value_of(b) or 0) < 0:
        return Binary("-", a, neg(b), None)
    return Binary("+", a, b, None)


def sub(a, b):
    if b is None:
        return a
    if isinstance(a, Ref) and isinstance(b, Ref) and a.name == b.name:
        return None
    if a is None:
        return neg(b)
    if isinstance(b, Unary) and b.op == "-" or (value_of(b) or 0) < 0:
        return Binary("+", a, neg(b), None)
    return Binary("-", a, b, None)


def mul(a, b):
    if a is None or b is None or value_of(a) == 0 or value_of(b) == 0:
        return None
    if value_of(a) == 1:
        return b
    if value_of(b) == 1:
        return a
    if value_of(a) == -1:
        return neg(b)
    if value_of(b) == -1:
        return neg(a)
    return Binary("*", a, b, None)


def div(a, b):
    if a is None:
        return None
    if value_of(b) == 1:
        return a
    return Binary("/", a, b, None)


def call(name, *args):
    return Call(name, list(args), None)


def branch(condition, a, b):
    if a is None and b is None:
        return None
    if isinstance(a, Number) and isinstance(b, Number) and value_of(a) == value_of(b):
        return a if value_of(a) != 0 else None
    return Conditional(condition, a if a is not None else number(0),
                       b if b is not None else number(0), None)


def columns(grads, op):
    """op(one entry of each gradient, None where it has none) for every column
    of any of them."""
    out = {}
    for c in sorted(set().union(*grads)):
        value = op(*(g.get(c) for g in grads))
        if value is not None:
            out[c] = value
    return out


def combine(ga, gb, op):
    return columns([ga, gb], op)


def scaled(g, factor):
    return combine(g, {}, lambda a, _: mul(factor, a))


# ---- the derivatives of the functions -----------------------------------------------

def _function_gradient(name, args, grads, value):
    """The gradient of name(args); value is the call's own value."""
    a = args[0]
    g = grads[0]
    if name in _ZERO_FUNCTIONS:
        return {}
    one = {
        "exp": lambda: scaled(g, value),
        "log": lambda: combine(g, {}, lambda d, _: div(d, a)),
        "log10": lambda: combine(g, {}, lambda d, _: div(d, mul(a, Number(_LN10, None)))),
        "sqrt": lambda: combine(g, {}, lambda d, _: div(d, mul(number(2), value))),
        "sin": lambda: scaled(g, call("cos", a)),
        "cos": lambda: scaled(g, neg(call("sin", a))),
        "tan": lambda: scaled(g, add(number(1), mul(value, value))),
        "asin": lambda: combine(g, {}, lambda d, _: div(d, call("sqrt", sub(number(1), mul(a, a))))),
        "acos": lambda: combine(g, {}, lambda d, _: neg(div(d, call("sqrt", sub(number(1), mul(a, a)))))),
        "atan": lambda: combine(g, {}, lambda d, _: div(d, add(number(1), mul(a, a)))),
        "sinh": lambda: scaled(g, call("cosh", a)),
        "cosh": lambda: scaled(g, call("sinh", a)),
        "tanh": lambda: scaled(g, sub(number(1), mul(value, value))),
        "abs": lambda: combine(g, {}, lambda d, _: branch(Binary("<", a, number(0), None), neg(d), d)),
        "ssqrt": lambda: combine(g, {}, lambda d, _: div(d, mul(number(2), call("sqrt", call("abs", a))))),
    }
    if name in one:
        return one[name]()
    if name == "pow":
        return _pow_gradient(a, args[1], g, grads[1], value)
    if name == "atan2":
        y, x = args
        denominator = add(mul(x, x), mul(y, y))
        return combine(grads[0], grads[1],
                       lambda dy, dx: div(sub(mul(x, dy), mul(y, dx)), denominator))
    if name in ("min", "max"):
        b = args[1]
        # zzmin(a, b) is b > a ? a : b, zzmax(a, b) is a > b ? a : b.
        first = Binary(">", b, a, None) if name == "min" else Binary(">", a, b, None)
        return combine(grads[0], grads[1], lambda da, db: branch(first, da, db))
    if name == "dim":
        b = args[1]
        return combine(grads[0], grads[1],
                       lambda da, db: branch(Binary(">", a, b, None), sub(da, db), None))
    if name == "mod":
        b = args[1]
        quotient = call("aint", Binary("/", a, b, None))
        return combine(grads[0], grads[1], lambda da, db: sub(da, mul(quotient, db)))
    if name == "sign":
        # sgn(b) |a|: b's own changes switch the sign only.
        b = args[1]
        return combine(g, {}, lambda d, _: mul(call("sgn", b),
                                               branch(Binary("<", a, number(0), None), neg(d), d)))
    if name in ("bound", "dead"):
        lower, upper, x = args
        above = Binary(">", x, upper, None)
        ordered = Binary(">", upper, lower, None)
        inside = Binary(">", x, lower, None)
        if name == "bound":
            return columns(grads, lambda l, u, d: branch(above, branch(ordered, u, l), branch(inside, d, l)))
        return columns(grads, lambda l, u, d: branch(
            above, branch(ordered, sub(d, u), sub(d, l)), branch(inside, None, sub(d, l))))
    if name == "fcnsw":
        p = args[0]
        _, da, db, dc = grads
        return columns([da, db, dc], lambda x, y, z: branch(
            Binary("<", p, number(0), None), x, branch(Binary(">", p, number(0), None), z, y)))
    raise NoJacobian(f"{name}() of a value that depends on the states has no derivative rule")


def _pow_gradient(a, b, ga, gb, value):
    out = {}
    if ga:
        exponent = value_of(b)
        if exponent is None:
            factor = mul(b, call("pow", a, Binary("-", b, number(1), None)))
        elif exponent == 0:
            factor = None
        elif exponent == 1:
            factor = number(1)
        elif exponent == 2:
            factor = mul(number(2), a)
        else:
            factor = mul(number(exponent), call("pow", a, number(exponent - 1)))
        out = scaled(ga, factor)
    if gb:
        out = combine(out, scaled(gb, mul(value, call("log", a))), add)
    return out


# ---- the section --------------------------------------------------------------------

class _Differentiator:
    def __init__(self, laid, p):
        self.laid = laid
        self.plan = p
        # The column of each state element, in storage order.
        self.column = {}
        for v in laid.states:
            if v.dim1:
                for k in range(1, v.dim1 + 1):
                    self.column[element_key(v.name, k)] = len(self.column)
            else:
                self.column[v.name] = len(self.column)
        self.n = len(self.column)
        self.state_arrays = {v.name for v in laid.states if v.dim1}
        self.tables = {v.name for v in laid.tables}
        self.locals = 0
        self.bound = {}       # (id of a block, C++ text) -> the local holding it
        self.blocks = []
        self.slopes = set()   # the tables whose slopes the derivatives read
        self.entries = 0
        self.reuse = self._stored_values()

    def _stored_values(self):
        """The C++ text of each right-hand side the section stores whole, unconditionally,
        in a real variable: the variable read instead of computing it again."""
        stored = {}
        for statement in self.plan.hoisted + self.plan.kept:
            if not isinstance(statement, Assignment) or statement.derivative \
                    or statement.target in self.laid.typed:
                continue
            if isinstance(statement.expr, (Number, Ref)):
                continue
            target = cxx_name(statement.target, self.laid)
            if statement.index is not None:
                target = f"{target}[{int(fold(statement.index)) - 1}]"
            stored.setdefault(expression(statement.expr, self.laid), Ref(target, None))
        return stored

    def value(self, node):
        if isinstance(node, (Number, Ref)):
            return node
        return self.reuse.get(expression(node, self.laid), node)

    # the gradient of one expression
    def gradient(self, expr, env):
        return bottom_up(expr, lambda node, kids: self._node(node, kids, env))

    def _node(self, node, kids, env):
        if isinstance(node, Number):
            return {}
        if isinstance(node, Ref):
            if node.name in self.column:
                return {self.column[node.name]: number(1)}
            return env.get(node.name, {})
        if isinstance(node, Unary):
            if node.op == "-":
                return combine(kids[0], {}, lambda a, _: neg(a))
            return kids[0] if node.op == "+" else {}
        if isinstance(node, Binary):
            return self._binary(node, kids)
        if isinstance(node, Conditional):
            return combine(kids[1], kids[2], lambda a, b: branch(node.condition, a, b))
        return self._call(node, kids, env)

    def _binary(self, node, kids):
        ga, gb = kids
        if node.op in _LOGICAL_OPS:
            return {}
        if node.op == "+":
            return combine(ga, gb, add)
        if node.op == "-":
            return combine(ga, gb, sub)
        a, b = self.value(node.left), self.value(node.right)
        if node.op == "*":
            return combine(ga, gb, lambda da, db: add(mul(da, b), mul(a, db)))
        # d(a / b) = (da - (a / b) db) / b
        q = self.value(node)
        return combine(ga, gb, lambda da, db: div(sub(da, mul(q, db)), b))

    def _call(self, node, kids, env):
        name = node.name
        if name in self.laid.arrays:
            k = fold(node.args[0])
            if k is not None:
                key = element_key(name, int(k))
                if key in self.column:
                    return {self.column[key]: number(1)}
                return env.get(key, {})
            prefix = f"{name}("
            if name in self.state_arrays or any(key.startswith(prefix) and g
                                                for key, g in env.items()):
                raise NoJacobian(f"'{name}' is read at an index known only during the run")
            return {}
        if name == "delay" or not any(kids):
            return {}
        if name in self.tables:
            # Linear between breakpoints: the slope of the segment in use.
            self.slopes.add(name)
            slope = Ref(f"{name}_table_slope({strip_parens(expression(node.args[0], self.laid))})",
                        None)
            return scaled(kids[0], slope)
        if name in MEMORY_FUNCTIONS:
            raise NoJacobian(f"{name}() keeps a memory of the run and reads the states")
        args = [self.value(a) for a in node.args]
        return _function_gradient(name, args, kids, self.value(node))

    # statements
    def _bind(self, tree, out):
        """A tree worth a local becomes one."""
        if isinstance(tree, (Number, Ref)) or (isinstance(tree, Unary)
                                               and isinstance(tree.operand, (Number, Ref))):
            return tree
        # One local per value within a block.
        key = (id(out), expression(tree, self.laid))
        if key not in self.bound:
            self.bound[key] = Ref(f"{LOCAL}{self.locals}", None)
            self.locals += 1
            out.append(Assignment(f"const double {self.bound[key].name}", None, tree))
        return self.bound[key]

    def _target_key(self, statement):
        if statement.index is None:
            return statement.target
        return element_key(statement.target, int(fold(statement.index)))

    def body(self, statements, env, out, rows):
        """Appends the statements differentiating `statements` to out; env maps
        what they assign to its gradient, rows each dt() target to its row's."""
        for statement in statements:
            if isinstance(statement, If):
                self._if(statement, env, out, rows)
                continue
            if not statement.derivative and statement.target in self.laid.typed:
                continue
            g = self.gradient(statement.expr, env)
            self.entries += len(g)
            if self.entries > MAX_ENTRIES:
                raise NoJacobian(f"the derivative section carries more than {MAX_ENTRIES} "
                                 "partial derivatives")
            g = {c: self._bind(tree, out) for c, tree in g.items()}
            _store(env, rows, statement.derivative, self._target_key(statement), g)

    def _if(self, statement, env, out, rows):
        bodies = [b for _, b in statement.branches] + [statement.otherwise or []]
        results = []
        for b in bodies:
            branch_env, branch_rows, branch_out = dict(env), {}, []
            self.blocks.append(branch_out)   # alive, so that no block's id is reused
            self.body(b, branch_env, branch_out, branch_rows)
            results.append((branch_env, branch_rows, branch_out))
        # Each (assigned, column) a branch may set is one local, zero unless set.
        keys = {(False, self._target_key(s)) for b in bodies for s in assignments(b) if not s.derivative}
        keys |= {(True, key) for _, r, _ in results for key in r}
        merged = {}
        for derivative, key in sorted(keys):
            columns = set()
            for branch_env, branch_rows, _ in results:
                columns |= set((branch_rows if derivative else branch_env).get(key, {}))
            gradient = {}
            for c in sorted(columns):
                name = f"{LOCAL}{self.locals}"
                self.locals += 1
                out.append(Assignment(f"double {name}", None, number(0)))
                for branch_env, branch_rows, branch_out in results:
                    tree = (branch_rows if derivative else branch_env).get(key, {}).get(c)
                    if tree is not None:
                        branch_out.append(Assignment(name, None, tree))
                gradient[c] = Ref(name, None)
            merged[(derivative, key)] = gradient
        conditions = [c for c, _ in statement.branches]
        out.append(If(None, [(c, r[2]) for c, r in zip(conditions, results)],
                      results[-1][2]))
        for (derivative, key), gradient in merged.items():
            _store(env, rows, derivative, key, gradient)

    def run(self):
        out, rows = [], {}
        self.body(self.plan.kept, {}, out, rows)
        by_column = {}
        for key, g in rows.items():
            for c, tree in g.items():
                by_column.setdefault(c, {})[self.column[key]] = tree
        starts, row_indices, values = [0], [], []
        for c in range(self.n):
            for r in sorted(by_column.get(c, {})):
                row_indices.append(r)
                values.append(by_column[c][r])
            starts.append(len(row_indices))
        for k, tree in enumerate(values):
            out.append(Assignment(f"values[{k}]", None, tree))
        return starts, row_indices, _prune(out)


def _store(env, rows, derivative, key, gradient):
    """A dt() target's row, or an assigned variable's gradient (none: zero)."""
    if derivative:
        rows[key] = gradient
    elif gradient:
        env[key] = gradient
    else:
        env.pop(key, None)


# ---- dead locals ----------------------------------------------------------------------

def _reads(tree):
    return {node.name for node in walk(tree) if isinstance(node, Ref) and _is_local(node.name)}


def _is_local(name):
    return name.startswith(LOCAL) and name[len(LOCAL):].isdigit()


def _local_name(target):
    return target.split()[-1]


def _prune(statements, live=None):
    """The statements without those computing locals nothing reads; `live` (the
    locals read after them) grows by what the kept ones read."""
    live = set() if live is None else live
    kept = []
    for s in reversed(statements):
        if isinstance(s, If):
            bodies = [_prune(b, live) for _, b in s.branches] + [_prune(s.otherwise or [], live)]
            if any(bodies):
                kept.append(If(None, [(c, b) for (c, _), b in zip(s.branches, bodies)],
                               bodies[-1]))
            continue
        target = _local_name(s.target)
        if _is_local(target) and target not in live:
            continue
        live |= _reads(s.expr)
        kept.append(s)
    kept.reverse()
    return kept


# ---- the model's Jacobian -----------------------------------------------------------------

def differentiate(laid, p):
    """(state elements, column starts, row indices, the statements that write
    values[k], the tables whose slopes they read) for the model's plan p;
    NoJacobian when it cannot have one."""
    d = _Differentiator(laid, p)
    starts, rows, statements = d.run()
    return d.n, starts, rows, statements, d.slopes


def jacobian(laid, p):
    """(Jacobian, None), or (None, the reason the model has none)."""
    try:
        n, starts, rows, statements, slopes = differentiate(laid, p)
    except NoJacobian as e:
        return None, str(e)
    sharing = _Sharing(laid)
    lines = sharing.lines([(s, lambda s: _lines(s, laid)) for s in statements])
    return Jacobian(n, starts, rows, lines, slopes), None


def _lines(statement, laid, indent="    "):
    if isinstance(statement, If):
        out = []
        for k, (condition, body) in enumerate(statement.branches):
            opening = "if" if k == 0 else "} else if"
            out.append(f"{indent}{opening} ({_text(condition, laid)}) {{")
            for s in body:
                out += _lines(s, laid, indent + "    ")
        if statement.otherwise:
            out.append(f"{indent}}} else {{")
            for s in statement.otherwise:
                out += _lines(s, laid, indent + "    ")
        out.append(f"{indent}}}")
        return out
    return [f"{indent}{statement.target} = {_text(statement.expr, laid)};"]


def _text(tree, laid):
    return strip_parens(expression(tree, laid))
