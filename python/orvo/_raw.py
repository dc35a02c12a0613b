"""The raw layer: one ctypes declaration per export this package calls.

Each export is declared once in `EXPORTS` (result type, argument types) and
bound at load; a missing export fails the load with its name. Every call goes
through `RawLibrary.call`, the one place that traces calls and turns ctypes
failures into `CallError` naming the function.
"""

import ctypes
import os
import sys
from ctypes import (POINTER, CFUNCTYPE, Structure, Union, c_bool, c_char_p, c_double,
                    c_float, c_int, c_int16, c_int32, c_uint8, c_uint32, c_void_p)

from .errors import CallError, LibraryError

INTERFACE_VERSION = 0x10000


class SymbolValue(Union):
    """The 8-byte value union of the generic value exports."""
    _fields_ = [("shortValue", c_int16), ("longValue", c_int32), ("floatValue", c_float),
                ("doubleValue", c_double), ("boolValue", c_bool), ("stringValue", c_char_p),
                ("arrayValue", c_void_p)]


class SymbolInfo(Structure):
    _fields_ = [("symbolType", c_uint32), ("dataType", c_uint32), ("name", c_char_p),
                ("numDimensions", c_uint32), ("dimensions", POINTER(c_uint32)),
                ("flags", c_uint8 * 11), ("derivativeVariable", c_uint32),
                ("initialConditionVariable", c_uint32), ("stringLength", c_uint32)]


Dims = c_uint32 * 6
Enum = c_int  # C enums (execution state, tick type) travel as int

StatusCallback = CFUNCTYPE(None, c_uint32, c_uint32, c_char_p)
ErrorCallback = CFUNCTYPE(None, c_uint32, c_uint32, c_uint32, c_char_p)
TickCallback = CFUNCTYPE(None, c_uint32, c_uint32, Enum)
DiscreteEventCallback = CFUNCTYPE(None, c_uint32, c_uint32, c_uint32)
SymbolWatchCallback = CFUNCTYPE(None, c_uint32, c_uint32, c_uint32)
ExecutionStateCallback = CFUNCTYPE(None, c_uint32, c_uint32, Enum, Enum)

_u32 = c_uint32
_dims_in = POINTER(c_uint32)

# name: (result type, [argument types])
EXPORTS = {
    "OrvoGetVersion": (c_int32, []),
    "OrvoInitialize": (None, []),
    "OrvoFinalize": (None, []),
    "OrvoCreate": (_u32, []),
    "OrvoDestroy": (None, [_u32]),
    "OrvoStart": (None, [_u32]),
    "OrvoStartBlocking": (None, [_u32]),
    "OrvoContinue": (None, [_u32]),
    "OrvoContinueBlocking": (None, [_u32]),
    "OrvoStop": (None, [_u32]),
    "OrvoReinitialize": (None, [_u32]),
    "OrvoPreStep": (None, [_u32]),
    "OrvoStep": (None, [_u32]),
    "OrvoRunToTime": (None, [_u32, c_double]),
    "OrvoCalcDeriv": (None, [_u32, _u32]),
    "OrvoSetRelativeError": (None, [_u32, _u32, c_double]),
    "OrvoSetAbsoluteError": (None, [_u32, _u32, c_double]),
    "OrvoGetRelativeError": (c_double, [_u32, _u32]),
    "OrvoGetAbsoluteError": (c_double, [_u32, _u32]),
    "OrvoGetNumberSymbols": (_u32, []),
    "OrvoGetSymbolIndex": (_u32, [c_char_p]),
    "OrvoGetSymbolInfo": (c_bool, [_u32, POINTER(SymbolInfo)]),
    "OrvoGetSymbolValue": (c_bool, [_u32, _u32, POINTER(c_uint32), POINTER(SymbolValue), _dims_in]),
    "OrvoSetSymbolValue": (None, [_u32, _u32, _u32, SymbolValue, _dims_in]),
    "OrvoGetShort": (c_int32, [_u32, _u32]),
    "OrvoSetShort": (None, [_u32, _u32, c_int16]),
    "OrvoGetLong": (c_int32, [_u32, _u32]),
    "OrvoSetLong": (None, [_u32, _u32, c_int32]),
    "OrvoGetFloat": (c_float, [_u32, _u32]),
    "OrvoSetFloat": (None, [_u32, _u32, c_float]),
    "OrvoGetDouble": (c_double, [_u32, _u32]),
    "OrvoSetDouble": (None, [_u32, _u32, c_double]),
    "OrvoGetBool": (c_bool, [_u32, _u32]),
    "OrvoSetBool": (None, [_u32, _u32, c_bool]),
    "OrvoGetString": (c_char_p, [_u32, _u32]),
    "OrvoSetString": (None, [_u32, _u32, c_char_p]),
    "OrvoAddStatusCallback": (None, [_u32, _u32, StatusCallback]),
    "OrvoRemoveStatusCallback": (None, [_u32, _u32, StatusCallback]),
    "OrvoAddErrorCallback": (None, [_u32, _u32, ErrorCallback]),
    "OrvoRemoveErrorCallback": (None, [_u32, _u32, ErrorCallback]),
    "OrvoAddTickCallbackFunction": (None, [_u32, _u32, TickCallback]),
    "OrvoRemoveTickCallbackFunction": (None, [_u32, _u32, TickCallback]),
    "OrvoAddDiscreteEventCallbackFunction": (None, [_u32, _u32, _u32, DiscreteEventCallback]),
    "OrvoRemoveDiscreteEventCallbackFunction": (None, [_u32, _u32, _u32, DiscreteEventCallback]),
    "OrvoAddSymbolWatchCallback": (None, [_u32, _u32, _u32, SymbolWatchCallback]),
    "OrvoRemoveSymbolWatchCallback": (None, [_u32, _u32, _u32, SymbolWatchCallback]),
    "OrvoAddExecutionStateChangeCallbackFunction": (None, [_u32, _u32, ExecutionStateCallback]),
    "OrvoRemoveExecutionStateChangeCallbackFunction": (None, [_u32, _u32, ExecutionStateCallback]),
}


