#!/usr/bin/env python3
"""The generator's parser and statement ordering, on the forms of arrays and
loops: what the parser builds, how loops unroll and in what order the
derivative section's elements are computed.

usage: modelgen_unit_test.py ORVO_MODELGEN
"""

import importlib.machinery
import importlib.util
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


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
