#!/usr/bin/env python3
"""What the generator hoists out of the derivative section and what it shares
within one evaluation; the bit-identical results are checked on the built
models (scripts/model_outputs.sh and the example scenario's checksum).

usage: model_optimization_test.py ORVO_MODELGEN
"""

import importlib.machinery
import importlib.util
import re
import sys
import unittest

sys.dont_write_bytecode = True
_loader = importlib.machinery.SourceFileLoader("orvo_modelgen", sys.argv[1])
_spec = importlib.util.spec_from_loader("orvo_modelgen", _loader)
modelgen = importlib.util.module_from_spec(_spec)
_loader.exec_module(modelgen)
from modelgen.analysis import analyse  # noqa: E402
from modelgen.cpp import source_text  # noqa: E402
from modelgen.emit import Emitter  # noqa: E402
from modelgen.optimize import plan  # noqa: E402
from modelgen.syntax import parse, assignments  # noqa: E402

HEAD = """model m;
states { x = x0; y = 1; }
constants { k = 0.5; w = 2; x0 = 1; lag = 1; tstop = 10; }
tables { f[2] = {0: 1, 10: 2}; }
variables { a; b; c; d; e; p; q; r; s; u; v; g; h; j; n; o; }
initial { p = 0; q = k * 3; }
"""
TAIL = """
discrete switch at 5 { p = 1; }
terminate when t >= tstop;
"""


def model(derivative):
    return analyse(parse("m.model", HEAD + "derivative {\n" + derivative + "\n}" + TAIL))


def hoisted_targets(p):
    return {s.target for s in assignments(p.hoisted)}


def slot_texts(p):
    return [source_text(e) for e in p.slots]


# The rest of every derivative section below; none of it hoists.
FILLER = "dt(y) = -y; a = x; b = x; c = x; d = x; e = x; g = x; h = x; j = x; n = x; o = x;" \
         " r = x; s = x; u = x; v = x;"


class Hoisting(unittest.TestCase):
    # (variable definition, hoisted whole, slots of the derivative section)
    CASES = [
        ("a = pow(w, 0.75) * k;", True, []),
        ("a = q * k;", True, []),                          # q: only the initial section assigns it
        ("a = f(k) + exp(w);", True, []),                  # a table lookup of a constant
        ("a = k * t;", False, []),
        ("a = k * x;", False, []),                         # a state
        ("a = p * k;", False, []),                         # a discrete section assigns p
        ("a = cint * k;", False, []),                      # a setting
        ("a = step(t, k * 2);", False, []),                # the time operators stay
        ("a = pulse(k, 1, 2, 3);", False, []),
        ("a = delay(k * 2, lag, 0);", False, []),          # nothing moves out of a delay
        ("a = derivt(k * 2, 0);", False, []),              # nor out of any call with memory
        ("a = (k * w) * x;", False, ["(k * w)"]),
        ("a = k * w * x;", False, ["(k * w)"]),            # ((k * w) * x)
        ("a = k * x * w;", False, []),                     # ((k * x) * w): never regrouped
        ("a = x * -(k / w);", False, ["-(k / w)"]),
        ("a = -k * x;", False, []),                        # a sign change is no cheaper held
        ("a = x > 0 ? 1 : exp(k);", False, []),            # a branch is not always evaluated
        ("a = x > 0 && log(k) > 1;", False, []),
        ("a = k * w > x ? 1 : 0;", False, ["(k * w)"]),    # the condition always is
        ("a = x + 1 / 3;", False, []),                     # literals fold in the compiler
        ("a = k > 1;", True, []),
        ("a = 2 * 3;", False, []),                         # a literal: nothing to gain
    ]

    def test_what_hoists(self):
        for definition, whole, slots in self.CASES:
            with self.subTest(definition=definition):
                p = plan(model(definition + " dt(x) = -x;" + FILLER.replace(" a = x;", "")))
                self.assertEqual("a" in hoisted_targets(p), whole)
                self.assertEqual(slot_texts(p), slots)

    def test_definitions_chain_and_stop_at_the_first_varying_one(self):
        p = plan(model("dt(x) = -r * x; dt(y) = -y; a = pow(w, 0.75); b = a * k; c = b * x;"
                       " d = c * a; e = b + 1; g = x; h = x; j = x; n = x; o = x; r = x; s = x;"
                       " u = x; v = x;"))
        self.assertEqual(hoisted_targets(p), {"a", "b", "e"})

    def test_conditions_hoist_whole_or_not_at_all(self):
        p = plan(model("if (k > 1) { a = w; b = a * 2; } else { a = 1; b = 2; }"
                       " if (x > 1) { c = k * w; } else { c = 0; }"
                       " d = c + k * w;" + " dt(x) = -x;" + FILLER.replace(" a = x; b = x; c = x; d = x;", "")))
        self.assertEqual(hoisted_targets(p), {"a", "b"})
        # k * w is always evaluated by d, so the branch reads the same slot.
        self.assertEqual(slot_texts(p), ["(k * w)"])
        branch = p.kept[0].branches[0][1][0]
        self.assertEqual(source_text(branch.expr), "zzhoisted[0]")

    def test_array_elements(self):
        laid = analyse(parse("m.model", """model m;
states { x = 1; }
constants { k = 2; wa[2] = {1, 2}; tstop = 1; }
variables { m2[2]; a; b; }
derivative { dt(x) = -a * x; m2(1) = wa(1) * k; m2(2) = x; a = m2(1) * 2; b = wa(2) * k; }
terminate when t >= tstop;
"""))
        p = plan(laid)
        # An element computed from constants moves; a read of an array the
        # section assigns element by element does not.
        self.assertEqual([(s.target, source_text(s.expr)) for s in p.hoisted],
                         [("m2", "(wa(1) * k)"), ("b", "(wa(2) * k)")])
        self.assertEqual(slot_texts(p), [])


