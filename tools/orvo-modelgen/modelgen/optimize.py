"""Two rewrites of the derivative section that leave every result bit for bit
as written.

Hoisting: what depends only on constants (whole variable definitions, and the
largest such subexpressions of the other statements) is computed once, by
ComputeHoisted, at the first evaluation after anything may have changed a
constant: a fresh run's initial section, a discrete section, a host's write.

Sharing: a subexpression with a function call that an evaluation computes more
than once is computed once into a local before the first statement that needs
it.

Both replace whole subtrees of the parsed expressions and never regroup them,
so C++ performs the same operations on the same values. Only what an
evaluation computes unconditionally moves earlier: a branch not taken computes
nothing, and so raises no floating-point flag either. The faults the hoisted
computation raised are raised again by every evaluation that reuses it, so
that a run fails exactly where it failed before."""

import dataclasses

from . import settings as S
from .analysis import FUNCTIONS, MEMORY_FUNCTIONS
from .cpp import strip_parens, expression, statements
from .arrays import children
from .syntax import Assignment, Binary, Call, Conditional, If, Number, Ref, Unary, assignments

# Functions of their arguments alone: not those with a memory of the run, and
# not the time operators, which belong with t.
PURE_FUNCTIONS = frozenset(FUNCTIONS) - set(MEMORY_FUNCTIONS) - {"step", "ramp", "harm", "pulse"}

_BOOLEAN_OPS = {"<", "<=", ">", ">=", "==", "!=", "&&", "||"}
_CONDITIONAL_RIGHT = {"&&", "||"}

HOISTED = "zzhoisted"
SHARED = "zzshared"


@dataclasses.dataclass
class Plan:
    hoisted: list          # whole statements of ComputeHoisted, in order
    slots: list            # expressions whose values go to zzhoisted[k]
    kept: list             # the derivative section's other statements, rewritten


def plan(laid):
    return _Planner(laid).run()


# ---- trees ------------------------------------------------------------------------

def _children(node):
    """The operands an optimisation may look into; none for calls with memory
    and for anything unknown, which stay as they are."""
    if isinstance(node, Call) and not (node.name in PURE_FUNCTIONS or _is_lookup(node)):
        return []
    return children(node)


def _replace_outermost(facts, root, name_of):
    """root with each outermost node for which name_of(node, its value
    number) gives a name replaced by that name."""
    facts.learn(root)
    replace = {}
    pending = [root]
    while pending:
        node = pending.pop()
        name = name_of(node, facts.vn[id(node)])
        if name is not None:
            replace[id(node)] = name
        else:
            pending.extend(_children(node))
    return rewrite(root, replace) if replace else root


_LOOKUPS = set()   # table and array names of the model being planned


def _is_lookup(node):
    return node.name in _LOOKUPS


def _with_children(node, kids):
    if isinstance(node, Call):
        return dataclasses.replace(node, args=list(kids))
    if isinstance(node, Unary):
        return dataclasses.replace(node, operand=kids[0])
    if isinstance(node, Binary):
        return dataclasses.replace(node, left=kids[0], right=kids[1])
    return dataclasses.replace(node, condition=kids[0], then=kids[1], other=kids[2])


def _postorder(root):
    """Every node, children before parents; without recursion, since a long
    flat sum is a deep tree."""
    order, stack = [], [(root, False)]
    while stack:
        node, done = stack.pop()
        if done:
            order.append(node)
            continue
        stack.append((node, True))
        stack.extend((child, False) for child in reversed(_children(node)))
    return order


def _flagged_children(node, conditional):
    """(child, conditional) for each operand: a branch of ?: and the right
    operand of && and || may be skipped by the evaluation."""
    kids = _children(node)
    if isinstance(node, Conditional):
        flags = [conditional, True, True]
    elif isinstance(node, Binary) and node.op in _CONDITIONAL_RIGHT:
        flags = [conditional, True]
    else:
        flags = [conditional] * len(kids)
    return list(zip(kids, flags))


def _preorder(root, conditional=False):
    """(node, conditional) parents first; conditional when the evaluation may
    skip the node: a branch of ?: or the right operand of && and ||."""
    stack = [(root, conditional)]
    while stack:
        node, skipped = stack.pop()
        yield node, skipped
        stack.extend(reversed(_flagged_children(node, skipped)))


