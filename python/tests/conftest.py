"""Shared fixtures. The library comes from ORVO_LIB (set by CTest to the
build's library); all tests of a process share the model's storage, so every
test starts from the values the library had at load."""

import os
import sys

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "python"))

import orvo  # noqa: E402

EXAMPLE_SCENARIO = {"pdoseug_i": 200, "pdosemg_p": 0.007, "doseon": 0, "cint": 24, "tstop": 2400}


@pytest.fixture(scope="session")
def model():
    return orvo.Model()


@pytest.fixture(autouse=True)
def fresh_values(model):
    model.reset()
    yield
    model.reset()


def slow_background_settings():
    """RK4 with a small fixed step: a long run of short communication
    intervals, so stop() and exit land mid-run and take effect quickly."""
    return {"ialg": 5, "cint": 0.5, "nstp": 2000, "tstop": 2400, "pdoseug_i": 200}