def derivative_source(derivative):
    laid = model(derivative)
    files = Emitter(laid, "m.model").files()
    return next(text for name, text in files.items() if name.endswith("Derivative.cpp"))


def function_body(source, name):
    match = re.search(r"\n\S[^\n]* " + name + r"\([^)]*\) \{\n(.*?)\n\}\n", source, re.S)
    return match.group(1)


class Sharing(unittest.TestCase):
    def test_a_repeated_call_is_computed_once_per_evaluation(self):
        body = function_body(derivative_source(
            "dt(x) = -exp(-t * k) * x; dt(y) = exp(-t * k) * (x - y); a = pow(x, 2) + pow(x, 2);"
            + FILLER.replace("dt(y) = -y; a = x;", "")), "DerivativeSection")
        self.assertEqual(body.count("std::exp("), 1)
        self.assertEqual(body.count("std::pow("), 1)
        self.assertIn("const double zzshared0 = std::exp((-t) * k);", body)

    def test_only_where_the_first_use_is_always_evaluated(self):
        body = function_body(derivative_source(
            "dt(x) = -x; a = x > 0 ? exp(t) : 0; b = exp(t) + 1; c = exp(t) * 2;"
            + FILLER.replace(" a = x; b = x; c = x;", "")), "DerivativeSection")
        lines = [line.strip() for line in body.splitlines()]
        self.assertIn("a = (x > 0.0) ? std::exp(t) : 0.0;", lines)
        self.assertLess(lines.index("const double zzshared0 = std::exp(t);"),
                        lines.index("b = zzshared0 + 1.0;"))
        self.assertIn("c = zzshared0 * 2.0;", lines)

    def test_hoisted_definitions_share_too(self):
        source = derivative_source("dt(x) = -a * x; a = pow(w, 0.75) * k; b = pow(w, 0.75) * 2;"
                                   + FILLER.replace(" a = x; b = x;", ""))
        hoisted = function_body(source, "ComputeHoisted")
        self.assertEqual(hoisted.count("std::pow("), 1)
        self.assertIn("zzhoistedFaults = std::fetestexcept(kFaults);", hoisted)
        derivative = function_body(source, "DerivativeSection")
        self.assertTrue(derivative.startswith("    if (!zzhoistedCurrent) ComputeHoisted();"))
        self.assertIn("case kConstantsChangedSection:\n            ConstantsChanged();", source)

    def test_a_model_with_nothing_to_hoist_keeps_its_section(self):
        laid = analyse(parse("m.model", "model m; states { x = 0; } derivative { dt(x) = t; }"
                                        " terminate when t >= 1;"))
        source = next(text for name, text in Emitter(laid, "m.model").files().items()
                      if name.endswith("Derivative.cpp"))
        self.assertNotIn("ComputeHoisted", source)
        self.assertIn("void ConstantsChanged() {}", source)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
