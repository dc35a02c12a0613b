"""One instance of the model: stepping, background runs, state access and
callbacks as Python callables."""

from __future__ import annotations

import atexit
import enum
import math
import numbers
import signal
import threading
from typing import TYPE_CHECKING, Optional, Tuple

import numpy as np

from .errors import RunError, RunStateError, SettingsError
from .library import FIRST_REGISTRATION_USER_DATA, Library, ended_early, load_library
from ._types import Callback, Handle, PathLike, Value
from .variables import SymbolType, _shown

if TYPE_CHECKING:
    from .model import Model


class ExecutionState(enum.IntEnum):
    """The execution states an instance passes through."""
    CREATED = 0
    STARTED = 1
    INITIALIZED = 3
    FINISHED = 5
    DEBUG_STARTED = 6
    DEBUG_FINISHED = 7
    DEBUG_PAUSED = 8
    DEBUG_CONTINUED = 9
    ERROR = 10
    CONTINUED = 11


def _tolerance(value, what, variable):
    try:
        value = float(value)
    except (TypeError, ValueError):
        raise SettingsError(f"the {what} tolerance of {variable.name} is a number, not {value!r}") from None
    if not 0 < value < math.inf:
        raise SettingsError(f"the {what} tolerance of {variable.name} must be positive and finite, not {value!r}")
    return value


def _state(value):
    try:
        return ExecutionState(value)
    except ValueError:
        return value


_END_STATES = (ExecutionState.FINISHED, ExecutionState.DEBUG_FINISHED)

# Instances with a background run in progress: kept alive until it ends, and
# stopped before the interpreter shuts down.
_running = set()
_running_lock = threading.Lock()
EXIT_WAIT_SECONDS = 30.0


@atexit.register
def _stop_runs_at_exit():
    with _running_lock:
        instances = list(_running)
    for instance in instances:
        instance._request_stop()
    for instance in instances:
        instance._ended.wait(EXIT_WAIT_SECONDS)


