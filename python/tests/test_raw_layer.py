"""The raw layer's ctypes declarations against the public C header."""

import ctypes
import re
import shutil

import pytest

import orvo
from orvo import _raw
from conftest import REPO

C_TYPES = {
    "void": None, "int16_t": ctypes.c_int16, "int32_t": ctypes.c_int32, "uint32_t": ctypes.c_uint32,
    "float": ctypes.c_float, "double": ctypes.c_double, "bool": ctypes.c_bool,
    "char*": ctypes.c_char_p, "OrvoSymbolValue": _raw.SymbolValue,
    "OrvoSymbolValue*": ctypes.POINTER(_raw.SymbolValue), "uint32_t*": ctypes.POINTER(ctypes.c_uint32),
    "OrvoSymbolInfo*": ctypes.POINTER(_raw.SymbolInfo), "double**": ctypes.POINTER(ctypes.POINTER(ctypes.c_double)),
    "OrvoTickType": _raw.Enum,
    "OrvoExecutionState": _raw.Enum, "OrvoStatusCallback": _raw.StatusCallback,
    "OrvoErrorCallback": _raw.ErrorCallback, "OrvoTickCallback": _raw.TickCallback,
    "OrvoDiscreteEventCallback": _raw.DiscreteEventCallback,
    "OrvoSymbolWatchCallback": _raw.SymbolWatchCallback,
    "OrvoExecutionStateCallback": _raw.ExecutionStateCallback,
}


def c_type(declaration):
    """ctypes type of a C parameter or result declaration like 'const uint32_t* dims'."""
    text = re.sub(r"\bconst\b", "", declaration).replace("*", " * ").split()
    pointers = text.count("*")
    words = [w for w in text if w != "*"]
    base = words[0]
    return C_TYPES[base + "*" * pointers]


def header_declarations():
    with open(f"{REPO}/include/orvo/orvo.h") as handle:
        text = re.sub(r"/\*.*?\*/", "", handle.read(), flags=re.S)
    functions = {}
    for result, name, parameters in re.findall(r"ORVO_API\s+([\w\s\*]+?)\s*\b(Orvo\w+)\s*\(([^)]*)\)\s*;",
                                               text):
        arguments = [] if parameters.strip() in ("", "void") else \
            [c_type(p) for p in parameters.split(",")]
        functions[name] = (c_type(result), arguments)
    callbacks = {}
    for name, parameters in re.findall(r"typedef\s+void\s*\(\*(\w+)\)\s*\(([^)]*)\)\s*;", text):
        callbacks[name] = [c_type(p) for p in parameters.split(",")]
    return functions, callbacks


def test_declarations_match_the_header():
    functions, callbacks = header_declarations()
    assert len(functions) == 157
    for name, (restype, argtypes) in _raw.EXPORTS.items():
        assert name in functions, f"{name} is not in the header"
        assert (restype, list(argtypes)) == functions[name], name
    for name, callback in [(n, t) for n, t in C_TYPES.items() if n.endswith("Callback")]:
        assert callback._restype_ is None and list(callback._argtypes_) == callbacks[name], name
    assert ctypes.sizeof(_raw.SymbolValue) == 8


def test_library_lookup_and_call_failures(model, tmp_path, monkeypatch):
    with pytest.raises(orvo.LibraryError, match="not found"):
        orvo.find_library(tmp_path / "missing.so")
    monkeypatch.setenv("ORVO_LIB", str(tmp_path / "missing.so"))
    with pytest.raises(orvo.LibraryError, match="ORVO_LIB"):
        orvo.Model()
    not_a_library = tmp_path / "liborvo_pregnancy.so"
    not_a_library.write_text("not a shared library")
    with pytest.raises(orvo.LibraryError, match="cannot load"):
        orvo.Model(not_a_library)
    # a description file of another shape (edited by hand) is read as far as
    # it fits: the model still loads and runs; it raised TypeError or
    # AttributeError from inside the package
    for metadata in ('{"variables": 5}', '{"record": [1, "ca_mi"]}', '{"record": 5}',
                     '{"variables": [{"name": ["x"]}, {"name": "ca_mi", "units": 5}]}'):
        folder = tmp_path / f"described-{len(list(tmp_path.iterdir()))}"
        folder.mkdir()
        copy = folder / "liborvo_pregnancy.so"
        shutil.copyfile(model.library.path, copy)
        (folder / "liborvo_pregnancy.json").write_text(metadata)
        described = orvo.Model(copy)
        result = described.run({"cint": 24, "tstop": 48})
        assert len(result) == 3 and result.attrs["units"].get("ca_mi", "") in ("", "5"), metadata
    # the same file gives the same loaded library
    assert orvo.Model(model.library.path).library is model.library
    # a ctypes argument failure names the export
    with pytest.raises(orvo.CallError, match="OrvoGetDouble"):
        model.library.raw.OrvoGetDouble("one", 2)
    for arguments in [(1,), (1, 2, 3)]:  # a bare TypeError, and a surplus argument passed on
        with pytest.raises(orvo.CallError, match="OrvoGetDouble: takes 2 argument"):
            model.library.raw.OrvoGetDouble(*arguments)
