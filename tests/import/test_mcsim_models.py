"""MCSim model files imported, built and run through the host tool, against
solutions written independently here and integrated by scipy at tight
tolerances, piecewise between the dose switches."""

import csv
import io
import os
import shlex
import subprocess
import sys

import numpy as np
import pytest
from scipy.integrate import solve_ivp
from scipy.linalg import expm

CLI = os.environ.get("ORVO_CLI")
pytestmark = pytest.mark.skipif(not CLI, reason="ORVO_CLI is not set")


def run(model, variables, lib=None, **settings):
    command = [CLI, "run", "--lib", lib or os.environ[f"ORVO_IMPORT_LIB_{model}"], "--vars",
               ",".join(["t"] + variables)]
    for name, value in settings.items():
        command += ["--set", f"{name}={value}"]
    result = subprocess.run(command, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    rows = list(csv.reader(io.StringIO(result.stdout)))
    assert rows[0] == ["t"] + variables
    data = np.array(rows[1:], dtype=float)
    return data[:, 0], {name: data[:, i + 1] for i, name in enumerate(variables)}


def piecewise(rhs, y0, breaks, times):
    """States at `times`, integrating rhs(t, y, segment_start) on each piece."""
    out = np.empty((len(times), len(y0)))
    y = np.asarray(y0, dtype=float)
    for a, b in zip(breaks, breaks[1:]):
        sol = solve_ivp(lambda t, x: rhs(t, x, a), (a, b), y, method="Radau", rtol=1e-11,
                        atol=1e-13, dense_output=True)
        assert sol.success
        inside = (times >= a) & (times <= b)
        out[inside] = sol.sol(times[inside]).T
        y = sol.y[:, -1]
    return out


def close(actual, expected, scale):
    np.testing.assert_allclose(actual, expected, rtol=2e-6, atol=1e-9 * scale)


def test_oral_repeated_per_dose():
    # Intake 40 mg/h for 0.25 h every 12 h from 0.5 h.
    t, v = run("oral_repeated", ["a_gut", "a_central", "a_elim", "c_central", "balance"],
               ialg=5, nstp=50, cint=0.5)
    assert t[-1] == pytest.approx(48)
    ka, ke, vd = 1.3, 0.12, 0.7 * 70
    starts = [0.5 + 12 * k for k in range(4)]
    breaks = sorted({0.0, 48.0, *starts, *[s + 0.25 for s in starts]})

    def rhs(_, y, a):
        intake = 40.0 if any(s <= a < s + 0.25 for s in starts) else 0.0
        gut, central, _ = y
        return [intake - ka * gut, ka * gut - ke * central, ke * central]

    ref = piecewise(rhs, [0, 0, 0], breaks, t)
    for i, name in enumerate(["a_gut", "a_central", "a_elim"]):
        close(v[name], ref[:, i], 40)
    close(v["c_central"], ref[:, 1] / vd, 1)
    # Every dose taken is accounted for: 10 mg per intake.
    taken = np.array([10.0 * sum(min(max(x - s, 0), 0.25) / 0.25 for s in starts) for x in t])
    close(v["balance"], taken, 40)


def test_voc_inhalation_n_doses():
    t, v = run("voc_inhalation", ["a_liv", "a_fat", "a_rich", "a_slow", "a_met", "c_art",
                                  "c_exh", "c_liv"], ialg=5, nstp=100, cint=0.5, tstop=24)
    bw = 65.0
    qc, qp = 15 * bw ** 0.75, 18 * bw ** 0.75
    q = np.array([0.25, 0.05, 0.45, 0.25]) * qc
    q[3] = qc - q[0] - q[1] - q[2]
    vol = np.array([0.026, 0.21, 0.05, 0.55]) * bw
    part = np.array([4.6, 62, 4.6, 1.5])
    vmax, km, pb = 2.5 * bw ** 0.75, 0.3, 9.5

    def arterial(y, cinh):
        cv = y[:4] / (vol * part)
        cven = (q @ cv) / qc
        return cv, (qc * cven + qp * cinh) / (qc + qp / pb)

    def rhs(_, y, a):
        cinh = 1.2 if a < 6 else 0.0
        cv, cart = arterial(y, cinh)
        met = vmax * cv[0] / (km + cv[0]) if cv[0] > 0 else 0.0
        d = q * (cart - cv)
        d[0] -= met
        return [*d, met]

    ref = piecewise(rhs, [0] * 5, [0.0, 6.0, 24.0], t)
    for i, name in enumerate(["a_liv", "a_fat", "a_rich", "a_slow", "a_met"]):
        close(v[name], ref[:, i], 100)
    cart = np.array([arterial(y, 1.2 if x < 6 else 0.0)[1] for x, y in zip(t, ref)])
    close(v["c_art"], cart, 1)
    close(v["c_exh"], cart / pb, 1)
    close(v["c_liv"], ref[:, 0] / vol[0], 1)


def test_two_compartment_calc_outputs():
    t, v = run("two_compartment_iv", ["a_c", "a_p", "a_out", "c_c", "elim_rate", "above_mec"],
               ialg=5, nstp=50, cint=0.5, tstop=24)
    k10, k12, k21 = 4.5 / 12, 9 / 12, 9 / 30

    def rhs(_, y, a):
        return [-(k10 + k12) * y[0] + k21 * y[1], k12 * y[0] - k21 * y[1], k10 * y[0]]

    ref = piecewise(rhs, [250, 0, 0], [0.0, 24.0], t)
    for i, name in enumerate(["a_c", "a_p", "a_out"]):
        close(v[name], ref[:, i], 250)
    close(v["c_c"], ref[:, 0] / 12, 1)
    close(v["elim_rate"], k10 * ref[:, 0], 1)
    conc = ref[:, 0] / 12
    clear = np.abs(conc - 2) > 1e-6
    np.testing.assert_array_equal(v["above_mec"][clear], (conc >= 2)[clear].astype(float))
    assert set(v["above_mec"]) == {0.0, 1.0}


def test_generic_pbtk_daily_doses():
    t, v = run("generic_pbtk", ["a_lumen", "a_gut", "a_liver", "a_kidney", "a_lung", "a_rest",
                                "a_art", "a_ven", "a_metab", "a_urine", "c_plasma", "total"],
               ialg=5, nstp=1000, cint=0.5)
    bw, fup, r = 70.0, 0.15, 0.9
    vol = dict(gut=0.0158, liver=0.0245, kidney=0.00432, lung=0.00779, rest=0.73, art=0.0243,
               ven=0.0487)
    vol = {k: x * bw for k, x in vol.items()}
    qc = 14 * bw ** 0.75
    qgut, qliver, qkidney = 0.205 * qc, 0.046 * qc, 0.221 * qc
    qrest = qc - qgut - qliver - qkidney
    clmet, gfr = 0.25 * bw, 0.11 * bw
    kp = dict(gut=3.1, liver=5.2, kidney=4.4, lung=2.0, rest=1.7)

    def rhs(_, y, a):
        oral = 50.0 if (a % 24) < 1 else 0.0
        lumen, gut, liver, kidney, lung, rest, art, ven, _, _ = y
        c = dict(gut=gut / vol["gut"], liver=liver / vol["liver"],
                 kidney=kidney / vol["kidney"], lung=lung / vol["lung"], rest=rest / vol["rest"])
        out = {k: c[k] * r / (kp[k] * fup) for k in c}   # venous outflow concentrations
        cart, cven = art / vol["art"], ven / vol["ven"]
        return [oral - 2.2 * lumen,
                2.2 * lumen + qgut * (cart - out["gut"]),
                qliver * cart + qgut * out["gut"] - (qliver + qgut) * out["liver"]
                - clmet * c["liver"] / kp["liver"],
                qkidney * (cart - out["kidney"]) - gfr * cart / r * fup,
                qc * (cven - out["lung"]),
                qrest * (cart - out["rest"]),
                qc * (out["lung"] - cart),
                (qliver + qgut) * out["liver"] + qkidney * out["kidney"] + qrest * out["rest"]
                - qc * cven,
                clmet * c["liver"] / kp["liver"],
                gfr * cart / r * fup]

    breaks = sorted({0.0, 48.0, 1.0, 24.0, 25.0})
    ref = piecewise(rhs, [0] * 10, breaks, t)
    names = ["a_lumen", "a_gut", "a_liver", "a_kidney", "a_lung", "a_rest", "a_art", "a_ven",
             "a_metab", "a_urine"]
    for i, name in enumerate(names):
        close(v[name], ref[:, i], 100)
    close(v["c_plasma"], ref[:, 7] / vol["ven"] / r, 1)
    dosed = np.array([50.0 * (min(x, 1) + min(max(x - 24, 0), 1)) for x in t])
    close(v["total"], dosed, 100)


def test_runs_stop_where_the_doses_were_laid_out():
    # Imported with --tstop 48: a longer run would miss the dose at 48.5 and
    # later ones, so it ends there and the host tool says so.
    command = [CLI, "run", "--lib", os.environ["ORVO_IMPORT_LIB_oral_repeated"], "--vars", "t",
               "--set", "tstop=100"]
    result = subprocess.run(command, capture_output=True, text=True, timeout=600)
    assert result.returncode == 1
    assert "stopped at t = 48.5" in result.stderr
    assert float(result.stdout.split()[-1]) == pytest.approx(48.5)


@pytest.mark.parametrize("period,start,infusion,tstop", [(8, 1, 0.5, 48), (6, 0.5, 0.25, 30)])
def test_dosing_forms_follow_their_parameters(period, start, infusion, tstop):
    # The dose times are expressions of the parameters, so setting them moves the doses.
    t, v = run("dosing_forms", ["a_exp", "a_inf", "a_step", "q_exp"], ialg=5, nstp=50, cint=0.5,
               period=period, start=start, infusion=infusion, tstop=tstop)
    assert t[-1] == pytest.approx(tstop)
    mag, decay, k = 3.0, 0.7, 0.2
    exp_starts = [start + i * period for i in range(10) if start + i * period < tstop]
    inf_starts = [start + 2 + i * period for i in range(10) if start + 2 + i * period < tstop]
    steps = [(start, 1.0), (5.0, 0.0), (9.0, 2.5)]

    def inputs(x, a):
        last = [s for s in exp_starts if s <= a]
        q_exp = mag * np.exp(-decay * (x - last[-1])) if last else 0.0
        q_inf = 2 * mag if any(s <= a < s + infusion for s in inf_starts) else 0.0
        q_step = ([q for s, q in steps if s <= a] or [0.0])[-1]
        return q_exp, q_inf, q_step

    def rhs(x, y, a):
        return [q - k * yi for q, yi in zip(inputs(x, a), y)]

    breaks = sorted({0.0, float(tstop), *exp_starts, *inf_starts,
                     *[s + infusion for s in inf_starts], start, 5.0, 9.0})
    ref = piecewise(rhs, [0, 0, 0], breaks, t)
    for i, name in enumerate(["a_exp", "a_inf", "a_step"]):
        close(v[name], ref[:, i], 10)
    # The input itself, away from the restarts, where the row shows it after the event.
    away = np.array([all(abs(x - s) > 1e-9 for s in exp_starts) for x in t])
    expected = np.array([inputs(x, x)[0] for x in t])
    close(v["q_exp"][away], expected[away], 3)


@pytest.mark.parametrize("volume", [0, 2])
def test_guarded_division_with_an_empty_compartment(volume):
    # With V_b = 0 the guarded divisions are never evaluated; with 2 they are.
    t, v = run("guarded_division", ["a", "b", "c_b", "full"], ialg=5, nstp=50, cint=0.5,
               v_b=volume)
    assert t[-1] == pytest.approx(48)
    close(v["a"], np.exp(-0.5 * t), 1)
    b = 0.5 * t * np.exp(-0.5 * t) if volume else 1 - np.exp(-0.5 * t)
    close(v["b"], b, 1)
    close(v["c_b"], b / volume if volume else 0 * t, 1)
    assert list(v["full"]) == [1.0 if volume and x / volume > 0.1 else 0.0 for x in b]


def test_simulation_file_runs_as_scenarios_and_population(tmp_path):
    models = os.environ["ORVO_IMPORT_MODELS"]
    lib = os.environ["ORVO_IMPORT_LIB_oral_repeated"]
    result = subprocess.run([sys.executable, os.environ["ORVO_IMPORT"], "mcsim",
                             os.path.join(models, "oral_repeated.in"), "--model",
                             os.path.join(models, "oral_repeated.model"), "--tstop", "48",
                             "--out", str(tmp_path)],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr

    def cli(*args):
        done = subprocess.run([CLI, *args, "--lib", lib], capture_output=True, text=True,
                              timeout=600)
        assert done.returncode == 0, done.stderr
        return done.stdout

    # Each scenario runs as the same settings given one by one.
    for k, settings in [(1, ["vd_kg=0.65", "ialg=14", "rate_in=40", "tstop=36", "cint=0.5"]),
                        (2, ["vd_kg=0.65", "ialg=14", "rate_in=80", "bw=82", "tstop=24",
                             "cint=0.5"])]:
        scenario = tmp_path / f"oral_repeated_sim{k}.scenario"
        by_file = cli("run", "--scenario", str(scenario), "--vars", "t,c_central,balance")
        by_hand = cli("run", "--vars", "t,c_central,balance",
                      *[x for s in settings for x in ("--set", s)])
        assert by_file == by_hand
    rows = list(csv.reader(io.StringIO(by_file)))
    assert float(rows[-1][0]) == 24
    # Twice the intake: 20 mg per dose, two doses by t = 24.
    assert float(rows[-1][2]) == pytest.approx(40, rel=1e-3)

    cli("batch", "--scenario", str(tmp_path / "oral_repeated_sim1.population"), "--vars",
        "c_central", "--at", "12,36", "--jobs", "1", "--out", str(tmp_path / "pop"))
    runs = list(csv.DictReader(open(tmp_path / "pop" / "runs.csv")))
    assert len(runs) == 40 and {r["status"] for r in runs} == {"ok"}
    assert all(0.3 <= float(r["ka"]) <= 5 and 0.08 <= float(r["ke"]) <= 0.16 for r in runs)
    assert len({r["bw"] for r in runs}) == 40


def test_values_given_several_ways_run_as_mcsim_applies_them(tmp_path):
    # MCSim sets the global values in turn, then the draws or set points, then the
    # simulation's own values; the translations run, and the runs match the ODE with
    # the values that won.
    models = os.environ["ORVO_IMPORT_MODELS"]
    lib = os.environ["ORVO_IMPORT_LIB_oral_repeated"]
    (tmp_path / "points.dat").write_text("iter Ka Ke\n1 1.1 0.1\n2 1.2 0.2\n")
    (tmp_path / "mc.in").write_text(
        "Vd_kg = 0.5;\nVd_kg = 0.65;\nKa = 9;\nMonteCarlo(\"mc.out\", 6, 5);\n"
        "Distrib(Ka, Uniform, 1, 1.5);\nDistrib(Ke, Uniform, 0.1, 0.15);\n"
        "Simulation {\n  Ke = 0.12;\n  PrintStep(C_central, 0, 12, 6);\n}\n")
    (tmp_path / "sp.in").write_text(
        "Ka = 9;\nSetPoints(\"sp.out\", \"points.dat\", 0, Ka, Ke);\n"
        "Simulation {\n  Ke = 0.12;\n  PrintStep(C_central, 0, 12, 6);\n}\n")

    def imported(name):
        result = subprocess.run([sys.executable, os.environ["ORVO_IMPORT"], "mcsim",
                                 str(tmp_path / name), "--model",
                                 os.path.join(models, "oral_repeated.model"), "--tstop", "48",
                                 "--out", str(tmp_path)], capture_output=True, text=True,
                                timeout=60)
        assert result.returncode == 0, result.stderr

    def batch(out, *args):
        done = subprocess.run([CLI, "batch", "--lib", lib, "--vars", "c_central", "--at", "12",
                               "--jobs", "1", "--rtol", "1e-10", "--atol", "1e-12", "--out",
                               str(tmp_path / out), *args], capture_output=True, text=True,
                              timeout=600)
        assert done.returncode == 0, done.stderr
        return list(csv.DictReader(open(tmp_path / out / "runs.csv")))

    def concentration(ka, ke, vd_kg):
        # Intake 40 mg/h for 0.25 h every 12 h from 0.5 h, body weight 70 kg.
        def rhs(_, y, a):
            intake = 40.0 if 0.5 <= a < 0.75 else 0.0
            return [intake - ka * y[0], ka * y[0] - ke * y[1]]
        y = piecewise(rhs, [0, 0], [0, 0.5, 0.75, 12], np.array([0, 0.5, 0.75, 12]))
        return y[-1, 1] / (vd_kg * 70)

    imported("mc.in")
    runs = batch("mc", "--scenario", str(tmp_path / "mc_sim1.population"))
    assert len(runs) == 6 and "ke" not in runs[0]
    for run in runs:
        ka = float(run["ka"])
        assert 1 <= ka <= 1.5
        close(float(run["c_central@12"]), concentration(ka, 0.12, 0.65), 1)
    imported("sp.in")
    runs = batch("sp", "--scenario", str(tmp_path / "sp_sim1.scenario"), "--params",
                 str(tmp_path / "sp_sim1_setpoints.csv"))
    assert [float(r["ka"]) for r in runs] == [1.1, 1.2]
    for run in runs:
        close(float(run["c_central@12"]), concentration(float(run["ka"]), 0.12, 0.7), 1)


@pytest.mark.parametrize("ialg,nstp", [(5, 50), (14, 10), (9, 10)])
def test_imported_model_matches_its_hand_written_twin(ialg, nstp):
    names = ["a_gut", "a_central", "a_elim", "c_central"]
    settings = dict(ialg=ialg, nstp=nstp, cint=0.5, tstop=48, rate_in=55, ka=0.9)
    t, imported = run("oral_repeated", names, **settings)
    t_twin, twin = run("twin", names, lib=os.environ["ORVO_IMPORT_TWIN_oral_repeated"],
                       **settings)
    np.testing.assert_array_equal(t, t_twin)
    for name in names:
        np.testing.assert_allclose(imported[name], twin[name], rtol=1e-12, atol=1e-13)


def calibrate_as_told(source, out, *import_options, extra=()):
    """Imports an MCMC file and runs the command its note gives, with our library and
    `out`; the summary's rows by parameter."""
    imported = subprocess.run([sys.executable, os.environ["ORVO_IMPORT"], "mcsim", str(source),
                               *import_options, "--out", str(out / "imported")],
                              capture_output=True, text=True, timeout=60)
    assert imported.returncode == 0, imported.stderr
    note = next(x for x in imported.stderr.splitlines() if "run it with: " in x)
    command = shlex.split(note.split("run it with: ")[1].split(" (LIB")[0])
    assert command[:2] == ["orvo", "calibrate"]
    command = [CLI, "calibrate"] + [{"LIB": os.environ["ORVO_IMPORT_LIB_oral_repeated"],
                                     "DIR": str(out / "posterior")}.get(x, x) for x in command[2:]]
    done = subprocess.run(command + list(extra), capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    with open(out / "posterior" / "summary.csv") as f:
        return {row["parameter"]: {k: float(v) for k, v in row.items() if k != "parameter"}
                for row in csv.DictReader(f)}


def covers(row, value, within):
    return row["q2.5"] <= value <= row["q97.5"] and abs(row["q50"] / value - 1) < within


def test_mcmc_file_calibrates_as_imported(tmp_path):
    # Its data were made with ka = 0.9, ke = 0.2 at two intake rates, with a 5 % error.
    models = os.environ["ORVO_IMPORT_MODELS"]
    summary = calibrate_as_told(os.path.join(models, "oral_calibration.in"), tmp_path,
                                "--model", os.path.join(models, "oral_repeated.model"),
                                "--tstop", "48", extra=["--chains", "2", "--jobs", "2"])
    assert sorted(summary) == ["ka", "ke"]
    assert covers(summary["ka"], 0.9, 0.05) and covers(summary["ke"], 0.2, 0.05), summary


def test_mcmc_file_with_subject_levels_calibrates(tmp_path):
    # The same data as two subjects, each experiment with its own ke drawn from a
    # population (whose parameters the model does not declare: imported without --model).
    text = open(os.path.join(os.environ["ORVO_IMPORT_MODELS"], "oral_calibration.in")).read()
    for mcsim, ours in [
            ('"", 1500, 0, 1, 1000, 2026', '"", 300, 0, 1, 150, 5'),
            ("Distrib (Ke, TruncLogNormal, 0.1, 4, 0.01, 2);",
             "Distrib (Ke_gm, LogUniform, 0.01, 2);\n  Distrib (Ke_gsd, LogUniform, 1.05, 3);"),
            ("  Level {", "  Level {\n    Distrib (Ke, LogNormal, Ke_gm, Ke_gsd);")]:
        assert mcsim in text
        text = text.replace(mcsim, ours)
    source = tmp_path / "subjects.in"
    source.write_text(text)
    summary = calibrate_as_told(source, tmp_path, extra=["--chains", "2", "--jobs", "2"])
    assert sorted(summary) == ["ka", "ke[s1]", "ke[s2]", "ke_gm", "ke_gsd"]
    assert covers(summary["ke[s1]"], 0.2, 0.05) and covers(summary["ke[s2]"], 0.2, 0.05), summary


def test_spikes_given_as_the_dose_records_the_refusal_names(tmp_path):
    # The model with its boluses as a Spikes input is refused with the records to
    # write; the model without the input, run with them, gets each bolus whole at
    # its time: the matrix exponential of the linear system, summed over boluses.
    models = os.environ["ORVO_IMPORT_MODELS"]
    with open(os.path.join(models, "iv_bolus.model"), encoding="utf-8") as f:
        source = f.read()
    spiked = tmp_path / "spiked.model"
    spiked.write_text(source.replace("Inputs = {};", "Inputs = {IV};\nIV = Spikes(2, 25, Dose, "
                                     "1.5, 7.25);")
                      .replace("dt(A_c) = ", "dt(A_c) = IV + "))
    result = subprocess.run([sys.executable, os.environ["ORVO_IMPORT"], "mcsim", str(spiked),
                             "--out", str(tmp_path / "out.model")],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 1 and "Traceback" not in result.stderr
    records = result.stderr.strip().rsplit(": ", 1)[1].split("; ")
    assert records == ["time,target,amount", "1.5,a_c,25", "7.25,a_c,dose"]
    doses = tmp_path / "doses.csv"
    doses.write_text("\n".join(records) + "\n")

    names = ["a_c", "a_p", "a_out", "c_c"]
    command = [CLI, "run", "--lib", os.environ["ORVO_IMPORT_LIB_iv_bolus"], "--vars",
               ",".join(["t"] + names), "--doses", str(doses), "--set", "ialg=5",
               "--set", "nstp=50", "--set", "cint=0.5", "--set", "tstop=24"]
    done = subprocess.run(command, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    rows = np.array(list(csv.reader(io.StringIO(done.stdout)))[1:], dtype=float)
    t = rows[:, 0]
    assert t[-1] == pytest.approx(24)
    k_cp, k_pc, k_el = 0.4, 0.25, 0.3
    rates = np.array([[-(k_cp + k_el), k_pc, 0], [k_cp, -k_pc, 0], [k_el, 0, 0]])
    expected = np.zeros((len(t), 3))
    for at, amount in [(1.5, 25.0), (7.25, 40.0)]:
        for i, x in enumerate(t):
            if x >= at:
                expected[i] += expm(rates * (x - at)) @ np.array([amount, 0, 0])
    for i, name in enumerate(names[:3]):
        close(rows[:, 1 + i], expected[:, i], 65)
    # The output is compared away from the bolus times: a row at a dose time
    # shows the states after the dose but what the derivative section computes
    # from them before it.
    away = (t != 1.5) & (t != 7.25)
    close(rows[away, 4], expected[away, 0] / 10, 6.5)
    # Every bolus is accounted for once it is in.
    close(rows[:, 1:4].sum(axis=1), 25.0 * (t >= 1.5) + 40.0 * (t >= 7.25), 65)
