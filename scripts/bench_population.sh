#!/bin/sh
# Population throughput of `orvo batch` (runs per second, the whole command's
# wall time) with one and two worker processes, against the bare solver's
# runs per second measured in the same invocation: DLSODES called directly on
# the model's derivative function for the same runs (orvo-bench,
# PopulationRuns, on the parameters of the population's runs.csv; also shown:
# LibraryVersusBareSolver/ialg:14 on the example scenario), one run on one
# core taking its processor time per run. The bare solver's rate on two
# cores is measured, not doubled: two orvo-bench processes run at once, each
# on half the runs, and their rates add up (two busy cores of a shared or
# virtual machine run slower than one busy core beside an idle one). Prints
# the ratios population / bare solver for one worker against one core and
# two workers against two cores; part of
# `make bench`. Each figure is the median of REPS (default 3) repetitions, the
# population runs alternating one and two workers so both see the same machine.
# usage: bench_population.sh ORVO SCENARIO [RUNS [ORVO-BENCH]]
orvo=$1
scenario=$2
runs=${3:-1000}
bench=${4:-$(dirname "$orvo")/orvo-bench}
reps=${REPS:-3}
out=$(mktemp -d) || exit 1
trap 'rm -rf "$out"' EXIT
exec python3 - "$orvo" "$scenario" "$runs" "$bench" "$reps" "$out" <<'PY'
import json, os, re, resource, statistics, subprocess, sys, time

orvo, scenario, runs, bench, reps, out = sys.argv[1:7]
runs, reps = int(runs), int(reps)


def bare_figures(name="LibraryVersusBareSolver/ialg:14$", runs_csv=None):
    """bare_ms and library_ms of each repetition of a bare-solver benchmark."""
    env = dict(os.environ, ORVO_BENCH_RUNS=runs_csv) if runs_csv else None
    done = subprocess.run([bench, "--benchmark_filter=" + name, "--benchmark_format=json",
                           "--benchmark_repetitions=%d" % reps], capture_output=True, text=True, env=env)
    if done.returncode != 0:
        sys.exit("bench_population: %s failed: %s" % (bench, done.stderr.strip()))
    rows = [b for b in json.loads(done.stdout)["benchmarks"] if b.get("run_type") == "iteration"]
    if not rows or any("bare_ms" not in b for b in rows):
        sys.exit("bench_population: no bare_ms from %s" % bench)
    return [b["bare_ms"] for b in rows], [b["library_ms"] for b in rows]


def bare_on_two_cores(runs_csv):
    """Runs a second of the bare solver on two cores: the population's runs split in two halves, one
    orvo-bench process each, both at once; the rates of the two add up. Also the median bare_ms of each."""
    with open(runs_csv) as table:
        header, *rows = table.readlines()
    halves = []
    for k in (0, 1):
        path = os.path.join(out, "half%d.csv" % k)
        with open(path, "w") as half:
            half.write(header)
            half.writelines(rows[k::2])
        halves.append(path)
    command = [bench, "--benchmark_filter=PopulationRuns$", "--benchmark_format=json",
               "--benchmark_repetitions=%d" % reps]
    running = [subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                env=dict(os.environ, ORVO_BENCH_RUNS=path)) for path in halves]
    medians = []
    for process in running:
        stdout, stderr = process.communicate()
        if process.returncode != 0:
            sys.exit("bench_population: %s failed: %s" % (bench, stderr.strip()))
        rows = [b for b in json.loads(stdout)["benchmarks"] if b.get("run_type") == "iteration"]
        if not rows or any("bare_ms" not in b for b in rows):
            sys.exit("bench_population: no bare_ms from %s" % bench)
        medians.append(statistics.median(b["bare_ms"] for b in rows))
    return sum(1e3 / ms for ms in medians), medians


def population(jobs):
    """Whole-command wall seconds, processor seconds (with the workers) and the progress line's rate."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    done = subprocess.run([orvo, "batch", "--scenario", scenario, "--at", "720,2400", "--set", "runs=%d" % runs,
                           "--jobs", str(jobs), "--out", os.path.join(out, "j%d" % jobs), "--progress"],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode not in (0, 3):
        sys.exit("bench_population: orvo batch --jobs %d failed:\n%s" % (jobs, done.stderr))
    rate = re.findall(r"([0-9.]+) runs/s \(", done.stderr)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu, float(rate[-1]) if rate else float("nan")


bare, library = bare_figures()
figures = {1: [], 2: []}
for _ in range(reps):
    for jobs in (1, 2):
        figures[jobs].append(population(jobs))
more_bare, more_library = bare_figures()
example_bare_ms = statistics.median(bare + more_bare)
example_library_ms = statistics.median(library + more_library)
# The same runs: the parameters the one-worker population sampled.
same_bare, same_library = bare_figures("PopulationRuns$", os.path.join(out, "j1", "runs.csv"))
bare_ms = statistics.median(same_bare)
library_ms = statistics.median(same_library)
two_core_rate, two_core_ms = bare_on_two_cores(os.path.join(out, "j1", "runs.csv"))

median = statistics.median
rates = {}
for jobs in (1, 2):
    walls = [f[0] for f in figures[jobs]]
    rates[jobs] = runs / median(walls)
    print("population: %d runs, %d worker%s: %.1f runs/s (whole command, median of %d; best %.1f), "
          "%.3f ms processor time a run, %.1f runs/s while running"
          % (runs, jobs, "" if jobs == 1 else "s", rates[jobs], reps, runs / min(walls),
             1e3 * median([f[1] for f in figures[jobs]]) / runs, median([f[2] for f in figures[jobs]])))
print("bare solver on the example scenario: %.4f ms a run (library run %.4f ms)" % (example_bare_ms, example_library_ms))
print("bare solver on the population's own runs: %.4f ms a run (DLSODES on the derivative function; the library "
      "run of the same parameters outside orvo batch %.4f ms): %.1f runs/s on 1 core"
      % (bare_ms, library_ms, 1e3 / bare_ms))
print("bare solver on 2 cores at once (two processes, half the runs each): %.4f and %.4f ms a run, %.1f runs/s "
      "(twice the one-core rate would be %.1f)" % (two_core_ms[0], two_core_ms[1], two_core_rate, 2e3 / bare_ms))
print("population / bare solver: 1 worker / 1 core = %.2fx, 2 workers / 2 cores = %.2fx (at least 1.0x wanted; "
      "against twice the one-core rate %.2fx)"
      % (rates[1] * bare_ms / 1e3, rates[2] / two_core_rate, rates[2] * bare_ms / 2e3))
print("population: 2 workers / 1 worker = %.2f" % (rates[2] / rates[1]))
PY
