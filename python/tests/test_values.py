import math

import numpy as np
import pandas as pd
import pytest

import orvo
from orvo.population import PopulationResult
from conftest import EXAMPLE_SCENARIO, REPO


def test_variable_table(model):
    table = model.variables
    assert len(table) == 537 and list(table.index[[0, -1]]) == [1, 537]
    counts = table["symbol_type"].value_counts()
    assert (counts["state"], counts["derivative"], counts["initial_condition"], counts["other"],
            counts["control"], counts["setting"]) == (42, 42, 42, 363, 12, 28)
    types = table["data_type"].value_counts()
    assert (types["long"], types["bool"], types["double"]) == (22, 19, 496)
    expected = {  # name: symbol type, data type, dimensions, settable, default
        1: ("t", "independent_variable", "double", (), False, None),
        38: ("aelim_mp_lastwk", "state", "double", (), False, None),
        80: ("z99927", "derivative", "double", (), False, None),
        131: ("tstop", "other", "double", (), True, 2400.0),
        132: ("bw_m", "other", "double", (), True, 72.3),
        491: ("cint", "comm_interval", "double", (), True, 1000.0),
        492: ("ialg", "algorithm", "long", (), True, 14),
        496: ("zzierr", "min_step_violation", "bool", (), False, None),
        497: ("zzstopflag", "control", "bool", (), False, None),
        537: ("zzticg", "independent_start", "double", (), True, 0.0),
    }
    for number, row in expected.items():
        assert tuple(table.loc[number, ["name", "symbol_type", "data_type", "dimensions", "settable",
                                        "default"]]) == row, number
    tables = table[table["dimensions"] != ()]
    assert list(tables["name"]) == ["clf_uim_t", "kdegt3f_mi_t"]
    assert all(tables["dimensions"] == (16,)) and all(tables["settable"])
    np.testing.assert_array_equal(tables["default"].iloc[0][8:], [50, 75, 100, 150, 200, 250, 300, 350])
    # computed variables are not settable and report no default
    assert not table.loc[table["name"] == "ca_mi", "settable"].item()


def test_typed_values_and_refusals(model):
    # each data type round-trips its own kind of value
    model.set("bw_m", 60)                   # an int is a fine double
    model.set("ialg", np.int64(2))
    model.set("wesitg", True)
    model.set("cjvitg", 0)
    assert (model.get("bw_m"), model.get("ialg"), model.get("wesitg"), model.get("cjvitg")) == \
        (60.0, 2, True, False)
    assert type(model.get("ialg")) is int and type(model.get("wesitg")) is bool
    table = model.get("CLF_UIM_T")          # names ignore letter case
    table[0] = 0.07
    model.set("clf_uim_t", table)
    np.testing.assert_array_equal(model.get("clf_uim_t"), table)
    model.set("clf_uim_t", list(range(16)))  # integers are fine doubles, whole arrays
    assert model.get("clf_uim_t")[15] == 15.0

    refusals = [
        ("no_such_variable", 1.0, orvo.UnknownVariableError),
        ("ialg", 2.5, orvo.VariableTypeError),
        ("ialg", 2**31, orvo.VariableTypeError),
        ("ialg", True, orvo.VariableTypeError),
        ("bw_m", "72", orvo.VariableTypeError),
        ("bw_m", False, orvo.VariableTypeError),
        ("bw_m", [1.0], orvo.VariableTypeError),
        ("bw_m", 10**400, orvo.VariableTypeError),
        ("bw_m", 10**5000, orvo.VariableTypeError),   # too long for Python to print in digits
        ("ialg", -10**5000, orvo.VariableTypeError),
        ("wesitg", 10**5000, orvo.VariableTypeError),
        ("wesitg", 2, orvo.VariableTypeError),
        ("clf_uim_t", 1.0, orvo.VariableTypeError),
        ("clf_uim_t", np.zeros(15), orvo.VariableTypeError),
        ("clf_uim_t", np.zeros((4, 4)), orvo.VariableTypeError),
        ("clf_uim_t", ["a"] * 16, orvo.VariableTypeError),
        ("clf_uim_t", [[1.0, 2.0], [3.0]], orvo.VariableTypeError),  # ragged: numpy cannot hold it
        ("clf_uim_t", [1.0] * 15 + [[1.0, 2.0]], orvo.VariableTypeError),
        ("clf_uim_t", [10**400] * 16, orvo.VariableTypeError),
        ("ca_mi", 1.0, orvo.NotSettableError),
        ("aplasma_mi", 1.0, orvo.NotSettableError),
        ("zzstopflag", True, orvo.NotSettableError),
        ("t", 5.0, orvo.NotSettableError),
    ]
    before = {name: model.get(name) for name, _, _ in refusals if name != "no_such_variable"}
    for name, value, error in refusals:
        with pytest.raises(error) as raised:
            model.set(name, value)
        assert name in str(raised.value)
    for name, value in before.items():
        np.testing.assert_array_equal(model.get(name), value)
    with pytest.raises(KeyError):
        model.get("no_such_variable")
    # one bad setting refuses the whole run before anything is written
    with pytest.raises(orvo.VariableTypeError):
        model.run({"pdoseug_i": 500.0, "ialg": "gear"})
    assert model.get("pdoseug_i") == 0.0


