"""MCSim MCMC files translated into calibration files, without a build: the
priors, error models, experiments and data they give, one and two levels, and
what is refused with its position."""

import math
import os
import subprocess
import sys

import pytest

from orvoimport.faults import ImportFault
from orvoimport.mcsim_sim import translate_simulation

IMPORTER = os.environ.get("ORVO_IMPORT") or os.path.join(
    os.path.dirname(__file__), "..", "..", "tools", "orvo-import", "orvo-import")
MODELS = os.environ.get("ORVO_IMPORT_MODELS") or os.path.join(os.path.dirname(__file__), "models")

MODEL = """States = {A};
Inputs = {Q};
Outputs = {C};
K = 0.5;
V = 2;
R = 3;
W = V * 2;
M_K = 0.5;
S_K = 1.5;
Sigma = 0.1;
Q = PerDose(1, 24, 0, 1);
Dynamics { dt(A) = Q + R - K * A; }
CalcOutputs { C = A / V; }
End.
"""
HEAD = 'MCMC("c.out", "", "", 800, 0, 4, 400, 99);\n'


def calibrate(text, model=MODEL):
    return translate_simulation("c.in", HEAD + text, "c", "m.model" if model else None, model)


def lines(files, name="c.calibration"):
    return [x.split("  #")[0] for x in files[name].splitlines() if not x.startswith("#")]


def test_parameters_drawn_once_for_all_experiments():
    files, notes = calibrate("""Integrate(Cvodes, 1e-6, 1e-8, 1);
R = 4;
Level {
  V = 2.5;
  Distrib(K, TruncLogNormal, 0.5, 2, 0.05, 5);
  Likelihood(Data(C), Normal, Prediction(C), Sigma);
  Likelihood(Data(A), LogNormal_v, Prediction(A), 0.04);
  Level {
    Distrib(Sigma, Uniform, 0.01, 1);
    Level {
      Experiment {
        R = 5;
        StartTime(-1);
        Print(C, A, 0.5, 1, 3);
        Data(C, 1.5, -1, 2.25);
        Data(A, 3, 4, 5.5);
      }
      Simulation {
        PrintStep(C, 0, 2, 0.5);
        Data(C, 0.1, 0.2, 0.3, 0.4, -1);
      }
    }
  }
}
""")
    assert sorted(files) == ["c.calibration", "c_sim1.csv", "c_sim2.csv"]
    assert lines(files) == [
        "ialg = 15", "r = 4", "v = 2.5",
        "k ~ lognormal(0.5, 2) [0.05, 5]", "sigma ~ uniform(0.01, 1)",
        "error c normal sigma", "error a lognormal 0.2",
        "", "[experiment sim1]", "data = c_sim1.csv", "r = 5", "zzticg = -1", "tstop = 3",
        "", "[experiment sim2]", "data = c_sim2.csv", "tstop = 1.5"]
    # Missing values (-1) are left out; PrintStep's times include its end.
    assert files["c_sim1.csv"] == ("time,variable,value\n0.5,c,1.5\n3,c,2.25\n"
                                   "0.5,a,3\n1,a,4\n3,a,5.5\n")
    assert files["c_sim2.csv"] == "time,variable,value\n0,c,0.1\n0.5,c,0.2\n1,c,0.3\n1.5,c,0.4\n"
    command = next(n for n in notes if "run it with: orvo calibrate c.calibration" in n)
    # 800 iterations, keeping every 4th of the last 400.
    assert "--iterations 800 --burn 400 --thin 4 --seed 99 " in command
    assert any("'c.out' is left out" in n for n in notes)


def test_lognormal_error_takes_the_log_of_the_geometric_sd():
    files, _ = calibrate("""Level {
  Distrib(K, LogUniform, 0.1, 1);
  Likelihood(Data(C), LogNormal, Prediction(C), 1.2);
  Experiment { Print(C, 1); Data(C, 2); }
}
""")
    error = next(x for x in lines(files) if x.startswith("error"))
    assert float(error.split()[-1]) == math.log(1.2)


