"""Plots of run, population, sensitivity and fit results, labelled with the
model's names and units."""

from __future__ import annotations

import math
import numbers
from typing import TYPE_CHECKING, Any, Iterable, Mapping, Optional, Sequence, Union

import numpy as np
import pandas as pd

from .population import PopulationResult

if TYPE_CHECKING:  # matplotlib is optional
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

BANDS = (("p2.5", "p97.5", 0.18, "95 %"), ("p25", "p75", 0.35, "50 %"))

# Hours per unit of time, by the names a user or a model writes.
_HOURS = {"s": 1 / 3600, "sec": 1 / 3600, "second": 1 / 3600, "seconds": 1 / 3600,
          "min": 1 / 60, "minute": 1 / 60, "minutes": 1 / 60,
          "h": 1.0, "hr": 1.0, "hour": 1.0, "hours": 1.0,
          "d": 24.0, "day": 24.0, "days": 24.0,
          "w": 168.0, "wk": 168.0, "week": 168.0, "weeks": 168.0}


def time_factor(model_unit: str, time_unit: str) -> float:
    """The factor that turns times in `model_unit` into `time_unit`. Raises
    ValueError for a unit it does not know, unless the two are the same."""
    if not isinstance(time_unit, str):
        raise TypeError(f"time_unit is a unit's name (s, min, h, d, weeks), not {type(time_unit).__name__}")
    if time_unit == model_unit:
        return 1.0
    unknown = [u for u in (model_unit, time_unit) if u.lower() not in _HOURS]
    if unknown:
        raise ValueError(f"cannot convert time from {model_unit!r} to {time_unit!r}: unknown unit "
                         f"{unknown[0]!r} (known: s, min, h, d, weeks)")
    return _HOURS[model_unit.lower()] / _HOURS[time_unit.lower()]


def axis_label(name: str, units: str = "") -> str:
    """'name (units)', or the name alone when there are no units."""
    return f"{name} ({units})" if units else name


def _base_name(column: str) -> str:
    # ca_mi, x[2] and x(2) all take the units of their variable
    return column.split("[")[0].split("(")[0]


RunResults = Union[pd.DataFrame, PopulationResult, Sequence[pd.DataFrame], Mapping[str, pd.DataFrame]]


def plot(result: RunResults, variables: Union[str, Iterable[str], None] = None, *, ax: Optional["Axes"] = None,
         title: Optional[str] = None, time_unit: Optional[str] = None,
         labels: Optional[Sequence[str]] = None) -> "Figure":
    """Plots a result and returns the matplotlib Figure.

    - A Model.run result (a DataFrame indexed by time): the time course of
      each of `variables` (default: every column), one panel each.
    - Several runs, as a list of results (named by `labels`) or a
      {label: result} dict: overlaid in each panel, one colour per run, with
      a legend.
    - A population result: the median and the 50 % and 95 % bands.
    - A local sensitivity table (orvo.sensitivity("local", ...)): a tornado
      chart per variable and time; a Sobol table: bars of the first-order
      and total indices with their intervals.

    Panels are titled with the variable's description and their y axes
    labelled with its name and units. `time_unit` (s, min, h, d, weeks;
    default the model's) converts the time axis, values and label alike.
    `ax` draws a single panel into existing axes."""
    if isinstance(result, pd.DataFrame) and "coefficient" in result.columns:
        return plot_sensitivity(result, ax=ax, title=title)
    if isinstance(result, pd.DataFrame) and "S1" in result.columns:
        return plot_sensitivity(result, ax=ax, title=title)

    runs = _runs(result, labels)
    first = runs[0][1]
    if isinstance(first, PopulationResult):
        if len(runs) > 1:
            raise TypeError("population results are plotted one at a time")
        available = list(dict.fromkeys(first.summary["variable"]))
        units, descriptions, model_time = first.units, first.descriptions, first.time_units
    else:
        available = list(first.columns)
        for _, other in runs[1:]:
            available += [c for c in other.columns if c not in available]
        units, descriptions, model_time = {}, {}, None
        for _, frame in runs:
            units = {**frame.attrs.get("units", {}), **units}
            descriptions = {**frame.attrs.get("descriptions", {}), **descriptions}
            model_time = model_time or frame.attrs.get("time_units")
    model_time = model_time or "h"
    time_unit = time_unit or model_time
    factor = time_factor(model_time, time_unit)

    variables = _chosen(variables, available)
    figure, axes = _panels(len(variables), ax)
    overlay = len(runs) > 1 or labels is not None
    for panel, variable in zip(axes, variables):
        unit = units.get(variable) or units.get(_base_name(variable), "")
        description = descriptions.get(variable) or descriptions.get(_base_name(variable), "")
        if isinstance(first, PopulationResult):
            _population_panel(panel, first.summary, variable, factor)
        else:
            for index, (label, frame) in enumerate(runs):
                if variable in frame.columns:
                    panel.plot(np.asarray(frame.index, dtype=float) * factor, frame[variable],
                               color=f"C{index % 10}", label=label)
            if overlay:
                panel.legend(loc="best", fontsize="small")
        panel.set_title(f"{variable}: {description}" if description else variable, fontsize="medium")
        panel.set_ylabel(axis_label(variable, unit))
        panel.set_xlabel(f"time ({time_unit})")
        panel.grid(True, alpha=0.3)
    if title:
        figure.suptitle(title)
    figure.tight_layout()
    return figure


