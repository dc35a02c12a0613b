#!/usr/bin/env python3
"""Faults in a model description: each is reported as file:line:col: message
with exit status 1, and no generated source survives (so no library is built).

usage: model_description_errors_test.py ORVO_MODELGEN
"""

import contextlib
import importlib.machinery
import importlib.util
import io
import os
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
_loader = importlib.machinery.SourceFileLoader("orvo_modelgen", sys.argv[1])
_spec = importlib.util.spec_from_loader("orvo_modelgen", _loader)
modelgen = importlib.util.module_from_spec(_spec)
_loader.exec_module(modelgen)

VALID = """model m;
states { x = x0; }
constants { k = 0.5 >= 0; x0 = 1 in [0, 2]; w[2] = {1, 2} > 0, finite; tstop = 10 [h] "end" > 0 @flags(2); }
tables { f[2] = {0: 1, 10: 2}; }
variables { r; }
derivative { dt(x) = -r; r = k * x * f(t) * w(2); }
terminate when t >= tstop;
"""

# A state array, a variable array and a constant array for the array faults.
ARRAYS = ("model m;\nstates { a[3] = 0; }\nconstants { n = 3; w[2] = 1; }\n"
          "variables { r[2]; x; }\ninitial { x = 0; }\n")
END = "terminate when t >= 1;\n"

# Names with units for the unit faults.
UNITS = ("model m;\ntime t [h];\nstates { x = 0 [mg]; }\nconstants { k = 1 [1/h]; v = 2 [L]; }\n"
         "variables { c [mg/L]; }\n")