class Instance:
    """A model instance; use it as a context manager (or call close()).

    The library runs only its most recently created instance, one run at a
    time per process, and all instances share the model's variables.

    Threads: running (run, prestep, step, run_to, continue_, start),
    creating and closing take the library's run lock, one per loaded
    library. A thread asking while another thread's run is in progress
    waits for it to end; a background run holds the lock from start() to
    its end, and the thread that started it is refused (RunStateError)
    instead of waiting on itself. Inside a callback of a run, these calls
    and wait() raise NestedRunError at once: call stop() there and act
    after the run has ended. Reads, writes, stop() and adding callbacks
    take no lock."""

    def __init__(self, model: Optional["Model"] = None, *, lib: Optional[PathLike] = None) -> None:
        if model is not None:
            if not hasattr(model, "library"):
                raise TypeError(f"Instance takes a Model (or lib=PATH), not {type(model).__name__}")
            self._library = model.library
        elif isinstance(lib, Library):
            self._library = lib
        else:
            self._library = load_library(lib)
        self._raw = self._library.raw
        self.messages = []        # status texts of the last run, one line each
        self.errors = []          # (code, text) from the error callbacks
        self.states = []          # execution states seen during the last run
        self.state = ExecutionState.CREATED
        self._initialized = False  # a start or prestep has run the initial section
        self._ended = threading.Event()
        self._ended.set()
        self._callback_error = None
        self._stop_asked = False   # stop() was called during the current run
        self._stop_pending = False  # a stop was requested during the current run
        self._whole_run = False    # the current run is to run to tstop
        self._end = None           # (time, tstop) where the last run ended
        self._listeners = {"status": [], "error": [], "tick": [], "state": []}
        # While set, blocking runs take Ctrl-C in C (see _recorder.Interrupts)
        # instead of in a Python tick callback.
        self._interrupts = None
        self._registrations = {}  # user data -> (kind, key, Python callable)
        self._next_user_data = FIRST_REGISTRATION_USER_DATA
        self._time_number = self._library.variables[0].number
        self._get_double = self._raw._functions["OrvoGetDouble"]
        self._last_tick_time = None  # of the last output point passed on
        self.number = 0
        self.number = self._library.create_instance(self)

    # ---- lifetime --------------------------------------------------------

    def __enter__(self) -> "Instance":
        return self

    def __exit__(self, *exc) -> None:
        self.close()
        return False

    def close(self) -> None:
        """Stops a background run (waiting for its end) and destroys the
        instance. Waits while another thread's run of the library is in
        progress; inside a callback of a run it raises NestedRunError and the
        instance stays open (close it after the run)."""
        if self.number == 0:
            return
        self._library.run_lock.refuse_inside_callback("close()")
        with _running_lock:
            background = self in _running
        # Another thread's blocking run of this instance is not stopped: the
        # run lock below waits for its end.
        if background:
            self._stop_asked = True  # a stop on purpose: wait() reports no failure
            self._request_stop()
            if not self._ended.wait(EXIT_WAIT_SECONDS):
                raise RunStateError(f"instance {self.number}: the run did not end after stop(); "
                                    "not destroyed")
        self._library.destroy_instance(self.number)
        self.number = 0

    def __del__(self):
        # An instance dropped without close() gives its slot back when the
        # library is next free (this may run inside a callback of a run).
        try:
            if self.number != 0:
                self._library.drop_instance(self.number)
                self.number = 0
        except AttributeError:
            pass

    def __reduce_ex__(self, protocol):
        # A copy would share the instance number, and dropping it would
        # destroy the instance under the original (copy.copy and pickle).
        raise TypeError(f"an orvo.Instance cannot be copied or pickled: it is instance {self.number or 'closed'} "
                        "of the library loaded in this process; create another with orvo.Instance(model)")

    @property
    def closed(self) -> bool:
        """True once close() destroyed the instance."""
        return self.number == 0

    @property
    def library(self) -> Library:
        """The loaded library this instance belongs to."""
        return self._library

    # ---- values ------------------------------------------------------------

    def get(self, name: str) -> Value:
        """The variable's current value (arrays as numpy arrays)."""
        self._check_open()
        return self._library.read(self.number, name)

    def set(self, name: str, value: Value, *, force: bool = False) -> None:
        """Writes a settable variable or a state; `force` allows any variable."""
        self._check_open()
        variable = self._library.variable(name)
        if not force and variable.symbol_type != SymbolType.STATE:
            variable.check_settable()
        value = variable.coerce(value)
        self._library.note_instance_write(variable)
        self._library.write(self.number, variable, value)

    __getitem__ = get
    __setitem__ = set

    @property
    def time(self) -> float:
        """The independent variable's current value."""
        return self.get(self._library.variables[0])

    def set_tolerance(self, name: str, relative: Optional[float] = None, absolute: Optional[float] = None) -> None:
        """Error tolerances of a state (kept in the variable table, so they
        apply to every later run of any instance); SettingsError for a
        variable that is not a state."""
        self._check_open()
        variable = self._library.variable(name)
        if variable.symbol_type != SymbolType.STATE:
            # The library keeps it, and no solver reads it.
            raise SettingsError(f"{variable.name} is not a state; tolerances apply to states")
        relative, absolute = (None if value is None else _tolerance(value, what, variable)
                              for value, what in ((relative, "relative"), (absolute, "absolute")))
        self._library.note_instance_tolerance(variable, self.tolerance(variable))
        if relative is not None:
            self._raw.OrvoSetRelativeError(self.number, variable.number, relative)
        if absolute is not None:
            self._raw.OrvoSetAbsoluteError(self.number, variable.number, absolute)

    def tolerance(self, name: str) -> Tuple[float, float]:
        """(relative, absolute) tolerance of a variable."""
        number = self._library.variable(name).number
        return (self._raw.OrvoGetRelativeError(self.number, number),
                self._raw.OrvoGetAbsoluteError(self.number, number))

    # ---- runs ----------------------------------------------------------------

    @property
    def running(self) -> bool:
        """True while a run started by start() is in progress."""
        return not self._ended.is_set()

    def run(self) -> None:
        """A whole run from the start, on this thread. Ctrl-C stops it at
        its next output point and raises KeyboardInterrupt. Settings no run
        can mean (an ialg the library lacks, a cint or tstop that is not
        finite and positive) raise SettingsError before it; a run that ends
        in the error state, or before tstop without stop(), raises RunError."""
        self._blocking("OrvoStartBlocking", fresh=True, whole=True)

    def prestep(self) -> None:
        """Runs the initial section only, ready for step() and run_to().
        Settings no run can mean raise SettingsError, as for run()."""
        self._blocking("OrvoPreStep", fresh=True)

    def step(self) -> None:
        """Runs exactly one communication interval."""
        self._check_initialized("step()")
        self._blocking("OrvoStep")

    def run_to(self, time: float) -> None:
        """Advances to `time` (the last interval shortened to end there)."""
        self._check_initialized("run_to()")
        try:
            time = float(time)
        except (TypeError, ValueError, OverflowError):
            raise SettingsError(f"run_to() takes a time (a number within range), not {type(time).__name__} "
                                f"{_shown(time)}") from None
        if math.isnan(time):
            raise SettingsError("run_to(): the time is NaN")
        self._blocking("OrvoRunToTime", time)

    def continue_(self) -> None:
        """Continues the run where it stopped, to its stop time, on this
        thread; RunError as for run()."""
        self._check_initialized("continue_()")
        self._blocking("OrvoContinueBlocking", whole=True)

    def reinitialize(self) -> None:
        """Makes the next start begin where the last run ended."""
        self._check_open()
        # It moves the start time: an Instance's write, which the next Model.run puts back.
        for variable in self._library.variables:
            if variable.symbol_type == SymbolType.INDEPENDENT_START:
                self._library.note_instance_write(variable)
        self._raw.OrvoReinitialize(self.number)

    def start(self, *, resume: bool = False) -> None:
        """Starts a run on the library's run thread and returns at once
        (`resume=True` continues the last run instead). Callbacks then run on
        that thread; wait() collects the outcome. The run holds the
        library's run lock until it ends. Settings no run can mean raise
        SettingsError, as for run()."""
        if resume:
            self._check_initialized("start(resume=True)")
        export = "OrvoContinue" if resume else "OrvoStart"
        run_lock = self._library.run_lock
        with run_lock("start()"):
            if not resume:
                self._check_open()
                self._library.check_run_settings()
            # From _begin on, anything raised (Ctrl-C included) ends the run's
            # bookkeeping: the library would otherwise stay marked as running.
            try:
                self._begin(fresh=not resume, whole=True)
                with _running_lock:
                    _running.add(self)
                # Handed over before the call: the run may end before it returns.
                run_lock.hand_to_background(self)
                self._raw.call(export, self.number)
            except BaseException:
                self._finish()
                raise
            if not self.states:
                # The library reports the start on this thread before the run
                # thread exists; without it the start was refused.
                self._finish()
                raise RunStateError(f"{export} was refused by the library"
                                    + "".join(f"\n  {m}" for m in self.messages))

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Waits for a background run to end: True when it has ended (raising
        what a callback raised, or RunError for the error state or an end
        before tstop without stop()), False on timeout."""
        if self.running:
            self._library.run_lock.refuse_inside_callback("wait()")
        if not self._ended.wait(timeout):
            return False
        self._raise_outcome()
        return True

    def stop(self) -> None:
        """Asks the run to end before its next communication interval."""
        self._stop_asked = True
        self._request_stop()

    def _request_stop(self):
        if self.number != 0:
            # Asked again at every callback of the run until it ends: the
            # library drops a stop that comes before its run thread has set
            # the run up (right after start()).
            self._stop_pending = True
            self._raw.OrvoStop(self.number)

    def _blocking(self, export, *args, fresh=False, whole=False):
        with self._library.run_lock(f"{export}"):
            if fresh:
                self._check_open()
                self._library.check_run_settings()
            interrupted = []
            previous = None
            in_c = False
            try:
                # Inside: a Ctrl-C that lands before the call must still end
                # the run's bookkeeping below.
                self._begin(fresh, whole)
                previous = self._catch_interrupt(interrupted)
                in_c = previous is not None and self._interrupts is not None and not self._listeners["tick"] \
                    and self._interrupts.arm(self)
                self._raw.call(export, self.number, *args)
            finally:
                if in_c and self._interrupts.disarm(self):
                    interrupted.append(True)
                if previous is not None:
                    signal.signal(signal.SIGINT, previous)
                # The end state is normally seen already; a start the library
                # ignored reports none.
                self._finish()
        if interrupted:
            self._callback_error = None
            raise KeyboardInterrupt
        self._raise_outcome()

    def _catch_interrupt(self, interrupted):
        # Python handles a signal when it next runs Python code: in a
        # callback of the run, where an exception could not leave. This
        # handler stops the run instead, and KeyboardInterrupt is raised once
        # the call has returned. Only Python's own Ctrl-C handler is replaced,
        # and only on the main thread (signals are handled nowhere else).
        if threading.current_thread() is not threading.main_thread():
            return None
        try:
            if signal.getsignal(signal.SIGINT) is not signal.default_int_handler:
                return None

            def stop(_signum, _frame):
                interrupted.append(True)
                self._request_stop()
            return signal.signal(signal.SIGINT, stop)
        except ValueError:
            return None

    def _begin(self, fresh=True, whole=False):
        self._check_open()
        library = self._library
        with library.lock:
            if library.active_run is not None:
                raise RunStateError(f"instance {library.active_run.number} is running; "
                                    "one run at a time per process")
            if self.number != library.latest_instance:
                raise RunStateError(f"instance {self.number} cannot run: the library runs only its "
                                    f"most recently created instance ({library.latest_instance})")
            library.active_run = self
        self.messages, self.errors, self.states = [], [], []
        self._callback_error = None
        self._stop_asked, self._stop_pending, self._whole_run, self._end = False, False, whole, None
        if fresh:
            self._last_tick_time = None
        self._ended.clear()

    def _finish(self):
        if self._end is None and self.number != 0 and any(s in _END_STATES for s in self.states):
            # Noted here, where the run ends: another thread may close the
            # instance before the outcome is raised.
            try:
                self._end = (self._get_double(self.number, self._time_number), self._library.stop_time())
            except Exception:  # noqa: BLE001 - the run's bookkeeping below must go on
                pass
        with self._library.lock:
            if self._library.active_run is self:
                self._library.active_run = None
        self._library.run_lock.background_ended(self)
        self._ended.set()
        with _running_lock:
            _running.discard(self)

    def _raise_outcome(self):
        # Kept until the next run begins: a thread in wait() and the one
        # whose blocking run it waits for both see it.
        error = self._callback_error
        if error is not None:
            raise error
        time, tstop = self._end or (None, None)
        if ExecutionState.ERROR in self.states:
            time = self.time if time is None else time
            raise RunError(f"the run ended in the error state at t = {time:g}", self.messages)
        if self._whole_run and not self._stop_asked and time is not None and tstop is not None:
            early = ended_early(time, tstop)
            if early is not None:
                raise RunError(early, self.messages)

    # ---- callbacks -------------------------------------------------------------

    def on_status(self, function: Callback) -> Handle:
        """function(text) for every status message line. Returns a handle for remove()."""
        return self._listen("status", function)

    def on_error(self, function: Callback) -> Handle:
        """function(code, text) for every error report."""
        return self._listen("error", function)

    def on_tick(self, function: Callback) -> Handle:
        """function(tick_type): 0 at every output point and once at the end of a run."""
        return self._listen("tick", function)

    def on_state_change(self, function: Callback) -> Handle:
        """function(old, new) for every execution-state change (ExecutionState values)."""
        return self._listen("state", function)

    def on_discrete_event(self, section_code: int, function: Callback) -> Handle:
        """function(section_code) whenever that discrete section fires."""
        if not callable(function):
            raise TypeError(f"a callback is callable, not {type(function).__name__}")
        if isinstance(section_code, (bool, np.bool_)) or not isinstance(section_code, numbers.Integral):
            raise TypeError(f"a discrete section code is an integer, not {type(section_code).__name__} "
                            f"{_shown(section_code)}")
        section_code = int(section_code)
        if not 0 <= section_code < 2**32:
            raise ValueError(f"a discrete section code is from 0 to {2**32 - 1}, not {section_code}")
        self._check_idle("add a callback")
        user_data = self._new_user_data()
        self._registrations[user_data] = ("discrete", section_code, function)
        self._raw.OrvoAddDiscreteEventCallbackFunction(self.number, user_data, section_code,
                                                       self._library.c_callbacks["discrete"])
        return user_data

    def watch(self, name: str, function: Callback) -> Handle:
        """function(name) at every output point at which the variable differs
        from its value now."""
        if not callable(function):
            raise TypeError(f"a callback is callable, not {type(function).__name__}")
        self._check_idle("add a callback")
        variable = self._library.variable(name)
        user_data = self._new_user_data()
        self._registrations[user_data] = ("watch", variable.number,
                                          lambda _number: function(variable.name))
        self._raw.OrvoAddSymbolWatchCallback(self.number, user_data, variable.number,
                                             self._library.c_callbacks["watch"])
        return user_data

    def remove(self, handle: Handle) -> None:
        """Removes a callback added by one of the on_... methods or watch()."""
        self._check_idle("remove a callback")
        if isinstance(handle, tuple) and len(handle) == 2 and handle[0] in self._listeners:
            kind, function = handle
            if function in self._listeners[kind]:
                self._listeners[kind].remove(function)
            return
        try:
            kind, key, _ = self._registrations.pop(handle)
        except (KeyError, TypeError):
            raise ValueError(f"{handle!r} is not a handle of a callback of this instance "
                             "(one that on_... or watch() returned and not yet removed)") from None
        if kind == "discrete":
            self._raw.OrvoRemoveDiscreteEventCallbackFunction(self.number, handle, key,
                                                              self._library.c_callbacks[kind])
        else:
            self._raw.OrvoRemoveSymbolWatchCallback(self.number, handle, key,
                                                    self._library.c_callbacks[kind])

    def _listen(self, kind, function):
        if not callable(function):
            raise TypeError(f"a callback is callable, not {type(function).__name__}")
        self._check_idle("add a callback")
        self._listeners[kind].append(function)
        return (kind, function)

    def _new_user_data(self):
        user_data = self._next_user_data
        self._next_user_data += 1
        return user_data

    def _call_user(self, function, *args):
        # An exception cannot cross the library: keep the first, end the run,
        # and let the caller of the run see it.
        if self._callback_error is not None:
            return
        try:
            function(*args)
        except BaseException as exc:  # noqa: B902 - handed to the caller, not dropped
            self._keep_error(exc)

    def _keep_error(self, exc):
        # The first exception wins, except that Ctrl-C is never lost.
        if self._callback_error is None or (isinstance(exc, KeyboardInterrupt) and
                                            not isinstance(self._callback_error, KeyboardInterrupt)):
            self._callback_error = exc
        self._request_stop()

    # The library's dispatchers call these with the registration's user data.

    def _on_registration(self, user_data, argument):
        registration = self._registrations.get(user_data)
        if registration is not None:
            self._call_user(registration[2], argument)

    def _on_status(self, _user, text):
        if text is None:
            return
        for line in text.decode(errors="replace").splitlines():
            if line.strip():
                self.messages.append(line)
                for function in list(self._listeners["status"]):
                    self._call_user(function, line)

    def _on_error(self, _user, code, text):
        message = text.decode(errors="replace") if text is not None else ""
        self.errors.append((code, message))
        for function in list(self._listeners["error"]):
            self._call_user(function, code, message)

    def _on_tick(self, _user, tick):
        if self._stop_pending:
            self._request_stop()
        if tick == 0:
            # The library ticks where a step or run to a time begins as well
            # as where it ends: each output point is passed on once.
            now = self._get_double(self.number, self._time_number)
            if now == self._last_tick_time:
                return
            self._last_tick_time = now
        for function in list(self._listeners["tick"]):
            self._call_user(function, tick)

    def _on_state(self, _user, old, new):
        if self._stop_pending:
            self._request_stop()
        old, new = _state(old), _state(new)
        self.state = new
        self.states.append(new)
        if new == ExecutionState.INITIALIZED:
            self._initialized = True
        for function in list(self._listeners["state"]):
            self._call_user(function, old, new)
        if new in _END_STATES:
            self._finish()

    # ---- checks ------------------------------------------------------------------

    def _check_open(self):
        if self.number == 0:
            raise RunStateError("the instance is closed")

    def _check_initialized(self, what):
        # Continuing an instance whose solver was never set up runs nothing
        # useful (the library may loop on it): refuse it here.
        self._check_open()
        if not self._initialized:
            raise RunStateError(f"{what} continues a run: call prestep() or run() first")

    def _check_idle(self, what):
        self._check_open()
        if self.running:
            raise RunStateError(f"cannot {what} while a run is in progress")

    def __repr__(self) -> str:
        return f"<orvo.Instance {self.number or 'closed'} state={getattr(self.state, 'name', self.state)}>"