def test_subjects():
    files, notes = calibrate("""Level {
  Distrib(M_K, LogUniform, 0.1, 1);
  Distrib(S_K, LogUniform, 1.1, 3);
  Distrib(V, Normal, 2, 0.2);
  Likelihood(Data(C), LogNormal, Prediction(C), 1.1);
  Level {
    Distrib(K, TruncLogNormal, M_K, S_K, 0.01, 10);
    Distrib(V, Normal, V, 0.1);
    Level {
      R = 2;
      Experiment { Print(C, 1, 2); Data(C, 0.5, 0.6); }
      Experiment { R = 6; Print(C, 4); Data(C, 0.7); }
    }
    Experiment { Print(C, 1); Data(C, 0.8); }
  }
}
""")
    assert lines(files) == [
        "m_k ~ loguniform(0.1, 1)", "s_k ~ loguniform(1.1, 3)",
        # The population's V is not the model's V, which each subject draws around it.
        "v_pop ~ normal(2, 0.2)",
        "k[subject] ~ lognormal(m_k, s_k) [0.01, 10]", "v[subject] ~ normal(v_pop, 0.1)",
        f"error c lognormal {math.log(1.1)!r}",
        "", "[experiment sim1]", "data = c_sim1.csv", "r = 2", "tstop = 2",
        # The subject's setting, unless its experiment sets its own.
        "", "[experiment sim2]", "data = c_sim2.csv", "r = 6", "tstop = 4",
        "", "[experiment sim3]", "data = c_sim3.csv", "tstop = 1"]
    # Each Level or Experiment in the Level that draws K and V is a subject.
    assert any("each of the 2 Experiment and Level blocks in this Level draws its own K, V "
               "(subjects s1 to s2)" in n for n in notes)
    assert files["c_sim1.csv"] == "time,variable,value,sd,subject\n1,c,0.5,,s1\n2,c,0.6,,s1\n"
    assert files["c_sim2.csv"] == "time,variable,value,sd,subject\n4,c,0.7,,s1\n"
    assert files["c_sim3.csv"] == "time,variable,value,sd,subject\n1,c,0.8,,s2\n"
    assert not any("left out" in n for n in notes if "Distrib" in n)


def test_experiments_in_the_level_that_draws_are_subjects():
    # MCSim gives each Experiment in the Level its own K.
    files, notes = calibrate("""Level {
  Distrib(K, LogUniform, 0.1, 1);
  Likelihood(Data(C), Normal, Prediction(C), 0.1);
  Experiment { Print(C, 1); Data(C, 0.5); }
  Experiment { Print(C, 2); Data(C, 0.6); }
}
""")
    assert lines(files)[:2] == ["k[subject] ~ loguniform(0.1, 1)", "error c normal 0.1"]
    assert files["c_sim2.csv"] == "time,variable,value,sd,subject\n2,c,0.6,,s2\n"
    assert any("to share them, put the experiments in one inner Level" in n for n in notes)


def test_a_population_parameter_that_no_subject_names_is_left_out():
    files, notes = calibrate("""Level {
  Distrib(K, LogUniform, 0.1, 1);
  Distrib(V, Uniform, 1, 3);
  Likelihood(Data(C), Normal, Prediction(C), 0.1);
  Level {
    Distrib(V, Uniform, 2, 4);
    Experiment { Print(C, 2); Data(C, 0.6); }
    Experiment { Print(C, 3, 4); Data(C, 0.7, -1); }
  }
}
""")
    text = lines(files)
    assert "v[subject] ~ uniform(2, 4)" in text and not any(x.startswith("v ~") for x in text)
    assert any("Distrib of 'V' is left out" in n for n in notes)
    assert files["c_sim2.csv"] == "time,variable,value,sd,subject\n3,c,0.7,,s2\n"


