"""orvo.calibrate against the same posterior computed here: on a grid and
with emcee (skipped when emcee is not installed). The model is
oral_absorption, whose concentration has a closed form."""

import os

import numpy as np
import pandas as pd
import pytest

import orvo
from orvo.errors import SettingsError
from orvo.population import has_command

LIB = os.environ.get("ORVO_ORAL_ABSORPTION_LIB")
pytestmark = pytest.mark.skipif(not LIB or not has_command("calibrate", lib=LIB),
                                reason="needs the oral_absorption library and orvo calibrate")

DOSE, TDOSE, KA, SIGMA = 100.0, 1.25, 1.5, 0.1
TIMES = np.array([1.5, 2, 3, 4, 6, 8, 12, 16, 24])
PRIORS = {"ke": (0.3, 3.0, 0.01, 5.0), "vd": (20.0, 3.0, 1.0, 500.0)}  # lognormal(gm, gsd) [low, high]


def concentration(ke, vd, t=TIMES):
    tau = np.maximum(np.asarray(t) - TDOSE, 0.0)
    return DOSE * KA / (vd * (KA - ke)) * (np.exp(-ke * tau) - np.exp(-KA * tau))


def log_posterior(ke, vd, data):
    """Up to a constant; ke and vd may be arrays of the same shape."""
    total = 0.0
    for value, (gm, gsd, low, high) in zip((ke, vd), PRIORS.values()):
        z = (np.log(value) - np.log(gm)) / np.log(gsd)
        total = total - 0.5 * z ** 2 - np.log(value) + np.where((value < low) | (value > high), -np.inf, 0.0)
    predicted = concentration(np.asarray(ke)[..., None], np.asarray(vd)[..., None])
    residual = (np.log(data) - np.log(predicted)) / SIGMA
    return total - 0.5 * np.sum(residual ** 2, axis=-1)


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(17)
    return concentration(0.2, 30.0) * np.exp(SIGMA * rng.standard_normal(TIMES.size))


def run(data, **options):
    frame = pd.DataFrame({"time": TIMES, "variable": "conc", "value": data})
    priors = {name: f"lognormal({gm}, {gsd}) [{low}, {high}]" for name, (gm, gsd, low, high) in PRIORS.items()}
    return orvo.calibrate(parameters=priors, errors={"conc": f"lognormal {SIGMA}"},
                          settings={"ka": KA, "nstp": 20}, data=frame, lib=LIB, **options)


@pytest.fixture(scope="module")
def fit(data):
    return run(data, iterations=3000, burn=1000, chains=4, jobs=2, seed=3)


def test_tables(fit):
    assert list(fit.chains.columns) == ["chain", "iteration", "ke", "vd", "log_prior", "log_likelihood"]
    assert len(fit.chains) == 4 * 2000
    assert list(fit.summary.index) == ["ke", "vd"]
    assert (fit.summary["rhat"] < 1.02).all()
    assert list(fit.draws.columns) == ["ke", "vd"] and len(fit.draws) == len(fit.chains)
    assert len(fit.predictions) == TIMES.size and fit.directory is None


def test_matches_the_posterior_on_a_grid(fit, data):
    # A fine grid in log space around the sampled posterior, wide enough for all its mass.
    centre, spread = np.log(fit.summary["q50"]), fit.summary["sd"] / fit.summary["q50"]
    lke, lvd = (np.linspace(centre[p] - 10 * spread[p], centre[p] + 10 * spread[p], 401) for p in ("ke", "vd"))
    ke, vd = np.meshgrid(np.exp(lke), np.exp(lvd), indexing="ij")
    log_density = log_posterior(ke, vd, data) + np.log(ke) + np.log(vd)  # density of the logs
    weight = np.exp(log_density - log_density.max())
    weight /= weight.sum()
    for name, values in (("ke", ke), ("vd", vd)):
        mean = np.sum(weight * values)
        sd = np.sqrt(np.sum(weight * (values - mean) ** 2))
        row = fit.summary.loc[name]
        assert row["mean"] == pytest.approx(mean, abs=4 * sd / np.sqrt(row["ess"])), name
        assert row["sd"] == pytest.approx(sd, rel=0.1), name


