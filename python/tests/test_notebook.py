"""A risk assessor's notebook, cell by cell, on short runs: load, explore the
variables, run the example, compare doses, step a run, a population from a
table of parameter sets, Sobol indices, a fit, and the plots of each."""

import numpy as np
import pandas as pd
import pytest

import orvo
from orvo.population import has_command

SHORT = {"pdoseug_i": 200, "pdosemg_p": 0.007, "doseon": 0, "cint": 24, "tstop": 96}


def legend_texts(panel):
    legend = panel.get_legend()
    return [text.get_text() for text in legend.get_texts()] if legend else []


def test_notebook(model, tmp_path):
    import matplotlib.pyplot as plt

    # load and explore
    assert "orvo.Model" in repr(model)
    table = model.variables
    settable = table[table["settable"]]
    assert {"pdoseug_i", "bw_m", "tstop"} <= set(settable["name"])
    concentrations = table[table["units"].str.contains("/", na=False) & (table["symbol_type"] == "other")]
    assert "ca_mi" in set(concentrations["name"])
    ca_mi = model.variable("ca_mi")
    assert ca_mi.units and ca_mi.description

    # the example, short
    example = model.run(SHORT)
    assert example.index[0] == 0 and example.index[-1] == 96 and len(example) == 5
    assert example.attrs["units"]["ca_mi"] == ca_mi.units
    assert example.attrs["descriptions"]["ca_mi"] == ca_mi.description
    assert example.attrs["time_units"] == "h"

    # compare doses
    by_dose = {f"{dose} µg/d": model.run({**SHORT, "pdoseug_i": dose}, record=["ca_mi", "ca_mp"])
               for dose in (100, 200, 400)}
    finals = [frame["ca_mi"].iloc[-1] for frame in by_dose.values()]
    assert finals[0] < finals[1] < finals[2]
    # perchlorate doses, read at the output times asked for
    perchlorate = [model.run({**SHORT, "pdosemg_p": dose}, record=["ca_mp"], times=[12, 36, 96])
                   for dose in (0.007, 0.014)]
    assert list(perchlorate[0].index) == [12.0, 36.0, 96.0]
    assert (perchlorate[1]["ca_mp"] / perchlorate[0]["ca_mp"]).tolist() == pytest.approx([2.0] * 3, rel=0.05)

    # step a run, reading values on the way; the whole run agrees
    with model.instance() as instance:
        instance.set("tstop", 96.0)
        instance.set("cint", 24.0)
        instance.prestep()
        seen = []
        for _ in range(2):
            instance.step()
            seen.append((instance.time, instance.get("ca_mi")))
        instance.run_to(96.0)
        stepped_end = instance.get("ca_mi")
    assert [t for t, _ in seen] == [24.0, 48.0]
    whole = model.run({"tstop": 96, "cint": 24}, record=["ca_mi"])
    assert seen[1][1] == pytest.approx(whole["ca_mi"].loc[48], rel=1e-6)
    assert stepped_end == pytest.approx(whole["ca_mi"].loc[96], rel=1e-6)

    # the overlay: labelled runs, units on the axes, time in days
    figure = orvo.plot(list(by_dose.values()), ["ca_mi", "ca_mp"], labels=list(by_dose), time_unit="d")
    first = figure.axes[0]
    assert first.get_xlabel() == "time (d)"
    assert first.get_ylabel() == f"ca_mi ({ca_mi.units})"
    assert ca_mi.description in first.get_title()
    assert legend_texts(first) == ["100 µg/d", "200 µg/d", "400 µg/d"]
    lines = first.get_lines()
    assert len({line.get_color() for line in lines}) == 3
    assert lines[0].get_xdata()[-1] == pytest.approx(4.0)  # 96 h
    figure.savefig(tmp_path / "overlay.png")
    plt.close(figure)

    # a fit of clf_upm to noise-free data, the example's way, on a short run
    from scipy.optimize import least_squares

    fit_settings = {"pdosemg_p": 0.01, "doseon": 0, "tstop": 48.0, "ialg": 2, "cint": 12.0}

    def simulate(value):
        return model.run({**fit_settings, "clf_upm": float(value)}, record=["ca_mp"])["ca_mp"].to_numpy()[1:]

    start = model.get("clf_upm")
    data = simulate(0.065)
    fit = least_squares(lambda p: simulate(p[0]) / data - 1.0, x0=[start], bounds=([start / 20], [start * 20]),
                        x_scale=[start], xtol=1e-10)
    assert fit.x[0] == pytest.approx(0.065, rel=1e-3)
    figure = orvo.plot_fit(data, simulate(fit.x[0]), units=model.variable("ca_mp").units)
    panel = figure.axes[0]
    assert panel.get_xlabel() == f"observed ({model.variable('ca_mp').units})"
    assert panel.get_ylabel().startswith("predicted") and "observed = predicted" in legend_texts(panel)
    plt.close(figure)


