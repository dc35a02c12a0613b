"""Plots of run results and of population results."""

import pandas as pd

from .population import PopulationResult

BANDS = (("p2.5", "p97.5", 0.18, "95 %"), ("p25", "p75", 0.35, "50 %"))


def plot(result, variables=None, *, ax=None, title=None, time_unit="h"):
    """Plots time courses of `variables` (default: every column) from a
    Model.run result, or the median and the 50 % and 95 % bands of a
    population result. One panel per variable; returns the matplotlib Figure."""
    import matplotlib.pyplot as plt

    if isinstance(result, PopulationResult):
        summary = result.summary
        available = list(dict.fromkeys(summary["variable"]))
        draw = _population_panel
        source = summary
    elif isinstance(result, pd.DataFrame):
        available = list(result.columns)
        draw = _time_course_panel
        source = result
    else:
        raise TypeError(f"plot takes a Model.run or population result, not {type(result).__name__}")
    if variables is None:
        variables = available
    elif isinstance(variables, str):
        variables = [variables]
    unknown = [v for v in variables if v not in available]
    if unknown:
        raise KeyError(f"not in the result: {', '.join(unknown)} (it has {', '.join(available)})")
    if not variables:
        raise ValueError("nothing to plot")

    if ax is not None:
        axes = [ax] if len(variables) == 1 else None
        if axes is None:
            raise ValueError("ax= takes one variable")
        figure = ax.figure
    else:
        columns = min(2, len(variables))
        rows = (len(variables) + columns - 1) // columns
        figure, grid = plt.subplots(rows, columns, figsize=(5.2 * columns, 3.4 * rows), squeeze=False)
        axes = list(grid.ravel())
        for unused in axes[len(variables):]:
            unused.set_visible(False)
    for panel, variable in zip(axes, variables):
        draw(panel, source, variable)
        panel.set_title(variable)
        panel.set_xlabel(f"time ({time_unit})")
        panel.grid(True, alpha=0.3)
    if title:
        figure.suptitle(title)
    figure.tight_layout()
    return figure


def _time_course_panel(panel, frame, variable):
    panel.plot(frame.index, frame[variable], color="#1f5fa8")


def _population_panel(panel, summary, variable):
    rows = summary[summary["variable"] == variable].sort_values("time")
    for low, high, alpha, label in BANDS:
        if low in rows and high in rows:
            panel.fill_between(rows["time"], rows[low], rows[high], color="#1f5fa8", alpha=alpha,
                               linewidth=0, label=label)
    if "p50" in rows:
        panel.plot(rows["time"], rows["p50"], color="#1f5fa8", label="median")
    panel.legend(loc="best", fontsize="small")
