"""Populations and sensitivities through the orvo command-line tool, so that
sampling and statistics have one implementation."""

import dataclasses
import os
import shutil
import subprocess
import tempfile
import warnings

import pandas as pd

from .errors import CliError, LibraryError, SettingsError
from .library import find_library
from .model import _as_dict

EXIT_OK, EXIT_INTERNAL, EXIT_BAD_INPUT, EXIT_RUNS_FAILED = 0, 1, 2, 3


def find_cli(path=None, lib=None):
    """The orvo executable: `path` when given, else $ORVO_CLI, else bin/orvo
    beside the library's lib/ (or an installed lib/orvo/) directory, else
    `orvo` on PATH."""
    if path is not None:
        candidates = [os.fspath(path)]
    elif os.environ.get("ORVO_CLI"):
        candidates = [os.environ["ORVO_CLI"]]
    else:
        candidates = []
        try:
            library_dir = os.path.dirname(find_library(lib))
            candidates.append(os.path.join(os.path.dirname(library_dir), "bin", "orvo"))
            candidates.append(os.path.join(library_dir, "orvo"))
            # An installed orvo keeps its libraries in P/lib/orvo.
            candidates.append(os.path.join(os.path.dirname(os.path.dirname(library_dir)), "bin", "orvo"))
        except LibraryError:
            pass  # no library to look beside: PATH only
        on_path = shutil.which("orvo")
        if on_path:
            candidates.append(on_path)
    for candidate in candidates:
        if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return os.path.realpath(candidate)
    raise CliError("the orvo executable was not found (tried: "
                   f"{', '.join(candidates) or 'nothing'}); pass cli=PATH or set ORVO_CLI")


def has_command(command, cli=None, lib=None):
    """True when the orvo executable offers `command` (e.g. 'batch')."""
    try:
        executable = find_cli(cli, lib)
    except CliError:
        return False
    done = subprocess.run([executable, command, "--help"], capture_output=True, text=True, timeout=60)
    return done.returncode == 0


@dataclasses.dataclass
class PopulationResult:
    """runs: one row per run (sampled values, status, message, outputs);
    summary: per variable and time, n, mean, sd and percentiles."""
    runs: pd.DataFrame
    summary: pd.DataFrame
    directory: str = None

    def __repr__(self) -> str:
        failed = len(self.failed)
        return (f"<orvo.PopulationResult {len(self.runs)} runs ({failed} failed), "
                f"{len(self.summary)} summary rows, directory={self.directory!r}>")

    @property
    def failed(self):
        return self.runs[self.runs["status"] != "ok"] if "status" in self.runs else self.runs.iloc[0:0]


def population(scenario, *, settings=None, distributions=None, runs=None, seed=None, sampling=None,
               vars=None, at=None, params=None, jobs=None, out=None, cli=None, lib=None,
               progress=False, tolerances=None, doses=None):
    """Runs a population with `orvo batch` and returns its tables.

    `scenario` is a population file (NAME = VALUE lines and NAME ~ dist
    lines) or None; `distributions` adds {name: "normal(72.3, 8) [45, 120]"}
    lines, `settings` {name: value} overrides, `runs`/`seed`/`sampling` the
    population's own settings. `params` is a design table instead of
    sampling: a CSV path or a DataFrame (one row per run, one column per
    variable). Results are written to `out`; when None, to a temporary
    directory removed once the tables are read (`directory` is then None).
    Runs that failed are reported with a warning and kept in `runs`.
    `tolerances` is (relative, absolute) for every state, as in Model.run.
    `doses` are dose records for every run (a DataFrame or a CSV path, the
    columns of `orvo run --doses`); amounts and times may name sampled
    constants."""
    extra = {}
    if runs is not None:
        extra["runs"] = int(runs)
    if seed is not None:
        extra["seed"] = int(seed)
    if sampling is not None:
        extra["sampling"] = str(sampling)
    temporary = out is None
    out = _output_directory(out, "population")
    try:
        return _population(out, temporary, scenario, settings, distributions, extra, vars, at, params,
                           jobs, cli, lib, progress, tolerances, doses)
    finally:
        if temporary:
            shutil.rmtree(out, ignore_errors=True)


def _population(out, temporary, scenario, settings, distributions, extra, vars, at, params, jobs, cli,
                lib, progress, tolerances, doses):
    scenario_path = _scenario_path(scenario, distributions, extra, out)
    arguments = ["batch"]
    if scenario_path:
        arguments += ["--scenario", scenario_path]
    arguments += _settings_arguments(settings)
    arguments += _list_argument("--vars", vars) + _list_argument("--at", at)
    if isinstance(params, pd.DataFrame):
        path = os.path.join(out, "params.csv")
        params.to_csv(path, index=False)
        params = path
    if params is not None:
        arguments += ["--params", os.fspath(params)]
    if jobs is not None:
        arguments += ["--jobs", str(int(jobs))]
    if progress:
        arguments.append("--progress")
    arguments += _tolerance_arguments(tolerances) + _doses_arguments(doses, out)
    arguments += ["--out", out]
    _run_cli(arguments, cli, lib)
    return PopulationResult(runs=_read_table(os.path.join(out, "runs.csv")),
                            summary=_read_table(os.path.join(out, "summary.csv")),
                            directory=None if temporary else out)


