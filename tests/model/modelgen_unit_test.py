#!/usr/bin/env python3
"""The generator's parser and statement ordering, on the forms of arrays and
loops: what the parser builds, how loops unroll and in what order the
derivative section's elements are computed; the rules of the analytic
Jacobian, against central differences of the section.

usage: modelgen_unit_test.py ORVO_MODELGEN
"""

import importlib.machinery
import importlib.util
import math
import re
import sys
import unittest

sys.dont_write_bytecode = True
_loader = importlib.machinery.SourceFileLoader("orvo_modelgen", sys.argv[1])
_spec = importlib.util.spec_from_loader("orvo_modelgen", _loader)
_loader.exec_module(importlib.util.module_from_spec(_spec))   # puts modelgen on the path
from modelgen import syntax  # noqa: E402
from modelgen.analysis import analyse  # noqa: E402
from modelgen.arrays import fold  # noqa: E402
from modelgen.cpp import statements  # noqa: E402
from modelgen.jacobian import NoJacobian, differentiate  # noqa: E402
from modelgen.optimize import plan  # noqa: E402
from modelgen.lexer import DescriptionError, Lexer  # noqa: E402
from modelgen.units import parse_units, show  # noqa: E402

HEAD = "model m;\nstates { a[3] = 0; }\nconstants { n = 2; w[3] = {1, 2, 3}; }\n"


def tokens(text):
    lexer, out = Lexer("m", text), []
    while lexer.peek().kind != "end":
        out.append(lexer.next().text)
    return out


def derivative_code(body, variables="r[3]; q;"):
    laid = analyse(syntax.parse("m", HEAD + f"variables {{ {variables} }}\nderivative {{ {body} }}\n"
                                "terminate when t >= 1;\n"))
    rename = {s.name: d.name for s, d in zip(laid.states, laid.derivatives)}
    return [line.strip() for line in statements(laid.derivative, laid, rename=rename)]


class Parser(unittest.TestCase):
    def test_ranges_and_numbers_lex_apart(self):
        self.assertEqual(tokens("1..5"), ["1", "..", "5"])
        self.assertEqual(tokens("i-1..n*2"), ["i", "-", "1", "..", "n", "*", "2"])
        self.assertEqual(tokens("1.5 .5 2. 1e3..4"), ["1.5", ".5", "2.", "1e3", "..", "4"])

    def test_declarations_of_arrays(self):
        m = syntax.parse("m", "model m;\nstates { a[2] = {1, k}; b[3] = 0 [mg]; }\n"
                              "constants { w[3] = 2; k = 1; }\n"
                              "variables { r[4] [mg]; s [1]; u[2]; }\n")
        d = {x.name: x for x in m.declarations}
        self.assertEqual((d["a"].size, len(d["a"].initial)), (2, 2))
        self.assertEqual((d["b"].size, d["b"].units), (3, "mg"))
        self.assertEqual([v.text for v in d["w"].values], ["2", "2", "2"])
        self.assertEqual((d["r"].size, d["r"].units), (4, "mg"))
        self.assertEqual((d["s"].size, d["s"].units), (0, "1"))   # a space: units, not a size
        self.assertEqual(d["u"].size, 2)

    def test_declared_types(self):
        m = syntax.parse("m", "model m;\nconstants { integer n = 3; logical on = true; logical off = 0; "
                              "k = 1; }\nvariables { integer c [1]; logical f; }\n")
        d = {x.name: x for x in m.declarations}
        self.assertEqual([d[n].type for n in ("n", "on", "off", "k", "c", "f")],
                         ["integer", "logical", "logical", "real", "integer", "logical"])
        self.assertEqual([d[n].values[0].text for n in ("n", "on", "off")], ["3", "1", "0"])
        self.assertEqual(d["c"].units, "1")

    def test_loops_and_element_targets(self):
        m = syntax.parse("m", "model m;\nderivative { for i in 1..n - 1 { dt(a(i + 1)) = a(i); "
                              "r(i) = 0; } }\n")
        loop = m.derivative[0]
        self.assertIsInstance(loop, syntax.For)
        self.assertEqual(loop.name, "i")
        first, second = loop.body
        self.assertTrue(first.derivative)
        self.assertEqual((first.target, second.target, second.derivative), ("a", "r", False))
        self.assertIsInstance(first.index, syntax.Binary)

    def test_fold(self):
        for text, value in (("3", 3.0), ("-(2 - 5) * 2", 6.0), ("7 / 2", 3.5), ("1 / 0", None),
                            ("n + 1", None), ("abs(1)", None)):
            with self.subTest(text=text):
                self.assertEqual(fold(syntax.Parser("m", text).expression()), value)


