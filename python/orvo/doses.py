"""Dose records for Model.run: the columns and meaning of `orvo run --doses`
(see `orvo run --help`), given as a DataFrame or a CSV path, expanded for
one run into a time-ordered list of changes.

time, target and amount or value are required; rate or duration make an
infusion (the target constant holds the rate until the amount is in, then
its earlier value again); ii and addl repeat a record addl more times every
ii. Times, amounts, values, rates, durations and ii are numbers or names of
model constants, read when the run starts."""

import bisect
import dataclasses
import math
import os

import pandas as pd

from .errors import SettingsError
from .variables import SymbolType

COLUMNS = ("time", "target", "amount", "value", "rate", "duration", "ii", "addl")
# As many repeats (addl) as `orvo run --doses` takes.
MAX_ADDL = 1000000


def same(a, b):
    """Two times a run treats as one stop (rounding: 0.1 * 3 and 0.3)."""
    return abs(a - b) <= 1e-12 * max(1.0, abs(b))


@dataclasses.dataclass(frozen=True)
class DoseEvent:
    time: float
    target: str
    kind: str          # "add", "set" or "restore"
    value: float       # restore: ignored, the value before the infusion returns
    infusion: int = 0  # pairs a set with its restore


def read_records(doses):
    """The records as a DataFrame of strings (empty cells as ""), checked
    for its columns."""
    if isinstance(doses, (str, os.PathLike)):
        try:
            # Lines that begin with '#' are comments, as for `orvo run --doses`.
            frame = pd.read_csv(doses, dtype=str, keep_default_na=False, skipinitialspace=True, comment="#")
        except FileNotFoundError:
            raise SettingsError(f"no dose-record file '{os.fspath(doses)}'") from None
        except (OSError, ValueError) as exc:  # a folder, unreadable, empty, not CSV text
            raise SettingsError(f"cannot read the dose-record file '{os.fspath(doses)}': {exc}") from None
    elif isinstance(doses, pd.DataFrame):
        frame = doses.copy()
    else:
        raise SettingsError(f"doses are a DataFrame or a CSV path, not {type(doses).__name__}")
    frame.columns = [str(c).strip().lower() for c in frame.columns]
    twice = [c for k, c in enumerate(frame.columns) if c in frame.columns[:k]]
    if twice:
        raise SettingsError(f"doses: column '{twice[0]}' appears twice")
    unknown = [c for c in frame.columns if c not in COLUMNS]
    if unknown:
        raise SettingsError(f"doses: unknown column '{unknown[0]}' (columns are {', '.join(COLUMNS)})")
    for needed in ("time", "target"):
        if needed not in frame.columns:
            raise SettingsError(f"doses: no '{needed}' column")
    if "amount" not in frame.columns and "value" not in frame.columns:
        raise SettingsError("doses: no 'amount' or 'value' column")
    return frame.apply(lambda column: column.map(_cell))


def _cell(value):
    if value is None or (pd.api.types.is_scalar(value) and pd.isna(value)):  # NaN, NA, NaT: no entry
        return ""
    return str(value).strip() if not isinstance(value, float) else repr(value)


def set_constants(records, library):
    """The constants the records may write (values and infusion inputs)."""
    found = []
    for name in dict.fromkeys(records["target"]):
        try:
            variable = library.variable(name)
        except (KeyError, TypeError):
            continue
        if variable.settable and not variable.is_array:
            found.append(variable)
    return found