def test_levels_below_the_draws_only_group_settings():
    files, _ = calibrate("""Level {
  Distrib(K, LogUniform, 0.1, 1);
  Likelihood(Data(C), Normal, Prediction(C), 0.1);
  Level {
    Experiment { Print(C, 1); Data(C, 0.5); }
    Level { V = 3; Experiment { Print(C, 2); Data(C, 0.6); } }
  }
}
""")
    assert lines(files)[:2] == ["k ~ loguniform(0.1, 1)", "error c normal 0.1"]
    # No subjects: the inner Levels draw nothing, and their settings are their experiments'.
    assert lines(files)[-4:] == ["[experiment sim2]", "data = c_sim2.csv", "v = 3", "tstop = 2"]
    assert files["c_sim1.csv"] == "time,variable,value\n1,c,0.5\n"


def test_data_without_likelihood_and_experiments_without_data_are_left_out():
    files, notes = calibrate("""Level {
  Distrib(K, LogUniform, 0.1, 1);
  Likelihood(Data(C), Normal, Prediction(C), 0.1);
  Level {
    Experiment { Print(C, A, 1, 2); Data(C, 0.5, 0.6); Data(A, 1, 2); }
    Experiment { Print(C, 1, 2); Data(C, -1, -1); }
    Experiment { Print(C, 5); }
  }
}
""")
    assert sorted(files) == ["c.calibration", "c_sim1.csv"]
    assert files["c_sim1.csv"] == "time,variable,value\n1,c,0.5\n2,c,0.6\n"
    assert any("the Data of 'A' are left out: no Likelihood" in n for n in notes)
    assert sum("has no data to fit: left out" in n for n in notes) == 2


def test_plain_simulation_files_still_leave_data_out():
    files, notes = translate_simulation("s.in", "Simulation { Print(C, 1); Data(C, 2); }\n", "s",
                                        "m.model", MODEL)
    assert sorted(files) == ["s_sim1.scenario"]
    assert any("Data is left out" in n for n in notes)


LEVEL = "Level {\n  Distrib(K, LogUniform, 0.1, 1);\n"
EXPERIMENT = "  Experiment { Print(C, 1, 2); Data(C, 0.5, 0.6); }\n"
ERROR = "  Likelihood(Data(C), Normal, Prediction(C), 0.1);\n"