# (description, where, message): `where` is line:col in the description.
CASES = [
    ("model m;\nstates { x = 0 }\n", "2:16", "expected ';', found '}'"),
    ("\ufeffmodel m;\nstates { x = 0 }\n", "2:16", "expected ';', found '}'"),   # a byte-order mark
    ("model m;\nstates { x = 0; }\nderivative { dt(x) = 1 +* 2; }\n", "3:25",
     "expected an expression, found '*'"),
    ("model m;\nstates { x = 0; }\nderivative { dt(x) = 1.5e; }\n", "3:22", "malformed number"),
    ("model m; /* never closed\n", "1:10", "unterminated comment"),
    ("model m;\nconstants { k = 1 \"no end; }\n", "2:19", "unterminated string"),
    ("model m;\nstates { x = 0; }\nderivative { dt(x) = -kk * x; }\nterminate when t >= 1;\n",
     "3:23", "unknown name 'kk'"),
    ("model m;\nstates { x = 0; }\nvariables { r; }\nderivative { r = 1;\n dt(x) = r;\n r = 2; }\n"
     "terminate when t >= 1;\n", "6:2", "'r' is assigned twice (first at 4:14)"),
    ("model m;\nstates { x = 0; y = 0; }\nderivative { dt(x) = 1; }\nterminate when t >= 1;\n",
     "2:17", "state 'y' has no derivative"),
    ("model m;\nstates { x = 0; }\nvariables { a; b; }\n"
     "derivative { dt(x) = a;\n a = b + 1;\n b = 2 * a; }\nterminate when t >= 1;\n",
     "5:2", "algebraic loop: a -> b -> a"),
    ("model m;\nstates { x = 0; }\nvariables { r; }\nderivative { dt(x) = r;\n r = r + 1; }\n"
     "terminate when t >= 1;\n", "5:2", "algebraic loop: r -> r"),
    # Initial conditions are computed before the states have values.
    ("model m;\nstates { x = 1; y = x; }\nderivative { dt(x) = -x; dt(y) = 0; }\nterminate when t >= 1;\n",
     "2:21", "the initial condition of 'y' reads state 'x', which has no value yet"),
    ("model m;\nstates { x = r; }\nvariables { r; q; }\nderivative { dt(x) = -x;\n q = 2 * x; r = q + 1; }\n"
     "terminate when t >= 1;\n", "2:14",
     "the initial condition of 'x' reads 'r', which the derivative section computes from the states"),
    # The initial section and a section's single time are computed before the
    # states and the derivative section's variables have values; a variable
    # only discrete sections assign has none until one of them runs.
    ("model m;\nstates { x = 1; }\nvariables { v; }\ninitial { v = 2 * x; }\n"
     "derivative { dt(x) = -x; }\nterminate when t >= 1;\n", "4:19",
     "the initial section reads state 'x', which has no value yet"),
    ("model m;\nstates { x = 1; }\nconstants { k = 2; }\nvariables { v; k3; }\n"
     "initial { if (k > 1) { v = k3; } else { v = 0; } }\n"
     "derivative { dt(x) = -x; k3 = 3 * k; }\nterminate when t >= 1;\n", "5:28",
     "the initial section reads 'k3', which the derivative section computes"),
    ("model m;\nstates { x = 1; }\nvariables { u[2]; v; }\ninitial { u(1) = 1; v = u(1) + u(2); u(2) = 0; }\n"
     "derivative { dt(x) = -x; }\nterminate when t >= 1;\n", "4:32",
     "the initial section reads 'u(2)' before assigning it"),
    ("model m;\nstates { a[2] = 1; }\nvariables { c; }\nderivative { dt(a(1)) = 0; dt(a(2)) = 0; }\n"
     "discrete d at a(2) { c = 1; }\nterminate when t >= 1;\n", "5:15",
     "the time of section 'd' reads state 'a(2)', which has no value yet"),
    ("model m;\nstates { x = 1; }\nvariables { integer doses; }\nderivative { dt(x) = -x; }\n"
     "discrete d at 0 every 1 { doses = doses + 1; }\nterminate when t >= 3;\n", "5:35",
     "section 'd' reads 'doses', which only discrete sections assign"),
    ("model m;\nstates { x = 1; }\nvariables { c; }\nderivative { dt(x) = -c * x; }\n"
     "discrete d at 1 { c = 2; }\nterminate when t >= 3;\n", "4:23",
     "the derivative section reads 'c', which only discrete sections assign"),
    ("model m;\nstates { x = c; }\nvariables { c; }\nderivative { dt(x) = -x; }\n"
     "discrete d at 1 { c = 2; }\nterminate when t >= 3;\n", "2:14",
     "the initial condition of 'x' reads 'c', which only discrete sections assign"),
    ("model m;\nstates { x = 1; }\nvariables { f; g; }\nderivative { dt(x) = -x; }\n"
     "discrete a at 1 { f = 1; g = f + 1; }\ndiscrete b at 2 { g = f; }\nterminate when t >= 3;\n",
     "6:23", "section 'b' reads 'f', which only discrete sections assign"),
    ("model m;\nstates { x = 1; }\nderivative { dt(x) = -x / (1.5 - 3 * 0.5); }\nterminate when t >= 1;\n",
     "3:25", "division by zero: the divisor is always 0"),
    ("model m;\nstates { x = 1; }\nvariables { y; }\nderivative { dt(x) = -x; y = delay(x, 2 - 3, 0); }\n"
     "terminate when t >= 1;\n", "4:41", "'delay' looks back a time tau >= 0, not -1"),
    ("model m;\nconstants { w[3] = {1, 2}; }\n", "2:13", "array 'w' has size 3 but 2 values"),
    ("model m;\ntables { f[3] = {0: 1, 1: 2}; }\n", "2:10", "table 'f' has 3 points but 2"),
    ("model m;\ntables { f[2] = {1: 1, 0: 2}; }\n", "2:24", "breakpoints must ascend"),
    ("model m;\nstates { x = 0; }\nconstants { w[2] = {1, 2}; }\nderivative { dt(x) = w(3); }\n"
     "terminate when t >= 1;\n", "4:24", "index 3 is outside array 'w' of size 2"),
    ("model m;\nstates { x = 0; }\nderivative { dt(x) = exp(1, 2); }\nterminate when t >= 1;\n",
     "3:22", "'exp' takes 1 argument, given 2"),
    ("model m;\nstates { x = 0; }\nderivative { dt(x) = expo(1); }\nterminate when t >= 1;\n",
     "3:22", "unknown function 'expo'"),
    ("model m;\nstates { x = 0; }\nconstants { k = 1; }\nderivative { dt(x) = 1; k = 2; }\n"
     "terminate when t >= 1;\n", "4:25", "constant 'k' cannot be assigned here"),
    ("model m;\nstates { x = 0; }\ninitial { x = 1; }\nderivative { dt(x) = 1; }\n"
     "terminate when t >= 1;\n", "3:11", "state 'x' cannot be assigned here"),
    ("model m;\nstates { x = 0; }\nvariables { r; }\nderivative { dt(x) = 1; }\n"
     "terminate when t >= 1;\n", "3:13", "variable 'r' is never assigned"),
    ("model m;\nstates { x = 0; }\nconstants { x = 1; }\n", "3:13", "'x' is declared twice"),
    ("model m;\nstates { x = 0; }\nderivative { dt(x) = 1; }\n", "1:7", "no termination condition"),
    ("model m;\nstates { x = 0; }\nsettings { ialg = 2.5; }\n", "3:12", "setting 'ialg' takes a 32-bit integer"),
    ("model m;\nconstants { Bw = 1; step = 2; }\n", "2:13", "names are lower-case"),
    ("model m;\nconstants { step = 2; }\n", "2:13", "'step' is a reserved name"),
    ("model m;\nconstants { f_table_slope = 2; }\n", "2:13", "'f_table_slope' is a reserved name"),
    ("model m;\nconstants { errno = 2; }\n", "2:13", "'errno' is a reserved name"),
    ("model m;\nstates { x = 0; }\nderivative { dt(x) = 1; }\ndiscrete a1 at 1 { }\n"
     "discrete a_1 at 2 { }\nterminate when t >= 1;\n", "5:10", "'a_1' and 'a1' are too alike"),
    ("model other;\n", "1:7", "the model is named 'other', but the build expects 'm'"),
    ("model m;\nstates { x = 0; }\nderivative { dt(x) = 1; }\ndiscrete initial at 0 { }\n"
     "terminate when t >= 1;\n", "4:10", "'initial' cannot name a discrete section: the generated code has"),
    ("model m;\nstates { x = 0; }\nderivative { dt(x) = 1; }\ndiscrete stop_time at 0 { }\n"
     "terminate when t >= 1;\n", "4:10", "'stop_time' cannot name a discrete section"),
    # Bounds: on constants only, numbers as limits, and the default within them.
    ("model m;\nconstants { k = -1 [mg] >= 0, finite; }\n", "2:17",
     "the default -1 of 'k' is outside its bounds >= 0, finite"),
    ("model m;\nconstants { w[2] = {1, -2} >= 0; }\n", "2:24",
     "the default -2 of 'w(2)' is outside its bounds >= 0"),
    ("model m;\nconstants { k = 1 in [2, 1]; }\n", "2:19", "the bounds in [2, 1] of 'k' admit no value"),
    ("model m;\nconstants { k = 1 >= x0; }\n", "2:22", "expected a number, found 'x0'"),
    ("model m;\nconstants { k = 1 < 1e999; }\n", "2:21", "number 1e999 is out of range"),
    ("model m;\nconstants { k = 1 in [0 1]; }\n", "2:25", "expected ',' between the interval's ends"),
    ("model m;\nconstants { k = 1 finite, ; }\n", "2:27", "expected a bound"),
    ("model m;\nstates { x = 0 \"amount\" finite; }\n", "2:25",
     "bounds apply to constants only, not to state 'x'"),
    ("model m;\nvariables { r >= 0; }\n", "2:15", "bounds apply to constants only, not to variable 'r'"),
    # What hosts are told: time, records, balances, dose targets and infusion inputs.
    (VALID + "time s [h];\n", "8:6", "the independent variable is named 't', not 's'"),
    (VALID + "time t [h];\ntime t [min];\n", "9:1", "a second time declaration (first at 8:1)"),
    (VALID + "record x, y;\n", "8:11", "unknown name 'y'"),
    (VALID + "record x, r, x;\n", "8:14", "'x' is recorded twice (first at 8:8)"),
    (VALID + "record f;\n", "8:8", "table 'f' cannot be recorded"),
    (VALID + "record x;\nrecord r;\n", "9:1", "a second 'record' (first at 8:1)"),
    (VALID + "record population: cint;\n", "8:20", "setting 'cint' cannot be recorded"),
    (VALID + "balance b { unaccounted = k; dosed = x0; accounted = x; }\n", "8:27",
     "the unaccounted amount of balance 'b' must be a scalar variable, not 'k'"),
    (VALID + "balance b { unaccounted = r; dosed = w; accounted = x; }\n", "8:38",
     "'w' cannot be summed in balance 'b'"),
    (VALID + "balance b { unaccounted = r; dosed = x0; }\n", "8:9", "balance 'b' needs 'accounted = ...;'"),
    (VALID + "balance b { unaccounted = r; dosed = x0; dosed = k; }\n", "8:42",
     "'dosed' is given twice in balance 'b'"),
    (VALID + "balance b { unaccounted = r; dosed = x0; accounted = x; tolerance = 0; }\n", "8:69",
     "the tolerance of balance 'b' must be positive"),
    (VALID + "balance b { unaccounted = r; dosed = x0; accounted = x; total = x; }\n", "8:57",
     "expected unaccounted, dosed, accounted or tolerance, found 'total'"),
    (VALID + "balance b { unaccounted = r; dosed = x0; accounted = x; }\n"
     "balance b { unaccounted = r; dosed = x0; accounted = x; }\n", "9:9",
     "balance 'b' is declared twice (first at 8:9)"),
    (VALID + "dose target r;\n", "8:13", "'r' cannot be a dose target: it must be a scalar state or constant"),
    (VALID + "infusion input x;\n", "8:16", "'x' cannot be an infusion input: it must be a scalar constant"),
    (VALID + "dose target k;\ninfusion input k;\n", "9:16",
     "'k' is declared a dose target or infusion input twice (first at 8:13)"),
    (VALID + "dose x;\n", "8:6", "expected 'target' (dose target NAME, ...;), found 'x'"),
    # Repeated sections: their times are read from constants when the run starts.
    (VALID + "discrete d at 0 every x { }\n", "8:23",
     "the period of repeated section 'd' reads 'x', which changes during a run: use constants"),
    (VALID + "discrete d at t every 1 { }\n", "8:15",
     "the first time of repeated section 'd' reads 't', which changes during a run"),
    (VALID + "discrete d at 0 every 1 until r { }\n", "8:31",
     "the last time of repeated section 'd' reads 'r', which changes during a run"),
    (VALID + "discrete d at 0 every { }\n", "8:23", "expected an expression, found '{'"),
    (VALID + "discrete d at 0 every 1 until { }\n", "8:31", "expected an expression, found '{'"),
    (VALID + "discrete d at 0 every kk { }\n", "8:23", "unknown name 'kk'"),
    # State events: a number crossing zero, a direction, names that exist.
    (VALID + "discrete d when x > 1 rising { }\n", "8:19",
     "the event expression of 'd' is a condition (1 or 0), not a number that crosses zero"),
    (VALID + "discrete d when !x crosses { }\n", "8:17", "the event expression of 'd' is a condition"),
    (VALID + "discrete d when x - 1 upward { }\n", "8:23",
     "expected rising, falling or crosses after the event expression, found 'upward'"),
    (VALID + "discrete d when x - xx falling { }\n", "8:21", "unknown name 'xx'"),
    (VALID + "discrete d when x falling { dt(x) = 1; }\n", "8:32", "dt() belongs in the derivative section"),
    (VALID + "discrete d after 1 { }\n", "8:12", "expected 'at' (or 'when') and the time the section runs"),
    # Functions with memory belong in the derivative section.
    ("model m;\nstates { x = 0; }\nvariables { r; }\nderivative { dt(x) = 1; }\n"
     "initial { r = delay(x, 1, 0); }\nterminate when t >= 1;\n", "5:15",
     "'delay' keeps a memory of the run: it belongs in the derivative section"),
    ("model m;\nstates { x = 0; }\nvariables { r; }\nderivative { dt(x) = 1; }\n"
     "discrete d at 0.5 { r = backlash(x, 1, 0); }\nterminate when t >= 1;\n", "5:25",
     "'backlash' keeps a memory of the run: it belongs in the derivative section"),
    ("model m;\nstates { x = 0; }\nderivative { dt(x) = limint(x, 1, 0); }\nterminate when t >= 1;\n",
     "3:22", "'limint' takes 4 arguments, given 3"),
    ("model m;\nstates { x = 0; }\nderivative { dt(x) = delay(x, 1); }\nterminate when t >= 1;\n",
     "3:22", "'delay' takes 3 arguments, given 2"),
    # Tolerances: positive, on states only, each once.
    ("model m;\nstates { x = 0; }\nsettings { rtol = 0; }\n", "3:12", "rtol must be a positive finite number, not 0"),
    ("model m;\nstates { x = 0; }\nsettings { atol = 1e-6; atol = 1e-7; }\n", "3:25", "setting 'atol' is assigned twice"),
    ("model m;\nstates { x = 0 atol -1; }\n", "2:21", "atol must be a positive finite number, not -1"),
    ("model m;\nstates { x = 0 rtol 1e-6 rtol 1e-7; }\n", "2:26", "'rtol' is given twice for 'x'"),
    ("model m;\nconstants { k = 1 rtol 1e-6; }\n", "2:19", "tolerances apply to states only, not to constant 'k'"),
    # Conditions.
    ("model m;\nstates { x = 0; }\nderivative { dt(x) = x > 0 ? 1; }\n", "3:31",
     "expected ':' between the two values of '?', found ';'"),
    ("model m;\nstates { x = 0; }\nvariables { r; }\nderivative { dt(x) = r;\n"
     " if (t < 1) { r = 1; } }\nterminate when t >= 1;\n", "5:2",
     "an if in the derivative section needs an else"),
    ("model m;\nstates { x = 0; }\nvariables { r; q; }\nderivative { dt(x) = r + q;\n"
     " if (t < 1) { r = 1; q = 1; } else { r = 2; } }\nterminate when t >= 1;\n", "5:2",
     "every branch of this if must assign the same variables: 'q' is not assigned in all of them"),
    ("model m;\nstates { x = 0; }\nvariables { r; }\nderivative {\n"
     " if (t < 1) { dt(x) = r; r = 1; } else { r = 2; dt(x) = r; } }\nterminate when t >= 1;\n",
     "5:23", "'r' is read before this branch assigns it"),
    ("model m;\nstates { x = 0; }\nvariables { r; }\nderivative { dt(x) = r;\n"
     " if (t < 1) { r = 1; r = 3; } else { r = 2; } }\nterminate when t >= 1;\n", "5:22",
     "'r' is assigned twice (first at 5:15)"),
    ("model m;\nstates { x = 0; }\nvariables { r; }\nderivative { dt(x) = r;\n"
     " if (t < 1) { r = 1; } else { r = 2; }\n r = 3; }\nterminate when t >= 1;\n", "6:2",
     "'r' is assigned twice"),
    ("model m;\nstates { x = 0; }\nvariables { r; }\nderivative { dt(x) = 1; }\n"
     "initial { if (t < 1) { r = kk; } else { r = 2; } }\nterminate when t >= 1;\n", "5:28",
     "unknown name 'kk'"),
    ("model m;\nstates { x = 0; }\nvariables { r; }\nderivative { dt(x) = 1; }\n"
     "initial { if t < 1 { r = 1; } }\nterminate when t >= 1;\n", "5:14",
     "expected '(' around the condition, found 't'"),
    ("model m;\nstates { x = 0; }\nvariables { a; b; }\nderivative { dt(x) = a;\n"
     " if (b > 0) { a = 1; } else { a = 2; }\n b = a; }\nterminate when t >= 1;\n", "5:2",
     "algebraic loop: a -> b -> a"),
    # Arrays and loops: bounds fixed when the model is built, indices in range.
    (ARRAYS + "derivative { for i in 1..n { dt(a(i)) = 1; } r(1) = 1; r(2) = 1; }\n" + END, "6:26",
     "the loop's last value reads 'n', which is not fixed when the model is built"),
    (ARRAYS + "derivative { for i in 1..3 { dt(a(i)) = a(i + 1); } r(1) = 1; r(2) = 1; }\n" + END,
     "6:43", "index 4 is outside array 'a' of size 3"),
    (ARRAYS + "derivative { for i in 1..3 { dt(a(i)) = 1; } dt(a(4)) = 1; }\n" + END, "6:51",
     "index 4 is outside array 'a' of size 3"),
    (ARRAYS + "derivative { for i in 1..3 { dt(a(i)) = w(1.5); } r(1) = 1; r(2) = 1; }\n" + END,
     "6:43", "index 1.5 of array 'w' is not a whole number"),
    (ARRAYS + "derivative { for i in 1..2 { dt(a(i)) = 1; } r(1) = 1; r(2) = 1; }\n" + END, "2:10",
     "element 3 of state 'a' has no derivative: add dt(a(3)) = ...;"),
    (ARRAYS + "derivative { for i in 1..3 { dt(a(i)) = 1; } r(1) = 1; }\n" + END, "4:13",
     "element 2 of variable 'r' is never assigned"),
    (ARRAYS + "derivative { dt(a) = 1; }\n" + END, "6:17", "'a' is an array: assign its elements"),
    (ARRAYS + "derivative { for i in 1..3 { dt(a(i)) = 1; } r(n) = 1; r(2) = 1; }\n" + END, "6:46",
     "the element of 'r' assigned must be known when the model is built"),
    (ARRAYS + "derivative { for i in 1..3 { dt(a(i)) = 1; } r(1) = r(2); r(2) = r(1); }\n" + END,
     "6:46", "algebraic loop: r(1) -> r(2) -> r(1)"),
    (ARRAYS + "derivative { for i in 1..3 { dt(a(i)) = 1; } for i in 1..2 { r(i) = 1; } r(2) = 1; }"
     "\n" + END, "6:74", "'r(2)' is assigned twice (first at 6:62)"),
    (ARRAYS + "derivative { for n in 1..3 { dt(a(n)) = 1; } }\n" + END, "6:14",
     "the loop's index 'n' is a name the model declares"),
    (ARRAYS + "derivative { for i in 1..3 { for i in 1..2 { r(i) = 1; } dt(a(i)) = 1; } }\n" + END,
     "6:30", "the loop's index 'i' is already the index of an enclosing loop"),
    (ARRAYS + "derivative { for i in 1..7/2 { dt(a(i)) = 1; } }\n" + END, "6:26",
     "the loop's last value is 3.5, not a whole number"),
    (ARRAYS + "derivative { for i in 1 to 3 { dt(a(i)) = 1; } }\n" + END, "6:25",
     "expected '..' between the first and the last value of the loop's index, found 'to'"),
    (ARRAYS + "derivative { for i in 1..3 { dt(a(i)) = 1; } r(1) = 1; r(2) = a; }\n" + END, "6:63",
     "'a' is an array: write a(...)"),
    (ARRAYS + "derivative { for i in 1..3 { dt(a(i)) = 1; } r(1) = 1; r(2) = 1; n(1) = 2; }\n" + END,
     "6:66", "constant 'n' cannot be assigned here"),
    (ARRAYS + "derivative { for i in 1..3 { dt(a(i)) = 1; } r(1) = 1; r(2) = 1; }\n"
     "initial { x(1) = 2; }\n" + END, "7:11", "variable 'x' is not an array"),
    ("model m;\nstates { a[2] = {0, 1, 2}; }\n", "2:10", "array 'a' has size 2 but 3 initial conditions"),
    ("model m;\nconstants { w[1000001] = 0; }\n", "2:15", "array 'w' has more than 1000000 elements"),
    (ARRAYS + "initial { for i in 1..999999999 { for j in 1..999999999 { } } }\n" + END, "6:35",
     "the loops unroll to more than 1000000 statements"),
    ("model m;\nstates { x = 0; }\nvariables { n[1]; }\ninitial { n = 0; }\nderivative { dt(x) = 1; }\n"
     + END, "4:11", "'n' is an array: assign its elements, n(i) = ... (for units, put a space before "
     "the bracket: n [1])"),
    # Integers and logicals: scalar constants and variables with fitting defaults.
    ("model m;\nconstants { integer n = 2.5; }\n", "2:25",
     "the default 2.5 of integer 'n' is not a 32-bit whole number"),
    ("model m;\nconstants { integer n = 3e9; }\n", "2:25", "the default 3e9 of integer 'n' is not a 32-bit"),
    ("model m;\nconstants { logical on = 2; }\n", "2:26",
     "the default of logical 'on' is true, false, 1 or 0, not 2"),
    ("model m;\nconstants { integer n[2] = {1, 2.5}; }\n", "2:32",
     "the default 2.5 of integer 'n' is not a 32-bit whole number"),
    ("model m;\nstates { logical x = 0; }\n", "2:10", "states are real: 'logical' applies to constants"),
    ("model m;\nconstants { integer = 1; }\n", "2:21", "expected a constant's name, found '='"),
    # Units: each one readable, and every assignment, sum, comparison and dt() agreeing.
    (UNITS + "derivative { dt(x) = -k * x; c = x + v; }\n" + END, "6:36", "units disagree: '+' adds [mg] and [L]"),
    (UNITS + "derivative { dt(x) = -k * x; c = x; }\n" + END, "6:30",
     "units disagree: 'c' is [mg/L] but the expression is [mg]"),
    (UNITS + "derivative { dt(x) = -x; c = x / v; }\n" + END, "6:17",
     "units disagree: dt(x) is [mg]/[h] but the expression is [mg]"),
    (UNITS + "derivative { dt(x) = -k * x; c = x / v; }\nterminate when t >= v;\n", "7:18",
     "units disagree: '>=' compares [h] and [L]"),
    (UNITS + "derivative { dt(x) = -k * x; c = x / v; }\ndiscrete d at v { }\n" + END, "7:15",
     "units disagree: the time of 'd' is [L], not a time [h]"),
    (UNITS + "derivative { dt(x) = -k * x; c = x / v * (t > 1 ? k : v); }\n" + END, "6:49",
     "units disagree: the two values of '?' are [1/h] and [L]"),
    (UNITS + "derivative { dt(x) = -k * x; c = max(x, v) / v; }\n" + END, "6:34",
     "units disagree: 'max' is given [mg] and [L]"),
    (UNITS + "derivative { dt(x) = -k * delay(x, v, 0); c = x / v; }\n" + END, "6:27",
     "units disagree: the delay of 'delay' and t are [L] and [h]"),
    ("model m;\nconstants { k = 1 [mg/furlong]; }\n", "2:19", "unknown unit 'furlong' in [mg/furlong]"),
    ("model m;\nconstants { k = 1 [mg/]; }\n", "2:19", "cannot read the unit [mg/] at its end"),
    ("model m;\nconstants { k = 1; }\ntime t [h^];\n", "3:8", "cannot read the unit [h^] at its end"),
]


