"""Fatal errors a user can act on: the exception by name, where it happened, its cause,
the report switch."""

import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vrelpy
from support import SANITIZED, assert_clean_exit, run_python
from vrelpy import Expr, PanicException, Statement, Vrel


def test_the_exception_is_importable_and_is_the_one_raised():
    with pytest.raises(PanicException) as info:
        Vrel().get("missing")
    assert type(info.value) is PanicException
    assert issubclass(PanicException, BaseException) and not issubclass(PanicException, Exception)
    assert (PanicException.__module__, PanicException.__name__) == ("pyo3_runtime", "PanicException")
    assert vrelpy.__all__ == ["Vrel", "Statement", "Expr"]
    # Outside a run: no statement or node, but the variable read.
    assert (info.value.statement, info.value.node, info.value.variable) == (None, None, "missing")
    assert not hasattr(info.value, "__notes__")


# ---- Places: random programs with one failing node ------------------------------------------

# Failing nodes for a slot that wants an int or a bool: (data, message, role of its variable).
INT_FAILURES = [
    ({"ident": "missing"}, 'Value cannot be found: S("missing")', ("reading", "missing")),
    ({"binary_op": [{"literal": "s"}, "+", {"literal": 1}]}, "Binary operator for unknown type", None),
    ({"binary_op": [{"literal": 1}, "/", {"literal": 0}]}, "attempt to divide by zero", None),
    ({"call": ["nofn", {"literal": 1}]}, 'Value cannot be found: S("nofn")', ("calling", "nofn")),
    ({"call": ["x", {"literal": 1}]}, "called `Option::unwrap()` on a `None` value", ("calling", "x")),
]
BOOL_FAILURES = [
    ({"not": {"literal": 1}}, "The not expression must be used on a boolean value", None),
    ({"greater_than": [{"literal": "a"}, {"literal": 1}]},
     "Both left-hand and right-hand side values must be a number", None),
    ({"ident": "missing"}, 'Value cannot be found: S("missing")', ("reading", "missing")),
]


def int_expr(rng, depth):
    if depth == 0 or rng.random() < 0.25:
        return rng.choice([{"literal": rng.randrange(-9, 10)}, {"ident": "x"}])
    if rng.random() < 0.15:
        return {"cond": [bool_expr(rng, depth - 1), int_expr(rng, depth - 1), int_expr(rng, depth - 1)]}
    return {"binary_op": [int_expr(rng, depth - 1), rng.choice("+-*"), int_expr(rng, depth - 1)]}


def bool_expr(rng, depth):
    if depth == 0 or rng.random() < 0.2:
        return {"literal": rng.random() < 0.5}
    kind = rng.choice(["greater_than", "less_than", "equals", "not", "and", "or"])
    if kind == "not":
        return {"not": bool_expr(rng, depth - 1)}
    if kind in ("and", "or"):
        return {kind: [bool_expr(rng, depth - 1), bool_expr(rng, depth - 1)]}
    return {kind: [int_expr(rng, depth - 1), int_expr(rng, depth - 1)]}


def value_of(node):
    """The value of a node that evaluates without failing (x is 3)."""
    (kind, p), = node.items()
    if kind == "literal":
        return p
    if kind == "ident":
        return 3
    if kind == "binary_op":
        a, b = value_of(p[0]), value_of(p[2])
        return {"+": a + b, "-": a - b, "*": a * b}[p[1]]
    if kind == "cond":
        return value_of(p[1]) if value_of(p[0]) else value_of(p[2])
    if kind == "not":
        return not value_of(p)
    if kind == "and":
        return value_of(p[0]) and value_of(p[1])
    if kind == "or":
        return value_of(p[0]) or value_of(p[1])
    a, b = value_of(p[0]), value_of(p[1])
    return {"greater_than": a > b, "less_than": a < b, "equals": a == b}[kind]


def slots(node, path=""):
    """Every expression node under `node` that its evaluation reaches, with its path and
    whether it holds a bool (the and/or/cond operands they skip are left out)."""
    (kind, payload), = node.items()
    boolean = kind in ("greater_than", "less_than", "equals", "not", "and", "or") or (
        kind == "literal" and isinstance(payload, bool))
    yield path, boolean
    if kind in ("and", "or"):
        yield from slots(payload[0], f"{path}['{kind}'][0]")
        if value_of(payload[0]) == (kind == "and"):
            yield from slots(payload[1], f"{path}['{kind}'][1]")
    elif kind == "cond":
        yield from slots(payload[0], f"{path}['cond'][0]")
        taken = 1 if value_of(payload[0]) else 2
        yield from slots(payload[taken], f"{path}['cond'][{taken}]")
    elif kind == "binary_op":
        yield from slots(payload[0], f"{path}['binary_op'][0]")
        yield from slots(payload[2], f"{path}['binary_op'][2]")
    elif kind in ("greater_than", "less_than", "equals"):
        for i in (0, 1):
            yield from slots(payload[i], f"{path}['{kind}'][{i}]")
    elif kind == "not":
        yield from slots(payload, f"{path}['not']")