FAULTS = [
    # The MCMC statement (line 1).
    ("mcmc_shape", 'MCMC("a", "", "", 10, 0, 1, 5);\n' + LEVEL + ERROR + EXPERIMENT + "}\n",
     1, 1, "MCMC takes the output, restart and data files"),
    ("mcmc_predictions_only", 'MCMC("a", "r.out", "", 10, 1, 1, 5, 1);\n' + LEVEL + ERROR
     + EXPERIMENT + "}\n", 1, 28, "simulation type 1 is not translated"),
    ("mcmc_data_file", 'MCMC("a", "", "d.dat", 10, 0, 1, 5, 1);\n' + LEVEL + ERROR + EXPERIMENT
     + "}\n", 1, 15, "a data file named in MCMC(...) is not read"),
    ("mcmc_fraction", 'MCMC("a", "", "", 10.5, 0, 1, 5, 1);\n' + LEVEL + ERROR + EXPERIMENT
     + "}\n", 1, 19, "the number of iterations is a whole number"),
    ("mcmc_iterations", 'MCMC("a", "", "", 2e8, 0, 1, 5, 1);\n' + LEVEL + ERROR + EXPERIMENT
     + "}\n", 1, 19, "the number of iterations is 200000000: orvo calibrate takes at most"),
    ("mcmc_thin", 'MCMC("a", "", "", 10, 0, 2000000, 5, 1);\n' + LEVEL + ERROR + EXPERIMENT
     + "}\n", 1, 26, "the print frequency is 2000000: orvo calibrate takes at most 1000000"),
    ("mcmc_twice", LEVEL + ERROR + EXPERIMENT + "}\n" + 'MCMC("a", "", "", 10, 0, 1, 5, 1);\n',
     7, 1, "a second MCMC (the first at line 1)"),
    # The file's shape.
    ("two_top_levels", LEVEL + ERROR + EXPERIMENT + "}\n" + LEVEL + EXPERIMENT + "}\n", 7, 1,
     "a second top Level"),
    ("experiment_outside", LEVEL + ERROR + EXPERIMENT + "}\n" + EXPERIMENT, 7, 3,
     "the Experiment blocks go inside a Level"),
    ("distrib_outside", "Distrib(V, Uniform, 1, 2);\n" + LEVEL + ERROR + EXPERIMENT + "}\n",
     2, 1, "in an MCMC file Distrib goes inside a Level"),
    ("with_monte_carlo", 'MonteCarlo("m", 10, 1);\n' + LEVEL + ERROR + EXPERIMENT + "}\n", 2, 1,
     "MonteCarlo and MCMC in one file"),
    ("euler", "Integrate(Euler, 0.1, 0, 0);\n" + LEVEL + ERROR + EXPERIMENT + "}\n", 2, 1,
     "use Lsodes or Cvodes"),
    ("likelihood_outside", ERROR.strip() + "\n" + LEVEL + EXPERIMENT + "}\n", 2, 1,
     "'Likelihood' belongs inside a Level"),
    ("no_distrib", "Level {\n" + ERROR + EXPERIMENT + "}\n", 2, 1, "no Level has a Distrib"),
    ("no_data", LEVEL + ERROR + "  Experiment { Print(C, 1); Data(C, -1); }\n}\n", 1, 1,
     "no experiment has data that a Likelihood fits"),
    # Likelihoods.
    ("likelihood_poisson", LEVEL + "  Likelihood(Data(C), Poisson, Prediction(C), 1);\n"
     + EXPERIMENT + "}\n", 4, 23, "likelihood 'Poisson' is not translated"),
    ("likelihood_other_prediction", LEVEL + "  Likelihood(Data(C), Normal, Prediction(A), 1);\n"
     + EXPERIMENT + "}\n", 4, 42, "compared with Prediction(A)"),
    ("likelihood_bounds", LEVEL + "  Likelihood(Data(C), Normal, Prediction(C), 1, 0, 5);\n"
     + EXPERIMENT + "}\n", 4, 23, "Normal takes Prediction(C) and one parameter, 3 given"),
    ("likelihood_shape", LEVEL + "  Likelihood(C, Normal, Prediction(C), 1);\n" + EXPERIMENT
     + "}\n", 4, 14, "Likelihood takes Data(VARIABLE)"),
    ("likelihood_gsd_parameter", LEVEL + "  Distrib(Sigma, LogUniform, 1.1, 2);\n"
     "  Likelihood(Data(C), LogNormal, Prediction(C), Sigma);\n" + EXPERIMENT + "}\n", 5, 49,
     "the geometric sd 'Sigma' is a parameter"),
    ("likelihood_variance_parameter", LEVEL + "  Distrib(Sigma, LogUniform, 0.1, 2);\n"
     "  Likelihood(Data(C), Normal_v, Prediction(C), Sigma);\n" + EXPERIMENT + "}\n", 5, 48,
     "the variance 'Sigma' is a parameter"),
    ("likelihood_gsd_at_most_1", LEVEL + "  Likelihood(Data(C), LogNormal, Prediction(C), 1);\n"
     + EXPERIMENT + "}\n", 4, 49, "a geometric sd is above 1, not 1"),
    ("likelihood_sd_zero", LEVEL + "  Likelihood(Data(C), Normal, Prediction(C), 0);\n"
     + EXPERIMENT + "}\n", 4, 46, "the sd must be above 0"),
    ("likelihood_sd_not_calibrated", LEVEL + "  Likelihood(Data(C), Normal, Prediction(C), "
     "Sigma);\n" + EXPERIMENT + "}\n", 4, 46, "'Sigma' has no Distrib drawn for all experiments"),
    ("likelihood_sd_unknown", LEVEL + "  Likelihood(Data(C), Normal, Prediction(C), Sd);\n"
     + EXPERIMENT + "}\n", 4, 46, "'Sd' is not a name of the model"),
    ("likelihoods_disagree", LEVEL + ERROR + "  Level {\n    Distrib(V, Uniform, 1, 2);\n"
     "    Likelihood(Data(C), Normal, Prediction(C), 0.2);\n  " + EXPERIMENT + "  }\n}\n", 7, 5,
     "a second Likelihood of 'C' (the first at line 4)"),
    # Data.
    ("data_not_printed", LEVEL + ERROR + "  Experiment { Print(A, 1); Data(C, 0.5); }\n}\n",
     5, 29, "Data of 'C' without a Print or PrintStep of it"),
    ("data_count", LEVEL + ERROR + "  Experiment { Print(C, 1, 2); Data(C, 0.5); }\n}\n",
     5, 32, "Data of 'C' gives 1 values for 2 output times"),
    ("data_twice", LEVEL + ERROR + "  Experiment { Print(C, 1); Data(C, 1); Data(C, 2); }\n}\n",
     5, 41, "a second Data of 'C'"),
    ("printed_twice", LEVEL + ERROR + "  Experiment { Print(C, 1); Print(C, 2); Data(C, 1); }\n"
     "}\n", 5, 42, "'C' is printed twice in this experiment"),
    ("print_step_uneven", LEVEL + ERROR + "  Experiment { PrintStep(C, 0, 1, 0.3); "
     "Data(C, 1, 2, 3, 4); }\n}\n", 5, 16, "the step 0.3 does not divide the span"),
    ("print_step_huge", LEVEL + ERROR + "  Experiment { PrintStep(C, 0, 1e12, 1e-6); "
     "Data(C, 1); }\n}\n", 5, 45, "Data of 'C' gives 1 values for 1000000000000000001"),
    ("lognormal_zero", LEVEL + "  Likelihood(Data(C), LogNormal, Prediction(C), 1.5);\n"
     "  Experiment { Print(C, 1, 2); Data(C, 0.5, 0); }\n}\n", 5, 45,
     "a 0 under a LogNormal likelihood"),
    ("before_start", LEVEL + ERROR + "  Experiment { StartTime(2); Print(C, 1, 3); "
     "Data(C, 0.5, 0.6); }\n}\n", 5, 30, "output time 1 is before the start time 2"),
    ("data_only_at_start", LEVEL + ERROR + "  Experiment { Print(C, 0, 1); Data(C, 0.5, -1); }\n"
     "}\n", 5, 40, "the data end at the start time 0"),
    ("past_the_doses", LEVEL + ERROR + "  Experiment { Print(C, 30); Data(C, 0.5); }\n}\n",
     5, 38, "past the 24 h up to which the model's periodic doses are laid out"),
    ("calibrated_and_set", LEVEL + ERROR + "  Experiment { K = 0.2; Print(C, 1); Data(C, 1); }\n"
     "}\n", 5, 16, "'K' is calibrated (Distrib at line 3) and set here"),
    ("calibrated_and_set_globally", "K = 0.2;\n" + LEVEL + ERROR + EXPERIMENT + "}\n", 2, 1,
     "'K' is calibrated"),
    # Two levels.
    ("top_prior_names_a_parameter", LEVEL + "  Distrib(V, Normal, M_K, 1);\n"
     "  Distrib(M_K, Uniform, 1, 2);\n" + ERROR + EXPERIMENT + "}\n", 4, 22,
     "a distribution drawn once for all experiments takes numbers"),
    ("distrib_inside_a_subject", LEVEL + ERROR + "  Level {\n    Distrib(V, Uniform, 1, 2);\n  "
     + EXPERIMENT + "    Level {\n      Distrib(R, Uniform, 1, 2);\n  " + EXPERIMENT + "    }\n"
     "  }\n}\n", 9, 7, "a Distrib inside one of the subjects of the Level at line 5"),
    ("subject_without_experiment", LEVEL + ERROR + "  Level {\n  " + EXPERIMENT + "  }\n"
     "  Level {\n  }\n}\n", 8, 3,
     "this Level holds no Experiment"),
    ("subject_names_a_subject_parameter", LEVEL + ERROR + "  Level {\n    Distrib(V, Normal, "
     "R, 1);\n    Distrib(R, Uniform, 1, 2);\n  " + EXPERIMENT + "  " + EXPERIMENT + "  }\n}\n",
     6, 24, "'R' has no Distrib in a Level above"),
    ("subject_names_an_undrawn_parameter", LEVEL + ERROR + "  Level {\n    Distrib(V, Normal, "
     "S_K, 1);\n  " + EXPERIMENT + "  " + EXPERIMENT + "  }\n}\n", 6, 24,
     "'S_K' has no Distrib in a Level above"),
    ("drawn_twice_for_all", LEVEL + ERROR + "  Level {\n    Distrib(K, Uniform, 1, 2);\n  "
     + EXPERIMENT + "  }\n}\n", 6, 5, "'K' has a Distrib at line 3 as well"),
    ("sd_varies_by_subject", LEVEL + "  Distrib(Sigma, Uniform, 0.1, 1);\n"
     "  Likelihood(Data(C), Normal, Prediction(C), Sigma);\n  Level {\n"
     "    Distrib(Sigma, Uniform, 0.1, 1);\n  " + EXPERIMENT + "  " + EXPERIMENT + "  }\n}\n",
     5, 46, "'Sigma' varies between subjects"),
    ("subject_sets_its_parameter", LEVEL + ERROR + "  Level {\n    V = 2;\n"
     "    Distrib(V, Normal, 2, 1);\n  " + EXPERIMENT + "  }\n}\n", 6, 5, "'V' is calibrated"),
    ("distrib_twice", LEVEL + "  Distrib(K, Uniform, 1, 2);\n" + ERROR + EXPERIMENT + "}\n",
     4, 3, "'K' has a second Distrib in this Level (the first at line 3)"),
    ("level_not_closed", LEVEL + ERROR, 2, 1, "the Level block is not closed"),
    ("levels_too_deep", "Level {\n" * 2000, 13, 1, "Levels nest more than 11 deep"),
]


