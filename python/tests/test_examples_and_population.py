import glob
import os
import subprocess
import sys
import tempfile

import pandas as pd
import pytest

import orvo
from orvo.population import has_command
from conftest import REPO


def test_fit_example_recovers_the_parameter():
    done = subprocess.run([sys.executable, f"{REPO}/examples/fit_parameter.py", "--true", "0.065"],
                          capture_output=True, text=True, timeout=600,
                          env={**os.environ, "PYTHONPATH": f"{REPO}/python"})
    assert done.returncode == 0, done.stdout + done.stderr
    estimate = float(done.stdout.split("estimate ")[1].split()[0])
    assert estimate == pytest.approx(0.065, rel=0.01)


needs_batch = pytest.mark.skipif(not has_command("batch"),
                                 reason="the orvo executable has no batch command")
needs_sensitivity = pytest.mark.skipif(not has_command("sensitivity"),
                                       reason="the orvo executable has no sensitivity command")

POPULATION = """\
pdoseug_i = 200
cint = 24
tstop = 48
runs = 6
seed = 11
bw_m ~ normal(72.3, 8.0) [45, 120]
"""


@needs_batch
def test_population_tables_and_bands(tmp_path, capsys):
    scenario = tmp_path / "population.scenario"
    scenario.write_text(POPULATION)
    result = orvo.population(scenario, vars=["ca_mi", "ca_mp"], at=[24, 48], out=tmp_path / "out")
    runs, summary = result.runs, result.summary
    assert len(runs) == 6 and set(runs["status"]) == {"ok"}
    for column in ["run", "bw_m", "status", "message", "ca_mi@24", "ca_mi@48", "ca_mi_max",
                   "ca_mi_tmax", "ca_mi_auc", "ca_mi_final"]:
        assert column in runs.columns, column
    assert runs["bw_m"].between(45, 120).all() and runs["bw_m"].nunique() == 6
    assert list(summary.columns) == ["variable", "time", "n", "mean", "sd", "p2.5", "p5", "p25", "p50",
                                     "p75", "p95", "p97.5"]
    assert set(summary["variable"]) == {"ca_mi", "ca_mp"} and {24, 48} <= set(summary["time"])
    figure = orvo.plot(result, ["ca_mi"])
    figure.savefig(tmp_path / "bands.svg")
    # settings and distributions given from Python make the same population file
    again = orvo.population(None, settings={"pdoseug_i": 200, "cint": 24, "tstop": 48},
                            distributions={"bw_m": "normal(72.3, 8.0) [45, 120]"}, runs=6, seed=11,
                            vars=["ca_mi", "ca_mp"], at=[24, 48], out=tmp_path / "again")
    assert again.runs["ca_mi@48"].tolist() == pytest.approx(runs["ca_mi@48"].tolist(), rel=1e-12)
    # a design as a DataFrame runs its rows; the temporary folder goes away
    design = pd.DataFrame({"pdoseug_i": [100.0, 200.0, 400.0], "bw_m": [70.0, 70.0, 70.0]})
    before = set(glob.glob(os.path.join(tempfile.gettempdir(), "orvo-population-*")))
    designed = orvo.population(None, settings={"cint": 24, "tstop": 48}, params=design,
                               vars=["ca_mi"], at=[48])
    assert len(designed.runs) == 3 and designed.directory is None
    assert designed.runs["ca_mi@48"].is_monotonic_increasing  # more iodide, more in plasma
    assert set(glob.glob(os.path.join(tempfile.gettempdir(), "orvo-population-*"))) == before
    # progress: a callable hears the runs done; True prints lines without tqdm
    heard = []
    orvo.population(None, settings={"cint": 24, "tstop": 48}, params=design, vars=["ca_mi"],
                    progress=lambda done, total: heard.append((done, total)))
    assert heard and heard[-1] == (3, 3)
    capsys.readouterr()
    shown = orvo.population(None, settings={"cint": 24, "tstop": 48}, params=design, vars=["ca_mi"], progress=True)
    assert "orvo: 3/3 runs" in capsys.readouterr().err
    assert shown.runs["ca_mi_final"].equals(designed.runs["ca_mi_final"])
    with pytest.raises(orvo.CliError) as refused:
        orvo.population(scenario, vars=["no_such_variable"], out=tmp_path / "bad")
    assert refused.value.exit_code == 2
    with pytest.raises(orvo.CliError, match=r"params= \(as CSV\):3: bad value 'x'"):
        orvo.population(None, settings={"tstop": 48}, params=pd.DataFrame({"bw_m": [70.0, "x"]}), vars=["ca_mi"])
    # runs= overrides the file's runs; run k's values depend only on the seed and k
    fewer = orvo.population(scenario, runs=3.0, vars=["ca_mi"], at=[48])
    assert fewer.runs["bw_m"].tolist() == runs["bw_m"].tolist()[:3]
    for bad in [{"runs": 2.5}, {"runs": float("inf")}, {"seed": "eleven"}, {"jobs": 1.5}]:
        with pytest.raises(orvo.SettingsError, match=next(iter(bad))):
            orvo.population(scenario, vars=["ca_mi"], **bad)