# The model's name is the generated code's namespace: (name, where, message).
MODEL_NAMES = [
    ("new", "1:7", "'new' is a reserved name"),
    ("std", "1:7", "'std' is a reserved name"),
    ("exp", "1:7", "'exp' is a reserved name"),
    ("zzmodel", "1:7", "'zzmodel' is a reserved name"),
]

# Inputs past what a recursive reader copes with, or characters that look like
# digits: (description body, where, message), run as the build runs the
# generator, in its own process.
HEAD = "model m;\nstates { x = 0; }\nconstants { tstop = 1; w[2] = {1, 2}; }\n"
TAIL = "terminate when t >= tstop;\n"
EXTREMES = [
    ("derivative { dt(x) = " + "(" * 110 + "1" + ")" * 110 + "; }\n", "4:122",
     "the expression nests deeper than 100 levels"),
    ("derivative { dt(x) = " + "-" * 1000 + "1; }\n", "4:122",
     "the expression nests deeper than 100 levels"),
    ("derivative { dt(x) = " + "exp(" * 101 + "1" + ")" * 101 + "; }\n", "4:425",
     "the expression nests deeper than 100 levels"),
    ("derivative { dt(x) = " + "x ? 1 : " * 101 + "0; }\n", "4:824",
     "the expression nests deeper than 100 levels"),
    ("derivative { dt(x) = ²; }\n", "4:22", "unexpected character '²'"),
    ("derivative { dt(x) = 1²; }\n", "4:22", "malformed number '1²'"),
    ("derivative { dt(x) = ٣; }\n", "4:22", "unexpected character '٣'"),
    ("derivative { dt(x) = w(" + "1" * 5000 + "); }\n", "4:24", "is outside array 'w' of size 2"),
    ("constants { v[" + "9" * 5000 + "] = {1}; }\nderivative { dt(x) = 1; }\n", "4:15",
     "is too large for the array's size"),
]
# At the limits, and far past any recursion limit where nothing nests: valid.
LARGE_BUT_VALID = [
    "derivative { dt(x) = " + " + ".join(["x"] * 1000) + "; }\n",
    "derivative { dt(x) = " + " - ".join(["x"] * 20000) + " * " + " / ".join(["2"] * 1000) + "; }\n",
    "derivative { dt(x) = " + " || ".join(["x"] * 1000) + " && " + " && ".join(["x"] * 1000) + "; }\n",
    "derivative { dt(x) = " + "(" * 100 + "1" + ")" * 100 + "; }\n",
    "derivative { dt(x) = " + "-exp(" * 50 + "x" + ")" * 50 + "; }\n",
    "derivative { dt(x) = " + "(x < " * 99 + "1" + ")" * 99 + "; }\n",
    "derivative { dt(x) = " + "x ? 1 : " * 100 + "0; }\n",
]