def schedule(records, library, instance, stop_time, start_time=-math.inf):
    """(events, warnings) for one run of `instance`: named quantities read
    from it, repeats unrolled, infusions into a set and a restore. Raises
    SettingsError naming the row (1-based, after the header) and column."""
    events, warnings, taken, skipped = [], [], {}, 0
    infusion_id = 0
    for row_number, row in enumerate(records.to_dict("records"), start=1):
        where = f"doses row {row_number}"
        get = lambda name: row.get(name, "")  # noqa: E731
        target_name = get("target")
        try:
            target = library.variable(target_name)
        except (KeyError, TypeError):
            raise SettingsError(f"{where}: unknown target '{target_name}'") from None
        state = target.symbol_type == SymbolType.STATE and not target.is_array
        settable = target.settable and not target.is_array
        infusion = bool(get("rate") or get("duration"))
        if get("amount") and get("value"):
            raise SettingsError(f"{where}: give amount or value, not both")
        if get("rate") and get("duration"):
            raise SettingsError(f"{where}: give rate or duration, not both")
        if get("amount") and not infusion and not state:
            raise SettingsError(f"{where}: '{target.name}' is not a state: a bolus is added to a state")
        if (get("value") or infusion) and not settable:
            raise SettingsError(f"{where}: '{target.name}' is not a constant the run may set")
        if not get("amount") and not get("value"):
            raise SettingsError(f"{where}: no amount or value")
        if infusion and not get("amount"):
            raise SettingsError(f"{where}: an infusion needs an amount")

        def quantity(column, positive=False, signed=False):
            text = get(column)
            try:
                number = float(text)
            except ValueError:
                try:
                    variable = library.variable(text)
                except (KeyError, TypeError):
                    variable = None
                if variable is None or not variable.settable or variable.is_array:
                    raise SettingsError(f"{where}, {column}: '{text}' is not a model constant") from None
                number = float(library.read(instance, variable))
            if not math.isfinite(number):
                raise SettingsError(f"{where}, {column}: the {column} is {number:g}, it must be finite")
            if not signed and (number < 0 or (positive and number == 0)):
                rule = "it must be positive" if positive else "it must not be negative"
                raise SettingsError(f"{where}, {column}: the {column} is {number:g}, {rule}")
            return number

        time = quantity("time")
        if time < start_time:
            raise SettingsError(f"{where}, time: the time {time:g} is before the start of the run ({start_time:g})")
        amount = quantity("amount") if get("amount") else quantity("value", signed=True)
        rate = duration = 0.0
        if get("rate"):
            rate = quantity("rate", positive=True)
        if get("duration"):
            duration = quantity("duration", positive=True)
            rate = amount / duration
        addl = 0
        if get("addl"):
            try:
                addl = float(get("addl"))  # 3.0 too: a column of a DataFrame with gaps holds floats
            except ValueError:
                addl = math.nan
            if not (addl.is_integer() and 0 <= addl <= MAX_ADDL):
                raise SettingsError(f"{where}, addl: a whole number from 0 to {MAX_ADDL}, not '{get('addl')}'")
            addl = int(addl)
        interval = 0.0
        if addl > 0:
            if not get("ii"):
                raise SettingsError(f"{where}: addl needs ii, the dosing interval")
            interval = quantity("ii", positive=True)
        # The duration as given: amount / (amount / duration) may exceed it by
        # a rounding, and back-to-back repeats would overlap.
        length = 0.0 if not infusion or rate == 0 else duration if get("duration") else amount / rate
        for k in range(addl + 1):
            at = time + k * interval
            if not at < stop_time:
                skipped += 1
                if skipped == 1:
                    warnings.append(f"{where}: a dose at t = {at:g} is not before the stop time {stop_time:g} "
                                    "and is not applied")
                break
            if not infusion:
                events.append(DoseEvent(at, target.name, "set" if get("value") else "add", amount))
                continue
            if length == 0.0:
                continue
            end = at + length
            if same(end, at):  # its restore would come at its start, and the rate stay on
                column = "duration" if get("duration") else "rate"
                raise SettingsError(f"{where}, {column}: the infusion into '{target.name}' at t = {at:g} lasts "
                                    f"{length:g}, too short to end after it starts; give a longer duration")
            # Each input's infusions by start: they do not overlap, so only the
            # latest ones starting before this one's end can overlap it; ones
            # that meet (up to a rounding) do not.
            starts, intervals = taken.setdefault(target.name, ([], []))
            position = bisect.bisect_left(starts, end)
            for k in range(position - 1, -1, -1):
                other_start, other_end, other = intervals[k]
                if not at < other_end or same(other_end, at):
                    break
                if same(other_start, end):
                    continue
                raise SettingsError(f"{where}: an infusion into '{target.name}' from t = {at:g} overlaps "
                                    f"the one of {other}")
            starts.insert(position, at)
            intervals.insert(position, (at, end, where))
            infusion_id += 1
            events.append(DoseEvent(at, target.name, "set", rate, infusion_id))
            events.append(DoseEvent(end, target.name, "restore", 0.0, infusion_id))
    if skipped > 1:
        warnings.append(f"{skipped} doses in all are not before the stop time")
    # Restores first among the events of one stop (times equal up to a
    # rounding, as the run groups them): a following infusion into the same
    # input starts from the restored value.
    events.sort(key=lambda e: e.time)
    ordered, first = [], 0
    while first < len(events):
        last = first
        while last < len(events) and same(events[last].time, events[first].time):
            last += 1
        group = events[first:last]
        ordered += [e for e in group if e.kind == "restore"] + [e for e in group if e.kind != "restore"]
        first = last
    return ordered, warnings


class Applier:
    """Writes dose events into an instance; remembers what an infusion
    replaced until its restore."""

    def __init__(self, library, instance):
        self._library, self._instance, self._replaced = library, instance, {}

    def __call__(self, event):
        variable = self._library.variable(event.target)
        current = float(self._library.read(self._instance, variable))
        if event.kind == "add":
            self._write(variable, current + event.value)
        elif event.kind == "set":
            if event.infusion:
                self._replaced[event.infusion] = current
            self._write(variable, event.value)
        elif event.infusion in self._replaced:
            self._write(variable, self._replaced.pop(event.infusion))

    def _write(self, variable, value):
        if variable.data_type.name in ("SHORT", "LONG"):
            # Halves away from zero, as orvo run writes them (round() takes
            # 2.5 to 2, orvo run to 3).
            whole = math.floor(abs(value))
            value = int(math.copysign(whole + (abs(value) - whole >= 0.5), value))
        elif variable.data_type.name == "BOOL":
            value = value != 0
        self._library.write(self._instance, variable, variable.coerce(value))
