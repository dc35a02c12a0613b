"""Finding and loading the model library, once per process and file."""

from __future__ import annotations

import ctypes
import json
import math
import os
import shutil
import tempfile
import threading
import weakref
from typing import Optional

import numpy as np

from . import _raw
from ._runlock import RunLock
from ._types import PathLike
from .errors import LibraryError, RunStateError, SettingsError, UnknownVariableError, VariableTypeError
from .variables import DataType, SymbolType, Variable

_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))
_SOURCE_TREE_BUILD = os.path.join(os.path.dirname(os.path.dirname(_PACKAGE_DIR)), "build", "lib")
# Installed under a prefix P: the package in P/lib/python3/dist-packages/orvo,
# the model libraries in P/lib/orvo.
_INSTALLED = os.path.normpath(os.path.join(_PACKAGE_DIR, "..", "..", "..", "orvo"))
# Where `cmake --install` and the Debian package put them.
_SYSTEM_PREFIXES = ("/usr/local", "/usr")

# User data of the four callbacks every Instance registers; registrations of
# discrete events and watches count up from FIRST_REGISTRATION_USER_DATA.
CALLBACK_USER_DATA = {"status": 1, "error": 2, "tick": 3, "state": 4}
FIRST_REGISTRATION_USER_DATA = 16

_loaded = {}
_load_lock = threading.Lock()

# The integration methods the library has; any other ialg would be replaced
# by RK4 after a warning.
SUPPORTED_METHODS = (1, 2, 3, 4, 5, 8, 9, 12, 13, 14, 15)


def ended_early(time, tstop):
    """What to say of a run that ended at `time`, more than a rounding before
    a finite `tstop`; None when it got there. The library ends a run it cannot
    go on with (a step size or step count that is not positive) as a normal end."""
    if math.isfinite(tstop) and time < tstop - 1e-9 * max(1.0, abs(tstop)):
        return f"the run stopped at t = {time:g}, before tstop = {tstop:g}"
    return None


def _default_name(folder):
    """liborvo_NAME.so for the model the build named in orvo-default-model."""
    try:
        with open(os.path.join(folder, "orvo-default-model"), encoding="utf-8") as f:
            return f"liborvo_{f.read().split()[0]}.so"
    except (OSError, IndexError):
        return None


def _library_folders():
    """(where, folder) to look for the default model in, in order."""
    folders = [("beside the package", _PACKAGE_DIR), ("the installed libraries", _INSTALLED)]
    # An orvo executable (ORVO_CLI, else on PATH) knows its own: P/bin/orvo
    # keeps them in P/lib/orvo when installed, in P/lib in a build tree.
    executable = os.environ.get("ORVO_CLI") or shutil.which("orvo")
    if executable:
        prefix = os.path.dirname(os.path.dirname(os.path.realpath(executable)))
        folders += [(f"beside {executable}", os.path.join(prefix, "lib", "orvo")),
                    (f"beside {executable}", os.path.join(prefix, "lib"))]
    folders += [(f"under {prefix}", os.path.join(prefix, "lib", "orvo")) for prefix in _SYSTEM_PREFIXES]
    if os.path.isfile(os.path.join(os.path.dirname(_PACKAGE_DIR), "pyproject.toml")):
        folders.append(("the source tree's build", _SOURCE_TREE_BUILD))
    unique = {}
    for where, folder in folders:
        unique.setdefault(os.path.normpath(folder), where)
    return [(where, folder) for folder, where in unique.items()]


def find_library(path: Optional[PathLike] = None) -> str:
    """The library file: `path` when given, else $ORVO_LIB, else the first
    of: the copy beside this package (a wheel carrying the libraries), the
    installed one of this prefix (P/lib/orvo beside P/lib/python3...), the
    one of the orvo executable ($ORVO_CLI or on PATH: its P/lib/orvo when
    installed, its build tree's lib/), /usr/local/lib/orvo, /usr/lib/orvo,
    and the source tree's release build. In each folder it is the model the
    build named the default (the file orvo-default-model)."""
    if path is not None:
        candidates = [("the given path", os.fspath(path))]
    elif os.environ.get("ORVO_LIB"):
        candidates = [("ORVO_LIB", os.environ["ORVO_LIB"])]
    else:
        candidates = []
        for where, folder in _library_folders():
            name = _default_name(folder)
            candidates.append((where, os.path.join(folder, name) if name else
                               os.path.join(folder, "orvo-default-model")))
    for _, candidate in candidates:
        if os.path.isfile(candidate):
            return os.path.realpath(candidate)
    tried = "; ".join(f"{where}: {candidate}" for where, candidate in candidates)
    raise LibraryError(f"model library not found ({tried}); pass lib=PATH, set ORVO_LIB, "
                       "or put an installed orvo on PATH")