def at(data, path):
    return eval("data" + path, {"data": data})  # the path notation is Python's subscripts


def replace(data, path, node):
    if not path:
        return node
    head, _, last = path.rpartition("[")
    parent = at(data, head)
    parent[eval(last[:-1])] = node
    return data


def random_program(rng):
    """Statements that succeed, with one failure planted in one of them (possibly inside
    ifs whose literal conditions choose the block it is in)."""
    def block(depth):
        return [{"let": [f"v{rng.randrange(5)}", int_expr(rng, 3)]} for _ in range(rng.randrange(3))]

    program = block(0)
    target = program
    statement_path = ()
    for _ in range(rng.randrange(3)):
        taken = rng.random() < 0.5
        inner = block(1)
        then, otherwise = (inner, block(1)) if taken else (block(1), inner)
        target.append({"if": [{"literal": taken}, then, otherwise]})
        statement_path += (len(target) - 1, "then" if taken else "otherwise")
        target = inner
    if rng.random() < 0.3:
        failing = {"if": [bool_expr(rng, 3), [], []]}
        root = "['if'][0]"
    else:
        failing = {"let": ["r", int_expr(rng, 4) if rng.random() < 0.7 else bool_expr(rng, 4)]}
        root = "['let'][1]"
    target.append(failing)
    statement_path += (len(target) - 1,)
    target.extend(block(0))
    path, boolean = rng.choice(list(slots(at(failing, root))))
    data, message, role = rng.choice(BOOL_FAILURES if boolean else INT_FAILURES)
    replace(failing, root + path, data)
    return program, statement_path, root + path, data, message, role


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.integers(0, 2**32))
def test_places_lead_to_the_failing_node(seed):
    program, statement_path, node_path, planted, message, role = random_program(random.Random(seed))
    statements = [Statement.from_data(s) for s in program]
    vm = Vrel()
    vm["x"] = 3
    places = []
    for _ in range(3):  # the first run walks the trees, later ones run their compact forms
        with pytest.raises(PanicException) as info:
            vm.run(statements)
        error = info.value
        assert str(error) == message
        places.append((error.statement, error.node, error.variable, error.__notes__))
    assert places[0] == places[1] == places[2]
    assert error.statement == statement_path and error.node == node_path
    # The paths, fed to the data form, find the planted node, which fails alone the same way.
    statement = program[statement_path[0]]
    for step in statement_path[1:]:
        statement = statement["if"][1 if step == "then" else 2] if isinstance(step, str) else statement[step]
    found = at(statement, error.node)
    assert found == planted
    alone = Vrel()
    alone["x"] = 3
    with pytest.raises(PanicException) as alone_info:
        alone.run([Statement.let("alone", Expr.from_data(found))])
    assert str(alone_info.value) == message
    if role is not None:
        expected_variable, verb = role[1], role[0]
    elif "let" in statement:
        expected_variable, verb = statement["let"][0], "binding"
    else:
        expected_variable, verb = None, None
    assert error.variable == expected_variable
    where = "".join(f"[{s!r}]" for s in statement_path)
    note = f"in statement {where} at {node_path}" + (f": {verb} {expected_variable!r}" if verb else "")
    assert error.__notes__ == [note]


def test_if_condition_that_is_not_a_boolean_names_the_condition():
    vm = Vrel()
    vm["flag"] = 1
    program = [Statement.if_(Expr.ident("flag"), [], [])]
    for _ in range(2):
        with pytest.raises(PanicException) as info:
            vm.run(program)
        assert (info.value.statement, info.value.node, info.value.variable) == ((0,), "['if'][0]", None)
        assert info.value.__notes__ == ["in statement [0] at ['if'][0]"]


def test_notes_work_with_add_note_and_tracebacks():
    with pytest.raises(PanicException) as info:
        Vrel().run([Statement.let("y", Expr.ident("credit_score"))])
    error = info.value
    error.add_note("mine")
    assert error.__notes__ == ["in statement [0] at ['let'][1]: reading 'credit_score'", "mine"]
    text = "".join(__import__("traceback").format_exception(error))
    assert text.endswith("in statement [0] at ['let'][1]: reading 'credit_score'\nmine\n")
    del error.__notes__
    assert not hasattr(error, "__notes__")


# ---- Causes, interruptions, nested runs ------------------------------------------------------


def test_a_functions_exception_is_the_cause_with_its_traceback():
    def in_region(x):
        raise ValueError("bad postcode")

    vm = Vrel()
    vm["in_region"] = in_region
    with pytest.raises(PanicException) as info:
        vm.run([Statement.let("ok", Expr.call("in_region", Expr.literal(1)))])
    cause = info.value.__cause__
    assert type(cause) is ValueError and str(cause) == "bad postcode"
    assert cause.__traceback__.tb_frame.f_code is in_region.__code__ or any(
        tb.tb_frame.f_code is in_region.__code__ for tb in [cause.__traceback__, cause.__traceback__.tb_next] if tb)
    assert str(info.value).startswith("Failed while executing Python function with Vrel: PyErr { type: <class 'ValueError'>")
    assert info.value.__notes__ == ["in statement [0] at ['let'][1]: calling 'in_region'"]


