"""A model generated from its own description (models/oral_absorption)
driven through the package, against its closed form."""

import io
import math
import os
import shutil
import subprocess

import numpy as np
import pandas as pd
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


def test_dose_records_are_exact_and_match_the_command_line(tmp_path):
    # Ten doses every 12 h off the output grid, one record with addl or ten
    # records: the closed form's superposition, and the orvo run CSV bit for bit.
    model = orvo.Model(lib=LIB)
    settings = {"dose": 0.0, "tstop": 120.0, "cint": 1.0, "ialg": 5, "nstp": 1000}
    one = pd.DataFrame({"time": [0.7], "target": ["agut"], "amount": [10.0], "ii": [12], "addl": [9]})
    ten = pd.DataFrame({"time": [0.7 + 12 * k for k in range(10)], "target": "agut", "amount": 10.0})
    result = model.run(settings, record=["acentral"], doses=one)
    t = result.index.to_numpy()
    expected = sum(closed_form(t, 10.0, 0.7 + 12 * k, 1.5, 0.2) for k in range(10))
    assert len(t) == 121 and np.max(np.abs(result["acentral"].to_numpy() - expected)) < 1e-8
    assert model.run(settings, record=["acentral"], doses=ten)["acentral"].equals(result["acentral"])
    cli = os.environ.get("ORVO_CLI")

    def command_line(records, variables):
        """orvo run's table of the same run."""
        records.to_csv(tmp_path / "records.csv", index=False)
        arguments = [cli, "run", "--lib", LIB, "--vars", ",".join(["t"] + variables),
                     "--doses", str(tmp_path / "records.csv")]
        arguments += [f"--set={k}={v}" for k, v in settings.items()]
        done = subprocess.run(arguments, capture_output=True, text=True, check=True)
        return pd.read_csv(io.StringIO(done.stdout), float_precision="round_trip").set_index("t")

    if cli:
        table = command_line(one, ["acentral"])
        assert np.array_equal(table["acentral"].to_numpy(), result["acentral"].to_numpy())
    # An infusion of 20 mg over 2 h into a constant is not possible here (no
    # input constant); a value record sets a constant: ke halved at t = 30.
    halved = model.run(settings, record=["acentral"],
                       doses=pd.DataFrame({"time": [0.7, 30.0], "target": ["agut", "ke"],
                                           "amount": [10.0, None], "value": [None, 0.1]}))
    assert halved["acentral"].loc[30.0] == pytest.approx(closed_form(30.0, 10.0, 0.7, 1.5, 0.2), rel=1e-8)
    assert halved["acentral"].loc[40.0] > closed_form(40.0, 10.0, 0.7, 1.5, 0.2)
    assert model.get("ke") == 0.2  # put back after the run
    # A dose at an output time is in that row, and so is what is computed from it
    # (conc = acentral / vd showed the state before the dose).
    bolus = pd.DataFrame({"time": [2.0], "target": ["acentral"], "amount": [30.0]})
    rows = model.run(settings, record=["acentral", "conc"], doses=bolus)
    np.testing.assert_allclose(rows["conc"], rows["acentral"] / model.get("vd"), rtol=1e-14)
    if cli:
        assert np.array_equal(command_line(bolus, ["acentral", "conc"])["conc"].to_numpy(), rows["conc"].to_numpy())


