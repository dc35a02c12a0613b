"""Populations and sensitivities through the orvo command-line tool, so that
sampling and statistics have one implementation."""

from __future__ import annotations

import dataclasses
import math
import numbers
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import warnings
from typing import Callable, Dict, Iterable, Mapping, Optional, Tuple, Union

import pandas as pd

from .errors import CliError, LibraryError, SettingsError
from ._types import PathLike, Settings
from .library import find_library, read_metadata
from .model import _as_dict

EXIT_OK, EXIT_INTERNAL, EXIT_BAD_INPUT, EXIT_RUNS_FAILED = 0, 1, 2, 3


def find_cli(path: Optional[PathLike] = None, lib: Optional[PathLike] = None) -> str:
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
    """runs: one row per run (sampled values, status, message, outputs),
    the wide form; summary: per variable and time, n, mean, sd and
    percentiles; long(): the values at the output times, one row per run,
    variable and time. units and descriptions map the recorded variables to
    the model's; time_units is the model's unit of time."""
    runs: pd.DataFrame
    summary: pd.DataFrame
    directory: Optional[str] = None
    units: Dict[str, str] = dataclasses.field(default_factory=dict)
    descriptions: Dict[str, str] = dataclasses.field(default_factory=dict)
    time_units: str = "h"

    def __repr__(self) -> str:
        failed = len(self.failed)
        return (f"<orvo.PopulationResult {len(self.runs)} runs ({failed} failed), "
                f"{len(self.summary)} summary rows, directory={self.directory!r}>")

    @property
    def failed(self) -> pd.DataFrame:
        """The rows of `runs` whose status is not ok."""
        return self.runs[self.runs["status"] != "ok"] if "status" in self.runs else self.runs.iloc[0:0]

    @property
    def inputs(self) -> list:
        """The names of the sampled (or given) inputs: the columns of `runs`
        between run and status."""
        columns = list(self.runs.columns)
        if "run" not in columns or "status" not in columns:
            return []
        return columns[columns.index("run") + 1:columns.index("status")]

    def long(self) -> pd.DataFrame:
        """The tidy form of `runs`: columns run, the inputs, status,
        variable, time and value, one row per run, variable and output time
        (the VAR@T columns), ordered by run, then the order of the columns.
        A failed run's values are NaN."""
        outputs = [c for c in self.runs.columns if "@" in str(c)]
        keys = ["run"] + self.inputs + (["status"] if "status" in self.runs else [])
        melted = self.runs.melt(id_vars=keys, value_vars=outputs, var_name="column", value_name="value")
        split = melted["column"].str.rsplit("@", n=1, expand=True)
        melted.insert(len(keys), "variable", split[0] if len(melted) else pd.Series(dtype=str))
        melted.insert(len(keys) + 1, "time", pd.to_numeric(split[1]) if len(melted) else pd.Series(dtype=float))
        order = {c: k for k, c in enumerate(outputs)}
        melted["_order"] = melted["column"].map(order)
        melted = melted.sort_values(["run", "_order"], kind="stable").drop(columns=["column", "_order"])
        return melted.reset_index(drop=True)

    tidy = property(long, doc="long(), as a property")


Tolerances = Optional[Tuple[float, float]]