class Units(unittest.TestCase):
    def test_units_read_as_dimensions(self):
        for text, dims in (("mg", "[kg]"), ("1", "[1]"), ("%", "[1]"), ("1/h", "[1/s]"),
                           ("h^-1", "[1/s]"), ("min-1", "[1/s]"), ("m/s2", "[m/s^2]"),
                           ("mg/kg/day", "[1/s]"), ("mg/(kg*h)", "[1/s]"), ("L/h/kg^0.75",
                           "[m^3/(kg^0.75*s)]"), ("nmol/L", "[mol/m^3]"), ("uM", "[mol/m^3]"),
                           ("\u00b5g/mL", "[kg/m^3]"), ("mg.h/L", "[kg*s/m^3]"),
                           ("mg h / L", "[kg*s/m^3]"), ("g/mol", "[kg/mol]"), ("10^9/L", "[1/m^3]"),
                           ("IU/dL", "[IU/m^3]"), ("mmHg", "[kg/(m*s^2)]"), ("wk", "[s]")):
            with self.subTest(text=text):
                self.assertEqual(show(parse_units(text, None)), dims)

    def test_unreadable_units(self):
        for text, message in (("furlong", "unknown unit 'furlong'"), ("mg/", "at its end"),
                              ("mg//h", "at '/'"), ("(mg", "at its end"), ("mg)", "at ')'"),
                              ("m^x", "at 'x'"), ("", "empty unit"), ("mg;h", "at ';h'")):
            with self.subTest(text=text):
                with self.assertRaises(DescriptionError) as caught:
                    parse_units(text, "here")
                self.assertIn(message, caught.exception.message)


class Ordering(unittest.TestCase):
    def test_loops_unroll_to_one_statement_per_element(self):
        self.assertEqual(derivative_code("for i in 1..3 { dt(a(i)) = w(i) * i; } "
                                         "for i in 1..3 { r(i) = 0; } q = 0;"),
                         ["z99999[0] = w[0] * 1.0;", "z99999[1] = w[1] * 2.0;",
                          "z99999[2] = w[2] * 3.0;", "r[0] = 0.0;", "r[1] = 0.0;", "r[2] = 0.0;",
                          "q = 0.0;"])

    def test_elements_follow_the_elements_they_read(self):
        # r(3) reads r(2), which reads r(1): written backwards, computed forwards;
        # the state derivatives keep their written place.
        code = derivative_code("for i in 1..3 { dt(a(i)) = r(i); } r(3) = r(2) + 1; "
                               "r(2) = r(1) + 1; r(1) = q; q = 1;")
        self.assertEqual(code, ["q = 1.0;", "r[0] = q;", "z99999[0] = r[0];", "r[1] = r[0] + 1.0;",
                                "z99999[1] = r[1];", "r[2] = r[1] + 1.0;", "z99999[2] = r[2];"])

    def test_a_recurrence_in_one_loop_keeps_its_order(self):
        code = derivative_code("r(1) = a(1); for i in 2..3 { r(i) = r(i - 1) + a(i); } "
                               "for i in 1..3 { dt(a(i)) = -r(i); } q = 0;")
        self.assertEqual(code[:3], ["r[0] = a[0];", "r[1] = r[0] + a[1];", "r[2] = r[1] + a[2];"])

    def test_an_index_known_only_during_a_run_reads_every_element(self):
        code = derivative_code("q = r(n); for i in 1..3 { dt(a(i)) = q; } for i in 1..3 { r(i) = i; }")
        self.assertEqual(code[3], 'q = r[ElementOffset(n, 3, "r")];')
        self.assertEqual(code[:3], ["r[0] = 1.0;", "r[1] = 2.0;", "r[2] = 3.0;"])

    def test_nested_loops_and_an_empty_range(self):
        code = derivative_code("for i in 1..3 { dt(a(i)) = 0; } for i in 0..1 { for j in i + 1..i * i "
                               "+ 1 { r(j) = q * j; } } for i in 1..0 { q = 1; } r(3) = 0; q = 2;")
        self.assertEqual([c for c in code if c.startswith("r")],
                         ["r[2] = 0.0;", "r[0] = q * 1.0;", "r[1] = q * 2.0;"])   # after q = 2
        self.assertEqual(code.index("q = 2.0;") + 1, code.index("r[0] = q * 1.0;"))



# ---- the analytic Jacobian -------------------------------------------------------------

JACOBIAN_HEAD = ("model m;\nstates { x = 0; y = 0; z = 0; s[2] = 0; }\n"
                 "constants { k = 0.7; c[2] = {2, 3}; lag = 1; }\n"
                 "tables { f[2] = {0: 1, 10: 2}; }\n")