def _runs(result, labels):
    """[(label, result)] from one result, a list or a dict."""
    if isinstance(result, (pd.DataFrame, PopulationResult)):
        results = [result]
    elif isinstance(result, Mapping):
        if labels is not None:
            raise ValueError("labels= is for a list of results; a dict names its results itself")
        labels = [str(k) for k in result]
        results = list(result.values())
    elif isinstance(result, (list, tuple)):
        results = list(result)
    else:
        raise TypeError(f"plot takes a Model.run, population or sensitivity result or a list of runs, "
                        f"not {type(result).__name__}")
    if not results:
        raise ValueError("nothing to plot")
    for item in results:
        if not isinstance(item, (pd.DataFrame, PopulationResult)):
            raise TypeError(f"plot takes Model.run results, not {type(item).__name__}")
    if isinstance(labels, str):
        raise TypeError("labels= is a list of names, one per result, not a string")
    if labels is None:
        labels = [None] if len(results) == 1 else [f"run {k + 1}" for k in range(len(results))]
    labels = [None if label is None else str(label) for label in labels]
    if len(labels) != len(results):
        raise ValueError(f"{len(labels)} labels for {len(results)} results")
    return list(zip(labels, results))


def _chosen(variables, available):
    if variables is None:
        variables = available
    elif isinstance(variables, str):
        variables = [variables]
    try:
        variables = list(variables)
    except TypeError:
        raise TypeError(f"variables are a name or a list of names, not {type(variables).__name__}") from None
    unknown = [v for v in variables if v not in available]
    if unknown:
        raise KeyError(f"not in the result: {', '.join(unknown)} (it has {', '.join(available)})")
    if not variables:
        raise ValueError("nothing to plot")
    return variables


def _panels(count, ax, width=5.2, height=3.4):
    import matplotlib.pyplot as plt

    if ax is not None:
        if count != 1:
            raise ValueError("ax= takes one panel")
        return ax.figure, [ax]
    columns = min(2, count)
    rows = (count + columns - 1) // columns
    figure, grid = plt.subplots(rows, columns, figsize=(width * columns, height * rows), squeeze=False)
    axes = list(grid.ravel())
    for unused in axes[count:]:
        unused.set_visible(False)
    return figure, axes[:count]


def _population_panel(panel, summary, variable, factor):
    rows = summary[summary["variable"] == variable].sort_values("time")
    time = rows["time"].to_numpy(dtype=float) * factor
    for low, high, alpha, label in BANDS:
        if low in rows and high in rows:
            panel.fill_between(time, rows[low], rows[high], color="#1f5fa8", alpha=alpha,
                               linewidth=0, label=label)
    if "p50" in rows:
        panel.plot(time, rows["p50"], color="#1f5fa8", label="median")
    panel.legend(loc="best", fontsize="small")


def plot_sensitivity(table: pd.DataFrame, *, ax: Optional["Axes"] = None, title: Optional[str] = None,
                     top: Optional[int] = None) -> "Figure":
    """Draws a sensitivity table, one panel per variable and time: local
    coefficients as a tornado chart (largest magnitude on top, negative and
    positive in two colours), Sobol indices as bars of S1 and ST with their
    bootstrap intervals. `top` keeps the parameters with the largest
    magnitude (coefficient, or ST)."""
    local = "coefficient" in table.columns
    if not local and "S1" not in table.columns:
        raise TypeError("plot_sensitivity takes a table of orvo.sensitivity('local' or 'sobol')")
    if top is not None and (isinstance(top, bool) or not isinstance(top, numbers.Integral) or top < 1):
        raise ValueError(f"top is a number of parameters, at least 1, not {top!r}")
    groups = list(table.groupby(["variable", "time"], sort=False))
    if not groups:
        raise ValueError("nothing to plot")
    height = max(2.6, 0.8 + 0.35 * table["parameter"].nunique()) if local else 3.6
    figure, axes = _panels(len(groups), ax, width=5.6, height=height)
    for panel, ((variable, time), rows) in zip(axes, groups):
        if local:
            _tornado(panel, rows, top)
        else:
            _sobol_bars(panel, rows, top)
        panel.set_title(f"{variable} at t = {time:g}", fontsize="medium")
    if title:
        figure.suptitle(title)
    figure.tight_layout()
    return figure


