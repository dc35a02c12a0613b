"""The per-library run lock.

A loaded library runs one instance at a time and all its instances share the
model's storage, so everything that runs, creates or destroys an instance
holds this lock: host threads take turns instead of racing. A thread holds it
for a blocking section (re-entrantly, so that Model.run may create, run and
close its instance); a background run holds it from its start until its end
state, whichever thread that end is seen on.

Callbacks of a run must not take it: the run they are called from holds it
(directly, or on another thread that waits for the run), so waiting would
never end. The dispatchers mark the thread as inside a callback, and a
request from there is refused at once with NestedRunError.
"""

import threading

from .errors import NestedRunError, RunStateError


class RunLock:
    def __init__(self, when_free=None):
        self._condition = threading.Condition(threading.Lock())
        self._owner = None        # ident of the thread holding it for a blocking section
        self._depth = 0
        self._background = None   # the Instance whose background run holds it
        self._starter = None      # ident of the thread that started that run
        self._local = threading.local()
        self._when_free = when_free  # called by a thread that takes the lock while it was free

    # ---- callbacks -----------------------------------------------------------

    def inside_callback(self):
        return getattr(self._local, "callbacks", 0) > 0

    def enter_callback(self):
        self._local.callbacks = getattr(self._local, "callbacks", 0) + 1

    def leave_callback(self):
        self._local.callbacks -= 1

    def refuse_inside_callback(self, what):
        if self.inside_callback():
            raise NestedRunError(
                f"{what} is not possible inside a callback of a run of the same library: the run "
                "holds the library until it ends. Call stop() from the callback and do it after "
                "the run has ended")

    # ---- holding ---------------------------------------------------------------

    def acquire(self, what):
        """Takes the lock for the calling thread, waiting while another
        thread or a background run holds it."""
        self.refuse_inside_callback(what)
        me = threading.get_ident()
        with self._condition:
            while True:
                if self._background is not None and self._starter == me:
                    # Waiting would wait on this thread's own run, and going
                    # ahead (holding the lock) would act beside it.
                    raise RunStateError(
                        f"instance {self._background.number} is running; one run at a time per "
                        f"process: wait() for it or stop() it before {what}")
                if self._owner == me:
                    self._depth += 1
                    return
                if self._owner is None and self._background is None:
                    break
                self._condition.wait()
            self._owner, self._depth = me, 1
        if self._when_free is not None:
            try:
                self._when_free()
            except BaseException:
                self.release()
                raise

    def release(self):
        with self._condition:
            self._depth -= 1
            if self._depth == 0:
                self._owner = None
                self._condition.notify_all()

    def __call__(self, what):
        return _Held(self, what)

    def hand_to_background(self, instance):
        """The calling thread holds the lock; from now on `instance`'s run
        holds it too, until background_ended(instance)."""
        with self._condition:
            self._background, self._starter = instance, threading.get_ident()

    def background_ended(self, instance):
        with self._condition:
            if self._background is instance:
                self._background = self._starter = None
                self._condition.notify_all()


class _Held:
    def __init__(self, lock, what):
        self._lock, self._what = lock, what

    def __enter__(self):
        self._lock.acquire(self._what)
        return self

    def __exit__(self, *exc):
        self._lock.release()
        return False
