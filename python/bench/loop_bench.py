"""Loop speed: N model.run calls against N blocking Instance.run() calls in
one process, each with its own dose (the example scenario's settings).

    ORVO_LIB=build/lib/liborvo_pregnancy.so PYTHONPATH=python python3 python/bench/loop_bench.py [N]

Prints runs per second of both and their ratio (model.run / blocking)."""

import sys
import time

import orvo

SCENARIO = {"pdosemg_p": 0.007, "doseon": 0, "cint": 24, "tstop": 2400}


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    model = orvo.Model()
    model.update(SCENARIO)
    doses = [100.0 + k for k in range(count)]

    started = time.perf_counter()
    for dose in doses:
        model.run({"pdoseug_i": dose})
    model_rate = count / (time.perf_counter() - started)

    started = time.perf_counter()
    with model.instance() as instance:
        for dose in doses:
            instance.set("pdoseug_i", dose)
            instance.run()
    blocking_rate = count / (time.perf_counter() - started)

    print(f"model.run:             {model_rate:8.1f} runs/s")
    print(f"blocking Instance.run: {blocking_rate:8.1f} runs/s")
    print(f"ratio:                 {model_rate / blocking_rate:8.2f}")


if __name__ == "__main__":
    main()