def _tornado(panel, rows, top):
    rows = rows[rows["coefficient"].notna()]  # undefined where the output is zero
    rows = rows.assign(size=rows["coefficient"].abs()).sort_values("size")
    if top:
        rows = rows.tail(int(top))
    values = rows["coefficient"].to_numpy(dtype=float)
    colours = np.where(values < 0, "#b2432f", "#1f5fa8")
    positions = np.arange(len(rows))
    panel.barh(positions, values, color=colours)
    panel.set_yticks(positions, rows["parameter"].tolist())
    panel.axvline(0.0, color="black", linewidth=0.8)
    panel.set_xlabel("normalized sensitivity coefficient")
    panel.set_ylabel("parameter")
    panel.grid(True, axis="x", alpha=0.3)


def _sobol_bars(panel, rows, top):
    rows = rows.sort_values("ST", ascending=False)
    if top:
        rows = rows.head(int(top))
    positions = np.arange(len(rows))
    width = 0.38
    for offset, index, label, colour in ((-width / 2, "S1", "first order (S1)", "#1f5fa8"),
                                         (width / 2, "ST", "total (ST)", "#e08a2c")):
        values = rows[index].to_numpy(dtype=float)
        error = None
        if f"{index}_low" in rows and f"{index}_high" in rows:
            low = rows[f"{index}_low"].to_numpy(dtype=float)
            high = rows[f"{index}_high"].to_numpy(dtype=float)
            error = np.vstack([np.clip(values - low, 0, None), np.clip(high - values, 0, None)])
            # Without intervals (--bootstrap 0) the bars have none.
            error = None if np.isnan(error).all() else np.nan_to_num(error)
        panel.bar(positions + offset, values, width, yerr=error, capsize=3, color=colour, label=label)
    panel.set_xticks(positions, rows["parameter"].tolist(), rotation=30, ha="right")
    panel.set_xlabel("parameter")
    panel.set_ylabel("Sobol index")
    panel.legend(loc="best", fontsize="small")
    panel.grid(True, axis="y", alpha=0.3)


def plot_fit(observed: Any, predicted: Any, *, ax: Optional["Axes"] = None, labels: Optional[Sequence[str]] = None,
             units: str = "", title: Optional[str] = None) -> "Figure":
    """Observed against predicted values of a fit, with the line of perfect
    agreement. `observed` and `predicted` are arrays or Series of equal
    length, or lists of them (one colour and legend entry per series, named
    by `labels`), or DataFrames with the same columns (one series per
    column). `units` labels both axes."""
    observed_series, predicted_series, labels = _fit_series(observed, predicted, labels)
    figure, (panel,) = _panels(1, ax, width=4.6, height=4.2)
    low, high = math.inf, -math.inf
    for index, (seen, made, label) in enumerate(zip(observed_series, predicted_series, labels)):
        panel.scatter(seen, made, s=18, color=f"C{index % 10}", label=label)
        finite = np.concatenate([seen, made])
        finite = finite[np.isfinite(finite)]
        if finite.size:
            low, high = min(low, finite.min()), max(high, finite.max())
    if math.isfinite(low):
        panel.plot([low, high], [low, high], color="black", linewidth=0.8, linestyle="--",
                   label="observed = predicted")
    panel.set_xlabel(axis_label("observed", units))
    panel.set_ylabel(axis_label("predicted", units))
    panel.legend(loc="best", fontsize="small")
    panel.grid(True, alpha=0.3)
    panel.set_title(title or "observed versus predicted", fontsize="medium")
    figure.tight_layout()
    return figure


def _fit_series(observed, predicted, labels):
    if isinstance(observed, pd.DataFrame) or isinstance(predicted, pd.DataFrame):
        if not (isinstance(observed, pd.DataFrame) and isinstance(predicted, pd.DataFrame)):
            raise TypeError("observed and predicted are both DataFrames or neither")
        missing = [c for c in observed.columns if c not in predicted.columns]
        if missing:
            raise KeyError(f"predicted lacks the observed columns {', '.join(map(str, missing))}")
        columns = list(observed.columns)
        labels = labels if labels is not None else [str(c) for c in columns]
        observed, predicted = [observed[c] for c in columns], [predicted[c] for c in columns]
    elif isinstance(observed, (list, tuple)) and observed and np.ndim(observed[0]) == 1:
        if not isinstance(predicted, (list, tuple)) or len(predicted) != len(observed):
            raise ValueError("observed and predicted hold as many series each")
    else:
        observed, predicted = [observed], [predicted]
    seen = [np.asarray(s, dtype=float).ravel() for s in observed]
    made = [np.asarray(s, dtype=float).ravel() for s in predicted]
    for a, b in zip(seen, made):
        if a.shape != b.shape:
            raise ValueError(f"{a.size} observed values against {b.size} predicted")
    if labels is None:
        labels = [None] * len(seen) if len(seen) == 1 else [f"series {k + 1}" for k in range(len(seen))]
    if len(labels) != len(seen):
        raise ValueError(f"{len(labels)} labels for {len(seen)} series")
    return seen, made, list(labels)