@pytest.mark.parametrize("case,text,line,col,message", FAULTS, ids=[f[0] for f in FAULTS])
def test_refused_with_position(case, text, line, col, message):
    head = "" if text.startswith("MCMC") else HEAD
    with pytest.raises(ImportFault) as caught:
        translate_simulation("c.in", head + text, "c", "m.model", MODEL)
    fault = caught.value
    assert message in fault.message, fault.render()
    assert (fault.line, fault.col) == (line, col), fault.render()


def test_command_line(tmp_path):
    source = os.path.join(MODELS, "oral_calibration.in")
    model = os.path.join(MODELS, "oral_repeated.model")

    def run(*args):
        return subprocess.run([sys.executable, IMPORTER, "mcsim", *args], capture_output=True,
                              text=True, timeout=60)

    done = run(source, "--model", model, "--tstop", "48", "--out", str(tmp_path / "fit"))
    assert done.returncode == 0, done.stderr
    assert sorted(os.listdir(tmp_path / "fit")) == [
        "oral_calibration.calibration", "oral_calibration_sim1.csv", "oral_calibration_sim2.csv"]
    assert (f"run it with: orvo calibrate {tmp_path}/fit/oral_calibration.calibration --lib LIB "
            "--iterations 1500 --burn 500 --seed 2026 --out DIR") in done.stderr
    # Imported with its doses laid out to 12 h only, the model cannot run to the data.
    short = run(source, "--model", model, "--tstop", "12", "--out", str(tmp_path / "short"))
    assert short.returncode == 1 and "Traceback" not in short.stderr
    assert short.stderr.startswith(f"{source}:20:")
    assert "with --tstop 24" in short.stderr and not (tmp_path / "short").exists()
