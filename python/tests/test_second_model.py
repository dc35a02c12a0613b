"""A model generated from its own description (models/oral_absorption)
driven through the package, against its closed form."""

import math
import os

import numpy as np
import pytest

import orvo

LIB = os.environ.get("ORVO_ORAL_ABSORPTION_LIB")
pytestmark = pytest.mark.skipif(not LIB, reason="ORVO_ORAL_ABSORPTION_LIB not set")


def closed_form(t, dose, tdose, ka, ke):
    """Amount in the central compartment of the one-compartment oral model."""
    s = np.clip(np.asarray(t) - tdose, 0.0, None)
    return dose * ka / (ka - ke) * (np.exp(-ke * s) - np.exp(-ka * s))


def test_oral_absorption_matches_its_closed_form():
    model = orvo.Model(lib=LIB)
    assert len(model.variables) > 0 and "acentral" in set(model.variables["name"])
    settings = {"dose": 50.0, "ka": 0.9, "ke": 0.15, "tstop": 12.0}
    for ialg in (5, 2, 14):
        result = model.run({**settings, "ialg": ialg}, record=["acentral", "aelim", "balance"])
        t = result.index.to_numpy()
        assert t[-1] == pytest.approx(12.0)
        expected = closed_form(t, 50.0, model.get("tdose"), 0.9, 0.15)
        tolerance = 1e-8 if ialg == 5 else 5e-3 * 50.0
        assert np.max(np.abs(result["acentral"].to_numpy() - expected)) < tolerance, ialg
        assert abs(result["balance"].iloc[-1]) < 1e-6 * 50.0
    assert not math.isnan(model.get("conc"))


def test_variables_carry_units_and_descriptions_from_the_model():
    model = orvo.Model(lib=LIB)
    agut = model.variable("agut")
    assert (agut.units, agut.description) == ("mg", "amount in the gut, not yet absorbed")
    assert model.variable("t").units == "h"
    assert model.default_record()[:3] == ("agut", "acentral", "aelim")