@pytest.mark.parametrize("records, words", [
    ({"time": [1.0], "target": ["nosuch"], "amount": [1.0]}, "unknown target 'nosuch'"),
    ({"time": [0.5], "target": ["agut"], "amount": [1.0], "zzticg": 1.0}, "before the start of the run"),
    ({"time": [1.0], "Time": [2.0], "target": ["agut"], "amount": [1.0]}, "column 'time' appears twice"),
    ({"time": [1.0], "target": ["agut"], "amount": [1.0], "ii": [1e-9], "addl": [10**8]}, "addl: a whole number"),
    ({"time": [1.0], "target": ["agut"], "amount": [1.0], "ii": [1.0], "addl": [2.5]}, "addl: a whole number"),
    ({"time": [float("inf")], "target": ["agut"], "amount": [1.0]}, "the time is inf, it must be finite"),
    (os.devnull, "cannot read the dose-record file"),      # empty
    (os.path.dirname(LIB or "."), "cannot read the dose-record file"),  # a folder
    ({"time": [1.0], "target": ["conc"], "amount": [1.0]}, "'conc' is not a state"),
    ({"time": [1.0], "target": ["agut"], "value": [1.0]}, "not a constant the run may set"),
    ({"time": [-1.0], "target": ["agut"], "amount": [1.0]}, "it must not be negative"),
    ({"time": [1.0], "target": ["agut"], "amount": [float("inf")]}, "the amount is inf"),
    ({"time": [1.0], "target": ["agut"], "amount": [1.0], "addl": [3]}, "addl needs ii"),
    ({"time": [1.0], "target": ["agut"], "amount": ["nosuch"]}, "'nosuch' is not a model constant"),
    ({"time": [1.0, 2.0], "target": ["ke", "ke"], "amount": [1.0, 1.0], "duration": [2.0, 2.0]}, "overlaps"),
    ({"time": [1.0], "target": ["ke"], "amount": [1.0], "rate": [0.0]}, "it must be positive"),
    ({"time": [1.0], "target": ["agut"], "dose": [1.0]}, "unknown column 'dose'"),
    # Its restore would fall at its start and leave ke at the rate for good.
    ({"time": [1.0], "target": ["ke"], "amount": [1.0], "duration": [1e-17]}, "too short to end after it starts"),
])
def test_bad_dose_records_are_refused(records, words):
    model = orvo.Model(lib=LIB)
    settings = {"tstop": 12.0}
    if isinstance(records, dict):
        settings["zzticg"] = records.pop("zzticg", 0.0)
        records = pd.DataFrame(records)
    with pytest.raises(orvo.SettingsError, match=words):
        model.run(settings, doses=records)


def test_doses_a_rounding_apart_from_output_times_and_each_other(tmp_path):
    model = orvo.Model(lib=LIB)
    settings = {"dose": 0.0, "tstop": 3.0, "cint": 1.0, "ialg": 5, "nstp": 1000}
    # A bolus a rounding before an output time is in that row, on the grid; the
    # run used to stop short of t = 2 with a step too small to advance.
    near = pd.DataFrame({"time": [0.9999999999999], "target": ["agut"], "amount": [10.0]})
    result = model.run(settings, record=["agut", "acentral"], doses=near)
    assert list(result.index) == [0.0, 1.0, 2.0, 3.0] and result["agut"].loc[1.0] == 10.0
    np.testing.assert_allclose(result["acentral"], closed_form(result.index, 10.0, 1.0, 1.5, 0.2), atol=1e-9)
    # Infusions that meet up to a rounding (0.2 + 0.1 > 0.3; 1 / (1 / 49) > 49)
    # follow each other, where they were refused as overlapping; the first
    # one's end does not cut the second one short.
    settings.update(tstop=1.0, cint=0.1)
    meeting = pd.DataFrame({"time": [0.2, 0.3], "target": "ke", "amount": 1.0, "rate": 10.0})
    ke = model.run(settings, record=["ke"], doses=meeting)["ke"]
    assert list(ke.to_numpy()) == [0.2, 0.2, 10.0, 10.0] + [0.2] * 7
    settings.update(tstop=120.0, cint=1.0)
    repeated = pd.DataFrame({"time": [0.0], "target": ["ke"], "amount": [1.0], "duration": [49.0], "ii": [49.0],
                             "addl": [1]})
    ke = model.run(settings, record=["ke"], doses=repeated)["ke"]
    assert ke.loc[48.0] == ke.loc[49.0] == ke.loc[97.0] == 1 / 49 and ke.loc[98.0] == 0.2
    # Many infusions into one input are checked against each other in
    # reasonable time (every pair: minutes for 100,000, hours for a million).
    many = orvo.doses.read_records(pd.DataFrame({"time": [0.0], "target": ["ke"], "amount": [1.0], "rate": [1.0],
                                                 "ii": [1.0], "addl": [99999]}))
    access = model.library.access_instance
    events, _ = orvo.doses.schedule(many, model.library, access, 1e6)
    assert len(events) == 200000 and [e.kind for e in events[1:3]] == ["restore", "set"]