def _maximal(root, skipped, pick):
    """The nodes that pick(node, conditional) accepts, parents first, without
    looking inside an accepted one."""
    found, stack = [], [(root, skipped)]
    while stack:
        node, conditional = stack.pop()
        if pick(node, conditional):
            found.append(node)
            continue
        stack.extend(reversed(_flagged_children(node, conditional)))
    return found


def rewrite(root, replace):
    """The tree with each node whose id is in `replace` substituted by that
    C++ text; unchanged parts are shared with the original."""
    done = {}
    stack = [(root, False)]
    while stack:
        node, visited = stack.pop()
        if id(node) in replace:
            done[id(node)] = Ref(replace[id(node)], getattr(node, "at", None))
            continue
        kids = _children(node)
        if not visited and kids:
            stack.append((node, True))
            stack.extend((child, False) for child in kids)
            continue
        new = [done[id(child)] for child in kids]
        same = all(a is b for a, b in zip(new, kids))
        done[id(node)] = node if same else _with_children(node, new)
    return done[id(root)]


class _Facts:
    """Per node of the trees seen: value number (equal for identical
    subtrees), invariance, whether it holds a call, whether it is a double."""

    def __init__(self, invariant_name):
        self.invariant_name = invariant_name
        self.numbers = {}
        self.alive = []   # every tree learned, so that no id is reused
        self.vn, self.invariant, self.call, self.double, self.operation = {}, {}, {}, {}, {}

    def learn(self, root):
        self.alive.append(root)
        for node in _postorder(root):
            if id(node) in self.vn:
                continue
            kids = _children(node)
            key, invariant, call, double = self._describe(node, kids)
            self.vn[id(node)] = self.numbers.setdefault(key, len(self.numbers))
            self.invariant[id(node)] = invariant
            self.call[id(node)] = call
            self.double[id(node)] = double
            self.operation[id(node)] = isinstance(node, (Unary, Binary, Conditional)) or (
                isinstance(node, Call) and bool(kids) and node.name not in _ARRAYS)

    def forget(self, root):
        for node in _postorder(root):
            for table in (self.vn, self.invariant, self.call, self.double, self.operation):
                table.pop(id(node), None)

    def _describe(self, node, kids):
        vns = tuple(self.vn[id(k)] for k in kids)
        inv = all(self.invariant[id(k)] for k in kids)
        call = any(self.call[id(k)] for k in kids)
        dbl = [self.double[id(k)] for k in kids]
        if isinstance(node, Number):
            return ("n", float(node.text)), True, False, True
        if isinstance(node, Ref):
            double = node.name not in S.BY_NAME
            return ("r", node.name), self.invariant_name(node.name), False, double
        if isinstance(node, Call) and (kids or not node.args):
            if node.name in _ARRAYS:
                # An element of an integer or logical array is read as it is stored.
                return (("a", node.name) + vns, inv and self.invariant_name(node.name), call,
                        node.name not in _TYPED)
            return ("c", node.name) + vns, inv, True, True
        if isinstance(node, Unary):
            return ("u", node.op) + vns, inv, call, node.op != "!" and dbl[0]
        if isinstance(node, Binary):
            double = node.op not in _BOOLEAN_OPS and (dbl[0] or dbl[1])
            return ("b", node.op) + vns, inv, call, double
        if isinstance(node, Conditional):
            return ("?",) + vns, inv, call, dbl[1] or dbl[2]
        return ("opaque", id(node)), False, False, False   # kept alive by the tree


_ARRAYS = set()
_TYPED = set()


# ---- the plan ---------------------------------------------------------------------

