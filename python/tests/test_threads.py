"""Host threads and callbacks against the library's run lock.

Run as a script (`python test_threads.py TRIALS`), this file is the child of
test_runs_from_two_threads: TRIALS times, two threads each run the model
several times at their own dose and check every result."""

import contextlib
import gc
import os
import subprocess
import sys
import threading
import time

import pytest

from conftest import slow_background_settings  # also puts the package on the path
import orvo

# Trials of the two-thread run; ORVO_THREAD_TRIALS=100 for a longer soak.
THREAD_TRIALS = int(os.environ.get("ORVO_THREAD_TRIALS", "20"))
RUNS_PER_THREAD = 4
SECONDS_PER_TRIAL = 30
DOSES = (200.0, 400.0)  # one per thread: a run with the other's settings shows


def _final_concentration(model, dose):
    result = model.run({"pdoseug_i": dose, "tstop": 480}, cint=24, record=["ca_mi"])
    return result.index.max(), result["ca_mi"].iloc[-1]


def _trials(count):
    model = orvo.Model()
    expected = {dose: _final_concentration(model, dose) for dose in DOSES}
    for trial in range(count):
        failures = []

        def runs(dose):
            try:
                for _ in range(RUNS_PER_THREAD):
                    got = _final_concentration(model, dose)
                    if got != expected[dose]:
                        failures.append(f"dose {dose}: (tmax, ca_mi) {got}, alone {expected[dose]}")
            except BaseException as exc:  # noqa: B902 - reported by the parent
                failures.append(f"dose {dose}: {exc!r}")

        threads = [threading.Thread(target=runs, args=(dose,), daemon=True) for dose in DOSES]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(SECONDS_PER_TRIAL)
        if any(thread.is_alive() for thread in threads):
            print(f"trial {trial}: a thread still runs after {SECONDS_PER_TRIAL} s", flush=True)
            os._exit(3)
        if failures:
            print(f"trial {trial}: " + "; ".join(failures), flush=True)
            os._exit(4)
    print(f"{count} trials", flush=True)


def test_runs_from_two_threads():
    # In a child process: a crash or a hang fails this test instead of the suite.
    started = time.monotonic()
    done = subprocess.run([sys.executable, os.path.abspath(__file__), str(THREAD_TRIALS)],
                          capture_output=True, text=True, timeout=60 + 5 * THREAD_TRIALS)
    assert done.returncode == 0, done.stdout + done.stderr[-3000:]
    assert done.stdout.strip() == f"{THREAD_TRIALS} trials"
    print(f"{THREAD_TRIALS} two-thread trials in {time.monotonic() - started:.1f} s")


@pytest.mark.parametrize("exclusive", [False, True], ids=["plain", "in-exclusive-block"])
def test_threads_take_turns_around_a_background_run(model, exclusive):
    model.update(slow_background_settings())
    outcome = {}

    def other_thread():
        result = model.run({"tstop": 48, "ialg": 2}, cint=24, record=["ca_mi"])
        outcome["background run still going"] = instance.running
        outcome["tmax"] = result.index.max()

    with model.exclusive() if exclusive else contextlib.nullcontext():
        with model.instance() as instance:
            ticked = threading.Event()
            instance.on_tick(lambda tick: ticked.set())
            instance.start()
            assert ticked.wait(120), "no output points from the background run"
            # the starting thread would wait on its own run (or, holding the
            # library, run beside it): refused at once
            for ask in (lambda: model.run({"tstop": 24}), model.instance, instance.run):
                with pytest.raises(orvo.RunStateError, match="one run at a time"):
                    ask()
            # another thread waits for the run (and the block) to end, then runs
            other = threading.Thread(target=other_thread)
            other.start()
            other.join(1.0)
            assert other.is_alive() and instance.running and not outcome
            instance.stop()
            assert instance.wait(timeout=120)
    other.join(120)
    assert outcome == {"background run still going": False, "tmax": 48}


def test_exclusive_block_keeps_other_threads_out(model):
    model.update({"pdoseug_i": 200, "cint": 24, "tstop": 2400})
    outcome = {}
    with model.exclusive():
        with model.instance() as instance:
            instance.prestep()
            other = threading.Thread(
                target=lambda: outcome.update(tmax=model.run({"tstop": 48}).index.max()))
            other.start()
            for _ in range(3):
                other.join(0.2)  # time enough to come between, were it let in
                instance.step()  # still the most recently created instance
            assert instance.time == 72 and other.is_alive() and not outcome
    other.join(120)
    assert outcome == {"tmax": 48}


