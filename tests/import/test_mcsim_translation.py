"""The MCSim importer without a build: faults with their positions, the
translation of expressions and declarations, and the command line."""

import os
import random
import subprocess
import sys

import pytest

from orvoimport.faults import ImportFault
from orvoimport.mcsim import translate

IMPORTER = os.environ.get("ORVO_IMPORT") or os.path.join(
    os.path.dirname(__file__), "..", "..", "tools", "orvo-import", "orvo-import")
MODELS = os.environ.get("ORVO_IMPORT_MODELS") or os.path.join(os.path.dirname(__file__), "models")

# Every case starts with these two lines, so its own text begins on line 3.
HEAD = "States = {A};\nK = 0.5;\n"

FAULTS = [
    # (case, text from line 3, line, col, part of the message)
    ("events", "Events {\n}\n", 3, 1, "'Events' sections are not supported: when they run "
     "is given outside the model file"),
    ("roots", "Roots {\n}\n", 3, 1, "add to the translated description a state event"),
    ("per_exp_arguments", "Inputs = {Q};\nQ = PerExp(1, 24, 0);\n", 4, 5,
     "PerExp takes 4 arguments"),
    ("spikes", "Inputs = {Q};\nQ = Spikes(1, 5, 2);\n", 4, 5,
     "Spikes() is not translated"),
    ("per_transit", "Inputs = {Q};\nQ = PerTransit(1, 24, 0, 1, 2);\n", 4, 5,
     "PerTransit is not supported"),
    ("doses_descend", "Inputs = {Q};\nQ = NDoses(2, 1, 0, 5, 2);\n", 4, 24, "must ascend"),
    ("doses_count", "Inputs = {Q};\nQ = NDoses(2, 1, 0, 5);\n", 4, 5, "takes 2 magnitudes"),
    ("period_computed", "P = 3;\nInputs = {Q};\nQ = PerDose(1, P, 0, 1);\nInitialize { P = K * 2; }\n",
     5, 16, "the dose times read 'P', which the Initialize section computes"),
    ("period_reads_function", "Inputs = {Q};\nQ = PerDose(1, exp(K), 0, 1);\n", 4, 16,
     "must be a number or a parameter with a numeric default"),
    ("period_negative", "Inputs = {Q};\nQ = PerDose(1, -K, 0, 1);\n", 4, 16,
     "the period of PerDose must be positive"),
    ("zero_exposure", "Inputs = {Q};\nQ = PerDose(1, 24, 0, 0);\n", 4, 23,
     "exposure time of zero"),
    ("dose_not_input", "Q = PerDose(1, 24, 0, 1);\n", 3, 5, "declare 'Q' in Inputs"),
    ("input_function_in_dynamics", "Dynamics { dt(A) = PerDose(1, 24, 0, 1); }\n", 3, 20,
     "may only give an input's value"),
    ("unknown_function", "Dynamics { dt(A) = CDFNormal(K); }\n", 3, 20,
     "function 'CDFNormal' has no counterpart"),
    ("fmod", "Dynamics { dt(A) = fmod(t, 24) < 8 ? K : 0; }\n", 3, 20,
     "for an exposure repeated every period give the input by PerDose"),
    ("calc_delay", "Dynamics { dt(A) = -K * CalcDelay(A, 2); }\n", 3, 25,
     "our delay(x, tau, x0) interpolates between samples"),
    ("random_draw", "K2 = NormalRandom(1, 0.1);\n", 3, 6,
     "sample the parameter with Distrib() in a MonteCarlo simulation file"),
    ("cast", "Dynamics { dt(A) = -(double) K * A; }\n", 3, 22,
     "C casts are not supported: every value is a double, so remove '(double)'"),
    ("integer_cast", "Dynamics { dt(A) = (int) K; }\n", 3, 21,
     "remove '(int)', and write the whole numbers meant with floor() or ceil()"),
    ("sbml_models", 'SBMLModels = {useID, "default", "a.xml"};\n', 3, 22,
     "'SBMLModels' is not supported"),
    ("arity", "Dynamics { dt(A) = pow(K); }\n", 3, 20, "pow() takes 2 arguments, 1 given"),
    ("integer_abs", "Dynamics { dt(A) = abs(K); }\n", 3, 20, "write fabs()"),
    ("integer_division", "K2 = pow(K, 3/4);\n", 3, 14,
     "3/4 divides two whole numbers, which C rounds down"),
    ("integer_expression_division", "K2 = (1 + 2) / 4 * K;\n", 3, 14,
     "divides two whole-number values"),
    ("comparison_division", "Dynamics { dt(A) = (K > 1) / 2 + (K > 1 ? 1 : 0) / 2.; }\n", 3, 28,
     "divides two whole-number values"),
    ("if_statement", "Dynamics {\n  if (K > 0) dt(A) = 1;\n}\n", 4, 3,
     "'if' statements are not supported"),
    ("remainder", "Dynamics { dt(A) = K % 2; }\n", 3, 22, "remainder"),
    ("caret", "Dynamics { dt(A) = K ^ 2; }\n", 3, 22, "exclusive or"),
    ("compound", "Dynamics { dt(A) += 1; }\n", 3, 18, "'+=' is not supported"),
    ("assigned_in_two_sections", "Initialize { R = 1; }\nDynamics {\n  R = 2;\n  dt(A) = R;\n}\n",
     5, 3, "'R' is assigned again (first in Initialize at line 3)"),
    ("read_before_scaled", "Initialize {\n  K2 = K * 2;\n  K = 3;\n}\n", 4, 8,
     "'K' is read before the Initialize section assigns it at line 5"),
    ("read_before_assigned", "Outputs = {C};\nDynamics {\n  dt(A) = -K * C;\n  C = A;\n}\n",
     5, 16, "'C' is read before the Dynamics section assigns it at line 6"),
    ("read_before_assigned_in_both", "Outputs = {C};\nDynamics { dt(A) = -K * C; C = A; }\n"
     "CalcOutputs { C = 2 * A; }\n", 4, 25,
     "'C' is read before the Dynamics section assigns it at line 4"),
    ("rate_read_before_assigned", "States = {B};\nDynamics {\n  dt(B) = -dt(A);\n"
     "  dt(A) = -K * A;\n}\n", 5, 12, "dt(A) is read before the Dynamics section assigns it"),
    ("output_from_calc_outputs", "Outputs = {C};\nDynamics { dt(A) = -C; }\n"
     "CalcOutputs { C = K * A; }\n", 4, 21, "the Dynamics section reads 'C', which only "
     "CalcOutputs computes (line 5): MCSim gives it the value of the last output time there"),
    ("local_from_calc_outputs", "Dynamics { dt(A) = -K * X; }\nCalcOutputs { X = A; }\n", 3, 25,
     "a local there, out of the Dynamics section's reach"),
    ("dt_twice", "Dynamics {\n  dt(A) = 1;\n  dt(A) = 2;\n}\n", 5, 6, "dt(A) is assigned again"),
    ("state_assigned", "Dynamics {\n  A = 1;\n  dt(A) = 0;\n}\n", 4, 3, "state 'A' is assigned"),
    ("parameter_assigned", "Dynamics {\n  K = 1;\n  dt(A) = 0;\n}\n", 4, 3,
     "parameter 'K' is assigned in the Dynamics section"),
    ("dt_not_state", "Dynamics { dt(K) = 1; }\n", 3, 15, "dt() of 'K', which is not a state"),
    ("rescaled", "Initialize {\n  K = K * 2;\n}\n", 4, 7, "rescaled in place"),
    ("state_read_early", "Initialize {\n  K2 = A * 2;\n}\n", 4, 8, "reads state 'A'"),
    ("dosed_input_read_early", "Inputs = {Q};\nQ = NDoses(2, 1, 0, 0, 5);\n"
     "Initialize {\n  K2 = K + Q;\n}\n", 6, 12,
     "reads input 'Q', which NDoses() gives only once the run is under way"),
    ("collision", "k = 1;\n", 3, 1, "'k' and 'K' (line 2) both become 'k'"),
    ("unknown_name", "Dynamics { dt(A) = -Kx * A; }\n", 3, 21, "unknown name 'Kx'"),
    ("simulation_statement", "Integrate(Lsodes, 1e-6, 1e-6, 1);\n", 3, 1,
     "belongs in a simulation file"),
    ("simulation_block", "Experiment {\n}\n", 3, 1,
     "'Experiment' belongs in a simulation file (.in), not in a model file"),
    ("string", 'OutputFile("x.out");\n', 3, 12, "strings have no place in a model file (a "
     "simulation file is read as one when its name ends in .in)"),
    ("array", "V[3] = 1;\n", 3, 2, "arrays are not supported"),
    ("array_declared", "Outputs = {C, V[0-3]};\n", 3, 16, "arrays are not supported"),
    ("array_derivative", "Dynamics { dt(A[1]) = 1; }\n", 3, 16, "arrays are not supported"),
    ("loop", "Dynamics {\n  for (i = 0; i < 3; i++) dt(A) = 1;\n}\n", 4, 3,
     "'for' loops are not supported: write each statement out"),
    ("missing_semicolon", "Dynamics { dt(A) = -K * A }\n", 3, 27, "expected ';'"),
    ("section_not_closed", "Dynamics {\n  dt(A) = 1;\n", 3, 1, "is not closed"),
    ("second_section", "Dynamics { dt(A) = 1; }\nDynamics { }\n", 4, 1,
     "a second Dynamics section"),
    ("malformed_number", "K2 = 1.5e;\n", 3, 6, "malformed number"),
    ("unexpected_character", "K2 = 1 @ 2;\n", 3, 8, "unexpected character '@'"),
    ("superscript_digit", "K2 = K * 2\u00b2;\n", 3, 11, "unexpected character '\u00b2'"),
    ("accented_name", "V\u00e9 = 1;\n", 3, 2, "unexpected character '\u00e9'"),
    ("control_character", "K2 = 1;\x00\n", 3, 8, "unexpected character U+0000"),
    ("inline", 'Dynamics { Inline(printf("%g", K);); dt(A) = 0; }\n', 3, 12,
     "'Inline' is not supported"),
    ("include", '#include "more.model"\n', 3, 1, "'#include' is not supported"),
    ("inline_not_closed", 'Dynamics { Inline(f("x"); }\n', 3, 12, "the Inline statement is not closed"),
    ("output_value", "Outputs = {C};\nC = 1;\n", 4, 1, "output 'C' is computed"),
    ("global_reads_state", "K2 = A + 1;\n", 3, 6, "reads 'A', which changes during the run"),
    ("given_twice", "K = 2;\n", 3, 1, "'K' is given a value twice in the global part (first at line 2)"),
    ("default_reads_scaled", "K2 = K * 2;\nInitialize { K = 3; }\n", 3, 6,
     "the value of 'K2' reads 'K', which the Initialize section assigns"),
    ("default_reads_dosed", "Inputs = {Q};\nQ = PerDose(1, 24, 0, 1);\nK2 = Q;\n", 5, 6,
     "reads 'Q', which changes during the run"),
    ("declared_twice", "States = {A};\n", 3, 11, "'A' is declared twice"),
    ("dt_in_initialize", "Initialize { dt(A) = 1; }\n", 3, 17, "dt() belongs in the Dynamics"),
    ("unknown_section", "Algebra { }\n", 3, 1, "unknown section 'Algebra'"),
    ("end_without_dot", "End\n", 4, 1, "expected '.' after End"),
    ("time_assigned", "Dynamics {\n  t = 1;\n  dt(A) = 0;\n}\n", 4, 3, "'t' is the time"),
    ("time_declared", "Outputs = {t};\n", 3, 12, "'t' is the time"),
    ("nesting", "K2 = " + "(" * 101 + "K" + ")" * 101 + ";\n", 3, 106,
     "nests deeper than 100 levels"),
    ("nested_signs", "K2 = " + "- " * 101 + "K;\n", 3, 206, "nests deeper than 100 levels"),
]