@needs_batch
def test_population_tolerances_reach_every_run(model):
    # The workers' runs at given tolerances are the in-process run's, bit for bit.
    settings = {"pdoseug_i": 200, "cint": 24, "tstop": 48}
    tight = (1e-8, 1e-10)
    designed = orvo.population(None, settings=settings, params=pd.DataFrame({"bw_m": [65.0]}),
                               vars=["ca_mi"], at=[48], tolerances=tight)
    alone = model.run(settings={**settings, "bw_m": 65.0}, record=["ca_mi"], tolerances=tight)
    assert designed.runs["ca_mi@48"].iloc[0] == alone["ca_mi"].loc[48]
    default = model.run(settings={**settings, "bw_m": 65.0}, record=["ca_mi"])
    assert alone["ca_mi"].loc[48] != default["ca_mi"].loc[48]
    for bad in [{"aioral_i": (1e-6, 1e-6)}, (1e-6,), (0, 1e-6)]:
        with pytest.raises(orvo.SettingsError):
            orvo.population(None, settings=settings, params=pd.DataFrame({"bw_m": [65.0]}), tolerances=bad)


@needs_sensitivity
def test_sensitivity_tables(tmp_path):
    scenario = tmp_path / "short.scenario"
    scenario.write_text("pdoseug_i = 200\ncint = 24\ntstop = 48\n")
    table = orvo.sensitivity("local", scenario, params=["bw_m", "clf_upm"], vars=["ca_mi"], at=[48],
                             out=tmp_path / "local")
    assert list(table.columns) == ["parameter", "variable", "time", "coefficient"]
    assert set(table["parameter"]) == {"bw_m", "clf_upm"} and len(table) == 2
    population = tmp_path / "population.scenario"
    population.write_text(POPULATION + "clf_upm ~ uniform(0.03, 0.07)\n")
    indices = orvo.sensitivity("sobol", population, vars=["ca_mp"], at=[48], runs=10, bootstrap=10,
                               out=tmp_path / "sobol")
    assert list(indices.columns) == ["parameter", "variable", "time", "S1", "S1_low", "S1_high", "ST",
                                     "ST_low", "ST_high"]
    assert set(indices["parameter"]) == {"bw_m", "clf_upm"}
    heard = []
    again = orvo.sensitivity("sobol", population, vars=["ca_mp"], at=[48], runs=10, bootstrap=10,
                             progress=lambda done, total: heard.append((done, total)))
    assert again.equals(indices) and heard[-1][0] == heard[-1][1] > 0
    with pytest.raises(ValueError):
        orvo.sensitivity("global", population)
