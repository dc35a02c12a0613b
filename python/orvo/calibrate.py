"""Bayesian calibration through `orvo calibrate`, so that the sampler has
one implementation."""

import dataclasses
import os
import shutil

from typing import Mapping, Optional, Union

import pandas as pd

from ._types import PathLike, Settings
from .errors import SettingsError
from .model import _as_dict
from .population import _output_directory, _read_table, _run_cli, whole_number


@dataclasses.dataclass
class CalibrationResult:
    """chains: one row per kept draw (chain, iteration, each parameter,
    log_prior, log_likelihood); summary: per parameter mean, sd, q2.5, q50,
    q97.5, rhat and ess (indexed by parameter); predictions: the model's
    posterior median and 95 % band at each data point; draws: the kept
    draws of the model variables, as `population(params=...)` takes them."""
    chains: pd.DataFrame
    summary: pd.DataFrame
    predictions: pd.DataFrame
    draws: pd.DataFrame = None
    directory: str = None

    def __repr__(self) -> str:
        return (f"<orvo.CalibrationResult {self.chains['chain'].nunique()} chains, {len(self.chains)} draws, "
                f"parameters {list(self.summary.index)}, directory={self.directory!r}>")


def calibrate(calibration: Optional[PathLike] = None, *, parameters: Optional[Mapping[str, str]] = None,
              errors: Optional[Mapping[str, str]] = None, settings: Settings = None,
              data: Union[pd.DataFrame, PathLike, None] = None, iterations: Optional[int] = None,
              burn: Optional[int] = None, thin: Optional[int] = None, chains: Optional[int] = None,
              jobs: Optional[int] = None, seed: Optional[int] = None, resume: Optional[PathLike] = None,
              out: Optional[PathLike] = None, cli: Optional[PathLike] = None,
              lib: Optional[PathLike] = None) -> "CalibrationResult":
    """Samples the posterior of model parameters with `orvo calibrate` and
    returns its tables.

    `calibration` is a calibration file; or, instead, the file is written
    from `parameters` {name: prior} (e.g. {"ke": "lognormal(0.3, 3) [0.01, 5]"},
    or {"ke[subject]": "lognormal(ke_gm, ke_gsd)"} for a parameter that varies
    between subjects), `errors` {variable: "normal|lognormal SD [loq LIMIT]"},
    `settings` {name: value} for every experiment and `data`: one experiment's
    data (a DataFrame with columns time, variable, value[, sd][, subject], or
    a CSV path), or {experiment: data} or {experiment: {"data": ..., "settings":
    {...}, "doses": DataFrame or path}}.

    `iterations`, `burn`, `thin`, `chains`, `jobs` and `seed` are the command's
    options; `resume` is the folder of a finished calibration whose chains
    are extended by `iterations` more (the outputs then go there unless `out`
    is given). Outputs are written to `out`; when None, to a temporary
    directory removed once the tables are read (`directory` is then None)."""
    if (calibration is None) == (parameters is None):
        raise SettingsError("give either a calibration file or parameters= (with errors= and data=)")
    if parameters is not None and (not errors or data is None):
        raise SettingsError("parameters= needs errors= and data=")
    if resume is not None and not os.path.isdir(resume):
        raise SettingsError(f"resume: '{os.fspath(resume)}' is not the folder of a finished calibration")
    temporary = out is None and resume is None
    out = _output_directory(out, "calibrate") if (out is not None or resume is None) else os.fspath(resume)
    written = {}
    try:
        if calibration is None:
            # Written where the first run wrote it, so that a resumed run finds it unchanged.
            calibration = _write_calibration(os.fspath(resume) if resume is not None else out, parameters, errors,
                                             settings, data, written)
        arguments = ["calibrate", os.fspath(calibration), "--out", out]
        if resume is not None:
            arguments += ["--continue", os.fspath(resume)]
        for option, value in (("--iterations", iterations), ("--burn", burn), ("--thin", thin),
                              ("--chains", chains), ("--jobs", jobs), ("--seed", seed)):
            if value is not None:
                arguments += [option, str(whole_number(value, option[2:]))]
        _run_cli(arguments, cli, lib, written=written)
        draws_path = os.path.join(out, "draws.csv")
        return CalibrationResult(chains=_read_table(os.path.join(out, "chains.csv")),
                                 summary=_read_table(os.path.join(out, "summary.csv")).set_index("parameter"),
                                 predictions=_read_table(os.path.join(out, "predictions.csv")),
                                 draws=_read_table(draws_path) if os.path.exists(draws_path) else None,
                                 directory=None if temporary else out)
    finally:
        if temporary:
            shutil.rmtree(out, ignore_errors=True)


def _write_table(table, path):
    if isinstance(table, pd.DataFrame):
        table.to_csv(path, index=False, float_format="%.17g")
        return path
    if isinstance(table, (str, os.PathLike)):
        return os.path.abspath(os.fspath(table))
    raise SettingsError(f"data and doses are DataFrames or CSV paths, not {type(table).__name__}")


_DATA_COLUMNS = ("time", "variable", "value", "sd", "subject")


def _data_in_file_order(frame):
    """A data DataFrame's columns in the order of a data file's header (a
    frame with other columns is left for the command to name them)."""
    if set(frame.columns) <= set(_DATA_COLUMNS):
        return frame[[column for column in _DATA_COLUMNS if column in frame.columns]]
    return frame


def _value_text(value):
    if isinstance(value, (list, tuple)):
        return ",".join(_value_text(v) for v in value)
    return repr(value) if isinstance(value, float) else str(value)


def _write_calibration(directory, parameters, errors, settings, data, written):
    """Writes the calibration file and the tables it names into `directory`;
    `written` gets each file's label for messages."""
    lines = [f"{name} ~ {prior}" for name, prior in parameters.items()]
    lines += [f"{name} = {_value_text(value)}" for name, value in _as_dict(settings).items()]
    lines += [f"error {variable} {model}" for variable, model in errors.items()]
    experiments = data if isinstance(data, dict) else {"data": data}
    for index, (name, experiment) in enumerate(experiments.items()):
        if not isinstance(experiment, dict):
            experiment = {"data": experiment}
        unknown = set(experiment) - {"data", "settings", "doses"}
        if unknown or "data" not in experiment:
            raise SettingsError(f"experiment {name!r}: expected the keys data, settings and doses, "
                                f"got {sorted(experiment)}")
        lines.append(f"[experiment {name}]")
        for key in ("data", "doses"):
            if experiment.get(key) is None:
                continue
            table = experiment[key]
            if key == "data" and isinstance(table, pd.DataFrame):
                table = _data_in_file_order(table)
            path = _write_table(table, os.path.join(directory, f"{key}{index}.csv"))
            lines.append(f"{key} = {path}")
            if isinstance(experiment[key], pd.DataFrame):
                written[path] = f"the {key} of experiment {name} (as CSV)"
        lines += [f"{key} = {_value_text(value)}" for key, value in _as_dict(experiment.get("settings")).items()]
    path = os.path.join(directory, "calibration.cal")
    with open(path, "w") as handle:
        handle.write("\n".join(lines) + "\n")
    written[path] = "the calibration written from parameters=, errors= and settings="
    return path