def test_a_model_without_states_is_refused():
    with pytest.raises(ImportFault) as caught:
        translate("y.model", "Outputs = {Y};\nK = 5.;\nDynamics { Y = K * t; }\nEnd.\n", "y")
    assert caught.value.render() == ("y.model:1:1: the model declares no States: our models "
                                     "integrate at least one state (States = {...};)")


@pytest.mark.parametrize("case,text,line,col,message", FAULTS, ids=[f[0] for f in FAULTS])
def test_refused_with_position(case, text, line, col, message):
    with pytest.raises(ImportFault) as caught:
        translate("bad.model", HEAD + text, "bad")
    fault = caught.value
    assert (fault.line, fault.col) == (line, col), fault.render()
    assert message in fault.message, fault.render()
    assert fault.render().startswith(f"bad.model:{line}:{col}: ")



@pytest.mark.parametrize("spikes,records", [
    # Magnitudes, then times; a parameter stays a name, as dose records allow.
    ("Spikes(2, Dose, 3.5, 2, 6)", "time,target,amount; 2,a_gut,dose; 6,a_gut,3.5"),
    ("Spikes(1, 2 * 5, 0.5)", "time,target,amount; 0.5,a_gut,10"),
])
def test_spikes_are_refused_with_the_dose_records_to_write(spikes, records):
    # Dose is given after the input that names it, as the global part allows.
    model = ("States = {{A_gut, A_c}};\nInputs = {{IV}};\nIV = {};\nDose = 5;\n"
             "Dynamics {{\n  dt(A_gut) = IV - A_gut;\n  dt(A_c) = A_gut;\n}}\nEnd.\n")
    with pytest.raises(ImportFault) as caught:
        translate("s.model", model.format(spikes), "s")
    assert (caught.value.line, caught.value.col) == (3, 6)
    assert caught.value.message.endswith(f"naming the state it feeds (a_gut): {records}")
    # The records name what the model becomes without the input.
    text, _ = translate("s.model", model.format("0").replace("IV - ", ""), "s")
    assert "    a_gut = 0;" in text and "    dose = 5;" in text
    # A state fed by no dt(), or by two, is left for the user to name.
    with pytest.raises(ImportFault) as caught:
        translate("s.model", model.format(spikes).replace("A_gut;\n}", "A_gut + IV;\n}"), "s")
    assert "each spike is added to (STATE)" in caught.value.message

