#!/usr/bin/env python3
"""The metadata each model library carries beside it (liborvo_NAME.json):
what the descriptions declare reaches it, and a description that declares
nothing gets usable defaults.

usage: model_metadata_test.py ORVO_MODELGEN PREGNANCY_JSON ORAL_ABSORPTION_JSON
"""

import json
import os
import subprocess
import sys
import tempfile
import unittest

MODELGEN, PREGNANCY, ORAL = sys.argv[1:4]


def load(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def by_name(meta):
    return {v["name"]: v for v in meta["variables"]}


class Metadata(unittest.TestCase):
    def test_pregnancy_carries_the_hosts_former_defaults(self):
        meta = load(PREGNANCY)
        self.assertEqual((meta["format"], meta["name"]), (1, "pregnancy"))
        self.assertEqual(meta["time"]["units"], "h")
        self.assertEqual(meta["record"][:4], ["t", "aioral_i", "aplasma_mi", "ca_mi"])
        self.assertEqual(len(meta["record"]), 19)
        self.assertEqual(meta["record"][-2:], ["massb_amount_i", "massb_amount_p"])
        self.assertEqual(meta["population_outputs"],
                         ["ca_mi", "cthyt_mi", "ca_fi", "cthy_fi", "ca_mp", "cthy_mp", "ca_fp", "cthy_fp"])
        self.assertEqual(meta["balances"], [
            {"name": "iodide", "unaccounted": "massb_amount_i",
             "dosed": ["aioral_i", "iodstores_mi", "iodstores_fi"], "accounted": ["totalmass_i"],
             "tolerance": 0.001},
            {"name": "perchlorate", "unaccounted": "massb_amount_p", "dosed": ["aioral_p"],
             "accounted": ["totalmass_p"], "tolerance": None}])
        variables = by_name(meta)
        # Numbered as the library numbers them, settings included.
        self.assertEqual([v["index"] for v in meta["variables"]], list(range(1, len(variables) + 1)))
        self.assertEqual(variables["cint"]["kind"], "setting")
        self.assertEqual(variables["cint"]["default"], 1000)
        self.assertEqual(variables["ialg"]["type"], "integer")
        tstop = variables["tstop"]
        self.assertEqual((tstop["kind"], tstop["units"], tstop["description"], tstop["default"]),
                         ("constant", "h", "stop time", 2400))
        self.assertEqual(tstop["bounds"], {"text": "> 0, finite", "conditions": [
            {"op": ">", "value": 0}, {"op": "finite"}]})
        table = variables["clf_uim_t"]
        self.assertEqual((table["kind"], table["points"], len(table["default"])), ("table", 8, 16))
        self.assertEqual(variables["aplasma_mi"]["initial"], "aplasma_mi0")
        self.assertEqual(variables["z99999"]["kind"], "derivative")
        self.assertIsNone(variables["massb_amount_i"]["default"])   # computed

    def test_oral_absorption_declares_its_own(self):
        meta = load(ORAL)
        self.assertEqual(meta["name"], "oral_absorption")
        self.assertEqual(meta["record"], ["t", "agut", "acentral", "aelim", "conc", "balance"])
        self.assertEqual(meta["population_outputs"], ["agut", "acentral", "aelim", "conc", "balance"])
        self.assertEqual(meta["balances"][0]["accounted"], ["agut", "acentral", "aelim"])
        self.assertEqual(meta["dose_targets"], ["agut"])
        variables = by_name(meta)
        self.assertEqual(variables["ka"]["units"], "1/h")
        self.assertEqual(variables["vd"]["description"], "volume of distribution")
        self.assertEqual(variables["t"]["units"], "h")
        # Everything a variable record mentions is a variable of the model.
        for name in meta["record"] + meta["dose_targets"]:
            self.assertIn(name, variables)

    def generate(self, text):
        with tempfile.TemporaryDirectory() as out:
            path = os.path.join(out, "m.model")
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
            done = subprocess.run([sys.executable, MODELGEN, path, "--name", "m", "--out", out],
                                  capture_output=True, text=True, check=False)
            self.assertEqual(done.returncode, 0, done.stderr)
            with open(os.path.join(out, "model", "MRegistration.cpp"), encoding="utf-8") as f:
                registration = f.read()
            return load(os.path.join(out, "model", "m.json")), registration

    def test_tolerances_model_wide_and_per_state(self):
        meta, registration = self.generate(
            "model m;\nstates { x = 1 rtol 1e-9; y = 0 atol 2.5e-12 rtol 1e-8; z = 0; }\n"
            "settings { atol = 1e-7; }\n"
            "derivative { dt(x) = -x; dt(y) = x; dt(z) = 0; }\nterminate when t >= 1;\n")
        self.assertEqual(meta["tolerances"], {"rtol": None, "atol": 1e-7})
        variables = by_name(meta)
        self.assertEqual([(variables[n]["rtol"], variables[n]["atol"]) for n in "xyz"],
                         [(1e-9, 1e-7), (1e-8, 2.5e-12), (None, 1e-7)])
        # Registered with the runtime in state order; -1 leaves the runtime's default.
        self.assertIn("kRelativeTolerance[] = {1e-09, 1e-08, kDefaultTolerance}", registration)
        self.assertIn("kAbsoluteTolerance[] = {1e-07, 2.5e-12, 1e-07}", registration)
        # Without tolerances every state keeps the runtime's default, as before.
        meta, registration = self.generate(
            "model m;\nstates { x = 1; }\nderivative { dt(x) = -x; }\nterminate when t >= 1;\n")
        self.assertNotIn("kRelativeTolerance", registration)
        self.assertEqual(meta["tolerances"], {"rtol": None, "atol": None})

    def test_arrays_and_types(self):
        meta, _ = self.generate(
            "model m;\nstates { a[3] = 1 [mg]; b[2] = {0, k}; }\n"
            "constants { integer n = 4; logical on = true; k = 2; w[2] = 0.5; integer e[2] = {2, 3}; }\n"
            "variables { r[3] [mg/h]; integer c; logical f; }\n"
            "initial { c = n; f = on; }\n"
            "derivative { for i in 1..3 { r(i) = k * a(i); dt(a(i)) = -r(i); } "
            "for i in 1..2 { dt(b(i)) = 0; } }\nterminate when t >= 1;\n")
        v = by_name(meta)
        self.assertEqual((v["a"]["size"], v["a"]["initial"], v["a"]["default"]), (3, "1", None))
        self.assertEqual(v["b"]["initial"], ["0", "k"])
        self.assertEqual((v["z99999"]["size"], v["z99998"]["size"]), (3, 3))
        self.assertEqual((v["r"]["size"], v["r"]["units"], v["r"]["default"]), (3, "mg/h", None))
        self.assertEqual(v["w"]["default"], [0.5, 0.5])
        self.assertEqual((v["e"]["type"], v["e"]["size"], v["e"]["default"]), ("integer", 2, [2, 3]))
        self.assertEqual([(v[n]["type"], v[n]["default"]) for n in ("n", "on", "c", "f")],
                         [("integer", 4), ("logical", 1), ("integer", None), ("logical", None)])

    def test_the_jacobian_or_why_there_is_none(self):
        self.assertEqual(load(PREGNANCY)["jacobian"], {"nonzeros": 123})
        meta, registration = self.generate(
            "model m;\nstates { x = 1; y = 0; }\n"
            "derivative { dt(x) = -x * y; dt(y) = limint(y, x, 0, 1); }\nterminate when t >= 1;\n")
        reason = "limint() keeps a memory of the run and reads the states"
        self.assertEqual(meta["jacobian"], {"nonzeros": None, "reason": reason})
        self.assertIn(f"// No analytic Jacobian: {reason}.", registration)
        self.assertNotIn("OrvoSimSetJacobian", registration)
        # Pattern: column x holds rows x and y, column y row x.
        meta, registration = self.generate(
            "model m;\nstates { x = 1; y = 0; }\n"
            "derivative { dt(x) = -x * y; dt(y) = x; }\nterminate when t >= 1;\n")
        self.assertEqual(meta["jacobian"], {"nonzeros": 3})
        self.assertIn("kJacobianColumnStarts[] = {\n    0, 2, 3\n}", registration)
        self.assertIn("kJacobianRowIndices[] = {\n    0, 1, 0\n}", registration)
        self.assertIn("OrvoSimSetJacobian(2, 3, kJacobianColumnStarts, kJacobianRowIndices, "
                      "zzjacobian);", registration)

    def test_undeclared_defaults(self):
        text = ("model m;\nstates { x = 1; y = 0; }\nconstants { k = 2; rin = 0; }\n"
                "derivative { dt(x) = -k * x + rin; dt(y) = k * x; }\n"
                "terminate when t >= 1;\ninfusion input rin;\n")
        with tempfile.TemporaryDirectory() as out:
            path = os.path.join(out, "m.model")
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
            done = subprocess.run([sys.executable, MODELGEN, path, "--name", "m", "--out", out],
                                  capture_output=True, text=True, check=False)
            self.assertEqual(done.returncode, 0, done.stderr)
            meta = load(os.path.join(out, "model", "m.json"))
        self.assertEqual(meta["record"], ["t", "x", "y"])
        self.assertEqual(meta["population_outputs"], ["x", "y"])
        self.assertEqual((meta["balances"], meta["dose_targets"]), ([], []))
        self.assertEqual(meta["infusion_inputs"], ["rin"])
        self.assertEqual(meta["time"], {"name": "t", "units": "", "description": ""})


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
