"""Expressions and statements as C++ source."""

from . import settings as S
from .analysis import FUNCTIONS
from .arrays import fold
from .syntax import Binary, Call, Conditional, If, Number, Ref, Unary


# Parameters and locals of the generated functions that evaluate the model's
# expressions (the instance number, the Jacobian's values and saved flags,
# VariableAddress's index): a model name among them is written qualified by
# the model's namespace, which they do not hide.
LOCAL_NAMES = frozenset(("instance", "values", "flags", "index"))


def cxx_name(model_name, laid, locals_=LOCAL_NAMES):
    """A model name as C++ reads it in a generated function with `locals_`."""
    return f"{laid.name}::{model_name}" if model_name in locals_ else model_name


def own(identifier, laid):
    """An identifier of the generated code's own at namespace scope (delays,
    repetitions, limint_memory, ...); zz-prefixed when the model declares it."""
    return f"zz{identifier}" if identifier in laid.by_name else identifier


def double_literal(text):
    """A literal that the compiler reads as the same double the text denotes."""
    value = float(text)
    literal = repr(value)
    return literal if any(c in literal for c in ".en") else literal + ".0"


def expression(expr, laid):
    """Fully parenthesised, so that C++ evaluates exactly the tree that was parsed."""
    if isinstance(expr, Number):
        return double_literal(expr.text)
    if isinstance(expr, Ref):
        # Integers and logicals are read as doubles, like every expression.
        spelled = cxx_name(expr.name, laid)
        return f"static_cast<double>({spelled})" if expr.name in laid.typed else spelled
    if isinstance(expr, Unary):
        return f"({expr.op}{expression(expr.operand, laid)})"
    if isinstance(expr, Binary):
        first, rest = _chain(expr)
        return "(" + " ".join([expression(first, laid)] +
                              [f"{op} {expression(right, laid)}" for op, right in rest]) + ")"
    if isinstance(expr, Conditional):
        return (f"({expression(expr.condition, laid)} ? {expression(expr.then, laid)} : "
                f"{expression(expr.other, laid)})")
    if isinstance(expr, Call):
        if expr.name in laid.arrays:
            read = f"{cxx_name(expr.name, laid)}[{element(expr.name, expr.args[0], laid)}]"
            return f"static_cast<double>({read})" if expr.name in laid.typed else read
        args = ", ".join(strip_parens(expression(a, laid)) for a in expr.args)
        if any(t.name == expr.name for t in laid.tables):
            return f"{expr.name}_table({args})"
        if expr.name == "delay":
            return f"Delay(instance, {own('delays', laid)}[{laid.delays[id(expr)]}], {args})"
        if id(expr) in laid.memories:
            memory = own(f"{expr.name}_memory", laid)
            return f"{FUNCTIONS[expr.name][0]}(instance, {memory}[{laid.memories[id(expr)]}], {args})"
        return f"{FUNCTIONS[expr.name][0]}({args})"
    raise TypeError(expr)


# Operators that C++ groups from the left exactly as the parser does, so that
# a chain of them needs no parentheses inside; comparisons keep theirs.
_CHAINS = {"+": "+-", "-": "+-", "*": "*/", "/": "*/", "&&": "&&", "||": "||"}


def _chain(expr):
    """The leftmost operand of a chain of one precedence level, a + b - c ...,
    and the (operator, operand) pairs after it; walked without recursion,
    since a long flat sum is a deep tree."""
    group = _CHAINS.get(expr.op)
    rest, node = [], expr
    while isinstance(node, Binary) and (node is expr or (group and _CHAINS.get(node.op) == group)):
        rest.append((node.op, node.right))
        node = node.left
    rest.reverse()
    return node, rest


def element(name, index, laid):
    """The 0-based offset of a 1-based index: a number when the build knows it
    (and has checked it), else checked as the code runs."""
    k = fold(index)
    if k is not None:
        return str(int(k) - 1)
    return (f"ElementOffset({strip_parens(expression(index, laid))}, {laid.arrays[name]}, "
            f"\"{name}\")")


def strip_parens(text):
    """Drops one pair of outer parentheses when they enclose the whole text."""
    if not (text.startswith("(") and text.endswith(")")):
        return text
    depth = 0
    for k, c in enumerate(text):
        depth += c == "("
        depth -= c == ")"
        if depth == 0 and k < len(text) - 1:
            return text
    return text[1:-1]


def assignment(target, expr, laid, indent="    ", name=None):
    """target = expr; `name` is the variable an element target belongs to."""
    value = strip_parens(expression(expr, laid))
    name = name or target
    if name in laid.typed:
        # An integer takes the value truncated toward zero (checked to fit), a
        # logical 1 for any value but 0.
        value = (f'ToInteger({value}, "{name}")' if laid.typed[name] == S.LONG
                 else f"({value}) != 0.0")
    return f"{indent}{target} = {value};"


def statements(body, laid, indent="    ", rename=None):
    """A body as C++, conditions included; `rename` maps a dt() target to its
    derivative variable."""
    lines = []
    for s in body:
        if isinstance(s, If):
            for k, (condition, branch) in enumerate(s.branches):
                opening = "if" if k == 0 else "} else if"
                lines.append(f"{indent}{opening} ({strip_parens(expression(condition, laid))}) {{")
                lines += statements(branch, laid, indent + "    ", rename)
            if s.otherwise is not None:
                lines.append(f"{indent}}} else {{")
                lines += statements(s.otherwise, laid, indent + "    ", rename)
            lines.append(f"{indent}}}")
        else:
            target = rename[s.target] if s.derivative and rename else cxx_name(s.target, laid)
            if s.index is not None:
                target += f"[{element(s.target, s.index, laid)}]"
            lines.append(assignment(target, s.expr, laid, indent, s.target))
    return lines


def source_text(expr):
    """The expression as a description would write it, for messages."""
    if isinstance(expr, Number):
        return expr.text
    if isinstance(expr, Ref):
        return expr.name
    if isinstance(expr, Unary):
        return f"{expr.op}{source_text(expr.operand)}"
    if isinstance(expr, Binary):
        first, rest = _chain(expr)
        return "(" + " ".join([source_text(first)] +
                              [f"{op} {source_text(right)}" for op, right in rest]) + ")"
    if isinstance(expr, Conditional):
        return (f"({source_text(expr.condition)} ? {source_text(expr.then)} : "
                f"{source_text(expr.other)})")
    if isinstance(expr, Call):
        return f"{expr.name}({', '.join(strip_parens(source_text(a)) for a in expr.args)})"
    raise TypeError(expr)