class _Planner:
    def __init__(self, laid):
        self.laid = laid
        _LOOKUPS.clear()
        _LOOKUPS.update(v.name for v in laid.tables)
        _LOOKUPS.update(laid.arrays)
        _ARRAYS.clear()
        _ARRAYS.update(laid.arrays)
        _TYPED.clear()
        _TYPED.update(getattr(laid, "typed", ()))
        # What moves during a run: time, the states, the settings (the runtime
        # writes some), what a discrete section assigns, and the derivative
        # section's variables that depend on any of these.
        self.varying = {"t"} | {v.name for v in laid.states} | set(S.BY_NAME)
        for section in laid.discretes:
            self.varying.update(_targets(section.body))
        # An array the derivative section assigns element by element is read
        # as varying, even where the element read is computed from constants.
        self.varying.update(s.target for s in assignments(laid.derivative)
                            if getattr(s, "index", None) is not None)
        self.facts = _Facts(self._invariant_name)

    def _invariant_name(self, name):
        v = self.laid.by_name.get(name)
        return (v is not None and v.symbol_type == 5 and v.kind in ("constant", "variable")
                and name not in self.varying)

    def _invariant(self, expr):
        self.facts.learn(expr)
        return self.facts.invariant[id(expr)]

    def run(self):
        laid = self.laid
        hoisted, varying_statements = [], []
        for statement in laid.derivative:
            if self._whole_statement_invariant(statement):
                hoisted.append(statement)
            else:
                self.varying.update(_targets([statement]))
                varying_statements.append(statement)
                # An if's later statements may read what it assigns, now varying.
                for root, _ in _roots(statement):
                    self.facts.forget(root)

        # The largest invariant subexpressions that an evaluation computes
        # unconditionally become slots; identical ones share one.
        roots = []
        for statement in varying_statements:
            roots += _roots(statement)
        slot_of, slots = {}, []
        for root, skipped in roots:
            self.facts.learn(root)
            for node in _maximal(root, skipped, self._slot_worthy):
                vn = self.facts.vn[id(node)]
                if vn not in slot_of:
                    slot_of[vn] = len(slots)
                    slots.append(node)
        # Every occurrence, also a conditional one, reads the slot: the value
        # is computed (and its flags raised) by the evaluation in any case.
        replace_of = {vn: f"{HOISTED}[{k}]" for vn, k in slot_of.items()}
        kept = [self._replace_in_statement(s, replace_of) for s in varying_statements]
        return Plan(hoisted, slots, kept)

    def _slot_worthy(self, node, conditional):
        i = id(node)
        # A sign change of one value costs no more than reading a slot.
        trivial = isinstance(node, Unary) and not self.facts.operation[id(node.operand)]
        return not conditional and self.facts.invariant[i] and self.facts.operation[i] \
            and self.facts.double[i] and not trivial and not _literal_only(node)

    def _whole_statement_invariant(self, statement):
        if isinstance(statement, Assignment):
            # A literal costs a store either way.
            return not statement.derivative and self._invariant(statement.expr) \
                and not _literal_only(statement.expr)
        if isinstance(statement, If):
            return all(not s.derivative for s in assignments([statement])) and \
                all(self._invariant(root) for root, _ in _roots(statement))
        return False

    def _replace(self, root, replace_of):
        return _replace_outermost(self.facts, root, lambda node, vn: replace_of[vn] if (
            vn in replace_of and self.facts.double[id(node)]) else None)

    def _replace_in_statement(self, statement, replace_of):
        return _map_statement(statement, lambda expr: self._replace(expr, replace_of))


def _literal_only(node):
    return not any(isinstance(n, (Ref, Call)) for n in _postorder(node))


def _targets(body):
    return {getattr(s, "target", None) for s in assignments(body)} - {None}


def _roots(statement):
    """(expression, conditional) that a statement evaluates: an if's first
    condition always, the rest only when reached."""
    if isinstance(statement, If):
        roots = []
        for k, (condition, body) in enumerate(statement.branches):
            roots.append((condition, k > 0))
            roots += [(e, True) for inner in body for e, _ in _roots(inner)]
        roots += [(e, True) for inner in statement.otherwise or [] for e, _ in _roots(inner)]
        return roots
    if isinstance(statement, Assignment):
        return [(statement.expr, False)]
    return []


def _map_statement(statement, change):
    if isinstance(statement, Assignment):
        new = change(statement.expr)
        return statement if new is statement.expr else dataclasses.replace(statement, expr=new)
    if isinstance(statement, If):
        branches = [(change(c), [_map_statement(s, change) for s in body])
                    for c, body in statement.branches]
        otherwise = None if statement.otherwise is None else \
            [_map_statement(s, change) for s in statement.otherwise]
        return dataclasses.replace(statement, branches=branches, otherwise=otherwise)
    return statement