def test_a_value_record_rounds_an_integer_setting_as_the_command_line_does():
    # nstp = 2.5 is 3 steps per interval, as orvo run writes it; round() made it 2.
    model = orvo.Model(lib=LIB)
    settings = {"tstop": 6.0, "nstp": 100}

    def acentral(value):
        records = pd.DataFrame({"time": [2.0], "target": ["nstp"], "value": [value]})
        return model.run(settings, record=["acentral"], doses=records)["acentral"]

    assert acentral(2.5).equals(acentral(3)) and not acentral(2.5).equals(acentral(2))


def test_dose_files_take_comments_and_whole_floats(tmp_path):
    # Lines that begin with '#' are comments, as for orvo run; columns with
    # gaps (floats with NaN, or pandas' nullable integers with NA) are read
    # as a file with empty cells.
    model = orvo.Model(lib=LIB)
    settings = {"tstop": 12.0, "cint": 1.0, "dose": 0.0, "ialg": 5, "nstp": 1000}
    path = tmp_path / "doses.csv"
    path.write_text("# two doses\ntime,target,amount,ii,addl\n\n# the first\n0.5,agut,10,,\n2.5,agut,10,3,1\n")
    from_file = model.run(settings, record=["acentral"], doses=path)
    nullable = pd.array([None, 3], dtype="Int64"), pd.array([None, 1], dtype="Int64")
    for ii, addl in (([None, 3.0], [None, 1.0]), nullable):
        frame = pd.DataFrame({"time": [0.5, 2.5], "target": "agut", "amount": 10.0, "ii": ii, "addl": addl})
        from_frame = model.run(settings, record=["acentral"], doses=frame)
        assert from_file["acentral"].equals(from_frame["acentral"]), frame.dtypes
        if os.environ.get("ORVO_CLI"):  # the same records for every run of a population
            population = orvo.population(None, settings=settings, params=pd.DataFrame({"ka": [1.5]}),
                                         vars=["acentral"], at=[12], doses=frame, lib=LIB)
            assert population.runs["acentral@12"].iloc[0] == pytest.approx(from_file["acentral"].loc[12.0],
                                                                           rel=1e-12)
    expected = sum(closed_form(from_file.index, 10.0, at, 1.5, 0.2) for at in (0.5, 2.5, 5.5))
    assert np.max(np.abs(from_file["acentral"].to_numpy() - expected)) < 1e-8


def test_a_library_rebuilt_in_place_is_loaded_anew(tmp_path):
    # orvo build replaces the file: a Model of that path afterwards is of the
    # new model, and a Model made before keeps running the one it loaded.
    path = tmp_path / "liborvo_rebuilt.so"
    shutil.copyfile(LIB, path)
    before = orvo.Model(lib=path)
    assert orvo.Model(lib=path).library is before.library
    replacement = tmp_path / "staged.so"
    shutil.copyfile(os.environ["ORVO_LIB"], replacement)
    os.replace(replacement, path)
    after = orvo.Model(lib=path)
    assert after.library is not before.library and after.library.path == before.library.path
    assert "ca_mi" in set(after.variables["name"]) and "ca_mi" not in set(before.variables["name"])
    assert orvo.Model(lib=path).library is after.library
    assert before.run({"tstop": 2.0}, record=["acentral"]).index.max() == 2.0
    assert after.run({"tstop": 48.0}, record=["ca_mi"]).index.max() == 48.0