class RawLibrary:
    """The loaded shared library with every export of `EXPORTS` bound.

    Set `trace` to a writable stream (or ORVO_TRACE=1 in the environment for
    stderr) to log every call with its arguments and result."""

    def __init__(self, path):
        try:
            self._dll = ctypes.CDLL(path)  # CDLL releases the GIL during calls
        except OSError as exc:
            raise LibraryError(f"cannot load the model library {path}: {exc}") from exc
        self.path = path
        self.trace = sys.stderr if os.environ.get("ORVO_TRACE") else None
        self._functions = {}
        missing = []
        for name, (restype, argtypes) in EXPORTS.items():
            try:
                function = getattr(self._dll, name)
            except AttributeError:
                missing.append(name)
                continue
            function.restype = restype
            function.argtypes = argtypes
            self._functions[name] = function
        if missing:
            raise LibraryError(f"{path} lacks the export(s) {', '.join(missing)}")
        version = self.call("OrvoGetVersion")
        if version != INTERFACE_VERSION:
            raise LibraryError(f"{path} implements interface version {version:#x}, "
                               f"this package needs {INTERFACE_VERSION:#x}")

    def call(self, name, *args):
        """Calls export `name`; ctypes argument errors become CallError."""
        try:
            function = self._functions[name]
        except KeyError:
            raise CallError(name, "not declared in the raw layer") from None
        if len(args) != len(function.argtypes):
            # ctypes refuses too few arguments with a bare TypeError and
            # passes surplus ones on to the C function.
            raise CallError(name, f"takes {len(function.argtypes)} argument(s), not {len(args)}")
        try:
            result = function(*args)
        except ctypes.ArgumentError as exc:
            raise CallError(name, f"bad argument: {exc}") from None
        if self.trace is not None:
            shown = ", ".join(_show(a) for a in args)
            self.trace.write(f"orvo: {name}({shown}) -> {_show(result)}\n")
        return result

    def __getattr__(self, name):
        # lib.OrvoCreate() reads like the C call and still goes through call().
        if name.startswith("Orvo") and name in EXPORTS:
            return lambda *args: self.call(name, *args)
        raise AttributeError(name)


def _show(value):
    if isinstance(value, (ctypes._Pointer, ctypes.Array, Structure, Union, ctypes._CFuncPtr)):
        return type(value).__name__
    return repr(value)
