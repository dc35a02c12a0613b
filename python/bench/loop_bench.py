"""Loop speed: N model.run calls against N blocking Instance.run() calls in
one process, each with its own dose (the example scenario's settings).

    ORVO_LIB=build/lib/liborvo_pregnancy.so PYTHONPATH=python python3 python/bench/loop_bench.py [N]

Prints runs per second of both and their ratio (model.run / blocking).
ORVO_RECORDER=off makes model.run record from Python instead of through the
C recorder, for comparison."""

import sys
import time

import orvo

SCENARIO = {"pdosemg_p": 0.007, "doseon": 0, "cint": 24, "tstop": 2400}


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    model = orvo.Model()
    model.update(SCENARIO)
    doses = [100.0 + k for k in range(count)]

    # Alternating rounds, so that load from elsewhere on the machine falls
    # on both alike.
    rounds = max(1, count // 100)
    model_seconds = blocking_seconds = 0.0
    with model.exclusive():
        for chunk in (doses[k::rounds] for k in range(rounds)):
            started = time.perf_counter()
            for dose in chunk:
                model.run({"pdoseug_i": dose})
            model_seconds += time.perf_counter() - started
            started = time.perf_counter()
            with model.instance() as instance:
                for dose in chunk:
                    instance.set("pdoseug_i", dose)
                    instance.run()
            blocking_seconds += time.perf_counter() - started
    model_rate, blocking_rate = count / model_seconds, count / blocking_seconds

    print(f"model.run:             {model_rate:8.1f} runs/s")
    print(f"blocking Instance.run: {blocking_rate:8.1f} runs/s")
    print(f"ratio:                 {model_rate / blocking_rate:8.2f}")


if __name__ == "__main__":
    main()
