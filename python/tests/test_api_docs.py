"""Every public name and member carries a docstring, and the public
functions and methods type-annotate their parameters and results."""

import enum
import inspect

import orvo


def public_members(owner):
    for name, member in vars(owner).items():
        if name.startswith("_") and name not in ("__init__", "__call__"):
            continue
        if isinstance(member, (staticmethod, classmethod)):
            member = member.__func__
        if inspect.isfunction(member) or isinstance(member, property):
            yield name, member


def test_public_api_is_documented_and_annotated():
    undocumented, unannotated = [], []
    for name in orvo.__all__:
        item = getattr(orvo, name)
        if not inspect.getdoc(item):
            undocumented.append(name)
        if inspect.isfunction(item) and not _annotated(item):
            unannotated.append(name)
        if not inspect.isclass(item) or issubclass(item, (enum.Enum, Exception)):
            continue
        for member_name, member in public_members(item):
            qualified = f"{name}.{member_name}"
            function = member.fget if isinstance(member, property) else member
            if member_name != "__init__" and not (member.__doc__ or "").strip():
                undocumented.append(qualified)
            if not _annotated(function, is_init=member_name == "__init__"):
                unannotated.append(qualified)
    assert not undocumented, f"no docstring: {', '.join(undocumented)}"
    assert not unannotated, f"not annotated: {', '.join(unannotated)}"


def _annotated(function, is_init=False):
    signature = inspect.signature(function)
    for parameter in signature.parameters.values():
        if parameter.name in ("self", "cls") or parameter.kind in (parameter.VAR_POSITIONAL, parameter.VAR_KEYWORD):
            continue
        if parameter.annotation is inspect.Parameter.empty:
            return False
    return is_init or signature.return_annotation is not inspect.Signature.empty