def read_reference():
    return pd.read_csv(f"{REPO}/models/pregnancy/reference/example_scenario.csv").set_index("t")


def test_example_scenario_matches_reference(model, tmp_path):
    reference = read_reference()
    result = model.run(EXAMPLE_SCENARIO, record=list(reference.columns))
    assert list(result.columns) == list(reference.columns)
    np.testing.assert_array_equal(result.index, reference.index)
    deviation = (result - reference).abs()
    # The reference is a tight-tolerance solution; a run at the default
    # tolerances (1e-4) stays within ten times them, as the library's own check.
    allowed = 1e-3 * np.maximum(result.abs(), reference.abs()) + 1e-3
    worst = (deviation / allowed).max().max()
    assert worst <= 1.0, f"{worst:.3g} of the tolerance"
    assert result.attrs["execution_states"] == [1, 3, 5]
    assert any("serviced" in m for m in result.attrs["messages"])
    # the run's settings were for that run only
    assert model.get("pdoseug_i") == 0.0 and model.get("cint") == 1000.0

    figure = orvo.plot(result, ["ca_mi", "ca_mp", "cthy_fi"])
    assert len([a for a in figure.axes if a.get_visible()]) == 3
    figure.savefig(tmp_path / "run.svg")
    with pytest.raises(KeyError):
        orvo.plot(result, ["no_such_column"])


def test_run_options_and_failures(model):
    short = {"pdoseug_i": 200, "tstop": 48}
    result = model.run(short, record=["ca_mi", "clf_uim_t"], cint=12,
                       tolerances={"aplasma_mi": (1e-7, 1e-9)})
    assert list(result.index) == [0, 12, 24, 36, 48]
    assert "clf_uim_t[16]" in result.columns and result["clf_uim_t[16]"].eq(350).all()
    assert model.get("cint") == 1000.0
    with orvo.Instance(model) as instance:  # tolerances are restored too
        assert instance.tolerance("aplasma_mi") == (1e-4, 1e-4)
    for bad in [(0, 1e-6), "tight", (1e-6,), (math.inf, 1e-6), (1e-6, math.nan)]:
        with pytest.raises(orvo.OrvoError):
            model.run(short, tolerances=bad)
    # names from an iterator are read once, all of them
    assert list(model.run(short, record=iter(["ca_mp", "cthy_fi"])).columns) == ["ca_mp", "cthy_fi"]
    with pytest.raises(TypeError, match="record"):
        model.run(short, record=5)
    for twice in (["ca_mi", "CA_MI"], ["clf_uim_t", "ca_mi", "clf_uim_t"]):
        with pytest.raises(orvo.SettingsError, match="recorded twice"):
            model.run(short, record=twice)
    # with no maternal weight left beside the fetus the derivatives divide by
    # zero: the run ends in the error state and raises with its messages
    with pytest.raises(orvo.RunError) as raised:
        model.run({**short, "bw_f": 72.3}, record=["ca_mi"], cint=12)
    failure = raised.value
    assert "error state" in str(failure) and any("floating point" in m for m in failure.messages)
    assert failure.result is not None and list(failure.result.columns) == ["ca_mi"]
    assert model.get("bw_f") == 3.4
    # settings no run can mean are refused before it starts, and restored
    for bad in [{"ialg": 0}, {"ialg": 99}, {"tstop": 0}, {"tstop": -5}, {"tstop": math.nan},
                {"cint": 0}, {"cint": math.inf}]:
        with pytest.raises(orvo.SettingsError, match=next(iter(bad))):
            model.run({**short, **bad})
    assert model.get("ialg") != 99 and model.get("tstop") == 2400
    # a grid no memory holds is refused up front (it ran until memory ran out), with times= too
    for options in ({"cint": 1e-9}, {"times": [24, 48]}):
        with pytest.raises(orvo.SettingsError, match="4.8e\\+10 output points"):
            model.run({**short, "cint": 1e-9}, record=["ca_mi"], **options)
    assert model.get("cint") == 1000.0
    # a runaway fixed-step run ends in the error state naming the state
    with pytest.raises(orvo.RunError) as raised:
        model.run({**short, "ialg": 5}, record=["ca_mi"], cint=24)
    assert any("beyond 1e+100" in m for m in raised.value.messages)


