"""Python interface to the orvo simulation library and its model.

    import orvo
    model = orvo.Model()
    result = model.run({"pdoseug_i": 200, "tstop": 2400}, cint=24)
    orvo.plot(result, ["ca_mi", "ca_mp"])
"""

from .errors import (CallError, CliError, LibraryError, NestedRunError, NotSettableError, OrvoError,
                     RunError, RunStateError, SettingsError, UnknownVariableError, VariableTypeError)
from .instance import ExecutionState, Instance
from .library import find_library, load_library
from .build import build
from .model import Model
from .population import find_cli, population, sensitivity
from .calibrate import CalibrationResult, calibrate
from .plotting import plot
from .variables import DataType, SymbolType, Variable

__all__ = ["build", "Model", "Instance", "ExecutionState", "population", "sensitivity", "plot",
           "find_library", "load_library", "find_cli", "DataType", "SymbolType", "Variable",
           "OrvoError", "LibraryError", "CallError", "UnknownVariableError", "VariableTypeError",
           "NotSettableError", "RunStateError", "NestedRunError", "RunError", "SettingsError",
           "CliError"]
__version__ = "1.0"