def dynamics(expression):
    """Our text of one MCSim expression, read from the translated derivative block."""
    text, _ = translate("e.model", "States = {A};\nA1 = 1; B = 2; C = 3; D = 4;\n"
                        f"Dynamics {{ dt(A) = {expression}; }}\nEnd.\n", "e")
    line = next(x for x in text.splitlines() if x.strip().startswith("dt(a) ="))
    return line.split("=", 1)[1].split(";")[0].strip()


@pytest.mark.parametrize("mcsim,ours", [
    ("A1 - (B - C)", "a1 - (b - c)"),
    ("(A1 - B) - C", "a1 - b - c"),
    ("A1 / (B * C)", "a1 / (b * c)"),
    ("-(A1 + B) * C", "-(a1 + b) * c"),
    ("A1 < B == C < D", "(a1 < b) == (c < d)"),
    ("A1 == (B < C)", "a1 == (b < c)"),
    ("A1 && B || C", "a1 && b || c"),
    ("A1 && (B || C)", "a1 && (b || c)"),
    ("A1 ? B : C", "a1 != 0 ? b : c"),
    ("A1 > 0 ? B : C", "a1 > 0 ? b : c"),
    ("A1 ? B : C ? D : 0", "a1 != 0 ? b : c != 0 ? d : 0"),
    ("A1 + B - 1 ? 1 : 2", "a1 + b - 1 != 0 ? 1 : 2"),
    ("A1 || B ? C : D", "a1 || b ? c : d"),
    ("(A1 ? B : C) * D", "(a1 != 0 ? b : c) * d"),
    ("(A1 > B ? B : C) ? D : 0", "(a1 > b ? b : c) != 0 ? d : 0"),
    ("-(A1 > B ? B : C)", "-(a1 > b ? b : c)"),
    ("pow(A1 > 0 ? A1 : B, 2)", "pow(a1 > 0 ? a1 : b, 2)"),
    ("fabs(A1) + fmax(B, C) + fmin(C, D)", "abs(a1) + max(b, c) + min(c, d)"),
    ("pow(A1, 2.5e-1) * exp(-B) / log10(C)", "pow(a1, 2.5e-1) * exp(-b) / log10(c)"),
    ("!(A1 > B)", "!(a1 > b)"),
    ("A1 * t", "a1 * t"),
])
def test_expressions_keep_their_meaning(mcsim, ours):
    assert dynamics(mcsim) == ours


def test_declarations_and_sections():
    text, notes = translate("m.model", """# a test model
States = {Ab, A_2};     # amounts
Inputs = {Inh, Feed, Level};
Outputs = {C, Unused};
Ab = 3;                 # starts at three
BW = -70;               # body weight
Frac = 1.0 / 4;
Mixed = BW * 2;
Lambda;
Level = 2;
Inh = PerDose(BW * 2, 1e10, 1.5, Frac);
Feed = PerDose(5, 10, 0, 12);
Scale { Vol = Frac * BW; A_2 = Vol / 2; }
Dynamics {
  dt(Ab) = -Lambda * Ab + Inh;
  dt(A_2) = Feed * Level;;
};
Jacobian { Inline(j[0] = "(";); dt(Ab) = 0; }
CalcOutputs { C = dt(Ab) + Ab / Vol; }
End.
this text is not read""", "m", tstop=10)
    lines = [x.strip() for x in text.splitlines()]
    for expected in [
        'ab = 3 "starts at three";  # line 5',
        'a_2 = vol / 2 "amounts";  # line 13',
        'bw = -70 "body weight";  # line 6',
        "frac = 0.25;  # line 7",
        "lambda = 0;  # line 9",
        "level = 2;  # line 10",
        "mixed = bw * 2;  # line 8",
        "vol = frac * bw;  # line 13",
        "ab_rate = -lambda * ab + inh;  # line 15",
        "dt(ab) = ab_rate;  # line 15",
        "c = ab_rate + ab / vol;  # line 19",
        "unused = 0;  # line 4",
        # a single exposure: on at 1.5, off after the exposure time
        "discrete inh_on_1 at 1.5 {  # line 11",
        "discrete inh_off_1 at 1.5 + frac {  # line 11",
        "inh = bw * 2 * (frac >= 1e10);",
        # on for whole periods: switched on once
        "discrete feed_on at 0 {  # line 12",
        "terminate when t >= tstop;",
    ]:
        assert expected in lines, expected
    assert not any("feed_off" in x for x in lines)
    assert any("Jacobian section is left out" in n for n in notes)
    assert any("mixed" in n.lower() and "cannot be set" in n for n in notes)
    text, notes = translate("c.model", "States = {A, B};\nDynamics { dt(A) = -A; }\n", "c")
    assert "dt(b) = 0;  # line 1 (no dt() given: constant)" in text
    assert "state B has no dt() in the Dynamics section: it stays at its initial value" in notes



def test_empty_lists_and_a_comma_after_the_last_name():
    # As written in many published model files; the same model as without them.
    body = "\nk = 0.5;\nDynamics {\n  dt(A) = -k * A;\n  dt(B) = k * A;\n}\nEnd.\n"
    plain, _ = translate("l.model", "States = {A, B};" + body, "l")
    listed, _ = translate("l.model", "States = {A, B,}; Inputs = {}; Outputs = { };" + body, "l")
    assert listed == plain
    for bad, col in [("States = {A,,};", 13), ("States = {,};", 11)]:
        with pytest.raises(ImportFault) as caught:
            translate("l.model", bad + body, "l")
        assert (caught.value.line, caught.value.col) == (1, col)
        assert "expected a name in the list of States, found ','" in caught.value.message

