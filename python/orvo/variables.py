"""The model's variable table and typed conversion of values."""

from __future__ import annotations

import dataclasses
import enum
import functools
import math
import numbers
from typing import Any, Tuple

import numpy as np

from .errors import NotSettableError, VariableTypeError


class DataType(enum.IntEnum):
    """The data type of a variable's values."""
    SHORT = 0
    LONG = 1
    REAL = 2
    FLOAT = 3
    DOUBLE = 4
    BOOL = 5
    STRING = 6
    INVALID = 7


class SymbolType(enum.IntEnum):
    """The role of a variable in the model."""
    INDEPENDENT_VARIABLE = 0
    INDEPENDENT_START = 1
    STATE = 2
    DERIVATIVE = 3
    INITIAL_CONDITION = 4
    OTHER = 5
    COMM_INTERVAL = 6
    ALGORITHM = 7
    STEPS_PER_INTERVAL = 8
    MAX_STEP = 9
    MIN_STEP = 10
    MIN_STEP_VIOLATION = 11
    CONTROL = 12
    SETTING = 13
    INVALID = 14


# numpy element types of the data types that have one
NUMPY_TYPES = {DataType.SHORT: np.int16, DataType.LONG: np.int32, DataType.REAL: np.float64,
               DataType.FLOAT: np.float32, DataType.DOUBLE: np.float64, DataType.BOOL: np.bool_}

_INT_RANGES = {DataType.SHORT: (-2**15, 2**15 - 1), DataType.LONG: (-2**31, 2**31 - 1)}


