"""What hosts need to know about a model, as JSON written beside its library:
the variables with their units, descriptions, defaults and bounds, the time
unit, the variables recorded by default, the mass balances and the dose
targets and infusion inputs."""

import json

from . import settings as S
from .cpp import source_text, strip_parens

FORMAT = 1

_KINDS = {0: "time", 2: "state", 3: "derivative", 4: "initial_condition"}
_TYPES = {S.DOUBLE: "double", S.LONG: "integer", S.BOOL: "logical"}


def _number(text):
    value = float(text)
    return int(value) if value.is_integer() and abs(value) < 2**53 else value


def _default(v):
    if v.symbol_type != 5 and v.dim1:
        return None   # the elements of states and their derivatives have no defaults
    if v.symbol_type == 5 and v.kind == "variable":
        return None
    if v.table is not None:
        return [_number(x) for x in v.table]
    if v.default in (S.UNSET_REAL, S.UNSET_INTEGER):
        return None
    if v.symbol_type == 5 and v.kind == "variable":
        return None
    return _number(v.default)


def _variable(v, laid):
    if v.symbol_type in _KINDS:
        kind = _KINDS[v.symbol_type]
    elif v.symbol_type == 5:
        kind = v.kind
    else:
        kind = "setting"
    entry = {"index": v.index, "name": v.name, "kind": kind, "type": _TYPES[v.data_type],
             "units": laid.source.time_units if kind == "time" else v.units,
             "description": laid.source.time_description if kind == "time" else v.description}
    if kind == "table":
        entry["points"] = v.points
    elif v.dim1:
        entry["size"] = v.dim1
    entry["default"] = _default(v)
    if kind == "state":
        entry["rtol"], entry["atol"] = v.rtol, v.atol
        initial = laid.initial_conditions[v.index - 2][1]
        entry["initial"] = ([strip_parens(source_text(e)) for e in initial]
                            if isinstance(initial, list) else strip_parens(source_text(initial)))
    if v.bounds:
        entry["bounds"] = {"text": v.bounds_text,
                           "conditions": [{"op": b.op} if b.limit is None else
                                          {"op": b.op, "value": _number(b.limit.text)}
                                          for b in v.bounds]}
    return entry


def metadata(laid, jacobian=None, no_jacobian=None):
    m = laid.source
    if m.record is not None:
        record = ["t"] + [name for name, _ in m.record if name != "t"]
    else:
        record = ["t"] + [v.name for v in laid.states]
    if m.population_outputs is not None:
        population = [name for name, _ in m.population_outputs]
    else:
        population = [name for name in record if name != "t"]
    return {
        "format": FORMAT,
        "name": laid.name,
        "time": {"name": "t", "units": m.time_units, "description": m.time_description},
        "tolerances": {"rtol": laid.tolerances.get("rtol"), "atol": laid.tolerances.get("atol")},
        "record": record,
        "population_outputs": population,
        "balances": [{"name": b.name, "unaccounted": b.unaccounted[0],
                      "dosed": [n for n, _ in b.dosed], "accounted": [n for n, _ in b.accounted],
                      "tolerance": None if b.tolerance is None else _number(b.tolerance.text)}
                     for b in m.balances],
        "dose_targets": [n for n, _ in m.dose_targets],
        "infusion_inputs": [n for n, _ in m.infusion_inputs],
        "variables": [_variable(v, laid) for v in laid.variables],
        # The analytic Jacobian's non-zeros, or why the model has none.
        "jacobian": ({"nonzeros": len(jacobian.row_indices)} if jacobian is not None else
                     {"nonzeros": None, "reason": no_jacobian}),
    }


def metadata_text(laid, jacobian=None, no_jacobian=None):
    return json.dumps(metadata(laid, jacobian, no_jacobian), indent=1) + "\n"
