"""The model as a whole: its variable table, typed values and whole runs."""

from __future__ import annotations

import math
import os
from typing import ContextManager, Iterable, Optional, Tuple, Union
import warnings

import numpy as np
import pandas as pd

from . import _recorder
from . import doses as _doses
from .errors import OrvoError, RunError, SettingsError
from .instance import Instance
from .library import SUPPORTED_METHODS, ended_early, load_library
from ._types import PathLike, Settings, Tolerances, Value
from .variables import DataType, SymbolType, Variable


class Model:
    """The model carried by the library.

    `lib` is the library file; by default $ORVO_LIB, then the copy beside
    this package, then the source tree's build. Every Model of one file
    shares the loaded library and the model's one set of variables.

    Sharing: values set on the Model are the baseline of every run();
    settings given to run() last that run only; writes through an Instance
    are undone before the next run() (python/README.md, "Sharing values")."""

    def __init__(self, lib: Optional[PathLike] = None) -> None:
        self.library = load_library(lib)

    def __copy__(self) -> "Model":
        # Every Model of a file shares its loaded library and values anyway.
        copy = Model.__new__(Model)
        copy.library = self.library
        return copy

    def __reduce_ex__(self, protocol):
        # Pickling (and deepcopy) would copy the loaded library's handles.
        raise TypeError(f"an orvo.Model cannot be pickled or deep-copied: it holds the library loaded in "
                        f"this process; create one with orvo.Model(lib={self.library.path!r}) where it is needed")

    def __repr__(self) -> str:
        variables = self.library.variables
        states = sum(v.symbol_type == SymbolType.STATE for v in variables)
        return (f"<orvo.Model {self.library.path}: {len(variables)} variables, {states} states, "
                f"{len(self.library.defaults)} settable>")

    # ---- the variable table ------------------------------------------------

    @property
    def variables(self) -> pd.DataFrame:
        """One row per variable, indexed by number: name, symbol type, data
        type, dimensions, settable, default (the value at load for settable
        variables), and the units and description the model declares."""
        rows = []
        defaults = self.library.defaults
        for v in self.library.variables:
            rows.append({"number": v.number, "name": v.name, "symbol_type": v.symbol_type.name.lower(),
                         "data_type": v.data_type.name.lower(), "dimensions": v.shape,
                         "settable": v.settable, "default": defaults.get(v.name), "units": v.units,
                         "description": v.description})
        return pd.DataFrame(rows).set_index("number")

    def variable(self, name: str) -> Variable:
        """The Variable of that name (case-insensitive); UnknownVariableError if none."""
        return self.library.variable(name)

    # ---- values ------------------------------------------------------------

    def get(self, name: str) -> Value:
        """The current value: float, int, bool, str, or a numpy array."""
        return self.library.model_value(self.library.variable(name))

    def set(self, name: str, value: Value) -> None:
        """Writes a settable variable; the value must fit its data type and shape."""
        variable = self.library.variable(name)
        variable.check_settable()
        value = variable.coerce(value)
        self.library.note_model_write(variable)
        self.library.write(self.library.access_instance, variable, value)

    __getitem__ = get
    __setitem__ = set

    def update(self, settings: Settings) -> None:
        """Sets several variables, checking all of them before writing any."""
        for variable, value in self._checked(settings):
            self.library.note_model_write(variable)
            self.library.write(self.library.access_instance, variable, value)

    def reset(self) -> None:
        """Restores every settable variable to its value at load."""
        self.update(self.library.defaults)

    def _checked(self, settings):
        checked = []
        for name, value in _as_dict(settings).items():
            variable = self.library.variable(name)
            variable.check_settable()
            checked.append((variable, variable.coerce(value)))
        return checked

    # ---- runs ----------------------------------------------------------------

    def default_record(self) -> Tuple[str, ...]:
        """The variables a run records when `record` is not given: what the
        model declares (its metadata file beside the library), else every
        state."""
        cached = self.library.__dict__.get("default_record")
        if cached is None:
            metadata = self.library.metadata
            names = [n for n in metadata.get("record", []) if n != "t" and n.lower() in self.library._by_name]
            cached = tuple(names) or tuple(v.name for v in self.library.variables
                                           if v.symbol_type == SymbolType.STATE)
            self.library.default_record = cached
        return cached

    def instance(self) -> Instance:
        """A new Instance of this model (a context manager)."""
        return Instance(self)

    def exclusive(self) -> ContextManager:
        """A context manager holding the library's run lock for a sequence
        of calls on this thread (create, prestep, step..., close), so that no
        other thread's run or new instance comes between them; other threads
        wait until the block ends. Inside a callback of a run it raises
        NestedRunError."""
        return self.library.run_lock("exclusive()")

    def run(self, settings: Settings = None, record: Optional[Iterable[str]] = None, cint: Optional[float] = None,
            tolerances: Tolerances = None, times: Optional[Iterable[float]] = None,
            doses: Union[pd.DataFrame, PathLike, None] = None) -> pd.DataFrame:
        """Runs the model from its start to `tstop` and returns the recorded
        output points as a DataFrame indexed by time.

        `settings` ({name: value}) and `cint` apply to this run only; the
        previous values are restored afterwards. `record` lists the variables
        to record (array elements become `name[i]` columns). `tolerances` is
        (relative, absolute) for every state, or {state: (relative, absolute)}.
        `times` gives the output times instead of the grid of `cint`: the
        run advances to each in turn and ends at the last one (tstop at the
        latest). With `cint` given too, the rows are the grid's and the
        times together, to tstop.
        `doses` are dose records (a DataFrame or a CSV path with the columns
        of `orvo run --doses`: time, target, amount or value, rate or
        duration, ii, addl): the run stops at each record's time, applies it
        and goes on, so doses are exact in time on or off the output grid.
        The result's `attrs` hold the settings, the status messages and the
        execution states. A run that ends in the error state, or before
        tstop, raises RunError carrying the messages and what was recorded.

        Runs of one library are serialised across threads: a call while
        another thread runs the library waits for that run to end. Inside a
        callback of a run of the same library it raises NestedRunError, and
        while a background run started by this thread is in progress,
        RunStateError."""
        settings = _as_dict(settings)
        if cint is not None:
            settings["cint"] = cint
        checked = self._checked(settings)
        columns = self._record_columns(self.default_record() if record is None else record)
        tolerance_items = self._tolerance_items(tolerances)

        if times is not None:
            try:
                times = np.unique(np.asarray(times, dtype=float).ravel())
            except (TypeError, ValueError):
                times = np.empty(0)  # refused below
            if times.size == 0 or not np.all(np.isfinite(times)):
                raise SettingsError("times are finite numbers, at least one")
        records = None if doses is None else _doses.read_records(doses)
        with self.library.run_lock("model.run()"):
            return self._run(settings, checked, columns, tolerance_items, times, cint is not None, records)

    def _run(self, settings, checked, columns, tolerance_items, times=None, with_grid=False, records=None):
        access = self.library.access_instance
        self.library.restore_model_values()
        previous_values = [(v, self.library.read(access, v)) for v, _ in checked]
        if records is not None:  # constants the records set are put back too
            previous_values += [(v, self.library.read(access, v)) for v in _doses.set_constants(records, self.library)]
        rows = []
        instance = self._run_instance()
        recorder = None
        previous_tolerances = [(v, instance.tolerance(v)) for v, _ in tolerance_items]
        try:
            for variable, value in checked:
                self.library.write(access, variable, value)
            for variable, (relative, absolute) in tolerance_items:
                instance.set_tolerance(variable, relative, absolute)
            run_settings = self._check_run_settings()
            self._check_grid_fits(run_settings, len(columns))
            fast = self._fast_recorder(instance, columns, run_settings) if records is None and times is None else None
            if fast is not None:
                instance._interrupts = fast.interrupts()
                try:
                    instance.run()
                finally:
                    instance._interrupts = None
                    try:
                        rows = fast.rows()
                    finally:
                        fast.close()
            else:
                recorder = _Recorder(self.library, instance.number, columns, rows)
                handle = instance.on_tick(recorder.tick)
            if fast is not None:
                failure = None
            elif records is not None:
                failure = self._run_with_doses(instance, recorder, records, times, with_grid)
            elif times is None:
                instance.run()
                failure = None
            else:
                recorder.grid = with_grid
                failure = self._run_to_times(instance, recorder, times)
            result = self._frame(columns, rows, settings, instance)
            failure = failure or self._failure(instance, until=None if times is None else times[-1])
            result = self._clip_to_tstop(result, instance)
        except RunError as error:
            error.result = self._frame(columns, rows, settings, instance)
            raise
        finally:
            for variable, value in previous_values:
                self.library.write(access, variable, variable.coerce(value))
            for variable, (relative, absolute) in previous_tolerances:
                instance.set_tolerance(variable, relative, absolute)
            if recorder is not None:
                instance.remove(handle)
        if failure:
            raise RunError(failure, result.attrs["messages"], result)
        return result

    # The integration methods the library has; any other ialg would be
    # replaced by RK4 after a warning.
    SUPPORTED_METHODS = SUPPORTED_METHODS

    def _check_run_settings(self):
        """Raises SettingsError for settings no run can mean."""
        return self.library.check_run_settings()

    # Output points of a run's grid: more is a cint far too small for tstop
    # (the run stops at each, also with times=, and keeps a row for each).
    MAX_OUTPUT_POINTS = 100_000_000

    def _check_grid_fits(self, run_settings, column_count):
        """Raises SettingsError for an output grid the result could not hold."""
        _, start, cint, tstop = run_settings
        if cint is None or tstop is None:
            return
        points = (tstop - (start or 0.0)) / cint + 1
        size = points * (column_count + 1) * 8
        try:
            memory = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
        except (ValueError, OSError):
            memory = math.inf
        if points > self.MAX_OUTPUT_POINTS or size > memory / 2:
            raise SettingsError(f"cint = {cint:g} from {start or 0.0:g} to tstop = {tstop:g} gives {points:.3g} "
                                f"output points ({size / 2**30:.3g} GiB of results), more than a run keeps in "
                                f"memory (at most {self.MAX_OUTPUT_POINTS:,} and half of this machine's): "
                                "give a larger cint (and times= for the output times wanted)")

    def _run_settings(self):
        """ialg, zzticg, cint and tstop as floats (None for one the model
        lacks), read through the access instance."""
        return self.library.run_settings()

    def _run_to_times(self, instance, recorder, times):
        start = float(self.library.read(self.library.access_instance, self.library.variables[0]))
        start = self._setting("zzticg", start)
        tstop = self._setting("tstop", math.inf)
        if times[0] < start or times[-1] > tstop:
            raise SettingsError(f"times must lie between the start ({start:g}) and tstop ({tstop:g})")
        if recorder.grid:
            # Each run to a time starts a new grid there: the grid's points
            # are run to as times as well, so that they stay on it.
            cint = self._setting("cint", math.inf)
            count = int(math.floor((tstop - start) / cint + 1e-9)) if math.isfinite(tstop) else 0
            grid = start + cint * np.arange(count + 1)
            times = np.union1d(times, np.append(grid[grid < tstop], tstop))
            recorder.grid = False
        instance.prestep()
        for time in times:
            if time > instance.time:
                instance.run_to(time)
            recorder.sample()
        return None

    def _run_with_doses(self, instance, recorder, records, times, with_grid):
        start = self._setting("zzticg", 0.0)
        tstop = self._setting("tstop", math.inf)
        if times is not None and (times[0] < start or times[-1] > tstop):
            raise SettingsError(f"times must lie between the start ({start:g}) and tstop ({tstop:g})")
        if times is None or with_grid:
            cint = self._setting("cint", math.inf)
            count = int(math.floor((tstop - start) / cint + 1e-9)) if math.isfinite(tstop) else 0
            grid = start + cint * np.arange(count + 1)
            grid = np.append(grid[grid < tstop], tstop) if math.isfinite(tstop) else grid
            times = grid if times is None else np.union1d(times, grid)
        events, warnings_ = _doses.schedule(records, self.library, instance.number, times[-1], start)
        for text in warnings_:
            warnings.warn(text, stacklevel=4)
        apply = _doses.Applier(self.library, instance.number)
        recorder.grid = False

        same = _doses.same

        instance.prestep()
        next_dose = 0
        for output_at in times:
            while True:
                dose_at = events[next_dose].time if next_dose < len(events) else math.inf
                # A dose a rounding before an output time is applied at it: the
                # row stays on the grid, and the run does not stop short of it.
                stop = output_at if same(dose_at, output_at) else min(output_at, dose_at)
                if stop > instance.time:
                    instance.run_to(stop)
                if not same(instance.time, stop):
                    return None  # stopped early: the caller sees the time
                dosed = False
                while next_dose < len(events) and same(events[next_dose].time, stop):
                    apply(events[next_dose])
                    next_dose += 1
                    dosed = True
                if same(output_at, stop):
                    if dosed:  # the row shows the doses, and what is computed from them
                        self.library.raw.OrvoCalcDeriv(instance.number, RUN_DERIVATIVE_SECTION)
                    break
            recorder.sample()
        return None

    def _fast_recorder(self, instance, columns, run_settings):
        """The C recorder for these columns (scalar doubles only), or None
        to record in Python."""
        if columns.scalar_doubles is None:
            return None
        loaded = _recorder.helper(self.library.path)
        if loaded is None:
            return None
        _, start, cint, tstop = (0.0 if v is None else v for v in run_settings)
        points = (tstop - start) / cint if cint > 0 and math.isfinite(tstop - start) else 0.0
        capacity = int(min(points, 4096)) + 3 if math.isfinite(points) else 64  # it grows as needed
        try:
            return _recorder.FastRecorder(loaded, self.library, instance.number, columns.scalar_doubles, capacity)
        except MemoryError:
            return None

    def _setting(self, name, default):
        try:
            return float(self.library.read(self.library.access_instance, self.library.variable(name)))
        except KeyError:
            return default

    def _failure(self, instance, until=None):
        stop = self.library.stop_time_variable()
        if stop is None:
            return None
        return ended_early(instance.time, instance.get(stop) if until is None else until)

    def _record_columns(self, names):
        if isinstance(names, str):
            names = [names]
        try:
            names = list(names)  # once: a generator would be empty the second time
        except TypeError:
            raise TypeError(f"record is a variable name or a list of names, not {type(names).__name__}") from None
        # Loops record the same variables run after run: their columns are
        # looked up once per library.
        cache = self.library.__dict__.setdefault("record_columns", {})
        key = tuple(names)
        try:
            return cache[key]
        except KeyError:
            pass
        except TypeError:  # unhashable names: no caching
            return _Columns(self._lookup_columns(names))
        columns = _Columns(self._lookup_columns(names))
        if len(cache) < 256:
            cache[key] = columns
        return columns

    def _lookup_columns(self, names):
        columns = []
        for name in names:
            variable = self.library.variable(name)
            if variable.symbol_type == SymbolType.INDEPENDENT_VARIABLE:
                continue  # time is the index
            if variable.data_type in (DataType.STRING, DataType.INVALID):
                raise OrvoError(f"{variable.name} cannot be recorded (not numeric)")
            if variable.is_array:
                for element in range(variable.size):
                    columns.append((f"{variable.name}[{element + 1}]", variable, element))
            else:
                columns.append((variable.name, variable, None))
        # One column a name: a repeated one would make frame[name] a table.
        seen = set()
        for name, _, _ in columns:
            if name in seen:
                raise SettingsError(f"{name} is recorded twice (record names it more than once)")
            seen.add(name)
        return columns

    def _tolerance_items(self, tolerances):
        if tolerances is None:
            return []
        if isinstance(tolerances, dict):
            items = [(self.library.variable(n), pair) for n, pair in tolerances.items()]
        else:
            items = [(v, tolerances) for v in self.library.variables if v.symbol_type == SymbolType.STATE]
        checked = []
        for variable, pair in items:
            try:
                relative, absolute = (float(x) for x in pair)
            except (TypeError, ValueError):
                raise SettingsError(f"tolerances are (relative, absolute) pairs, not {pair!r}") from None
            if not (0 < relative < math.inf and 0 < absolute < math.inf):
                raise SettingsError(f"tolerances of {variable.name} must be positive and finite: {pair!r}")
            if variable.symbol_type != SymbolType.STATE:
                raise OrvoError(f"{variable.name} is not a state; tolerances apply to states")
            checked.append((variable, (relative, absolute)))
        return checked

    def _clip_to_tstop(self, frame, instance):
        # No rows past the stop time, whatever the last interval did.
        try:
            tstop = float(instance.get("tstop"))
        except (KeyError, TypeError, ValueError):
            return frame
        if not math.isfinite(tstop) or frame.empty or frame.index[-1] <= tstop:
            return frame
        clipped = frame[frame.index <= tstop + 1e-12 * max(1.0, abs(tstop))]
        clipped.attrs.update(frame.attrs)
        return clipped

    def _run_instance(self):
        # Runs reuse one instance while it is the library's latest (creating
        # and destroying one costs as much as a short run); once an Instance
        # was created after it, it can no longer run and is replaced.
        library = self.library
        instance = getattr(library, "model_run_instance", None)
        if instance is not None and not instance.closed and instance.number == library.latest_instance:
            return instance
        if instance is not None:
            instance.close()
        library.model_run_instance = Instance(self)
        return library.model_run_instance

    @staticmethod
    def _frame(columns, rows, settings, instance):
        if columns.doubles:
            table = np.array(rows, dtype=float).reshape(len(rows), len(columns) + 1)  # a copy: the frame's own
            frame = pd.DataFrame(table[:, 1:], index=pd.Index(table[:, 0], name="t", copy=False),
                                 columns=columns.index, copy=False)
        else:
            frame = pd.DataFrame(rows, columns=["t"] + list(columns.names)).set_index("t")
        frame.attrs["settings"] = dict(settings)
        frame.attrs["messages"] = list(instance.messages)
        frame.attrs["execution_states"] = [int(s) for s in instance.states]
        frame.attrs["units"] = dict(columns.units)
        frame.attrs["descriptions"] = dict(columns.descriptions)
        frame.attrs["time_units"] = instance.library.time_units
        return frame