@pytest.mark.parametrize("settings", [{"tstop": 2410, "cint": 24}, {"tstop": 250, "cint": 24}, {}],
                         ids=["2410-by-24", "250-by-24", "defaults"])
def test_run_ends_at_tstop_off_the_output_grid(model, settings):
    result = model.run({"pdoseug_i": 200, **settings}, record=["ca_mi"])
    tstop = settings.get("tstop", model.get("tstop"))
    assert result.index.is_monotonic_increasing and result.index.is_unique
    assert result.index.max() == tstop


def test_runaway_fixed_step_run_raises(model):
    # RK4 at the default step count diverges on the example dose within 48 h
    with pytest.raises(orvo.RunError) as raised:
        model.run({**EXAMPLE_SCENARIO, "ialg": 5, "tstop": 48}, record=["aplasma_mi"])
    assert raised.value.messages and raised.value.result is not None


def test_settings_as_mapping_series_or_one_row_frame(model):
    settings = {"pdoseug_i": 300.0, "cint": 24, "tstop": 240}
    expected = model.run(settings, record=["ca_mi"])
    for given in (pd.Series(settings), pd.DataFrame([settings]),
                  {k: np.float64(v) for k, v in settings.items()}):
        result = model.run(given, record=["ca_mi"])
        pd.testing.assert_frame_equal(result, expected, obj=type(given).__name__)
    # an integer setting beside real ones keeps its type in a one-row frame
    mixed = {"ialg": 2, "cint": 24.0, "tstop": 240.0}
    pd.testing.assert_frame_equal(model.run(pd.DataFrame([mixed]), record=["ca_mi"]),
                                  model.run(mixed, record=["ca_mi"]))
    for bad in (pd.DataFrame([settings, settings]), [("cint", 24)]):
        with pytest.raises(TypeError):
            model.run(bad)


@pytest.mark.parametrize("settings", [{"tstop": 2410, "cint": 24}, {"tstop": 250, "cint": 24}, {}],
                         ids=["2410-by-24", "250-by-24", "defaults"])
def test_no_rows_past_tstop(model, settings):
    result = model.run({"pdoseug_i": 200, **settings}, record=["ca_mi"])
    tstop = settings.get("tstop", model.get("tstop"))
    assert result.index.max() <= tstop and result.index.is_unique


@pytest.mark.parametrize("times, cint, expected", [
    ([0, 10, 48, 240], None, [0, 10, 48, 240]),
    ([48, 10, 10], None, [10, 48]),                     # sorted, once each; ends at the last
    ([10, 33.5], 48, [0, 10, 33.5, 48, 96, 144, 192, 240]),  # with the grid, to tstop
])
def test_output_times(model, times, cint, expected):
    settings = {"pdoseug_i": 200, "tstop": 240}
    result = model.run(settings, record=["ca_mi"], times=times, cint=cint)
    assert result.index.tolist() == expected
    grid = model.run(settings, record=["ca_mi"], cint=24)
    shared = [t for t in expected if t in grid.index]
    np.testing.assert_allclose(result.loc[shared, "ca_mi"], grid.loc[shared, "ca_mi"], rtol=1e-4)


def test_output_times_refused(model):
    # alone, with the grid of cint, and with dose records (which run from stop to stop)
    doses = pd.DataFrame({"time": [20.0], "target": ["aplasma_mi"], "amount": [1.0]})
    for options in ({}, {"cint": 24}, {"doses": doses}, {"cint": 24, "doses": doses}):
        for times in ([], [math.nan], [5.0], [300.0], ["soon"]):
            with pytest.raises(orvo.SettingsError):
                model.run({"zzticg": 10, "tstop": 240}, record=["ca_mi"], times=times, **options)


def test_reprs_summarise(model):
    text = repr(model)
    assert text.startswith("<orvo.Model ") and "variables" in text and "states" in text
    runs = pd.DataFrame({"status": ["ok"] * 500 + ["error"], "ca_mi@48": [1.0] * 501})
    result = PopulationResult(runs=runs, summary=pd.DataFrame({"n": [1] * 40}), directory=None)
    assert repr(result) == ("<orvo.PopulationResult 501 runs (1 failed), 40 summary rows, "
                            "directory=None>")