def load_library(path: Optional[PathLike] = None) -> "Library":
    """The Library for that file, loaded and initialized on first use. A file
    replaced since it was loaded (a model rebuilt in place) is loaded anew;
    Models of the earlier file keep using it."""
    resolved = find_library(path)
    with _load_lock:
        library = _loaded.get(resolved)
        identity = _file_identity(resolved)
        if library is None:
            library = Library(resolved)
        elif library.identity != identity:
            library = _load_replaced(resolved)
        else:
            return library
        library.identity = identity
        _loaded[resolved] = library
        return library


def _file_identity(path):
    try:
        info = os.stat(path)
    except OSError as exc:
        raise LibraryError(f"cannot read the model library {path}: {exc}") from None
    return info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns


def _load_replaced(path):
    """The library at `path` loaded from a private copy: the process has the
    earlier file loaded under that name, and loading the name again would
    give the earlier file back."""
    folder = tempfile.mkdtemp(prefix="orvo-library-")
    try:
        copy = os.path.join(folder, os.path.basename(path))
        shutil.copyfile(path, copy)
        metadata = os.path.splitext(path)[0] + ".json"
        if os.path.isfile(metadata):
            shutil.copyfile(metadata, os.path.splitext(copy)[0] + ".json")
        return Library(path, load_from=copy)
    finally:
        shutil.rmtree(folder, ignore_errors=True)  # the loaded copy stays mapped


def read_metadata(library_path):
    """The model's metadata (liborvo_NAME.json beside the library file), {}
    when there is none or it cannot be read."""
    beside = os.path.splitext(library_path)[0] + ".json"
    try:
        with open(beside, encoding="utf-8") as f:
            metadata = json.load(f)
    except (OSError, ValueError):
        return {}
    if not isinstance(metadata, dict):
        return {}
    # The parts read here in the shapes the build writes; a part of another
    # shape (a file edited by hand) is left out rather than failing the load.
    variables, record, time = (metadata.get(key) for key in ("variables", "record", "time"))
    return {**metadata,
            "variables": [v for v in variables if isinstance(v, dict) and isinstance(v.get("name"), str)]
            if isinstance(variables, list) else [],
            "record": [n for n in record if isinstance(n, str)] if isinstance(record, list) else [],
            "time": time if isinstance(time, dict) else {}}