# The derivative section a run evaluates.
RUN_DERIVATIVE_SECTION = 500


class _Columns(list):
    """The recorded columns, (name, Variable, element or None) each, with
    what every run of them needs worked out once."""

    def __init__(self, columns):
        super().__init__(columns)
        self.names = tuple(name for name, _, _ in columns)
        self.doubles = all(v.data_type == DataType.DOUBLE for _, v, _ in columns)
        # The numbers the C recorder reads, when all are scalar doubles.
        scalar = self.doubles and all(element is None for _, _, element in columns)
        self.scalar_doubles = tuple(v.number for _, v, _ in columns) if scalar else None
        self.index = pd.Index(self.names)  # immutable: the frames share it
        self.units = {name: v.units for name, v, _ in columns}
        self.descriptions = {name: v.description for name, v, _ in columns}


def _as_dict(settings):
    """{name: value} from None, a mapping or a pandas Series (one value per
    name); numpy scalars become Python ones."""
    if settings is None:
        return {}
    if isinstance(settings, pd.DataFrame):
        if len(settings) != 1:
            raise TypeError(f"settings as a DataFrame need exactly one row, not {len(settings)}")
        # Column by column: the row as a Series would make an integer
        # column's value a float beside a real one (ialg 2 -> 2.0, refused).
        settings = {name: settings.iloc[0, k] for k, name in enumerate(settings.columns)}
    if isinstance(settings, pd.Series):
        settings = settings.to_dict()
    elif not hasattr(settings, "items"):
        raise TypeError(f"settings are a mapping of names to values, not {type(settings).__name__}")
    return {str(name): value.item() if isinstance(value, np.generic) else value
            for name, value in settings.items()}


class _Recorder:
    """Samples the recorded variables at every output point; the run ticks
    once more at its end, usually at the last point's time: one row per time.
    Scalar doubles are read by the export itself, the rest through the
    library's typed reads."""

    def __init__(self, library, instance, columns, rows):
        self._rows = rows
        get_double = library.raw._functions["OrvoGetDouble"]
        self._time = (get_double, library.variables[0].number)
        self._readers = []
        for _, variable, element in columns:
            if element is None and variable.data_type == DataType.DOUBLE:
                self._readers.append((get_double, variable.number, None))
            else:
                self._readers.append((library.read, variable, element))
        self._instance = instance
        self._last_time = None
        self.grid = True  # rows at the output points of the run's grid

    def tick(self, tick_type):
        if tick_type == 0 and self.grid:
            self.sample()

    def sample(self):
        """A row for the current time, unless the last row has it."""
        instance = self._instance
        now = self._time[0](instance, self._time[1])
        if now == self._last_time:
            return
        self._last_time = now
        row = [now]
        for read, variable, element in self._readers:
            value = read(instance, variable)
            row.append(value if element is None else np.ravel(value, order="F")[element])
        self._rows.append(row)