class DescriptionErrors(unittest.TestCase):
    def generate(self, text, out):
        path = os.path.join(out, "m.model")
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        stderr = io.StringIO()
        with contextlib.redirect_stderr(stderr):
            status = modelgen.main([path, "--name", "m", "--out", out])
        return path, status, stderr.getvalue()

    def test_valid_description_generates(self):
        with tempfile.TemporaryDirectory() as out:
            _, status, stderr = self.generate(VALID, out)
            self.assertEqual(status, 0, stderr)
            self.assertTrue(os.path.exists(os.path.join(out, "model", "MDerivative.cpp")))

    def test_each_fault_is_located_and_leaves_no_sources(self):
        for text, where, message in CASES:
            with self.subTest(message=message), tempfile.TemporaryDirectory() as out:
                _, status, stderr = self.generate(VALID, out)   # sources of an earlier good run
                self.assertEqual(status, 0, stderr)
                path, status, stderr = self.generate(text, out)
                self.assertEqual(status, 1, stderr)
                self.assertTrue(stderr.startswith(f"{path}:{where}: "), stderr)
                self.assertIn(message, stderr)
                self.assertEqual(os.listdir(os.path.join(out, "model")), [])


    def test_reserved_model_names_are_refused(self):
        for name, where, message in MODEL_NAMES:
            with self.subTest(name=name), tempfile.TemporaryDirectory() as out:
                path = os.path.join(out, "m.model")
                with open(path, "w", encoding="utf-8") as f:
                    f.write(VALID.replace("model m;", f"model {name};"))
                stderr = io.StringIO()
                with contextlib.redirect_stderr(stderr):
                    status = modelgen.main([path, "--name", name, "--out", out])
                self.assertEqual(status, 1, stderr.getvalue())
                self.assertTrue(stderr.getvalue().startswith(f"{path}:{where}: "), stderr.getvalue())
                self.assertIn(message, stderr.getvalue())

    def run_generator(self, text, out):
        path = os.path.join(out, "m.model")
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        done = subprocess.run([sys.executable, sys.argv[1], path, "--name", "m", "--out", out],
                              capture_output=True, text=True, check=False)
        return path, done

    def test_extreme_inputs_are_located_without_a_traceback(self):
        for body, where, message in EXTREMES:
            with self.subTest(message=message, where=where), tempfile.TemporaryDirectory() as out:
                _, done = self.run_generator(VALID, out)
                self.assertEqual(done.returncode, 0, done.stderr)
                path, done = self.run_generator(HEAD + body + TAIL, out)
                self.assertEqual(done.returncode, 1, done.stderr)
                self.assertNotIn("Traceback", done.stderr)
                self.assertTrue(done.stderr.startswith(f"{path}:{where}: "), done.stderr[:300])
                self.assertIn(message, done.stderr)
                self.assertEqual(os.listdir(os.path.join(out, "model")), [])

    def test_large_flat_expressions_generate_complete_sources(self):
        for body in LARGE_BUT_VALID:
            with self.subTest(body=body[:60]), tempfile.TemporaryDirectory() as out:
                _, done = self.run_generator(HEAD + body + TAIL, out)
                self.assertEqual(done.returncode, 0, done.stderr[-300:])
                self.assertEqual(sorted(os.listdir(os.path.join(out, "model"))),
                                 sorted(os.path.basename(n) for n in modelgen.output_names("m")))

    def test_every_function_is_documented_with_its_arguments(self):
        # The language's reference lists each function with its argument count.
        import re
        analysis = importlib.import_module("modelgen.analysis")
        docs = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs",
                            "model-language.md")
        with open(docs, encoding="utf-8") as f:
            text = f.read()
        documented = {name: len(args.split(",")) for name, args in
                      re.findall(r"`([a-z0-9]+)\(([^)`]*)\)`", text)}
        for name, (_, count) in analysis.FUNCTIONS.items():
            with self.subTest(function=name):
                self.assertEqual(documented.get(name), count)

    def test_any_file_name_gives_sources_with_a_one_line_banner(self):
        # A Latin-1 file name (not UTF-8) and control characters in a name
        # reach the banner comment of every generated file.
        for name in (b"caf\xe9.model", b"new\nline.model", "pr\u00e9 vu.model".encode()):
            with self.subTest(name=name), tempfile.TemporaryDirectory() as out:
                path = os.path.join(os.fsencode(out), name)
                with open(path, "w", encoding="utf-8") as f:
                    f.write(VALID)
                done = subprocess.run([sys.executable, sys.argv[1], path, "--name", "m", "--out", out],
                                      capture_output=True, text=True, check=False)
                self.assertEqual(done.returncode, 0, done.stderr)
                for relative in modelgen.output_names("m"):
                    if relative.endswith(".json"):
                        continue
                    with open(os.path.join(out, relative), encoding="utf-8") as f:
                        first, second = f.readline(), f.readline()
                    self.assertTrue(first.startswith("// Generated by orvo-modelgen from ") and
                                    first.endswith("; do not edit.\n"), first)
                    self.assertFalse(second.startswith("line.model"), second)

    def test_unwritable_output_leaves_nothing_behind(self):
        with tempfile.TemporaryDirectory() as out:
            _, done = self.run_generator(VALID, out)
            self.assertEqual(done.returncode, 0, done.stderr)
            # One output path taken by a directory: that write fails, and the
            # sources already written this time are removed with the old ones.
            blocked = os.path.join(out, modelgen.output_names("m")[-1])
            os.remove(blocked)
            os.mkdir(blocked)
            _, done = self.run_generator(VALID, out)
            self.assertEqual(done.returncode, 1, done.stderr)
            self.assertIn("cannot write the generated sources", done.stderr)
            self.assertNotIn("Traceback", done.stderr)
            self.assertEqual(os.listdir(os.path.join(out, "model")), [os.path.basename(blocked)])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