def test_values_assigned_in_turn_get_names_of_their_own():
    text, _ = translate("s.model", """States = {A};
Outputs = {C};
K = 2;
Initialize { V = K; V = V * 3; }
Dynamics {
  C = A / V;
  C = (C > 1 ? 1 : C);
  dt(A) = -C;
}
CalcOutputs { C = C * 10; }
End.""", "s")
    lines = [x.strip() for x in text.splitlines()]
    for expected in ["v_1 = k;  # line 4", "v = v_1 * 3;  # line 4",
                     "c_1 = a / v;  # line 6", "c_2 = c_1 > 1 ? 1 : c_1;  # line 7",
                     "dt(a) = -c_2;  # line 8", "c = c_2 * 10;  # line 10"]:
        assert expected in lines, expected


def test_names_our_language_reserves_are_respelled():
    # Each is an ordinary MCSim name; the translation passes our generator's checks.
    names = {"T": "t_v", "Dt": "dt_v", "Zz1": "vzz1", "X_table": "x_table_v", "z00001": "z00001_v",
             "class": "class_v", "max": "max_v", "Cint": "cint_v", "_x_": "x", "Tstop": "tstop",
             "Data": "data_v"}
    text, _ = translate("n.model", "States = {S};\n" + "".join(f"{n} = 1;\n" for n in names)
                        + "Dynamics { dt(S) = " + " + ".join(names) + "; }\n", "n")
    assert "dt(s) = " + " + ".join(names.values()) + ";  # line 13" in text
    assert "tstop2 = 24 \"stop time\";" in text
    # The keys of population and calibration files: a sampled or set seed would have been
    # taken for the population's seed.
    files, _ = translate_simulation("s.in", 'MonteCarlo("m.out", 4, 9);\nSeed = 3;\n'
                                    "Distrib(Runs, Uniform, 1, 2);\nSimulation {\n  Doses = 1;\n"
                                    "  Sampling = 2;\n  PrintStep(S, 0, 1, 1);\n}\n",
                                    "s", "n.model", "States = {S};\nSeed = 1;\nRuns = 1;\n"
                                    "Doses = 1;\nSampling = 1;\nDynamics { dt(S) = "
                                    "Seed + Runs + Doses + Sampling; }\n")
    lines = files["s_sim1.population"].splitlines()
    assert lines[2:5] == ["seed_v = 3  # line 2", "doses_v = 1  # line 5",
                          "sampling_v = 2  # line 6"]
    assert "seed = 9" in lines and "runs_v ~ uniform(1, 2)  # line 3" in lines


def test_line_ends_and_byte_order_mark():
    # Windows' and old Macs' line ends, and the mark some editors put first, change nothing.
    source = "# one\nStates = {A};  # amount\nK = 0.5;\nDynamics { dt(A) = -K * A; }\nEnd.\n"
    expected, _ = translate("e.model", source, "e")
    for variant in (source.replace("\n", "\r\n"), source.replace("\n", "\r"), "\ufeff" + source):
        assert translate("e.model", variant, "e")[0] == expected
    with pytest.raises(ImportFault) as caught:
        translate("e.model", "\ufeffStates = {A};\r\rK = 1 @ 2;\r", "e")
    assert (caught.value.line, caught.value.col) == (3, 7)


def test_unrolled_doses_follow_the_stop_time():
    source = "States = {A};\nInputs = {Q};\nQ = PerDose(2, 6, 1, 0.5);\nDynamics { dt(A) = Q; }\n"
    text, _ = translate("d.model", source, "d", tstop=24)
    times = [x.split(" at ")[1].split(" {")[0] for x in text.splitlines()
             if x.startswith("discrete q_on_")]
    assert times == ["1", "7", "13", "19"]
    # The next dose would come at 25: the run may not pass it.
    assert "terminate when t >= min(tstop, 25);" in text
    with pytest.raises(ImportFault) as caught:
        translate("d.model", source, "d", tstop=1e6)
    assert "repeats more than" in caught.value.message


def test_every_test_model_translates():
    for name in sorted(n for n in os.listdir(MODELS) if n.endswith(".model")):
        with open(os.path.join(MODELS, name), encoding="utf-8") as f:
            text, _ = translate(name, f.read(), "m", tstop=48)
        assert "terminate when" in text


def cli(*args):
    return subprocess.run([sys.executable, IMPORTER, *args], capture_output=True, text=True,
                          timeout=60)