# ---- shared subexpressions ----------------------------------------------------------

class _Sharing:
    """Locals for the repeated call-bearing subexpressions of one function body
    (a list of statements in evaluation order)."""

    def __init__(self, laid, first_local=0):
        self.laid = laid
        self.facts = _Facts(lambda name: False)
        self.local_of = {}       # value number -> local name
        self.next = first_local

    def lines(self, units, indent="    "):
        """units: (statement, emit) pairs, emit(statement) giving its C++
        lines. Returns every line, each local declared before its first use."""
        counts = {}
        for statement, _ in units:
            for root, skipped in _roots(statement):
                self.facts.learn(root)
                for node, _ in _preorder(root, skipped):
                    if self._candidate(node):
                        vn = self.facts.vn[id(node)]
                        counts[vn] = counts.get(vn, 0) + 1
        out = []
        for statement, emit in units:
            # First the locals this statement introduces (only where it
            # evaluates unconditionally), then the statement reading them.
            for root, skipped in _roots(statement):
                if skipped:
                    continue
                for node in self._new_locals(root, counts):
                    name = f"{SHARED}{self.next}"
                    self.next += 1
                    definition = self._replace(node, exclude=id(node))
                    out.append(f"{indent}const double {name} = "
                               f"{strip_parens(expression(definition, self.laid))};")
                    self.local_of[self.facts.vn[id(node)]] = name
            out += emit(_map_statement(statement, self._replace))
        return out

    def _candidate(self, node):
        i = id(node)
        return self.facts.call[i] and self.facts.double[i] and self.facts.operation[i]

    def _new_locals(self, root, counts):
        chosen, new = set(), []

        def pick(node, conditional):
            if not self._candidate(node):
                return False
            vn = self.facts.vn[id(node)]
            if vn in self.local_of or vn in chosen:
                return True    # computed already: nothing inside is new
            if conditional or counts.get(vn, 0) < 2:
                return False
            chosen.add(vn)
            new.append(node)
            return True

        _maximal(root, False, pick)
        return new

    def _replace(self, root, exclude=None):
        return _replace_outermost(self.facts, root, lambda node, vn: self.local_of[vn] if (
            id(node) != exclude and vn in self.local_of and self._candidate(node)) else None)


# ---- C++ ------------------------------------------------------------------------------

def derivative_code(laid, rename, p=None):
    """(definitions before the derivative section, the lines of its
    statements, the namespace-level ConstantsChanged definition); p is the
    model's plan when it is at hand."""
    p = p or plan(laid)
    sharing = _Sharing(laid)
    body = sharing.lines([(s, lambda s: statements([s], laid, rename=rename)) for s in p.kept])
    if not (p.hoisted or p.slots):
        return "", body, "void ConstantsChanged() {}\n"
    hoisted_sharing = _Sharing(laid)
    units = [(s, lambda s: statements([s], laid)) for s in p.hoisted]
    units += [(Assignment(f"{HOISTED}[{k}]", None, e), lambda s: statements([s], laid))
              for k, e in enumerate(p.slots)]
    computed = "\n".join(hoisted_sharing.lines(units, "    "))
    slots = f"double {HOISTED}[{len(p.slots)}];\n" if p.slots else ""
    definitions = f"""
// What depends only on constants, computed at the first evaluation after
// ConstantsChanged; with the faults its computation raised, which every
// evaluation that reuses it raises again.
constexpr int kFaults = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW;
bool {HOISTED}Current = false;
int {HOISTED}Faults = 0;
{slots}
void ComputeHoisted() {{
    const int before = std::fetestexcept(kFaults);
    std::feclearexcept(kFaults);
{computed}
    {HOISTED}Faults = std::fetestexcept(kFaults);
    std::feraiseexcept(before);
    {HOISTED}Current = true;
}}
"""
    body.insert(0, f"    if (!{HOISTED}Current) ComputeHoisted();\n"
                   f"    else if ({HOISTED}Faults != 0) std::feraiseexcept({HOISTED}Faults);")
    changed = f"void ConstantsChanged() {{ {HOISTED}Current = false; }}\n"
    return definitions, body, changed