@pytest.mark.skipif(not has_command("batch") or not has_command("sensitivity"),
                    reason="the orvo executable has no batch or sensitivity command")
def test_notebook_population_and_sensitivity(model, tmp_path):
    import matplotlib.pyplot as plt

    # a population from a table of parameter sets, wide and long
    design = pd.DataFrame({"bw_m": [60.0, 70.0, 80.0], "pdoseug_i": [150.0, 200.0, 250.0]})
    result = orvo.population(None, settings={"cint": 24, "tstop": 48}, params=design, vars=["ca_mi", "ca_mp"],
                             at=[24, 48])
    assert len(result.runs) == 3 and result.inputs == ["bw_m", "pdoseug_i"]
    long = result.long()
    assert list(long.columns) == ["run", "bw_m", "pdoseug_i", "status", "variable", "time", "value"]
    assert len(long) == 3 * 2 * 2
    row = long[(long["run"] == 2) & (long["variable"] == "ca_mp") & (long["time"] == 48)]
    assert row["value"].item() == result.runs.loc[2, "ca_mp@48"] and row["bw_m"].item() == 80.0
    assert result.tidy.equals(long)
    assert result.units["ca_mi"] == model.variable("ca_mi").units
    # the in-process run of one row agrees
    alone = model.run({"cint": 24, "tstop": 48, "bw_m": 70.0, "pdoseug_i": 200.0}, record=["ca_mi"])
    assert result.runs.loc[1, "ca_mi@48"] == pytest.approx(alone["ca_mi"].loc[48], rel=1e-9)
    figure = orvo.plot(result, "ca_mi", time_unit="d")
    assert figure.axes[0].get_xlabel() == "time (d)"
    assert figure.axes[0].get_ylabel() == f"ca_mi ({model.variable('ca_mi').units})"
    assert np.nanmax(figure.axes[0].get_lines()[0].get_xdata()) == pytest.approx(2.0)
    plt.close(figure)

    # Sobol indices, small, and their bars; local coefficients as a tornado
    scenario = tmp_path / "population.scenario"
    scenario.write_text("pdoseug_i = 200\ncint = 24\ntstop = 48\nseed = 3\n"
                        "bw_m ~ normal(72.3, 8.0) [45, 120]\nclf_upm ~ uniform(0.03, 0.07)\n")
    indices = orvo.sensitivity("sobol", scenario, vars=["ca_mp"], at=[48], runs=16, bootstrap=20)
    figure = orvo.plot(indices)
    panel = figure.axes[0]
    assert panel.get_ylabel() == "Sobol index" and "ca_mp" in panel.get_title()
    assert legend_texts(panel) == ["first order (S1)", "total (ST)"]
    assert {t.get_text() for t in panel.get_xticklabels()} == {"bw_m", "clf_upm"}
    plt.close(figure)
    point = tmp_path / "point.scenario"
    point.write_text("pdoseug_i = 200\npdosemg_p = 0.01\ndoseon = 0\ncint = 24\ntstop = 48\n")
    local = orvo.sensitivity("local", point, params=["bw_m", "clf_upm", "pdoseug_i"], vars=["ca_mp"], at=[48])
    figure = orvo.plot(local)
    panel = figure.axes[0]
    assert panel.get_xlabel() == "normalized sensitivity coefficient"
    names = [t.get_text() for t in panel.get_yticklabels()]
    strongest = local.loc[local["coefficient"].abs().idxmax(), "parameter"]
    assert sorted(names) == ["bw_m", "clf_upm", "pdoseug_i"] and names[-1] == strongest  # largest on top
    plt.close(figure)