def test_an_unconvertible_result_names_the_function():
    vm = Vrel()
    vm["in_region"] = lambda x: [1, {2}]
    with pytest.raises(PanicException) as info:
        vm.run([Statement.let("ok", Expr.call("in_region", Expr.literal(1)))])
    assert str(info.value).startswith("Failed to run Python::with_gil(...): PyErr { type: <class 'TypeError'>")
    cause = info.value.__cause__
    assert str(cause) == (
        "function 'in_region' returned a value that cannot be converted: "
        "at [1]: 'set' object cannot be converted to 'PyValue'")
    assert str(cause.__cause__).startswith("failed to extract enum PyValue")


@pytest.mark.parametrize("exception", [KeyboardInterrupt, SystemExit])
def test_interrupts_raised_by_a_function_propagate_as_themselves(exception):
    def helper(x):
        raise exception("stop")

    vm = Vrel()
    vm["helper"] = helper
    with pytest.raises(exception) as info:
        vm.run([Statement.let("a", Expr.literal(1)), Statement.let("b", Expr.call("helper", Expr.literal(1))),
                Statement.let("c", Expr.literal(3))])
    assert type(info.value) is exception and info.value.args == ("stop",)
    assert vm["a"] == 1 and "c" not in vm


def test_nested_runs_give_the_inner_place_and_the_outer_call_in_a_second_note():
    def inner(x):
        Vrel().run([Statement.let("z", Expr.binary_op(Expr.literal(1), "+", Expr.ident("nope")))])

    vm = Vrel()
    vm["inner"] = inner
    with pytest.raises(PanicException) as info:
        vm.run([Statement.let("a", Expr.literal(1)), Statement.let("q", Expr.not_(Expr.call("inner", Expr.literal(1))))])
    error = info.value
    assert str(error) == 'Value cannot be found: S("nope")'
    assert (error.statement, error.node, error.variable) == ((0,), "['let'][1]['binary_op'][2]", "nope")
    assert error.__notes__ == [
        "in statement [0] at ['let'][1]['binary_op'][2]: reading 'nope'",
        "in statement [1] at ['let'][1]['not']: calling 'inner'",
    ]
    assert type(error.__cause__) is PanicException and str(error.__cause__) == str(error)


# ---- The report switch ------------------------------------------------------------------------

REPORT_CHILD = """
import os, sys
import vrelpy
from vrelpy import Expr, Statement, Vrel
def inner(x):
    Vrel().get("gone")
vm = Vrel()
vm["inner"] = inner
def fail(program):
    try:
        vm.run(program)
    except vrelpy.PanicException:
        pass
fail([Statement.let("a", Expr.ident("nope"))])
print(vrelpy.set_error_report(False), file=sys.stdout, flush=True)
fail([Statement.let("a", Expr.ident("quiet"))])
fail([Statement.let("b", Expr.call("inner", Expr.literal(1)))])
print(vrelpy.set_error_report(True), vrelpy.set_error_report(True), flush=True)
fail([Statement.let("a", Expr.ident("loud"))])
"""


def test_the_report_can_be_switched_off_and_on():
    proc = run_python(REPORT_CHILD)
    assert_clean_exit(proc)
    assert proc.stdout == "True\nFalse True\n"
    lines = proc.stderr.splitlines()
    assert len(lines) == 4, proc.stderr
    assert lines[0].startswith("vrel: fatal error in thread '") and lines[0].endswith(":")
    assert lines[1] == 'Value cannot be found: S("nope")'
    assert lines[3] == 'Value cannot be found: S("loud")'


# ---- Running out of memory -------------------------------------------------------------------

# Memory filled up to an address-space cap, then freed a little at a time while runs fail:
# fatal errors are raised and reported with next to no memory left. Whatever Python itself
# makes of that, the process must not abort (the report is written without allocating).
OUT_OF_MEMORY_CHILD = """
import os, resource
from vrelpy import Expr, Statement, Vrel
vm = Vrel()
vm["n"] = 1
programs = [[Statement.let("t", Expr.greater_than(Expr.literal("a"), Expr.ident("n")))],
            [Statement.let("t", Expr.ident("missing"))],
            [Statement.let("t", Expr.binary_op(Expr.ident("n"), "/", Expr.literal(0)))]]
cap = 200 * 2**20
resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
for round in range(12):
    hog = []
    try:
        for size in (1 << 20, 1 << 14, 1 << 10, 64):
            try:
                while True:
                    hog.append(bytearray(size))
            except MemoryError:
                pass
        for i in range(300):
            try:
                for _ in range(round % 3 + 1):
                    if hog:
                        hog.pop()
                vm.run(programs[i % 3])
            except BaseException:
                pass
    except BaseException:
        pass
    hog = None
os._exit(0)
"""


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer cannot map its shadow memory under an "
                    "address-space cap")
def test_running_out_of_memory_never_aborts():
    for _ in range(3):
        proc = run_python(OUT_OF_MEMORY_CHILD, timeout=300)
        assert proc.returncode == 0, (proc.returncode, proc.stderr[-2000:])