def test_matches_emcee(fit, data):
    emcee = pytest.importorskip("emcee")
    walkers = 16
    rng = np.random.default_rng(5)
    start = np.column_stack([fit.summary.loc[p, "q50"] * np.exp(0.01 * rng.standard_normal(walkers))
                             for p in ("ke", "vd")])
    def log_probability(x):
        return float(log_posterior(x[0], x[1], data)) if np.all(x > 0) else -np.inf

    sampler = emcee.EnsembleSampler(walkers, 2, log_probability)
    sampler.random_state = np.random.RandomState(11).get_state()
    sampler.run_mcmc(start, 4000, progress=False)
    samples = sampler.get_chain(discard=1000, flat=True)
    tau = np.max(sampler.get_autocorr_time(discard=1000, tol=0))
    emcee_ess = samples.shape[0] / tau
    for k, name in enumerate(("ke", "vd")):
        row = fit.summary.loc[name]
        mean, sd = samples[:, k].mean(), samples[:, k].std(ddof=1)
        error = 4 * sd * np.sqrt(1 / row["ess"] + 1 / emcee_ess)
        assert row["mean"] == pytest.approx(mean, abs=error), name
        assert row["sd"] == pytest.approx(sd, rel=0.15), name


def test_resumed_chains_equal_one_run(data, tmp_path):
    whole = run(data, iterations=700, burn=200, chains=2, seed=4)
    first = run(data, iterations=300, burn=200, chains=2, seed=4, out=tmp_path / "fit")
    assert first.directory == os.fspath(tmp_path / "fit")
    resumed = run(data, iterations=400, resume=tmp_path / "fit")
    pd.testing.assert_frame_equal(resumed.chains, whole.chains)
    pd.testing.assert_frame_equal(resumed.summary, whole.summary)


def test_data_columns_in_any_order(data):
    # A DataFrame's column order is incidental: it was refused as a bad header.
    frame = pd.DataFrame({"value": data, "subject": "s1", "time": TIMES, "variable": "conc"})
    fitted = orvo.calibrate(parameters={"ke": "lognormal(0.3, 3) [0.01, 5]", "vd": "lognormal(20, 3) [1, 500]"},
                            errors={"conc": f"lognormal {SIGMA}"}, settings={"ka": KA, "nstp": 20}, data=frame,
                            lib=LIB, iterations=40, chains=1)
    assert list(fitted.predictions["subject"].unique()) == ["s1"]
    pd.testing.assert_series_equal(fitted.predictions["time"], pd.Series(TIMES, name="time"), check_dtype=False)


def test_refuses_incomplete_arguments(data):
    with pytest.raises(SettingsError, match="either a calibration file or parameters"):
        orvo.calibrate()
    with pytest.raises(SettingsError, match="needs errors= and data="):
        orvo.calibrate(parameters={"ke": "lognormal(0.3, 3)"})
    with pytest.raises(SettingsError, match="not the folder of a finished calibration"):
        orvo.calibrate(parameters={"ke": "lognormal(0.3, 3)"}, errors={"conc": "normal 1"}, lib=LIB,
                       data=pd.DataFrame({"time": [2.0], "variable": ["conc"], "value": [1.0]}),
                       resume=os.path.join(os.path.dirname(LIB), "no-such-calibration"))
    # settings as a Series are written like a dict; a count is whole
    with pytest.raises(SettingsError, match="iterations is a whole number"):
        orvo.calibrate(parameters={"ke": "lognormal(0.3, 3)"}, errors={"conc": "normal 1"},
                       settings=pd.Series({"ka": KA}), lib=LIB, iterations=2.5,
                       data=pd.DataFrame({"time": [2.0], "variable": ["conc"], "value": [1.0]}))
    # refusals name the arguments the files were written from, not temporary paths
    with pytest.raises(orvo.CliError, match="refused") as refused:
        orvo.calibrate(parameters={"nosuch": "normal(0, 1)"}, errors={"conc": "normal 1"},
                       data=pd.DataFrame({"time": [2.0], "variable": ["conc"], "value": [1.0]}), lib=LIB,
                       iterations=10)
    assert "the calibration written from parameters=, errors= and settings=:1: unknown parameter 'nosuch'" in str(
        refused.value)
    with pytest.raises(orvo.CliError, match=r"the data of experiment late \(as CSV\):2: time -1 is outside"):
        orvo.calibrate(parameters={"ke": "lognormal(0.3, 3)"}, errors={"conc": "normal 1"}, lib=LIB,
                       data={"late": pd.DataFrame({"time": [-1.0], "variable": ["conc"], "value": [1.0]})})
    for out, words in (("", "empty folder name"), (os.path.join(LIB, "x"), "cannot create the folder")):
        with pytest.raises(SettingsError, match=words):
            orvo.calibrate(parameters={"ke": "lognormal(0.3, 3)"}, errors={"conc": "normal 1"}, lib=LIB, out=out,
                           data=pd.DataFrame({"time": [2.0], "variable": ["conc"], "value": [1.0]}))
