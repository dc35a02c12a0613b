"""Model.run records through the C recorder when it is built beside the
library, and the rows are the Python recorder's, bit for bit, in every way
a run can end."""

import os

import pytest

import orvo
from orvo import _recorder
from conftest import EXAMPLE_SCENARIO


def python_recorder(monkeypatch):
    monkeypatch.setattr(_recorder, "helper", lambda _path: None)


def test_the_recorder_is_built_and_used(model):
    beside = os.path.join(os.path.dirname(model.library.path), _recorder.FILE_NAME)
    assert os.path.isfile(beside), "the build puts the recorder beside the model libraries"
    assert _recorder.helper(model.library.path) is not None


def test_no_python_tick_calls_while_recorded_in_c(model, monkeypatch):
    # Ctrl-C is taken in C then (test_interrupt); the Python tick callback is
    # off for the run and back after it.
    calls = []
    monkeypatch.setattr(orvo.Instance, "_on_tick", lambda self, user, tick: calls.append(tick))
    model.run({**EXAMPLE_SCENARIO, "tstop": 240}, record=["ca_mi"])
    assert calls == []
    python_recorder(monkeypatch)
    model.run({**EXAMPLE_SCENARIO, "tstop": 240}, record=["ca_mi"])
    assert len(calls) > 10


@pytest.mark.parametrize("settings, record", [
    ({**EXAMPLE_SCENARIO}, None),                                           # default record, 101 rows
    ({**EXAMPLE_SCENARIO, "tstop": 2410}, ["ca_mi", "ca_mp"]),              # last interval short
    ({**EXAMPLE_SCENARIO, "cint": 0.25, "tstop": 3000}, ["ca_mi"]),         # grows past its first buffer
    ({**EXAMPLE_SCENARIO, "tstop": 48}, ["ca_mi", "tstop", "bw_m"]),        # constants recorded too
])
def test_same_rows_as_the_python_recorder(model, monkeypatch, settings, record):
    fast = model.run(settings, record=record)
    python_recorder(monkeypatch)
    slow = model.run(settings, record=record)
    assert fast.equals(slow) and list(fast.columns) == list(slow.columns)
    assert fast.attrs["units"] == slow.attrs["units"]


def test_failed_runs_carry_the_same_rows(model, monkeypatch):
    failing = [{**EXAMPLE_SCENARIO, "ialg": 5, "tstop": 48},          # runaway fixed step
               {**EXAMPLE_SCENARIO, "tstop": 240, "bw_f": 72.3}]      # division by zero
    results = []
    for use_python in (False, True):
        if use_python:
            python_recorder(monkeypatch)
        for settings in failing:
            with pytest.raises(orvo.RunError) as raised:
                model.run(settings, record=["aplasma_mi", "ca_mi"])
            results.append(raised.value.result)
    for fast, slow in zip(results[:2], results[2:]):
        assert fast.equals(slow)
    # the next run is whole again
    assert len(model.run({**EXAMPLE_SCENARIO, "tstop": 240})) == 11


def test_arrays_and_integers_use_the_python_recorder(model):
    array = next(v for v in model.library.variables if v.is_array and v.data_type == orvo.DataType.DOUBLE)
    result = model.run({**EXAMPLE_SCENARIO, "tstop": 48}, record=[array.name, "ialg", "ca_mi"])
    assert f"{array.name}[1]" in result.columns and result["ialg"].iloc[0] == model.get("ialg")