JACOBIAN_VARIABLES = {"u": "u;", "v": "v;", "w": "w;", "r": "r[2];", "i": "integer i;"}
POINT = {"t": 0.3, "x": 0.63, "y": 1.3, "z": -0.45, "s(1)": 0.8, "s(2)": 1.7}

_FUNCTIONS = {
    "exp": math.exp, "log": math.log, "log10": math.log10, "sqrt": math.sqrt, "sin": math.sin,
    "cos": math.cos, "tan": math.tan, "asin": math.asin, "acos": math.acos, "atan": math.atan,
    "atan2": math.atan2, "sinh": math.sinh, "cosh": math.cosh, "tanh": math.tanh, "pow": math.pow,
    "abs": abs, "floor": math.floor, "ceil": math.ceil, "aint": math.trunc,
    "anint": lambda a: math.trunc(a + 0.5),
    "min": lambda a, b: a if b > a else b, "max": lambda a, b: a if a > b else b,
    "mod": lambda a, b: a - b * math.trunc(a / b), "dim": lambda a, b: a - b if a > b else 0.0,
    "sgn": lambda a: (a > 0) - (a < 0),
    "sign": lambda a, b: abs(a) if b > 0 else -abs(a) if b < 0 else 0.0,
    "ssqrt": lambda a: math.copysign(math.sqrt(abs(a)), a),
    "bound": lambda lo, hi, a: (hi if hi > lo else lo) if a > hi else a if a > lo else lo,
    "dead": lambda lo, hi, a: (a - hi if hi > lo else a - lo) if a > hi else 0.0 if a > lo else a - lo,
    "fcnsw": lambda p, a, b, c: a if p < 0 else c if p > 0 else b,
    "delay": lambda a, d, a0: a0,
}
_OPS = {"+": lambda a, b: a + b, "-": lambda a, b: a - b, "*": lambda a, b: a * b,
        "/": lambda a, b: a / b, "<": lambda a, b: a < b, "<=": lambda a, b: a <= b,
        ">": lambda a, b: a > b, ">=": lambda a, b: a >= b, "==": lambda a, b: a == b,
        "!=": lambda a, b: a != b, "&&": lambda a, b: bool(a) and bool(b),
        "||": lambda a, b: bool(a) or bool(b)}


def evaluate(node, env):
    """A parsed or generated expression's value; names (and a[k] elements) from env."""
    if isinstance(node, syntax.Number):
        return float(node.text)
    if isinstance(node, syntax.Ref):
        name = node.name
        if "[" in name:
            base, k = name[:-1].split("[")
            name = f"{base}({int(k) + 1})" if base != "zzhoisted" else name
        return env[name]
    if isinstance(node, syntax.Unary):
        a = evaluate(node.operand, env)
        return -a if node.op == "-" else a if node.op == "+" else float(not a)
    if isinstance(node, syntax.Binary):
        return float(_OPS[node.op](evaluate(node.left, env), evaluate(node.right, env)))
    if isinstance(node, syntax.Conditional):
        return evaluate(node.then if evaluate(node.condition, env) else node.other, env)
    args = [evaluate(a, env) for a in node.args]
    if node.name in env.get("_arrays", ()):
        return env[f"{node.name}({int(args[0])})"]
    if node.name == "f":
        return 1 + args[0] / 10
    return float(_FUNCTIONS[node.name](*args))


def run(body, env, derivatives):
    for s in body:
        if isinstance(s, syntax.If):
            for condition, branch in s.branches:
                if evaluate(condition, env):
                    run(branch, env, derivatives)
                    break
            else:
                run(s.otherwise or [], env, derivatives)
            continue
        key = s.target if s.index is None else f"{s.target}({int(fold(s.index))})"
        target = derivatives if s.derivative else env
        value = evaluate(s.expr, env)
        target[key.split()[-1]] = math.trunc(value) if key == "i" else value


def jacobian_model(body):
    """The model of JACOBIAN_HEAD with the variables the body assigns."""
    variables = " ".join(v for name, v in JACOBIAN_VARIABLES.items()
                         if re.search(rf"\b{name}(\(\w+\))? =", body))
    return analyse(syntax.parse("m", JACOBIAN_HEAD + f"variables {{ {variables} }}\n"
                                f"derivative {{ {body} }}\nterminate when t >= 1;\n"))