def population(scenario: Optional[PathLike], *, settings: Settings = None,
               distributions: Optional[Mapping[str, str]] = None, runs: Optional[int] = None,
               seed: Optional[int] = None, sampling: Optional[str] = None,
               vars: Union[str, Iterable[str], None] = None, at: Union[str, Iterable[float], None] = None,
               params: Union[pd.DataFrame, PathLike, None] = None, jobs: Optional[int] = None,
               out: Optional[PathLike] = None, cli: Optional[PathLike] = None, lib: Optional[PathLike] = None,
               progress: Union[bool, Callable[[int, int], None]] = False, tolerances: Tolerances = None,
               doses: Union[pd.DataFrame, PathLike, None] = None) -> PopulationResult:
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
    constants. `progress=True` shows the runs done as they finish: a tqdm
    bar when tqdm is installed, else lines on stderr; a callable is called
    with (done, total) instead."""
    # Given with --set, after the files: they override the file's own.
    extra = {}
    if runs is not None:
        extra["runs"] = whole_number(runs, "runs")
    if seed is not None:
        extra["seed"] = whole_number(seed, "seed")
    if sampling is not None:
        extra["sampling"] = str(sampling)
    if jobs is not None:
        jobs = whole_number(jobs, "jobs")
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
    scenario_path = _scenario_path(scenario, distributions, out)
    written = {}
    if distributions:
        written[scenario_path] = "the population file with distributions= added"
    arguments = ["batch"]
    if scenario_path:
        arguments += ["--scenario", scenario_path]
    arguments += _settings_arguments(settings) + _settings_arguments(extra)
    arguments += _list_argument("--vars", vars) + _list_argument("--at", at)
    if isinstance(params, pd.DataFrame):
        path = os.path.join(out, "params.csv")
        params.to_csv(path, index=False)
        params = path
        written[path] = "params= (as CSV)"
    if params is not None:
        arguments += ["--params", os.fspath(params)]
    if jobs is not None:
        arguments += ["--jobs", str(jobs)]
    if progress:
        arguments.append("--progress")
    arguments += _tolerance_arguments(tolerances) + _doses_arguments(doses, out, written)
    arguments += ["--out", out]
    _run_cli(arguments, cli, lib, progress, written)
    units, descriptions, time_units = _described(lib)
    return PopulationResult(runs=_read_table(os.path.join(out, "runs.csv")),
                            summary=_read_table(os.path.join(out, "summary.csv")),
                            directory=None if temporary else out, units=units, descriptions=descriptions,
                            time_units=time_units)


def _described(lib):
    """Units and descriptions by variable name, and the unit of time, from
    the metadata beside the library."""
    metadata = read_metadata(find_library(lib))
    units, descriptions = {}, {}
    for entry in metadata.get("variables", []):
        if isinstance(entry, dict) and entry.get("name"):
            units[entry["name"]] = str(entry.get("units") or "")
            descriptions[entry["name"]] = str(entry.get("description") or "")
    time = metadata.get("time")
    time_units = str(time.get("units") or "") if isinstance(time, dict) else ""
    return units, descriptions, time_units or "h"


def sensitivity(method: str, scenario: PathLike, *, params: Union[str, Iterable[str], None] = None,
                vars: Union[str, Iterable[str], None] = None, at: Union[str, Iterable[float], None] = None,
                step: Optional[float] = None, runs: Optional[int] = None, bootstrap: Optional[int] = None,
                jobs: Optional[int] = None, out: Optional[PathLike] = None, cli: Optional[PathLike] = None,
                lib: Optional[PathLike] = None, tolerances: Tolerances = None,
                doses: Union[pd.DataFrame, PathLike, None] = None,
                progress: Union[bool, Callable[[int, int], None]] = False) -> pd.DataFrame:
    """Sensitivities with `orvo sensitivity local|sobol`, as a DataFrame.

    local: normalized coefficients of `vars` at the times `at` to the
    parameters `params` (relative `step`); sobol: first-order and total
    indices with bootstrap intervals over the population file `scenario`.
    `tolerances` is (relative, absolute) for every state; local sensitivity
    tightens the model's own when they are loose for its step. `doses` and
    `progress` as in population()."""
    if method not in ("local", "sobol"):
        raise ValueError(f"method is 'local' or 'sobol', not {method!r}")
    if not isinstance(scenario, (str, os.PathLike)):
        raise TypeError(f"sensitivity needs a population file: scenario is a path, not {type(scenario).__name__}")
    runs, bootstrap, jobs = (None if value is None else whole_number(value, name)
                             for value, name in ((runs, "runs"), (bootstrap, "bootstrap"), (jobs, "jobs")))
    if step is not None:
        try:
            step = float(step)
        except (TypeError, ValueError):
            raise SettingsError(f"step is a number, not {step!r}") from None
    temporary = out is None
    out = _output_directory(out, method)
    try:
        return _sensitivity(method, out, scenario, params, vars, at, step, runs, bootstrap, jobs, cli, lib,
                            tolerances, doses, progress)
    finally:
        if temporary:
            shutil.rmtree(out, ignore_errors=True)


def _sensitivity(method, out, scenario, params, vars, at, step, runs, bootstrap, jobs, cli, lib, tolerances,
                 doses, progress):
    arguments = ["sensitivity", method, "--scenario", os.fspath(scenario)]
    if method == "local":
        arguments += _list_argument("--params", params)
        if step is not None:
            arguments += ["--step", repr(step)]
    else:
        for option, value in (("--runs", runs), ("--bootstrap", bootstrap), ("--jobs", jobs)):
            if value is not None:
                arguments += [option, str(value)]
    arguments += _list_argument("--vars", vars) + _list_argument("--at", at) + _tolerance_arguments(tolerances)
    written = {}
    arguments += _doses_arguments(doses, out, written) + (["--progress"] if progress else []) + ["--out", out]
    _run_cli(arguments, cli, lib, progress, written)
    return _read_table(os.path.join(out, f"{method}.csv"))


def _read_table(path):
    # pandas' default parser can be one unit in the last place off; the
    # tables carry every digit, so read them back exactly.
    return pd.read_csv(path, float_precision="round_trip")


def _doses_arguments(doses, out, written):
    if doses is None:
        return []
    if isinstance(doses, pd.DataFrame):
        path = os.path.join(out, "doses.csv")
        # Every digit, and whole numbers without ".0": addl is read as a whole number.
        doses.to_csv(path, index=False, float_format="%.17g")
        written[path] = "doses= (as CSV)"
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
    if not out:
        raise SettingsError("out= is an empty folder name")
    try:
        os.makedirs(out, exist_ok=True)
    except OSError as exc:
        raise SettingsError(f"out: cannot create the folder '{out}': {exc.strerror}") from None
    return out


def _run_cli(arguments, cli, lib, progress=False, written=None):
    """Runs the command; `written` {path: label} names the files written from
    arguments (a DataFrame given as params=, ...) in its messages by those
    arguments rather than by paths the caller never saw."""
    executable = find_cli(cli, lib)
    command = [executable] + arguments + ["--lib", find_library(lib)]
    try:
        if progress:
            done = _run_with_progress(command, progress)
        else:
            done = subprocess.run(command, capture_output=True, text=True)
    except OSError as exc:
        raise CliError(f"cannot run {executable}: {exc}") from exc
    for path, label in (written or {}).items():
        done.stderr = done.stderr.replace(path, label)
    if done.returncode == EXIT_RUNS_FAILED:
        warnings.warn(f"orvo {arguments[0]}: some runs failed (see the status column)\n"
                      f"{done.stderr.strip()}", RuntimeWarning, stacklevel=3)
    elif done.returncode == EXIT_BAD_INPUT:
        raise CliError(f"orvo {arguments[0]} refused its input", done.returncode, done.stderr)
    elif done.returncode != EXIT_OK:
        raise CliError(f"orvo {arguments[0]} failed with exit code {done.returncode}",
                       done.returncode, done.stderr)
    return done


# The progress lines of the population commands on stderr.
_PROGRESS = re.compile(r"^orvo: (\d+)/(\d+) runs, ")
_FINISHED = re.compile(r"^orvo: (\d+) runs in ")


def _run_with_progress(command, progress):
    """Runs the command, showing the progress lines it writes on stderr as
    they come; the other stderr lines are kept for messages."""
    show = progress if callable(progress) else _ProgressDisplay()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    stdout = []
    reader = threading.Thread(target=lambda: stdout.append(process.stdout.read()), daemon=True)
    reader.start()
    kept = []
    total = None
    try:
        for line in process.stderr:
            running, finished = _PROGRESS.match(line), _FINISHED.match(line)
            if running:
                total = int(running.group(2))
                show(int(running.group(1)), total)
            elif finished:
                done = int(finished.group(1))
                show(done, total if total is not None else done)
            else:
                kept.append(line)
        process.wait()
    except BaseException:
        process.kill()
        process.wait()
        raise
    finally:
        reader.join()
        if hasattr(show, "close"):
            show.close()
    return subprocess.CompletedProcess(command, process.returncode, "".join(stdout), "".join(kept))


class _ProgressDisplay:
    """A tqdm bar when tqdm is installed (tqdm.auto: a widget in notebooks),
    else one line per update on stderr."""

    def __init__(self):
        try:
            from tqdm.auto import tqdm
        except ImportError:
            tqdm = None
        self._tqdm = tqdm
        self._bar = None

    def __call__(self, done, total):
        if self._tqdm is None:
            print(f"orvo: {done}/{total} runs", file=sys.stderr, flush=True)
            return
        if self._bar is None:
            self._bar = self._tqdm(total=total, unit="run")
        self._bar.update(done - self._bar.n)

    def close(self):
        if self._bar is not None:
            self._bar.close()


def whole_number(value, name):
    """A count or seed given to a command as an int: whole numbers only
    (1000.0 too), never cut short (2.5) or overflowing (inf)."""
    if isinstance(value, str):
        try:
            return int(value.strip())
        except ValueError:
            pass
    elif isinstance(value, numbers.Integral) and not isinstance(value, bool):
        return int(value)
    elif isinstance(value, numbers.Real) and not isinstance(value, bool) and math.isfinite(value) \
            and float(value).is_integer():
        return int(value)
    raise SettingsError(f"{name} is a whole number, not {value!r}")


def _scenario_path(scenario, distributions, directory):
    """The scenario as given, or a file in `directory` that adds distribution
    lines to it."""
    if not distributions:
        return os.fspath(scenario) if scenario is not None else None
    lines = []
    if scenario is not None:
        try:
            with open(scenario) as handle:
                lines.append(handle.read().rstrip("\n"))
        except (OSError, UnicodeDecodeError) as exc:
            raise SettingsError(f"cannot read the population file '{os.fspath(scenario)}': {exc}") from None
    lines += [f"{name} ~ {law}" for name, law in distributions.items()]
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