def test_build_into_a_folder_whose_name_is_not_utf8(tmp_path):
    # orvo build reports the library it wrote with the folder's own bytes
    # (here Latin-1); the package decodes them as the file system does.
    if not os.environ.get("ORVO_CLI"):
        pytest.skip("no orvo executable")
    from conftest import REPO
    folder = os.path.join(os.fsencode(tmp_path), b"mod\xe8les")
    os.mkdir(folder)
    description = os.path.join(folder, b"oral_absorption.model")
    shutil.copyfile(os.path.join(REPO, "models", "oral_absorption", "oral_absorption.model"), description)
    model = orvo.build(os.fsdecode(description))
    assert os.fsencode(model.library.path) == os.path.join(folder, b"liborvo_oral_absorption.so")
    result = model.run({"tstop": 12.0}, record=["acentral"], cint=1)
    assert result["acentral"].iloc[-1] == pytest.approx(
        closed_form(12.0, 100.0, 1.25, 1.5, 0.2), rel=1e-3)


def test_build_a_description_whose_name_starts_with_a_dash(tmp_path, monkeypatch):
    # Named relative to the working folder, "-oral.model" is still a file.
    if not os.environ.get("ORVO_CLI"):
        pytest.skip("no orvo executable")
    from conftest import REPO
    shutil.copyfile(os.path.join(REPO, "models", "oral_absorption", "oral_absorption.model"), tmp_path / "-oral.model")
    monkeypatch.chdir(tmp_path)
    model = orvo.build("-oral.model")
    assert os.path.samefile(model.library.path, tmp_path / "liborvo_oral_absorption.so")


def test_an_mcsim_translation_that_would_replace_its_source_names_out(tmp_path):
    # The MCSim file is named as its translation would be, in the default out.
    if not os.environ.get("ORVO_CLI"):
        pytest.skip("no orvo executable")
    from conftest import REPO
    source = tmp_path / "oral_repeated.model"
    shutil.copyfile(os.path.join(REPO, "tests", "import", "models", "oral_repeated.model"), source)
    before = source.read_bytes()
    with pytest.raises(orvo.CliError) as raised:
        orvo.build(source, from_format="mcsim")
    assert "out=" in str(raised.value) and "--out" not in str(raised.value)
    assert source.read_bytes() == before


def test_population_with_dose_records_samples_the_named_amount(tmp_path):
    if not os.environ.get("ORVO_CLI"):
        pytest.skip("ORVO_CLI not set")
    doses = pd.DataFrame({"time": [0.7], "target": ["agut"], "amount": ["dose"]})
    result = orvo.population(None, settings={"tstop": 24, "cint": 1, "nstp": 1000, "tdose": 100},
                             distributions={"dose": "uniform(10, 20)"}, runs=4, seed=5, vars=["acentral"],
                             at=[24], doses=doses, lib=LIB, cli=os.environ["ORVO_CLI"])
    runs = result.runs
    expected = closed_form(24.0, runs["dose"].to_numpy(), 0.7, 1.5, 0.2)
    assert np.max(np.abs(runs["acentral@24"].to_numpy() - expected)) < 1e-8 * 20


def test_a_variable_of_another_model_stands_for_its_name():
    # A Variable carries its own table's number, type and shape: given to
    # another model it read that model's variable of the same number (an
    # array's storage read from a scalar crashed the interpreter).
    oral, pregnancy = orvo.Model(lib=LIB), orvo.Model()
    assert pregnancy.get(oral.variable("tstop")) == pregnancy.get("tstop")
    for name in ("acentral", "ka"):
        with pytest.raises(orvo.UnknownVariableError, match=name):
            pregnancy.get(oral.variable(name))
        with pytest.raises(orvo.UnknownVariableError, match=name):
            pregnancy.set(oral.variable(name), 1.0)
    with pytest.raises(orvo.UnknownVariableError, match="clf_uim_t"):
        oral.get(pregnancy.variable("clf_uim_t"))
    with pregnancy.instance() as instance:
        with pytest.raises(orvo.UnknownVariableError, match="acentral"):
            instance.get(oral.variable("acentral"))