def test_command_line(tmp_path):
    source = os.path.join(MODELS, "two_compartment_iv.model")
    sim = os.path.join(MODELS, "oral_repeated.in")
    out = tmp_path / "two.model"
    ok = cli("mcsim", source, "--out", str(out))
    assert ok.returncode == 0, ok.stderr
    assert "model two;" in out.read_text()
    assert "Jacobian" in ok.stderr
    assert "model two_compartment_iv;" in cli("mcsim", source).stdout

    bad = tmp_path / "bad.model"
    bad.write_text(HEAD + "Events {\n}\n")
    latin = tmp_path / "latin.model"
    latin.write_bytes(HEAD.encode() + b"V = 2;  # 5 \xb5g\n")
    own = tmp_path / "own.model"
    own.write_text(HEAD)
    (tmp_path / "runs" / "full_sim2.scenario").mkdir(parents=True)
    for args, status, message in [
        (("mcsim", str(bad)), 1, f"{bad}:3:1: 'Events' sections are not supported"),
        (("mcsim", str(tmp_path / "missing.model")), 1, "missing.model:1:1: cannot read"),
        ((), 2, "the first argument is the format"),
        (("sbml", source), 2, "unknown format 'sbml'"),
        (("mcsim",), 2, "missing the model file"),
        (("mcsim", source, "--bogus"), 2, "unrecognized arguments: --bogus"),
        (("mcsim", source, "--tstop", "-1"), 2, "not a positive number"),
        (("mcsim", source, "--name", "Bad-Name"), 2, "is not a model name"),
        (("mcsim", source, "--model", source), 2, "--model goes with a simulation file"),
        (("mcsim", sim, "--cint", "1"), 2, "--cint goes with a model file"),
        (("mcsim", sim, "--name", "../up"), 2, "is not a file-name stem"),
        (("mcsim", source, "--out", ""), 2, "--out is empty"),  # it wrote to standard output
        (("mcsim", sim, "--model", ""), 2, "--model is empty"),  # a traceback
        (("mcsim", sim, "--out", str(tmp_path / "x"), "--model", str(bad)), 1,
         f"{bad}:3:1: 'Events' sections"),
        (("mcsim", str(latin)), 1, f"{latin}:3:13: byte 0xb5 is not UTF-8 text"),
        (("mcsim", str(tmp_path)), 1, f"{tmp_path}:1:1: cannot read the file"),
        (("mcsim", "/dev/zero"), 1, "the file is larger than 64 MB"),
        (("mcsim", str(own), "--out", str(own)), 2, "is the file being translated"),
        (("mcsim", source, "--out", "/dev/full"), 1, "cannot write /dev/full"),
        (("mcsim", sim, "--out", str(tmp_path / "runs"), "--name", "full"), 1,
         "full_sim2.scenario' is a directory"),
    ]:
        result = cli(*args)
        assert result.returncode == status, (args, result.stderr)
        assert message in result.stderr, (args, result.stderr)
        assert "Traceback" not in result.stderr
    assert cli("--help").returncode == 0
    # Run as `orvo import`, its usage and messages name that command; a reader
    # that leaves early (`--help | head -1`) gets no traceback.
    named = subprocess.run([sys.executable, IMPORTER, "mcsim"], capture_output=True, text=True, timeout=60,
                           env=dict(os.environ, ORVO_IMPORT_PROG="orvo import"))
    assert named.stderr.startswith("orvo import: missing the model file\nusage: orvo import mcsim "), named.stderr
    early = subprocess.Popen([sys.executable, IMPORTER, "--help"], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
    early.stdout.close()
    assert early.wait(timeout=60) in (0, 1) and b"Traceback" not in early.stderr.read()
    assert not (tmp_path / "x").exists()
    assert own.read_text() == HEAD
    # A failed write leaves none of the files, finished or not.
    assert os.listdir(tmp_path / "runs") == ["full_sim2.scenario"]
    with open("/dev/full", "w") as full:
        result = subprocess.run([sys.executable, IMPORTER, "mcsim", source], stdout=full,
                                stderr=subprocess.PIPE, text=True, timeout=60)
    assert result.returncode == 1 and "Traceback" not in result.stderr, result.stderr
    assert "cannot write the description" in result.stderr
    os.rmdir(tmp_path / "runs" / "full_sim2.scenario")
    written = cli("mcsim", sim, "--out", str(tmp_path / "runs"), "--name", "oral")
    assert written.returncode == 0, written.stderr
    assert sorted(os.listdir(tmp_path / "runs")) == ["oral_sim1.population", "oral_sim1.scenario",
                                                     "oral_sim2.population", "oral_sim2.scenario"]
    # An upper-case .IN (a file from a case-insensitive file system) is a simulation file as well.
    upper = tmp_path / "ORAL.IN"
    upper.write_bytes(open(sim, "rb").read())
    written = cli("mcsim", str(upper), "--model", os.path.join(MODELS, "oral_repeated.model"),
                  "--tstop", "36", "--out", str(tmp_path / "upper"))
    assert written.returncode == 0, written.stderr
    assert "oral_sim1.scenario" in os.listdir(tmp_path / "upper")


# ---- simulation files -------------------------------------------------------------

from orvoimport.mcsim_sim import translate_simulation  # noqa: E402

SIM_MODEL = """States = {A};
Inputs = {Q, R};
Outputs = {C};
K = 0.5;
V = 2;
W = V * 2;
Q = PerDose(1, 24, 0, 1);
R = 3;
Dynamics { dt(A) = Q + R - K * A; }
CalcOutputs { C = A / V; }
End.
"""
SIM_HEAD = "Integrate(Lsodes, 1e-6, 1e-8, 1);\n"


def simulate(text, tmp_path=None, with_model=True):
    path = str(tmp_path / "s.in") if tmp_path else "s.in"
    return translate_simulation(path, text, "s", "m.model" if with_model else None,
                                SIM_MODEL if with_model else None)


SIM_FAULTS = [
    ("mcmc", 'MCMC("x.out", "", "", 100, 0, 1, 10, 1);\n', 2, 1, "MCMC needs a Level"),
    ("level", "Level {\n}\n", 2, 1, "Level goes with MCMC(...)"),
    ("beta", "Distrib(K, Beta, 2, 3, 0, 1);\n", 2, 12, "distribution 'Beta' is not translated"),
    ("distrib_arguments", "Distrib(K, Uniform, 1);\n", 2, 12, "Uniform takes 2 arguments, 1 given"),
    ("distrib_refers", "Distrib(K, Normal, V, 1);\n", 2, 20, "'V' is not sampled by a Distrib line"),
    ("distrib_bound_refers", "Distrib(K, TruncNormal, 0.5, 0.1, V, 0.9);\n", 2, 35,
     "only the shape parameters of a distribution may name another parameter"),
    ("negative_variance", "Distrib(K, Normal_v, 1, -2);\n", 2, 25, "variance cannot be negative"),
    # Numbers the population file would refuse, refused here at the argument.
    ("uniform_empty", "Distrib(K, Uniform, 3, 1);\n", 2, 24,
     "Uniform: the maximum must be above the minimum"),
    ("loguniform_zero", "Distrib(K, LogUniform, 0, 1);\n", 2, 24,
     "LogUniform: the minimum must be > 0"),
    ("normal_no_spread", "Distrib(K, Normal, 1, 0);\n", 2, 23,
     "Normal: the standard deviation must be > 0"),
    ("zero_variance", "Distrib(K, Normal_v, 1, 0);\n", 2, 25, "variance cannot be negative or 0"),
    ("lognormal_mean", "Distrib(K, LogNormal, -1, 2);\n", 2, 23,
     "LogNormal: the geometric mean must be > 0"),
    ("lognormal_spread", "Distrib(K, LogNormal, 1, 0.5);\n", 2, 26,
     "LogNormal: the geometric standard deviation must be > 1"),
    ("bounds_reversed", "Distrib(K, TruncNormal, 0, 1, 2, 1);\n", 2, 34,
     "TruncNormal: the upper bound must be above the lower one"),
    ("bounds_without_mass", "Distrib(K, TruncLogNormal, 1, 2, -5, -1);\n", 2, 34,
     "TruncLogNormal: the bounds [-5, -1] leave no probability"),
    ("bounds_in_the_far_tail", "Distrib(K, TruncNormal, 0, 1, 50, 60);\n", 2, 31,
     "TruncNormal: the bounds [50, 60] leave no probability"),
    ("draws_overflow", "Distrib(K, LogNormal, 1, 1e38);\n", 2, 26,
     "LogNormal: its draws overflow the range of doubles"),
    ("montecarlo_runs", 'MonteCarlo("m.out", 1e10, 1);\n', 2, 21,
     "10000000000 runs: a population file takes at most 100000000"),
    ("distrib_names_itself", "Distrib(K, Normal, K, 1);\n", 2, 20,
     "the distribution of 'K' names itself"),
    ("distrib_circle", "Distrib(K, Normal, V, 1);\nDistrib(V, Uniform, 0, R);\n"
     "Distrib(R, Normal, K, 1);\n", 4, 20,
     "the distributions of 'K', 'V', 'R' name each other in a circle"),
    ("distrib_twice", "Distrib(K, Uniform, 1, 2);\nDistrib(K, Uniform, 3, 4);\n", 3, 9,
     "'K' has a Distrib at line 2 already"),
    ("distrib_names_a_set_value", 'MonteCarlo("m.out", 5, 1);\nDistrib(K, Normal, V, 0.1);\n'
     "Distrib(V, Uniform, 1, 3);\nSimulation {\n  V = 2;\n  PrintStep(C, 0, 1, 1);\n}\n", 3, 20,
     "simulation 1 sets 'V', which the distribution of 'K' names"),
    ("input_function", "Simulation {\n  Q = PerDose(2, 24, 0, 1);\n  PrintStep(C, 0, 1, 1);\n}\n",
     3, 7, "input functions in a simulation file are not translated"),
    ("state_set", "A = 4;\n", 2, 1, "'A' cannot be set: a state's initial value"),
    ("computed_set", "W = 4;\n", 2, 1, "'W' cannot be set: the model computes it"),
    ("dosed_set", "Q = 4;\n", 2, 1, "'Q' cannot be set: its input function is laid out"),
    ("unknown_name", "Simulation {\n  PrintStep(Cx, 0, 1, 1);\n}\n", 3, 13,
     "'Cx' is not a name of the model"),
    ("no_simulation", "K = 1;\n", 3, 1, "has no Simulation block"),
    ("print_descending", "Simulation {\n  Print(C, 1, 4, 2);\n}\n", 3, 3, "must ascend"),
    ("print_step_shape", "Simulation {\n  PrintStep(C, 0, 1);\n}\n", 3, 3,
     "PrintStep takes the variables, then the start, end and step"),
    ("print_step_backwards", "Simulation {\n  PrintStep(C, 5, 1, 1);\n}\n", 3, 22,
     "positive step and an end after the start"),
    ("print_before_start", "Simulation {\n  StartTime(1);\n  Print(C, 0.5, 2);\n}\n", 4, 3,
     "output time 0.5 is before the start time 1"),
    ("print_at_start_only", "Simulation {\n  Print(C, 0);\n}\n", 3, 3,
     "must reach past the start time"),
    ("no_request", "Simulation {\n  K = 1;\n}\n", 2, 1, "requests no output"),
    ("not_closed", "Simulation {\n  PrintStep(C, 0, 1, 1);\n", 2, 1, "is not closed"),
    ("integrator", "Integrate(Rk4, 0.1);\n", 2, 11, "integrator 'Rk4' has no counterpart"),
    ("euler_step", "Integrate(Euler, 0.3, 0, 0);\nSimulation { PrintStep(C, 0, 1, 1); }\n", 2, 1,
     "does not divide the output interval"),
    ("euler_step_tiny", "Integrate(Euler, 1e-300, 0, 0);\nSimulation { PrintStep(C, 0, 1, 1); }\n",
     2, 1, "the Euler step 1e-300 takes 1e+300 steps per output interval"),
    ("output_grid", "Simulation {\n  Print(C, 0.333333, 0.666667, 24);\n}\n", 3, 3,
     "need a row every 1e-06 h from 0 to 24, over 1000000 rows: round the times"),
    ("output_rows", "Simulation {\n  PrintStep(C, 0, 24, 1e-12);\n}\n", 3, 3,
     "need a row every 1e-12 h from 0 to 24, over 1000000000 rows: ask for fewer"),
    ("print_outside", "PrintStep(C, 0, 1, 1);\n", 2, 1, "outside a Simulation block is not translated: write it in each Simulation"),
    ("setpoints_missing", 'SetPoints("o.out", "absent.dat", 0, K);\n'
                          "Simulation { PrintStep(C, 0, 1, 1); }\n", 2, 1,
     "cannot read the SetPoints file"),
    ("both_designs", 'MonteCarlo("m.out", 10, 1);\nSetPoints("o.out", "d.dat", 0, K);\n'
                     "Simulation { PrintStep(C, 0, 1, 1); }\n", 3, 1, "SetPoints and MonteCarlo"),
    ("setpoints_with_distrib", 'SetPoints("o.out", "d.dat", 0, K);\nDistrib(V, Uniform, 1, 2);\n'
     "Simulation { PrintStep(C, 0, 1, 1); }\n", 3, 1,
     "Distrib with SetPoints: MCSim draws 'V' anew for each set point"),
    ("setpoints_runs", 'SetPoints("o.out", "d.dat", 2.5, K);\n', 2, 29,
     "the number of SetPoints runs is a whole number"),
    ("setpoints_twice", 'SetPoints("o.out", "d.dat", 0, K, V, K);\n', 2, 38,
     "SetPoints lists 'K' twice"),
    ("string_open", 'OutputFile("x.out);\n', 2, 12, "unterminated string"),
    ("past_the_doses", "Simulation {\n  PrintStep(C, 0, 30, 1);\n}\n", 3, 3,
     "past the 24 h up to which the model's periodic doses are laid out"),
]


@pytest.mark.parametrize("case,text,line,col,message", SIM_FAULTS, ids=[f[0] for f in SIM_FAULTS])
def test_simulation_file_refused_with_position(case, text, line, col, message):
    with pytest.raises(ImportFault) as caught:
        simulate(SIM_HEAD + text)
    fault = caught.value
    assert (fault.line, fault.col) == (line, col), fault.render()
    assert message in fault.message, fault.render()


def test_simulation_file_translates():
    files, notes = simulate(SIM_HEAD + """MonteCarlo("m.out", 25, 77);
Distrib(K, TruncNormal, 0.5, 0.1, 0.2, 0.9);
Distrib(V, Normal_v, 2, 0.25);
Distrib(R, LogUniform, 1, 10);
K = 0.4;
Simulation {
  R = 5;
  StartTime(-2);
  PrintStep(C, A, -2, 10, 0.25);
}
Experiment {
  Print(C, 0.2, 0.5, 1.1);
}
END.
""")
    assert sorted(files) == ["s_sim1.population", "s_sim1.scenario", "s_sim2.population",
                             "s_sim2.scenario"]
    one = files["s_sim1.scenario"].splitlines()
    assert one[1] == "# Record with --vars t,c,a"
    assert one[2:] == ["ialg = 14  # line 1", "k = 0.4  # line 6", "r = 5  # line 8",
                       "zzticg = -2  # StartTime", "tstop = 10  # line 10",
                       "cint = 0.25  # line 10"]
    two = files["s_sim2.scenario"].splitlines()
    assert two[-2:] == ["tstop = 1.1  # line 13", "cint = 0.1  # line 13"]
    population = files["s_sim1.population"].splitlines()
    assert "runs = 25  # line 2" in population and "seed = 77" in population
    assert "k ~ normal(0.5, 0.1) [0.2, 0.9]  # line 3" in population
    assert "v ~ normal(2, 0.5)  # line 4" in population
    # The simulation sets r itself: it is not sampled there, but is in the other one.
    assert not any(x.startswith("r ~") for x in population)
    assert "r ~ loguniform(1, 10)  # line 5" in files["s_sim2.population"].splitlines()
    assert any("simulation 1 sets r" in n for n in notes)
    assert any("give them to the runs with --rtol 1e-06 --atol 1e-08" in n for n in notes)
    # MCSim takes any positive seed; the population file a 64-bit one.
    files, _ = simulate('MonteCarlo("m.out", 5, 1e20);\nSimulation { PrintStep(C, 0, 1, 1); }\n')
    assert f"seed = {10**20 % 2**64}" in files["s_sim1.population"].splitlines()


def test_a_value_given_again_replaces_the_earlier_one():
    # MCSim applies the global values, then the simulation's, each in turn: the scenario
    # sets each name once, to the value applied last (the host tool refuses a name set twice).
    files, _ = simulate("K = 0.1;\nV = 3;\nK = 0.2;\nSimulation {\n  K = 0.3;\n  K = 0.4;\n"
                        "  PrintStep(C, 0, 1, 1);\n}\nSimulation { PrintStep(C, 0, 1, 1); }\n")
    assert files["s_sim1.scenario"].splitlines()[2:4] == ["v = 3  # line 2", "k = 0.4  # line 6"]
    assert files["s_sim2.scenario"].splitlines()[2:4] == ["v = 3  # line 2", "k = 0.2  # line 3"]


def test_a_draw_replaces_the_global_value_and_the_simulation_value_the_draw():
    # MCSim sets the global values, then the draws, then the simulation's own values.
    files, notes = simulate("""K = 0.1;
V = 3;
MonteCarlo("m.out", 5, 1);
Distrib(K, Uniform, 0.2, 0.3);
Distrib(V, Uniform, 1, 2);
Simulation { PrintStep(C, 0, 1, 1); }
Simulation { V = 4; PrintStep(C, 0, 1, 1); }
""")
    one = files["s_sim1.population"].splitlines()
    assert not any(x.startswith(("k =", "v =")) for x in one)
    assert "k ~ uniform(0.2, 0.3)  # line 4" in one and "v ~ uniform(1, 2)  # line 5" in one
    two = files["s_sim2.population"].splitlines()
    assert "v = 4  # line 7" in two and not any(x.startswith(("k =", "v ~")) for x in two)
    # The scenarios, runs without draws, keep the global values.
    assert files["s_sim1.scenario"].splitlines()[2:4] == ["k = 0.1  # line 1", "v = 3  # line 2"]
    assert any("line 1: the global value of k is left out of the populations" in n for n in notes)


def test_a_simulation_whose_values_run_past_the_laid_out_doses_is_refused():
    model = ("States = {A};\nInputs = {Q};\nPeriod = 12;\nFirst = 1;\n"
             "Q = PerDose(10, Period, First, 0.5);\nDynamics { dt(A) = Q - A; }\nEnd.\n")

    def simulate_with(text, tstop):
        return translate_simulation("p.in", text, "p", "p.model", model, tstop)

    # Four doses are laid out (1, 13, 25, 37); every 6 h they end at 25, not 48.
    for text, line, col in [("Simulation {\n  Period = 6;\n  PrintStep(A, 0, 48, 12);\n}\n", 2, 3),
                            ("Period = 6;\nSimulation { PrintStep(A, 0, 48, 12); }\n", 1, 1)]:
        with pytest.raises(ImportFault) as caught:
            simulate_with(text, 48)
        assert (caught.value.line, caught.value.col) == (line, col)
        assert ("run out at t = 25, before the simulation ends at 48: import the model, and this "
                "file, with --tstop 97") in caught.value.message
        files, _ = simulate_with(text, 97)
        assert "period = 6" in files["p_sim1.scenario"]
    # Later or sparser doses, and the defaults, stay within the laid-out ones.
    for values in ["First = 30;", "Period = 24;", ""]:
        simulate_with(values + "\nSimulation { PrintStep(A, 0, 48, 12); }\n", 48)


def test_distribution_parameters_may_name_sampled_parameters():
    files, _ = simulate(SIM_HEAD + """MonteCarlo("m.out", 5, 1);
Distrib(K, Normal, V, 0.05);
Distrib(V, Uniform, 1, 3);
Simulation { PrintStep(C, 0, 2, 1); }
""")
    population = files["s_sim1.population"].splitlines()
    assert "k ~ normal(v, 0.05)  # line 3" in population and "v ~ uniform(1, 3)  # line 4" in population


def test_several_output_requests_share_one_grid():
    files, notes = simulate("Simulation {\n  StartTime(-1);\n  PrintStep(C, 0.5, 6, 1.5);\n"
                            "  Print(A, C, 0.75, 12);\n}\nSimulation {\n  Print(C, 0, 0.2);\n"
                            "  Print(A, 0.3);\n}\n")
    one = files["s_sim1.scenario"].splitlines()
    # From -1: 1.5 (to 0.5), 1.5 (the step), 1.75 (to 0.75), 13 (to 12) -> every 0.25 h.
    assert one[1] == "# Record with --vars t,c,a"
    assert one[-3:] == ["zzticg = -1  # StartTime", "tstop = 12  # line 3", "cint = 0.25  # line 3"]
    assert files["s_sim2.scenario"].splitlines()[-2:] == ["tstop = 0.3  # line 7",
                                                          "cint = 0.1  # line 7"]
    assert any("simulation 1 writes a row every 0.25 h from -1" in n for n in notes)


def test_set_points_and_euler(tmp_path):
    (tmp_path / "draws.dat").write_text("iter K V LnPrior\n1 0.5 2 -3\n2 0.6 2.5 -3\n"
                                        "3 0.7 3 -3\n")
    files, _ = simulate(SIM_HEAD.replace("Lsodes, 1e-6, 1e-8, 1", "Euler, 0.05, 0, 0")
                        + 'SetPoints("o.out", "draws.dat", 2, K, V);\n'
                        "Simulation { PrintStep(C, 0, 4, 0.5); }\n", tmp_path)
    assert files["s_setpoints.csv"] == "k,v\n0.5,2\n0.6,2.5\n"
    lines = files["s_sim1.scenario"].splitlines()
    assert "ialg = 3  # line 1" in lines and "nstp = 10  # Euler step 0.05" in lines
    # Without a header, after a byte-order mark: the first row is a row.
    (tmp_path / "draws.dat").write_text("\ufeff1 0.5 2\n2 0.6 2.5\n")
    files, notes = simulate('SetPoints("o.out", "draws.dat", 0, K, V);\n'
                            "Simulation { PrintStep(C, 0, 4, 0.5); }\n", tmp_path)
    assert files["s_setpoints.csv"] == "k,v\n0.5,2\n0.6,2.5\n"
    assert any("it is run as the first set point, where MCSim skips the first line" in n
               for n in notes)
    (tmp_path / "draws.dat").write_text("1 0.5 2\n2 nan 2.5\n")
    with pytest.raises(ImportFault) as caught:
        simulate('SetPoints("o.out", "draws.dat", 0, K, V);\n'
                 "Simulation { PrintStep(C, 0, 4, 0.5); }\n", tmp_path)
    assert "row 2 of the SetPoints file holds a value that is not a finite number" in \
        caught.value.message


def test_set_points_replace_global_values_and_give_way_to_a_simulation_s_own(tmp_path):
    # MCSim sets the global values, then the set point, then the simulation's own values.
    (tmp_path / "draws.dat").write_text("iter K V\n1 0.5 2\n2 0.6 2.5\n")
    text = ('K = 0.1;\nSetPoints("o.out", "draws.dat", 0, K, V);\n'
            "Simulation { PrintStep(C, 0, 4, 0.5); }\n"
            "Simulation {\n  V = 8;\n  PrintStep(C, 0, 4, 0.5);\n}\n")
    files, notes = simulate(text, tmp_path)
    assert sorted(files) == ["s_setpoints.csv", "s_sim1.scenario", "s_sim2.scenario",
                             "s_sim2_setpoints.csv"]
    assert not any(x.startswith("k =") for x in files["s_sim1.scenario"].splitlines())
    assert files["s_setpoints.csv"] == "k,v\n0.5,2\n0.6,2.5\n"
    assert "v = 8  # line 5" in files["s_sim2.scenario"].splitlines()
    assert files["s_sim2_setpoints.csv"] == "k\n0.5\n0.6\n"
    assert any("simulation 2 sets v itself: run it with --params s_sim2_setpoints.csv" in n
               for n in notes)
    assert any("line 1: the global value of k is left out of the scenarios" in n for n in notes)
    # More runs than the file holds; a simulation that sets every listed parameter.
    for bad, message in [(text.replace("draws.dat\", 0", "draws.dat\", 3"),
                          "SetPoints asks for 3 runs and the file holds 2 rows"),
                         (text.replace("V = 8;", "V = 8; K = 1;"),
                          "this Simulation sets every parameter SetPoints varies")]:
        with pytest.raises(ImportFault) as caught:
            simulate(bad, tmp_path)
        assert message in caught.value.message


def test_simulation_names_without_a_model():
    files, _ = simulate("Simulation {\n  Body_Weight = 70;\n  PrintStep(C_Ven, 0, 1, 1);\n}\n",
                        with_model=False)
    lines = files["s_sim1.scenario"].splitlines()
    assert "# Record with --vars t,c_ven" in lines and "body_weight = 70  # line 2" in lines


def test_constant_arithmetic_folds_only_to_finite_numbers():
    text, _ = translate("f.model", "States = {A};\nZ = 2 * 0;\nH = 1e300 * 1e300;\n"
                        "N = 1.0 / 0;\nDynamics { dt(A) = Z + H + N; }\n", "f")
    lines = [x.strip() for x in text.splitlines()]
    assert "z = 0;  # line 2" in lines
    # Out of range at import: left to the run, as MCSim computes it.
    assert "h = 1e300 * 1e300;  # line 3" in lines and "n = 1.0 / 0;  # line 4" in lines
    with pytest.raises(ImportFault) as caught:
        translate("f.model", "States = {A};\nH = 1e999;\n", "f")
    assert caught.value.render() == "f.model:2:5: the number '1e999' is beyond the range of doubles"


def test_long_sums_translate_and_longer_ones_are_refused():
    # A flat sum is as deep a tree as it is long.
    def model(terms):
        return "States = {A};\nK = 1;\nDynamics { dt(A) = -K * A" + " + A" * terms + "; }\n"
    text, _ = translate("l.model", model(20000), "l")
    assert "dt(a) = -k * a + a + a" in text
    with pytest.raises(ImportFault) as caught:
        translate("l.model", model(100000), "l")
    assert caught.value.render().startswith("l.model:1:1: an expression is too long")


def test_mangled_files_fail_cleanly():
    # Random cuts and insertions into the test files: each result is a translation
    # or an ImportFault, never another exception.
    rng = random.Random(20261210)
    pieces = ["(", ")", "{", "}", ";", ",", "=", "?", ":", "dt", "End.", "t", "-", "*", "/0",
              "PerDose(1, 2, 3, 4)", "NDoses(1, 2, 3)", "Initialize", "Dynamics", "#", "\n",
              "1e300 * 1e300", "exp(", '"', "Simulation {", "PrintStep(C_central, 0, 1, 0.5);",
              "Distrib(Ka, Normal, 1, 2);", 'MonteCarlo("x", 0, 0);', "Print(C_central, 0);",
              "Level {", 'MCMC("x", "", "", 9, 0, 1, 5, 1);', "Data(C_central, 1, -1);",
              "Likelihood(Data(C_central), Normal, Prediction(C_central), Ka);"]
    names = sorted(os.listdir(MODELS))
    model = open(os.path.join(MODELS, "oral_repeated.model"), encoding="utf-8").read()
    for _ in range(600):
        name = rng.choice(names)
        text = open(os.path.join(MODELS, name), encoding="utf-8").read()
        for _ in range(rng.randint(1, 4)):
            at = rng.randrange(len(text) + 1)
            if rng.random() < 0.4:
                text = text[:at] + text[at + rng.randint(1, 8):]
            else:
                text = text[:at] + rng.choice(pieces) + text[at:]
        try:
            if name.endswith(".in"):
                translate_simulation("x.in", text, "s", "m.model", model, 48)
            else:
                translate("x.model", text, "m", 48)
        except ImportFault:
            pass
