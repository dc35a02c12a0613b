"""Type aliases of the public signatures."""

import os
from typing import Any, Callable, Iterable, Mapping, Optional, Tuple, Union

import numpy as np
import pandas as pd

PathLike = Union[str, "os.PathLike[str]"]
# A variable's value: float, int, bool, str, or a numpy array.
Value = Union[float, int, bool, str, np.ndarray]
# {name: value}, a pandas Series, or a one-row DataFrame.
Settings = Optional[Union[Mapping[str, Any], pd.Series, pd.DataFrame]]
Tolerance = Tuple[float, float]
Tolerances = Optional[Union[Tolerance, Mapping[str, Tolerance]]]
Names = Optional[Union[str, Iterable[str]]]
Handle = Any  # what the on_... methods and watch() return, for remove()
Callback = Callable[..., Any]

__all__ = ["PathLike", "Value", "Settings", "Tolerance", "Tolerances", "Names", "Handle", "Callback"]
