"""`orvo run` on a model library, read back as rows of numbers: shared by the
model tests."""

import csv
import io
import subprocess


def run_orvo(orvo, library, variables, *settings, check=True):
    """Runs `orvo run --lib LIBRARY --vars VARIABLES --set S...`. With `check`,
    a non-zero exit fails the test and the rows come back as dicts of floats;
    without, the finished process is returned as it is."""
    args = [orvo, "run", "--lib", library, "--vars", variables]
    for s in settings:
        args += ["--set", s]
    done = subprocess.run(args, capture_output=True, text=True, check=False)
    if not check:
        return done
    if done.returncode != 0:
        raise AssertionError(f"orvo exited with {done.returncode}: {done.stderr}")
    return [{k: float(v) for k, v in row.items()} for row in csv.DictReader(io.StringIO(done.stdout))]
