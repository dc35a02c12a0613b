"""What an Instance or a run's own settings leave behind for later model.run
calls, and the tick callbacks of stepped runs."""

import numpy as np
import pytest

SHORT = {"cint": 24, "tstop": 240}


def test_instance_writes_do_not_reach_later_model_runs(model):
    model.update(SHORT)
    baseline = model.run(record=["ca_mi"])
    cases = [  # (what the instance does, what a later model.run must still see)
        ("set", ("cint", 1.0)),
        ("set", ("ialg", 1)),
        ("set", ("pdoseug_i", 5000.0)),
        ("tolerance", ("aplasma_mi", 1e-2, 1e-2)),
        ("reinitialize", ()),  # moves the start time to where the instance's run ended
    ]
    for action, arguments in cases:
        with model.instance() as instance:
            if action == "set":
                before = model.get(arguments[0])
                instance.set(*arguments)
                assert instance.get(arguments[0]) == arguments[1]
                # The Model reports its own value while the write is pending.
                assert model.get(arguments[0]) == before
            elif action == "reinitialize":
                instance.run()
                instance.reinitialize()
                assert instance.get("zzticg") == 240.0 and model.get("zzticg") == 0.0
            else:
                instance.set_tolerance(*arguments)
        result = model.run(record=["ca_mi"])
        assert list(result.index) == list(baseline.index), (action, arguments)
        np.testing.assert_allclose(result["ca_mi"], baseline["ca_mi"], rtol=1e-12, err_msg=str(arguments))


def test_model_values_win_and_run_settings_last_one_run(model):
    model.update(SHORT)
    with model.instance() as instance:
        instance.set("tstop", 48.0)
        model.set("tstop", 96.0)        # set on the Model after the instance: the Model's value
    assert model.run(record=["ca_mi"]).index[-1] == 96.0
    model.run({"ialg": 5, "nstp": 10}, record=["ca_mi"], cint=12)
    assert (model.get("ialg"), model.get("cint")) == (model.library.defaults["ialg"], 24)
    with model.instance() as instance:
        instance.set("cint", 48.0)
        model.reset()
        assert model.get("cint") == model.library.defaults["cint"]


@pytest.mark.parametrize("sequence, expected", [
    (["prestep", "step", "step"], [0.0, 24.0, 48.0]),
    (["prestep", ("run_to", 72.0), ("run_to", 96.0)], [0.0, 24.0, 48.0, 72.0, 96.0]),
    (["prestep", "step", "continue_"], [0.0, 24.0, 48.0, 72.0, 96.0]),
    (["run", "run"], [0.0, 24.0, 48.0, 72.0, 96.0] * 2),
])
def test_ticks_once_per_output_point(model, sequence, expected):
    model.update({"cint": 24, "tstop": 96})
    times = []
    with model.instance() as instance:
        instance.on_tick(lambda tick: tick == 0 and times.append(instance.time))
        for call in sequence:
            name, *arguments = call if isinstance(call, tuple) else (call,)
            getattr(instance, name)(*arguments)
    assert times == expected