def test_close_from_another_thread_waits_for_a_blocking_run(model):
    # close() stops a background run; another thread's blocking run ends first
    model.update({"pdoseug_i": 200, "cint": 24, "tstop": 2400})
    instance = model.instance()
    times = []
    ticked = threading.Event()
    instance.on_tick(lambda tick: (times.append(instance.time), ticked.set(), time.sleep(0.002)))
    closer = threading.Thread(target=lambda: ticked.wait(120) and instance.close())
    closer.start()
    instance.run()
    closer.join(120)
    assert instance.closed and times[-1] == 2400


# Each asks, from inside a tick of `instance`'s run, for something that needs
# the library to itself. `other` is an older instance of the same model.
NESTED_CALLS = {
    "model.run": lambda model, instance, other: model.run({"tstop": 48}, cint=24),
    "new instance": lambda model, instance, other: orvo.Instance(model).close(),
    "close itself": lambda model, instance, other: instance.close(),
    "close another": lambda model, instance, other: other.close(),
    "wait for itself": lambda model, instance, other: instance.wait(),
    "start itself": lambda model, instance, other: instance.start(),
    "run itself": lambda model, instance, other: instance.run(),
}


@pytest.mark.parametrize("background", [False, True], ids=["blocking", "background"])
def test_run_control_inside_a_callback(model, background):
    model.update({"pdoseug_i": 200, "cint": 24, "tstop": 2400})
    for name, call in NESTED_CALLS.items():
        other = model.instance()
        instance = model.instance()
        ticks = []

        def tick(_, call=call, instance=instance, other=other):
            ticks.append(instance.time)
            call(model, instance, other)

        instance.on_tick(tick)
        started = time.monotonic()
        with pytest.raises(orvo.NestedRunError, match="inside a callback"):
            if background:
                instance.start()
                instance.wait(timeout=120)
            else:
                instance.run()
        # refused at once, the run stopped cleanly, nothing closed or freed
        assert time.monotonic() - started < 10, name
        assert len(ticks) == 1 and instance.time < 2400, name
        assert orvo.ExecutionState.ERROR not in instance.states, name
        assert not instance.closed and not other.closed, name
        instance.remove(("tick", tick))
        instance.run()
        assert instance.time == 2400, name
        instance.close()
        other.close()
    assert model.run({"tstop": 48}, cint=24).index.max() == 48


def test_instances_are_destroyed_only_outside_runs(model):
    model.update({"pdoseug_i": 200, "cint": 24, "tstop": 240})
    library = model.library
    dropped = [model.instance()]
    dropped_number = dropped[0].number
    kept = model.instance()
    refusals = []

    def tick(_):
        dropped.clear()  # the last reference goes inside the run
        gc.collect()
        try:  # a destroy the library refuses leaves the instance as it was
            library._destroy(kept.number)
        except orvo.RunStateError as exc:
            refusals.append(str(exc))

    with model.instance() as instance:
        instance.on_tick(tick)
        instance.run()
        assert instance.time == 240 and not dropped
        assert refusals and all("stays open" in r for r in refusals)
        assert any("OrvoDestroy" in m for m in kept.messages + instance.messages)
        assert {dropped_number, kept.number} <= library.live_instances
        assert kept["tstop"] == 240
    # destroyed once the library was next taken (closing `instance`)
    assert dropped_number not in library.live_instances
    kept.close()
    # Left: the access instance and the one model.run reuses, if any.
    reused = getattr(library, "model_run_instance", None)
    assert kept.number == 0
    assert library.live_instances - {library.access_instance, reused and reused.number} == set()


if __name__ == "__main__":
    _trials(int(sys.argv[1]))


def test_a_callback_error_reaches_every_thread_that_waits_for_the_run(model):
    # The first thread to collect the outcome took the exception: the other
    # (wait() beside a blocking run, or the run itself) saw none.
    model.update({"tstop": 2400, "cint": 1})
    with model.instance() as instance:
        def fail(_tick):
            if instance.time > 500:
                raise ValueError("from the callback")
        instance.on_tick(fail)
        outcomes = {}

        def waiter():
            time.sleep(0.05)
            try:
                instance.wait(60)
                outcomes["wait"] = None
            except Exception as exc:  # noqa: BLE001 - recorded for the assertion
                outcomes["wait"] = exc
        thread = threading.Thread(target=waiter)
        thread.start()
        with pytest.raises(ValueError, match="from the callback"):
            instance.run()
        thread.join(60)
        assert isinstance(outcomes["wait"], ValueError)