@dataclasses.dataclass(frozen=True)
class Variable:
    """One variable of the model's table: its number, name, role, data
    type, extents, attribute flags, and the units and description the model
    declares."""
    number: int
    name: str
    symbol_type: SymbolType
    data_type: DataType
    dims: Tuple[int, ...]          # the six extents as registered
    flags: Tuple[int, ...]         # attribute flags 1..11
    string_length: int
    units: str = ""       # as the model's description writes them, "" when none
    description: str = ""

    @functools.cached_property
    def shape(self) -> Tuple[int, ...]:
        """Extents of the leading non-zero dimensions; () for a scalar."""
        shape = []
        for extent in self.dims:
            if extent == 0:
                break
            shape.append(extent)
        return tuple(shape)

    @property
    def size(self) -> int:
        """The number of elements (1 for a scalar)."""
        return int(np.prod(self.shape)) if self.shape else 1

    @property
    def is_array(self) -> bool:
        """True for an array variable."""
        return bool(self.shape)

    @property
    def constant(self) -> bool:
        """True when the model declares it a constant."""
        return bool(self.flags[1])

    @property
    def why_not_settable(self) -> str:
        """Why the host may not set this variable; '' when it may."""
        s = self.symbol_type
        if s == SymbolType.INDEPENDENT_VARIABLE:
            return "the independent variable is advanced by the run (set zzticg for the start time)"
        if s == SymbolType.STATE:
            return "states start from their initial values (set the model's initial-value constants)"
        if s == SymbolType.DERIVATIVE:
            return "derivatives are computed by the model"
        if s == SymbolType.INITIAL_CONDITION:
            return "initial conditions are computed by the model from its constants"
        if s == SymbolType.OTHER:
            return "" if self.constant else "it is computed by the model"
        if s in (SymbolType.MIN_STEP_VIOLATION, SymbolType.CONTROL):
            return "it is a runtime control variable"
        return ""

    @property
    def settable(self) -> bool:
        """True when the host may set it (see why_not_settable)."""
        return not self.why_not_settable

    def check_settable(self) -> None:
        """Raises NotSettableError saying why, when the host may not set it."""
        reason = self.why_not_settable
        if reason:
            raise NotSettableError(f"{self.name} cannot be set: {reason}")

    def coerce(self, value: Any) -> Any:
        """The value converted for this variable: a Python scalar, or for an
        array a contiguous numpy array of its element type. Raises
        VariableTypeError when the value does not fit."""
        if self.is_array:
            return self._coerce_array(value)
        return self._coerce_scalar(value)

    def _coerce_scalar(self, value):
        t = self.data_type
        if isinstance(value, np.ndarray) and value.ndim == 0:
            value = value.item()
        if t in (DataType.DOUBLE, DataType.REAL, DataType.FLOAT):
            if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
                raise self._mismatch(value, "a real number")
            try:
                value = float(value)
            except OverflowError:
                raise VariableTypeError(f"{self.name} is a {self._type_text}; {_shown(value)} "
                                        "is out of its range") from None
            if t == DataType.FLOAT and math.isfinite(value) and abs(value) > np.finfo(np.float32).max:
                raise VariableTypeError(f"{self.name} is a float; {value!r} is out of its range")
            return value
        if t in _INT_RANGES:
            if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
                raise self._mismatch(value, "an integer")
            low, high = _INT_RANGES[t]
            value = int(value)
            if not low <= value <= high:
                raise VariableTypeError(
                    f"{self.name} is a {self._type_text}; {_shown(value)} is outside {low}..{high}")
            return value
        if t == DataType.BOOL:
            if isinstance(value, (bool, np.bool_)):
                return bool(value)
            if isinstance(value, numbers.Integral) and int(value) in (0, 1):
                return bool(value)
            raise self._mismatch(value, "True/False (or 0/1)")
        if t == DataType.STRING:
            if not isinstance(value, str):
                raise self._mismatch(value, "a string")
            encoded = value.encode()
            if self.string_length and len(encoded) >= self.string_length:
                raise VariableTypeError(
                    f"{self.name} holds at most {self.string_length - 1} bytes of text")
            return value
        raise VariableTypeError(f"{self.name} has no settable data type ({int(t)})")

    def _coerce_array(self, value):
        element_type = NUMPY_TYPES.get(self.data_type)
        if element_type is None:
            raise VariableTypeError(f"{self.name}: arrays of {self._type_text} cannot be set")
        if isinstance(value, (str, bytes)) or not hasattr(value, "__len__"):
            raise self._mismatch(value, f"an array of shape {self.shape}")
        try:
            source = np.asarray(value)
        except (TypeError, ValueError, OverflowError):  # ragged nesting, elements numpy cannot hold
            raise self._mismatch(value, f"an array of shape {self.shape}") from None
        if source.shape != self.shape:
            raise VariableTypeError(
                f"{self.name} has shape {self.shape}; the value has shape {source.shape}")
        kind = source.dtype.kind
        if self.data_type == DataType.BOOL:
            ok = kind == "b"
        elif element_type in (np.int16, np.int32):
            ok = kind in "iu" and (source.size == 0 or (
                source.min() >= np.iinfo(element_type).min and source.max() <= np.iinfo(element_type).max))
        else:
            ok = kind in "iuf"
        if not ok:
            raise self._mismatch(value, f"an array of {self._type_text} values")
        # Column-major, as the model stores its arrays.
        return np.asfortranarray(source, dtype=element_type).ravel(order="F")

    @property
    def _type_text(self):
        return {DataType.SHORT: "16-bit integer", DataType.LONG: "32-bit integer",
                DataType.REAL: "double", DataType.FLOAT: "float", DataType.DOUBLE: "double",
                DataType.BOOL: "logical", DataType.STRING: "string"}.get(self.data_type, "invalid")

    def _mismatch(self, value, wanted):
        return VariableTypeError(
            f"{self.name} is a {self._type_text}{' array' if self.is_array else ''}; "
            f"it takes {wanted}, not {type(value).__name__} {_shown(value)}")


def _shown(value, limit=200):
    """The value as a message shows it: its repr, cut after `limit`
    characters; an integer too long to print in digits by its size."""
    if isinstance(value, numbers.Integral) and not isinstance(value, (bool, np.bool_)):
        value = int(value)
        if value.bit_length() > 256:
            return f"an integer of about {int(value.bit_length() * math.log10(2)) + 1} digits"
    try:
        text = repr(value)
    except Exception:  # noqa: BLE001 - a repr that fails still leaves the message
        text = f"a {type(value).__name__}"
    return text if len(text) <= limit else text[:limit - 3] + "..."
