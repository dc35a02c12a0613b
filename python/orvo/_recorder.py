"""The C run recorder (liborvo-recorder.so, built beside the model
libraries): a tick callback in C that collects a run's recorded doubles into
a buffer read once at the end, instead of a call into Python at every output
point. Model.run uses it when it is found and falls back to the Python
recorder when not (or when ORVO_RECORDER=off)."""

import ctypes
import functools
import os
import threading

import numpy as np

from . import _raw

FILE_NAME = "liborvo-recorder.so"
_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))

_state = {"tried": set(), "helper": None}
_lock = threading.Lock()
_free_slots = []


def _candidates(library_path):
    chosen = os.environ.get("ORVO_RECORDER", "")
    if chosen.lower() in ("off", "0", "no"):
        return []
    if chosen:
        return [chosen]
    return [os.path.join(os.path.dirname(library_path), FILE_NAME), os.path.join(_PACKAGE_DIR, FILE_NAME)]


def helper(library_path):
    """The loaded recorder library, or None. Looked for once per folder of
    model libraries until found; one serves every model."""
    with _lock:
        folder = os.path.dirname(library_path)
        if _state["helper"] is None and folder not in _state["tried"]:
            _state["tried"].add(folder)
            for candidate in _candidates(library_path):
                if not os.path.isfile(candidate):
                    continue
                try:
                    loaded = ctypes.CDLL(candidate)
                    loaded.orvo_recorder_open.restype = ctypes.c_int
                    loaded.orvo_recorder_open.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_uint32,
                                                          ctypes.POINTER(ctypes.c_uint32), ctypes.c_uint32,
                                                          ctypes.c_size_t]
                    loaded.orvo_recorder_close.argtypes = [ctypes.c_int]
                    loaded.orvo_recorder_close.restype = None
                    loaded.orvo_recorder_rows.argtypes = [ctypes.c_int]
                    loaded.orvo_recorder_rows.restype = ctypes.c_longlong
                    loaded.orvo_recorder_data.argtypes = [ctypes.c_int]
                    loaded.orvo_recorder_data.restype = ctypes.POINTER(ctypes.c_double)
                    loaded.orvo_recorder_user_data.argtypes = [ctypes.c_int]
                    loaded.orvo_recorder_user_data.restype = ctypes.c_uint32
                    loaded.orvo_recorder_slots.restype = ctypes.c_int
                    loaded.tick = ctypes.cast(loaded.orvo_recorder_tick, _raw.TickCallback)
                    loaded.orvo_recorder_arm.argtypes = [ctypes.c_void_p]
                    loaded.orvo_recorder_arm.restype = ctypes.c_int
                    loaded.orvo_recorder_disarm.argtypes = []
                    loaded.orvo_recorder_disarm.restype = ctypes.c_int
                except (OSError, AttributeError):
                    continue
                _free_slots.extend(range(loaded.orvo_recorder_slots()))
                _state["helper"] = loaded
                break
        return _state["helper"]


@functools.lru_cache(maxsize=64)
def _numbers(variables):
    return (ctypes.c_uint32 * max(1, len(variables)))(*variables)


def _arguments(library, variables):
    """The library's OrvoGetDouble as a plain pointer, and the variables as
    a C array (both kept: loops record the same variables run after run)."""
    get_double = library.__dict__.get("recorder_getter")
    if get_double is None:
        get_double = library.recorder_getter = ctypes.cast(library.raw._functions["OrvoGetDouble"],
                                                           ctypes.c_void_p)
    return get_double, _numbers(variables)


class FastRecorder:
    """Records `variables` (scalar doubles, by number) at every output point
    of the instance's runs while registered (a context manager)."""

    def __init__(self, loaded, library, instance, variables, capacity):
        self._loaded, self._library, self._instance = loaded, library, instance
        self._count = len(variables)
        with _lock:
            if not _free_slots:
                raise MemoryError("no free recorder slot")
            self._slot = _free_slots.pop()
        get_double, numbers = _arguments(library, variables)
        status = loaded.orvo_recorder_open(self._slot, get_double, library.variables[0].number, numbers,
                                           self._count, max(4, int(capacity)))
        if status != 0:
            self._release()
            raise MemoryError("the recorder could not allocate its buffer")
        self._user_data = loaded.orvo_recorder_user_data(self._slot)
        library.raw.OrvoAddTickCallbackFunction(instance, self._user_data, loaded.tick)

    def rows(self):
        """The rows recorded so far: time, then the variables."""
        used = self._loaded.orvo_recorder_rows(self._slot)
        if used < 0:
            raise MemoryError("the recorder ran out of memory")
        if used == 0:
            return np.empty((0, self._count + 1))
        data = self._loaded.orvo_recorder_data(self._slot)
        return np.ctypeslib.as_array(data, shape=(used, self._count + 1)).copy()

    def interrupts(self):
        """Ctrl-C handled in C for runs recorded here, or None when this
        recorder library cannot."""
        if not hasattr(self._loaded, "orvo_recorder_arm"):
            return None
        return Interrupts(self._loaded, self._library)

    def close(self):
        """Unregisters the callback and frees the buffer and the slot."""
        if self._slot is None:
            return
        self._library.raw.OrvoRemoveTickCallbackFunction(self._instance, self._user_data, self._loaded.tick)
        self._release()

    def _release(self):
        self._loaded.orvo_recorder_close(self._slot)
        with _lock:
            _free_slots.append(self._slot)
        self._slot = None


class Interrupts:
    """Ctrl-C for a blocking run that records through the C recorder: while
    armed, the recorder's SIGINT handler stops the run at its next output
    point (passing the signal on to Python's handler), so the instance's
    Python tick callback, there only to let Python see the signal, is taken
    off for the run and put back after it."""

    def __init__(self, loaded, library):
        self._loaded, self._library = loaded, library

    def arm(self, instance):
        """True when armed (the tick callback then off)."""
        stop = self._library.__dict__.get("recorder_stop")
        if stop is None:
            stop = self._library.recorder_stop = ctypes.cast(self._library.raw._functions["OrvoStop"],
                                                             ctypes.c_void_p)
        self._library.pause_tick(instance.number)
        armed = False
        try:
            armed = self._loaded.orvo_recorder_arm(stop) == 0
        finally:
            if not armed:
                self._library.resume_tick(instance.number)
        return armed

    def disarm(self, instance):
        """Puts the tick callback and Python's handler back; True when a
        SIGINT came while armed."""
        try:
            self._library.resume_tick(instance.number)
        finally:
            interrupted = self._loaded.orvo_recorder_disarm()
        return bool(interrupted)