def sensitivity(method, scenario, *, params=None, vars=None, at=None, step=None, runs=None,
                bootstrap=None, jobs=None, out=None, cli=None, lib=None, tolerances=None, doses=None):
    """Sensitivities with `orvo sensitivity local|sobol`, as a DataFrame.

    local: normalized coefficients of `vars` at the times `at` to the
    parameters `params` (relative `step`); sobol: first-order and total
    indices with bootstrap intervals over the population file `scenario`.
    `tolerances` is (relative, absolute) for every state; local sensitivity
    tightens the model's own when they are loose for its step. `doses` as
    in population()."""
    if method not in ("local", "sobol"):
        raise ValueError(f"method is 'local' or 'sobol', not {method!r}")
    temporary = out is None
    out = _output_directory(out, method)
    try:
        return _sensitivity(method, out, scenario, params, vars, at, step, runs, bootstrap, jobs, cli, lib,
                            tolerances, doses)
    finally:
        if temporary:
            shutil.rmtree(out, ignore_errors=True)


def _sensitivity(method, out, scenario, params, vars, at, step, runs, bootstrap, jobs, cli, lib, tolerances,
                 doses):
    arguments = ["sensitivity", method, "--scenario", os.fspath(scenario)]
    if method == "local":
        arguments += _list_argument("--params", params)
        if step is not None:
            arguments += ["--step", repr(float(step))]
    else:
        if runs is not None:
            arguments += ["--runs", str(int(runs))]
        if bootstrap is not None:
            arguments += ["--bootstrap", str(int(bootstrap))]
        if jobs is not None:
            arguments += ["--jobs", str(int(jobs))]
    arguments += _list_argument("--vars", vars) + _list_argument("--at", at) + _tolerance_arguments(tolerances)
    arguments += _doses_arguments(doses, out) + ["--out", out]
    _run_cli(arguments, cli, lib)
    return _read_table(os.path.join(out, f"{method}.csv"))


def _read_table(path):
    # pandas' default parser can be one unit in the last place off; the
    # tables carry every digit, so read them back exactly.
    return pd.read_csv(path, float_precision="round_trip")


def _doses_arguments(doses, out):
    if doses is None:
        return []
    if isinstance(doses, pd.DataFrame):
        path = os.path.join(out, "doses.csv")
        doses.to_csv(path, index=False)
        return ["--doses", path]
    if isinstance(doses, (str, os.PathLike)):
        return ["--doses", os.fspath(doses)]
    raise SettingsError(f"doses are a DataFrame or a CSV path, not {type(doses).__name__}")


def _tolerance_arguments(tolerances):
    # One pair for every state: the command line has no per-state tolerances.
    if tolerances is None:
        return []
    if isinstance(tolerances, dict):
        raise SettingsError("population and sensitivity runs take one (relative, absolute) pair for every "
                            "state, not one per state")
    try:
        relative, absolute = (float(x) for x in tolerances)
    except (TypeError, ValueError):
        raise SettingsError(f"tolerances are a (relative, absolute) pair, not {tolerances!r}") from None
    if not (0 < relative < 1 and 0 < absolute < 1):
        raise SettingsError(f"tolerances are between 0 and 1: {tolerances!r}")
    return ["--rtol", repr(relative), "--atol", repr(absolute)]


def _output_directory(out, kind):
    if out is None:
        return tempfile.mkdtemp(prefix=f"orvo-{kind}-")
    out = os.fspath(out)
    os.makedirs(out, exist_ok=True)
    return out


def _run_cli(arguments, cli, lib):
    executable = find_cli(cli, lib)
    command = [executable] + arguments + ["--lib", find_library(lib)]
    try:
        done = subprocess.run(command, capture_output=True, text=True)
    except OSError as exc:
        raise CliError(f"cannot run {executable}: {exc}") from exc
    if done.returncode == EXIT_RUNS_FAILED:
        warnings.warn(f"orvo {arguments[0]}: some runs failed (see the status column)\n"
                      f"{done.stderr.strip()}", RuntimeWarning, stacklevel=3)
    elif done.returncode == EXIT_BAD_INPUT:
        raise CliError(f"orvo {arguments[0]} refused its input", done.returncode, done.stderr)
    elif done.returncode != EXIT_OK:
        raise CliError(f"orvo {arguments[0]} failed with exit code {done.returncode}",
                       done.returncode, done.stderr)
    return done


def _scenario_path(scenario, distributions, extra, directory):
    """The scenario as given, or a file in `directory` that adds distribution
    lines and population settings to it."""
    if not distributions and not extra:
        return os.fspath(scenario) if scenario is not None else None
    lines = []
    if scenario is not None:
        with open(scenario) as handle:
            lines.append(handle.read().rstrip("\n"))
    lines += [f"{name} = {value}" for name, value in extra.items()]
    lines += [f"{name} ~ {law}" for name, law in (distributions or {}).items()]
    path = os.path.join(directory, "population.scenario")
    with open(path, "w") as handle:
        handle.write("\n".join(lines) + "\n")
    return path


def _settings_arguments(settings):
    arguments = []
    for name, value in _as_dict(settings).items():
        text = ",".join(repr(v) for v in value) if isinstance(value, (list, tuple)) else value
        if isinstance(text, float):
            text = repr(text)
        arguments += ["--set", f"{name}={text}"]
    return arguments


def _list_argument(option, values):
    if values is None:
        return []
    if isinstance(values, str):
        return [option, values]
    return [option, ",".join(str(v) for v in values)]