class Jacobian(unittest.TestCase):
    """Each rule at one point where every function is smooth, against central
    differences of the section; states the section does not read stay out of
    the pattern."""

    def section(self, laid, state):
        env = {"_arrays": laid.arrays, "k": 0.7, "c(1)": 2.0, "c(2)": 3.0, "lag": 1.0}
        env.update(state)
        derivatives = {}
        run(laid.derivative, env, derivatives)
        return env, [derivatives[key] for key in self.keys]

    def check(self, body, nonzeros=None):
        laid = jacobian_model(body)
        self.keys = ["x", "y", "z", "s(1)", "s(2)"]
        p = plan(laid)
        n, starts, rows, code, _ = differentiate(laid, p)
        env, _ = self.section(laid, POINT)
        for k, slot in enumerate(p.slots):
            env[f"zzhoisted[{k}]"] = evaluate(slot, env)
        run(code, env, {})   # locals and values[k] land in env
        analytic = [[0.0] * n for _ in range(n)]
        for j in range(n):
            for k in range(starts[j], starts[j + 1]):
                analytic[rows[k]][j] = env[f"values[{k}]"]
        for j, key in enumerate(self.keys):
            h = 1e-6
            up, down = dict(POINT), dict(POINT)
            up[key] += h
            down[key] -= h
            upper, lower = self.section(laid, up)[1], self.section(laid, down)[1]
            for i in range(n):
                difference = (upper[i] - lower[i]) / (2 * h)
                self.assertAlmostEqual(analytic[i][j], difference, delta=1e-7 * (1 + abs(difference)),
                                       msg=f"d(dt {self.keys[i]})/d({key}) of {body}")
        if nonzeros is not None:
            self.assertEqual(len(rows), nonzeros, body)

    def test_rules_agree_with_central_differences(self):
        rest = " dt(s(1)) = 0; dt(s(2)) = 0;"
        cases = [
            ("dt(x) = x * y - z / y + 3 * x - -y; dt(y) = 2 * k; dt(z) = (x + 1) / (y * y);", 5),
            ("dt(x) = pow(x, 3) + pow(y, k) + pow(2, z) + pow(y, x) + pow(x, 1) + pow(z, 0); "
             "dt(y) = pow(y, 2); dt(z) = 0;", 4),
            ("dt(x) = exp(x * y) + log(y) + log10(x) + sqrt(y); dt(y) = sin(x) * cos(y) + tan(z); "
             "dt(z) = asin(z) + acos(x) + atan(y) + atan2(y, z) + sinh(x) + cosh(z) + tanh(y);", 8),
            ("dt(x) = abs(z) + min(x, y) + max(x, z) + dim(y, x) + dim(x, y); "
             "dt(y) = mod(y, x) + sign(z, x) + ssqrt(z) + fcnsw(z, x, 0, y); "
             "dt(z) = bound(z, y, x) + dead(z, y, x) + floor(x) + aint(y) + anint(z);", 9),
            ("dt(x) = x > y ? x * x : y; dt(y) = x < y && z < 0 ? z : -x; dt(z) = (x > 0) * y;", 5),
            ("u = x * y; v = u * u + k * z; w = v / u; dt(x) = w; dt(y) = u - v; dt(z) = -w;", 9),
            ("if (x > y) { u = x; dt(z) = 1; } else if (z < 0) { u = z * y; dt(z) = y * y; } "
             "else { u = 0; dt(z) = x; } dt(x) = u; dt(y) = u * x;", 8),
            ("i = x * 10; dt(x) = i * y; dt(y) = delay(x, lag, 0) + f(t) + c(2) * y; dt(z) = t;", 2),
        ]
        for body, nonzeros in cases:
            with self.subTest(body=body):
                self.check(body + rest, nonzeros)

    def test_arrays_unroll_into_elements(self):
        self.check("for j in 1..2 { r(j) = c(j) * s(j) * x; dt(s(j)) = -r(j) + s(3 - j); } "
                   "dt(x) = r(1) + r(2); dt(y) = 0; dt(z) = 0;", 9)

    def test_constructs_without_a_rule_leave_no_jacobian(self):
        for body, reason in (
                ("dt(x) = limint(x, 1, 0, 2);", "limint() keeps a memory"),
                ("dt(x) = qntzr(0.5, x);", "qntzr() of a value that depends on the states"),
                ("dt(x) = step(x, t);", "step() of a value that depends on the states"),
                ("dt(x) = s(i); i = t;", "'s' is read at an index known only during the run"),
                ("r(1) = x; r(2) = 0; dt(x) = r(i + 1); i = t;", "'r' is read at an index")):
            with self.subTest(body=body):
                laid = jacobian_model(body + " dt(y) = 0; dt(z) = 0; dt(s(1)) = 0; dt(s(2)) = 0;")
                with self.assertRaises(NoJacobian) as caught:
                    differentiate(laid, plan(laid))
                self.assertIn(reason, str(caught.exception))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
