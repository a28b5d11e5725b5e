"""Fatal errors a user can act on: the exception by name, where it happened, its cause,
the report switch."""

import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vrelpy
from failing_programs import at, random_program, statement_at
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
    statement = statement_at(program, statement_path)
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
