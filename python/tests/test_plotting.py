import pandas as pd
import pytest

import orvo
from orvo.plotting import time_factor


@pytest.mark.parametrize("model_unit, unit, factor", [("h", "h", 1.0), ("h", "d", 1 / 24), ("h", "weeks", 1 / 168),
                                                      ("h", "min", 60.0), ("d", "h", 24.0), ("min", "min", 1.0),
                                                      ("fortnight", "fortnight", 1.0)])
def test_time_factor(model_unit, unit, factor):
    assert time_factor(model_unit, unit) == pytest.approx(factor)


def test_plot_refuses_what_it_cannot_draw(model):
    import matplotlib.pyplot as plt

    one = model.run({"tstop": 48, "cint": 24}, record=["ca_mi"])
    cases = [(dict(result=one, time_unit="fortnight"), ValueError, "unknown unit"),
             (dict(result=[one, one], labels=["a"]), ValueError, "1 labels for 2 results"),
             (dict(result={"a": one}, labels=["b"]), ValueError, "a dict names"),
             (dict(result=one, variables=["nosuch"]), KeyError, "nosuch"),
             (dict(result=[one, "x"]), TypeError, "not str"),
             (dict(result=[]), ValueError, "nothing to plot"),
             (dict(result=[one, one], labels="ab"), TypeError, "not a string"),
             (dict(result=one, variables=5), TypeError, "not int"),
             (dict(result=one, time_unit=24), TypeError, "not int")]
    for arguments, error, text in cases:
        with pytest.raises(error, match=text):
            orvo.plot(**arguments)
    with pytest.raises(TypeError):
        orvo.plot_sensitivity(pd.DataFrame({"a": [1]}))
    local = pd.DataFrame({"parameter": ["a", "b"], "variable": "v", "time": 1.0, "coefficient": [1.0, -2.0]})
    for top in (0, -1, 1.5, "2"):  # -1 kept all but one
        with pytest.raises(ValueError, match="top"):
            orvo.plot_sensitivity(local, top=top)
    with pytest.raises(ValueError, match="3 observed values against 2"):
        orvo.plot_fit([1, 2, 3], [1, 2])
    plt.close("all")


def test_sobol_bars_without_intervals():
    import warnings

    import matplotlib.pyplot as plt
    import numpy as np

    # sobol.csv of --bootstrap 0: empty interval cells, bars drawn without error bars or warnings
    nan = float("nan")
    table = pd.DataFrame({"parameter": ["a", "b"], "variable": "v", "time": 1.0, "S1": [0.6, 0.3], "S1_low": nan,
                          "S1_high": nan, "ST": [0.7, 0.3], "ST_low": nan, "ST_high": nan})
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        figure = orvo.plot_sensitivity(table)
    heights = sorted(np.round(bar.get_height(), 3) for bar in figure.axes[0].patches)
    assert heights == [0.3, 0.3, 0.6, 0.7]
    plt.close("all")


def test_overlay_of_a_dict_and_a_fit_of_several_series(model):
    import matplotlib.pyplot as plt

    runs = {"light": model.run({"tstop": 48, "cint": 24, "bw_m": 60.0}, record=["ca_mi"]),
            "heavy": model.run({"tstop": 48, "cint": 24, "bw_m": 90.0}, record=["ca_mi"])}
    figure = orvo.plot(runs, time_unit="weeks")
    panel = figure.axes[0]
    assert [t.get_text() for t in panel.get_legend().get_texts()] == ["light", "heavy"]
    assert panel.get_xlabel() == "time (weeks)"
    assert panel.get_lines()[1].get_xdata()[-1] == pytest.approx(48 / 168)
    observed = pd.DataFrame({"ca_mi": [1.0, 2.0], "ca_mp": [3.0, 4.0]})
    figure = orvo.plot_fit(observed, observed * 1.1)
    texts = [t.get_text() for t in figure.axes[0].get_legend().get_texts()]
    assert texts == ["ca_mi", "ca_mp", "observed = predicted"]
    single = orvo.plot(runs["light"])
    assert single.axes[0].get_legend() is None  # one unlabelled run: no legend
    plt.close("all")