class Library:
    """One loaded model library: its variable table, typed value access for
    any instance, and the bookkeeping of its instances. The model keeps one
    copy of its variables, so every instance reads and writes the same
    values, and the library runs only its most recently created instance.

    `run_lock` serialises everything that runs, creates or destroys an
    instance of this library across host threads (see RunLock). The C
    callbacks are created once per library and kept as long as the process:
    the library may call them until an instance is destroyed, and each call
    is dispatched by instance number to the live Instance, if any."""

    def __init__(self, path, load_from=None):
        # `load_from`: a copy of the file at `path` to load instead (see load_library).
        self.raw = _raw.RawLibrary(load_from or path)
        self.path = path
        # What the model's folder says about it: liborvo_NAME.json beside the library.
        self.metadata = read_metadata(load_from or path)
        time = self.metadata.get("time")
        # The model's unit of time ("" when it declares none).
        self.time_units = str(time.get("units") or "") if isinstance(time, dict) else ""
        # Units and descriptions by name, from the metadata.
        self._described = {v.get("name"): v for v in self.metadata.get("variables", []) if isinstance(v, dict)}
        self.raw.OrvoInitialize()
        count = self.raw.OrvoGetNumberSymbols()
        self.variables = [self._describe(number) for number in range(1, count + 1)]
        self._by_name = {}
        for variable in self.variables:
            self._by_name.setdefault(variable.name.lower(), variable)
        self.live_instances = set()
        self.latest_instance = 0
        self.active_run = None  # the Instance whose run is in progress
        self.lock = threading.RLock()  # the bookkeeping above
        self.run_lock = RunLock(when_free=self._destroy_dropped)
        self._dropped = []     # instances dropped unclosed, destroyed once the library is free
        self._instances = {}   # number -> weak reference to its Instance
        self.c_callbacks = {
            "status": _raw.StatusCallback(self._dispatcher("_on_status")),
            "error": _raw.ErrorCallback(self._dispatcher("_on_error")),
            "tick": _raw.TickCallback(self._dispatcher("_on_tick")),
            "state": _raw.ExecutionStateCallback(self._dispatcher("_on_state")),
            "discrete": _raw.DiscreteEventCallback(self._dispatcher("_on_registration")),
            "watch": _raw.SymbolWatchCallback(self._dispatcher("_on_registration")),
        }
        for callback in self.c_callbacks.values():
            # Never freed, not even by the interpreter's shutdown while a run
            # thread may still call one.
            ctypes.pythonapi.Py_IncRef(ctypes.py_object(callback))
        # Value access needs an instance; this one serves Model's reads and writes.
        self.access_instance = self.create_instance()
        self.defaults = {v.name: self.read(self.access_instance, v) for v in self.variables
                         if v.settable and v.data_type != DataType.INVALID}
        # What Instances changed, with the Model's value from before:
        # model.run puts these back first (see Model, "Sharing").
        self._instance_values = {}      # Variable -> the Model's value
        self._instance_tolerances = {}  # Variable -> the Model's (relative, absolute)

    def _dispatcher(self, method):
        run_lock, instances = self.run_lock, self._instances

        def dispatch(number, user_data, *args):
            instance = None
            try:
                reference = instances.get(number)
                instance = reference() if reference is not None else None
                if instance is None:
                    return
                run_lock.enter_callback()
                try:
                    getattr(instance, method)(user_data, *args)
                finally:
                    run_lock.leave_callback()
            except BaseException as exc:  # noqa: B902 - Ctrl-C lands anywhere; handed to the run
                # An exception cannot cross the library; on the thread of a
                # blocking run this is where Ctrl-C arrives.
                if instance is not None:
                    instance._keep_error(exc)
        return dispatch

    # ---- the Model's values against an Instance's ------------------------------

    def note_instance_write(self, variable):
        """An Instance is about to write `variable`: remember the Model's value."""
        if variable.settable and variable not in self._instance_values:
            self._instance_values[variable] = self.read(self.access_instance, variable)

    def note_instance_tolerance(self, variable, tolerance):
        self._instance_tolerances.setdefault(variable, tolerance)

    def note_model_write(self, variable):
        """The Model writes `variable`: its new value is the Model's."""
        self._instance_values.pop(variable, None)

    def model_value(self, variable):
        """The Model's value of a variable, whatever Instances wrote since."""
        if variable in self._instance_values:
            return self._instance_values[variable]
        return self.read(self.access_instance, variable)

    def restore_model_values(self):
        """Puts back the Model's values and tolerances over what Instances wrote."""
        while self._instance_values:
            variable, value = self._instance_values.popitem()
            self.write(self.access_instance, variable, variable.coerce(value))
        while self._instance_tolerances:
            variable, (relative, absolute) = self._instance_tolerances.popitem()
            self.raw.OrvoSetRelativeError(self.access_instance, variable.number, relative)
            self.raw.OrvoSetAbsoluteError(self.access_instance, variable.number, absolute)

    def _describe(self, number):
        info = _raw.SymbolInfo()
        if not self.raw.OrvoGetSymbolInfo(number, ctypes.byref(info)):
            raise LibraryError(f"OrvoGetSymbolInfo refused variable {number}")
        dims = tuple(info.dimensions[k] for k in range(6)) if info.dimensions else (0,) * 6
        name = info.name.decode()
        described = self._described.get(name, {})
        return Variable(number=number, name=name,
                        symbol_type=SymbolType(min(info.symbolType, 14)),
                        data_type=DataType(min(info.dataType, 7)), dims=dims,
                        flags=tuple(info.flags), string_length=info.stringLength,
                        units=str(described.get("units") or ""),
                        description=str(described.get("description") or ""))

    def variable(self, name):
        """The Variable of that name (letter case ignored). A Variable of
        another model (or another load of the file) stands for this model's
        variable of its name."""
        if isinstance(name, Variable):
            number = name.number
            if 1 <= number <= len(self.variables) and self.variables[number - 1] == name:
                return self.variables[number - 1]
            # Its number, type and shape are another table's: used here, they
            # addressed a different variable (reading a scalar as an array's
            # storage crashed the interpreter).
            name = name.name
        if not isinstance(name, str):
            raise TypeError(f"a variable name is a string, not {type(name).__name__}")
        try:
            return self._by_name[name.lower()]
        except KeyError:
            raise UnknownVariableError(name) from None

    # ---- run settings ----------------------------------------------------

    def run_settings(self):
        """ialg, zzticg, cint and tstop as floats (None for one the model
        lacks), read through the access instance."""
        variables = self.__dict__.get("run_setting_variables")
        if variables is None:
            variables = []
            for name in ("ialg", "zzticg", "cint", "tstop"):
                try:
                    variables.append(self.variable(name))
                except KeyError:
                    variables.append(None)
            self.run_setting_variables = variables
        return tuple(None if v is None else float(self.read(self.access_instance, v)) for v in variables)

    def check_run_settings(self):
        """The run settings (see run_settings); raises SettingsError for
        settings no run can mean."""
        settings = self.run_settings()
        ialg, start, cint, tstop = settings
        if ialg is not None and ialg not in SUPPORTED_METHODS:
            raise SettingsError(f"ialg = {ialg:g} is not an integration method of this library "
                                "(1-5, 8, 9, 12-15)")
        start = 0.0 if start is None else start
        if not math.isfinite(start):
            raise SettingsError(f"the start time zzticg = {start:g} is not finite")
        if cint is not None and not (math.isfinite(cint) and cint > 0):
            raise SettingsError(f"the communication interval cint = {cint:g} is not a positive number")
        if tstop is not None and not (math.isfinite(tstop) and tstop > start):
            raise SettingsError(f"the stop time tstop = {tstop:g} is not a finite time after "
                                f"the start ({start:g})")
        return settings

    def stop_time_variable(self):
        """The Variable tstop, None when the model has no double tstop."""
        try:
            variable = self.variable("tstop")
        except KeyError:
            return None
        if variable.data_type != DataType.DOUBLE or variable.is_array:
            return None
        return variable

    def stop_time(self):
        """tstop, None when the model has no double tstop."""
        variable = self.stop_time_variable()
        return None if variable is None else self.read(self.access_instance, variable)

    # ---- instances -------------------------------------------------------

    def create_instance(self, owner=None):
        """A new instance number; `owner` (an Instance) gets its callbacks."""
        with self.run_lock("creating an instance"):
            if self._dropped:
                # Held since they were dropped (exclusive()): no run is in
                # progress now, so their slots can be given back here.
                self._destroy_dropped()
            number = self.raw.OrvoCreate()
            if number == 0:
                raise LibraryError("OrvoCreate: no free instance (99 exist)")
            with self.lock:
                self.live_instances.add(number)
                self.latest_instance = number
            if owner is not None:
                self._instances[number] = weakref.ref(owner)
                for kind, export in (("status", "OrvoAddStatusCallback"),
                                     ("error", "OrvoAddErrorCallback"),
                                     ("tick", "OrvoAddTickCallbackFunction"),
                                     ("state", "OrvoAddExecutionStateChangeCallbackFunction")):
                    self.raw.call(export, number, CALLBACK_USER_DATA[kind], self.c_callbacks[kind])
            return number

    def pause_tick(self, number):
        """Takes the instance's Python tick callback off (see resume_tick)."""
        self.raw.OrvoRemoveTickCallbackFunction(number, CALLBACK_USER_DATA["tick"], self.c_callbacks["tick"])

    def resume_tick(self, number):
        """Puts the instance's Python tick callback back."""
        self.raw.call("OrvoAddTickCallbackFunction", number, CALLBACK_USER_DATA["tick"], self.c_callbacks["tick"])

    def destroy_instance(self, number):
        """Destroys an instance once no run of this library is in progress
        (waiting for another thread's run to end)."""
        with self.run_lock("closing an instance"):
            self._destroy(number)

    def drop_instance(self, number):
        """An instance dropped unclosed: destroyed when the library is next
        taken while free (never from a garbage collection inside a run)."""
        self._dropped.append(number)

    def _destroy_dropped(self):
        refused = []
        while self._dropped:
            number = self._dropped.pop()
            try:
                self._destroy(number)
            except RunStateError:
                refused.append(number)
        self._dropped.extend(refused)

    def _destroy(self, number):
        with self.lock:
            if number not in self.live_instances:
                return
        self.raw.OrvoDestroy(number)
        if self._exists(number):
            # Refused (the library reports why through the status callback):
            # the instance and its callbacks stay.
            raise RunStateError(f"OrvoDestroy refused to destroy instance {number}; "
                                "it stays open")
        with self.lock:
            self.live_instances.discard(number)
        self._instances.pop(number, None)

    def _exists(self, number):
        data_type = ctypes.c_uint32()
        return bool(self.raw.OrvoGetSymbolValue(number, 1, ctypes.byref(data_type),
                                                ctypes.byref(_raw.SymbolValue()), _raw.Dims()))

    # ---- typed values ----------------------------------------------------

    def read(self, instance, variable):
        """The variable's value: a Python scalar, or a numpy array (a copy)."""
        variable = self.variable(variable)
        t, n = variable.data_type, variable.number
        if t == DataType.DOUBLE and not variable.shape and self.raw.trace is None:
            return self.raw._functions["OrvoGetDouble"](instance, n)
        if variable.is_array:
            return self._read_array(instance, variable)
        if t in (DataType.DOUBLE, DataType.REAL):
            return self.raw.OrvoGetDouble(instance, n) if t == DataType.DOUBLE else \
                self._read_generic(instance, variable).doubleValue
        if t == DataType.LONG:
            return self.raw.OrvoGetLong(instance, n)
        if t == DataType.BOOL:
            return bool(self.raw.OrvoGetBool(instance, n))
        if t == DataType.SHORT:
            return self.raw.OrvoGetShort(instance, n)
        if t == DataType.FLOAT:
            return self.raw.OrvoGetFloat(instance, n)
        if t == DataType.STRING:
            text = self.raw.OrvoGetString(instance, n)
            return text.decode(errors="replace") if text is not None else ""
        raise VariableTypeError(f"{variable.name} has no readable data type ({int(t)})")

    def write(self, instance, variable, value):
        """Writes a value already checked by Variable.coerce."""
        t, n = variable.data_type, variable.number
        if variable.is_array:
            self._write_array(instance, variable, value)
        elif t == DataType.DOUBLE:
            self.raw.OrvoSetDouble(instance, n, value)
        elif t == DataType.LONG:
            self.raw.OrvoSetLong(instance, n, value)
        elif t == DataType.BOOL:
            self.raw.OrvoSetBool(instance, n, value)
        elif t == DataType.SHORT:
            self.raw.OrvoSetShort(instance, n, value)
        elif t == DataType.FLOAT:
            self.raw.OrvoSetFloat(instance, n, value)
        elif t == DataType.STRING:
            self.raw.OrvoSetString(instance, n, value.encode())
        elif t == DataType.REAL:
            symbol = _raw.SymbolValue()
            symbol.doubleValue = value
            self.raw.OrvoSetSymbolValue(instance, n, int(t), symbol, _raw.Dims(*variable.dims))
        else:
            raise VariableTypeError(f"{variable.name} has no settable data type ({int(t)})")

    def _read_generic(self, instance, variable):
        data_type = ctypes.c_uint32()
        value = _raw.SymbolValue()
        dims = _raw.Dims()
        if not self.raw.OrvoGetSymbolValue(instance, variable.number, ctypes.byref(data_type),
                                           ctypes.byref(value), dims):
            raise VariableTypeError(f"OrvoGetSymbolValue refused {variable.name}")
        return value

    def _read_array(self, instance, variable):
        from .variables import NUMPY_TYPES
        element_type = NUMPY_TYPES.get(variable.data_type)
        if element_type is None:
            raise VariableTypeError(f"{variable.name}: arrays of this data type cannot be read")
        address = self._read_generic(instance, variable).arrayValue
        if not address:
            raise VariableTypeError(f"{variable.name} has no storage")
        nbytes = variable.size * np.dtype(element_type).itemsize
        flat = np.frombuffer((ctypes.c_char * nbytes).from_address(address), dtype=element_type).copy()
        return flat.reshape(variable.shape, order="F")

    def _write_array(self, instance, variable, flat):
        # The registered type and shape go with the data, so the descriptor keeps them.
        symbol = _raw.SymbolValue()
        symbol.arrayValue = flat.ctypes.data
        self.raw.OrvoSetSymbolValue(instance, variable.number, int(variable.data_type), symbol,
                                    _raw.Dims(*variable.dims))
