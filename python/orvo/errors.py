"""Exceptions raised by the orvo package; all derive from OrvoError."""


class OrvoError(Exception):
    """Base class of every error this package raises."""


class LibraryError(OrvoError):
    """The model library cannot be found or loaded, or lacks an export."""


class CallError(OrvoError):
    """An export was called with unusable arguments or gave a failure result.

    `function` names the export."""

    def __init__(self, function, message):
        super().__init__(f"{function}: {message}")
        self.function = function


class UnknownVariableError(OrvoError, KeyError):
    """No model variable has the given name."""

    def __init__(self, name):
        super().__init__(name)
        self.name = name

    def __str__(self):
        return f"unknown variable {self.name!r}"


class VariableTypeError(OrvoError, TypeError):
    """A value does not fit the variable's data type or shape."""


class NotSettableError(OrvoError, ValueError):
    """The variable is computed or controlled by the model and may not be set."""


class SettingsError(OrvoError, ValueError):
    """The settings cannot give a meaningful run (an integration method the
    library lacks, times that are not finite or out of order); raised
    before the run starts."""


class RunStateError(OrvoError):
    """The requested operation does not fit the instance's run state."""


class NestedRunError(RunStateError):
    """A callback of a run asked for something that needs the library to
    itself: a run or start, creating, closing or waiting for an instance of
    the same library. Refused at once; raised inside a callback, it ends the
    run like any exception there and reaches the run's caller."""


class RunError(OrvoError):
    """A run ended in the error state or before its stop time.

    `messages` holds the run's status messages and `result` what was
    recorded before the failure (or None)."""

    def __init__(self, message, messages=(), result=None):
        text = message
        if messages:
            text += "\n" + "\n".join(f"  {m}" for m in messages)
        super().__init__(text)
        self.messages = list(messages)
        self.result = result


class CliError(OrvoError):
    """The orvo command-line tool failed or is missing a command.

    `exit_code` is its exit status (None when it could not be started) and
    `stderr` its diagnostics."""

    def __init__(self, message, exit_code=None, stderr=""):
        super().__init__(message + (f"\n{stderr.strip()}" if stderr.strip() else ""))
        self.exit_code = exit_code
        self.stderr = stderr
