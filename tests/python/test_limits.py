"""Limits on steps, memory and time (Vrel.set_limits, Vrel.limits), and runs that a signal
handler stops. Signal tests run in child processes, so that a run that ignores signals fails
one test instead of wedging the suite."""

import math
import os

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from vrelpy import Expr, Statement, Vrel
from support import assert_clean_exit, raises_exact, raises_panic, run_python

lit, ident, let = Expr.literal, Expr.ident, Statement.let
STEPS, MEMORY, TIME = "Step limit exceeded", "Memory limit exceeded", "Time limit exceeded"
UNSET = {"steps": None, "memory": None, "seconds": None}
# Under sanitizers everything runs several times slower.
SLACK = 20 if os.environ.get("VRELPY_TESTS_UNDER_SANITIZER") else 1
PROPERTY = settings(
    max_examples=300 if os.environ.get("VRELPY_HYPOTHESIS_PROFILE") == "ci" else 60,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)


def hang(leaf=1, levels=40):
    """`leaf` doubled `levels` times: a 41-node program that evaluates 2**41 - 1 nodes."""
    e = lit(leaf)
    for _ in range(levels):
        e = Expr.binary_op(e, "+", e)
    return e


def doubling(levels=40):
    return [let("s", Expr.binary_op(ident("s"), "+", ident("s"))) for _ in range(levels)]


@pytest.mark.parametrize(
    "limits, leaf, message",
    [
        ({"steps": 10**6}, 1, STEPS),
        ({"seconds": 0.05}, 1, TIME),
        ({"memory": 10**6}, "ab", MEMORY),
        ({"steps": 10**6, "memory": 10**9, "seconds": 60}, 1, STEPS),
    ],
    ids=["steps", "seconds", "memory", "all"],
)
def test_each_limit_stops_the_hang(limits, leaf, message, capfd):
    vm = Vrel()
    vm.set_limits(**limits)
    with raises_panic(message):
        vm.run([let("before", lit(1)), let("x", hang(leaf))])
    assert message in capfd.readouterr().err  # the usual report
    assert vm.get("before") == 1
    vm.run([let("after", Expr.binary_op(ident("before"), "+", lit(1)))])
    assert vm.get("after") == 2


def last_doubling_within(memory, start):
    """The length of s after the doublings that fit in `memory` (no byte is given back)."""
    used, length = 0, start
    while used + 2 * length <= memory:
        used, length = used + 2 * length, 2 * length
    return length


@PROPERTY
@given(memory=st.integers(1, 1 << 20), start=st.integers(1, 40))
def test_doubling_stops_before_the_memory_limit(memory, start):
    vm = Vrel()
    vm.run([let("s", lit("x" * start))])  # bound before: not charged
    vm.set_limits(memory=memory)
    with raises_panic(MEMORY):
        vm.run(doubling())
    expected = last_doubling_within(memory, start)
    if expected <= memory:
        assert vm.get("s") == "x" * expected
    else:  # bound before any doubling fitted: reading it back counts against the limit too
        with raises_panic(MEMORY):
            vm.get("s")
        vm.set_limits()
        assert vm.get("s") == "x" * expected
        vm.set_limits(memory=memory)
    # The next run has the full budget again.
    if 2 * expected <= memory:
        vm.run(doubling(1))
        assert len(vm.get("s")) == 2 * expected
    else:
        with raises_panic(MEMORY):
            vm.run(doubling(1))


# ---- exact step counts --------------------------------------------------------------------

# Expressions as (Expr, steps to evaluate, value). Vectors of ints or of vectors of ints only,
# so that == never meets a type mismatch.
ints = st.integers(-3, 3)
flat = st.lists(st.integers(0, 2), max_size=5)
nested = st.lists(st.lists(st.integers(0, 1), max_size=3), max_size=4)


def pairs_compared(a, b):
    """Pairs of elements that == compares, at every level, up to the first difference."""
    if len(a) != len(b):
        return 0
    n = 0
    for x, y in zip(a, b):
        n += 1 + (pairs_compared(x, y) if isinstance(x, list) else 0)
        if x != y:
            break
    return n


@st.composite
def logic_exprs(draw, depth=2):
    """Booleans joined by and_ / or_: a right operand costs its steps only when evaluated."""
    if depth == 0 or draw(st.booleans()):
        v = draw(st.booleans())
        return lit(v), 1, v
    kind = draw(st.sampled_from(["and", "or"]))
    a = draw(logic_exprs(depth=depth - 1))
    b = draw(logic_exprs(depth=depth - 1))
    decided = a[2] == (kind == "or")
    value = a[2] if decided else b[2]
    return getattr(Expr, kind + "_")(a[0], b[0]), 1 + a[1] + (0 if decided else b[1]), value


@st.composite
def int_exprs(draw, depth=3):
    if depth == 0 or draw(st.booleans()):
        v = draw(ints)
        return lit(v), 1, v
    if draw(st.integers(0, 3)) == 0:
        # Only the chosen branch is evaluated, and counted.
        c = draw(logic_exprs())
        t = draw(int_exprs(depth=depth - 1))
        o = draw(int_exprs(depth=depth - 1))
        chosen = t if c[2] else o
        return Expr.cond(c[0], t[0], o[0]), 1 + c[1] + chosen[1], chosen[2]
    a = draw(int_exprs(depth=depth - 1))
    b = a if draw(st.booleans()) else draw(int_exprs(depth=depth - 1))  # shared, or not
    return Expr.binary_op(a[0], "+", b[0]), 1 + a[1] + b[1], a[2] + b[2]


@st.composite
def conditions(draw):
    xs = draw(st.one_of(st.tuples(flat, flat), st.tuples(nested, nested)))
    a, b = xs
    if draw(st.booleans()):
        b = a  # equal vectors compare every pair
    return Expr.equals(lit(a), lit(b)), 3 + pairs_compared(a, b), a == b


@st.composite
def blocks(draw, depth=2):
    stmts, cost = [], 0
    for i in range(draw(st.integers(1, 3))):
        if depth > 0 and draw(st.booleans()):
            cond, c_cost, chosen = draw(conditions())
            then, t_cost = draw(blocks(depth=depth - 1))
            other, o_cost = draw(blocks(depth=depth - 1))
            stmts.append(Statement.if_(cond, then, other))
            cost += 1 + c_cost + (t_cost if chosen else o_cost)
        else:
            e, e_cost, _ = draw(int_exprs())
            stmts.append(let(f"v{depth}_{i}", e))
            cost += 1 + e_cost
    return stmts, cost


@PROPERTY
@given(blocks())
def test_step_limit_is_exact(program):
    stmts, cost = program
    vm = Vrel()
    vm.set_limits(steps=cost)
    vm.run(stmts)
    vm.run(stmts)  # each run gets the full budget
    if cost > 1:
        vm.set_limits(steps=cost - 1)
        with raises_panic(STEPS):
            vm.run(stmts)


# ---- what counts as memory ----------------------------------------------------------------

ELEMENT = 64  # the documented cost of one vector element


def returning(value):
    return [Statement.fn("f", lambda _: value), let("r", Expr.call("f", lit(0)))]


@pytest.mark.parametrize(
    "program, cost",
    [
        (returning("é" * 500), 1000),  # a text counts its UTF-8 bytes
        (returning(list(range(100))), 100 * ELEMENT),
        (returning([["ab", "c"], []]), 2 * ELEMENT + 2 * ELEMENT + 3),
        (returning(7), 0),
        ([let("v", Expr.vector([lit(1), lit("big" * 1000)]))], 2 * ELEMENT),  # literals exist already
        ([let("t", Expr.binary_op(lit("ab"), "+", lit("cde")))], 5),
    ],
    ids=["function text", "function list", "function nested", "function number", "vector", "concat"],
)
def test_memory_counts_what_the_run_creates(program, cost):
    vm = Vrel()
    if cost:
        vm.set_limits(memory=cost - 1)
        with raises_panic(MEMORY):
            vm.run(program)
    vm.set_limits(memory=max(cost, 1))
    vm.run(program)


def test_values_bound_before_the_run_are_free():
    vm = Vrel()
    vm.run([let("big", lit("x" * 10**6)), let("list", lit(list(range(10**4))))])
    vm.set_limits(memory=1)
    vm.run([let("a", ident("big")), let("b", ident("list")), let("c", Expr.equals(ident("list"), ident("list")))])
    assert vm.get("c") is True


# ---- nested runs --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "limits, leaf, message",
    [({"steps": 10**5}, 1, STEPS), ({"seconds": 0.05}, 1, TIME), ({"memory": 10**5}, "ab", MEMORY)],
    ids=["steps", "seconds", "memory"],
)
@pytest.mark.parametrize("where", ["same machine", "other machine"])
@pytest.mark.parametrize("swallow", [False, True], ids=["propagated", "swallowed"])
def test_nested_run_does_not_escape_the_outer_budget(limits, leaf, message, where, swallow):
    outer = Vrel()
    inner = outer if where == "same machine" else Vrel()
    seen = []

    def nested(_):
        program = [let("x", hang(leaf))]
        if not swallow:
            inner.run(program)
        try:
            inner.run(program)
        except BaseException as exc:  # noqa: BLE001 - the fatal error is a BaseException
            seen.append(str(exc))
        return 0

    outer.run([Statement.fn("nested", nested)])
    outer.set_limits(**limits)
    if swallow and message == MEMORY:
        # The refused allocation was never made: the outer run is within its budget.
        outer.run([let("y", Expr.call("nested", lit(0)))])
        assert outer.get("y") == 0
    else:
        with raises_panic(message):
            outer.run([let("y", Expr.call("nested", lit(0)))])
    assert seen == ([message] if swallow else [])


def test_a_limit_set_then_removed():
    vm = Vrel()
    assert vm.limits == UNSET
    vm.set_limits(steps=5, memory=10, seconds=2)
    assert vm.limits == {"steps": 5, "memory": 10, "seconds": 2.0}
    vm.limits["steps"] = None  # a copy: changes nothing
    vm.set_limits(steps=5)  # replaces all three
    assert vm.limits == {"steps": 5, "memory": None, "seconds": None}
    program = [let("x", hang(levels=3))]
    with raises_panic(STEPS):
        vm.run(program)
    vm.set_limits()
    assert vm.limits == UNSET
    vm.run(program)
    assert vm.get("x") == 8
    assert Vrel().limits == UNSET  # limits are per machine
    with pytest.raises(AttributeError):
        vm.limits = UNSET


BIG = 2**63


@pytest.mark.parametrize(
    "args, kwargs, kind, message",
    [
        ((5,), {}, TypeError, "Vrel.set_limits() takes 0 positional arguments but 1 was given"),
        ((), {"step": 5}, TypeError, "Vrel.set_limits() got an unexpected keyword argument 'step'"),
        ((), {"steps": True}, TypeError, "steps must be a positive int"),
        ((), {"steps": 1.0}, TypeError, "steps must be a positive int"),
        ((), {"steps": "1"}, TypeError, "steps must be a positive int"),
        ((), {"steps": 0}, ValueError, "steps must be a positive int"),
        ((), {"steps": -BIG * 4}, ValueError, "steps must be a positive int"),
        ((), {"steps": BIG}, ValueError, "steps must be at most 9223372036854775807"),
        ((), {"memory": False}, TypeError, "memory must be a positive int"),
        ((), {"memory": -1}, ValueError, "memory must be a positive int"),
        ((), {"memory": BIG * 2}, ValueError, "memory must be at most 9223372036854775807"),
        ((), {"seconds": True}, TypeError, "seconds must be a positive int or float"),
        ((), {"seconds": "1"}, TypeError, "seconds must be a positive int or float"),
        ((), {"seconds": 0}, ValueError, "seconds must be a positive int or float"),
        ((), {"seconds": -0.5}, ValueError, "seconds must be a positive int or float"),
        ((), {"seconds": math.nan}, ValueError, "seconds must be a positive int or float"),
        ((), {"seconds": math.inf}, ValueError, "seconds must be finite"),
        ((), {"seconds": 1e10}, ValueError, "seconds must be at most 9.2e9"),
        ((), {"seconds": 10**30}, ValueError, "seconds must be at most 9.2e9"),
        ((), {"steps": 1, "seconds": -1}, ValueError, "seconds must be a positive int or float"),
    ],
)
def test_bad_arguments_change_nothing(args, kwargs, kind, message):
    vm = Vrel()
    vm.set_limits(steps=7, memory=8, seconds=9)
    before = vm.limits
    exc = raises_exact(kind, lambda: vm.set_limits(*args, **kwargs))
    assert str(exc) == message
    assert vm.limits == before


def test_largest_limits_are_accepted():
    vm = Vrel()
    vm.set_limits(steps=BIG - 1, memory=BIG - 1, seconds=9.2e9)
    assert vm.limits == {"steps": BIG - 1, "memory": BIG - 1, "seconds": 9.2e9}
    vm.run([let("x", hang(levels=5))])
    vm.set_limits(seconds=1e-300)  # rounds up to a deadline, never to "no limit"
    with raises_panic(TIME):
        vm.run([let("x", hang())])


# ---- signals ------------------------------------------------------------------------------

SIGNAL_PRELUDE = """
import os, signal, subprocess, sys, time
from vrelpy import Expr, Statement, Vrel
e = Expr.literal(1)
for _ in range(40):
    e = Expr.binary_op(e, "+", e)
vm = Vrel()
HANG = [Statement.let("before", Expr.literal(1)), Statement.let("x", e)]

def still_usable():
    assert vm.get("before") == 1
    vm.run([Statement.let("after", Expr.binary_op(Expr.ident("before"), "+", Expr.literal(1)))])
    assert vm.get("after") == 2
"""


def test_sigint_from_another_process_stops_the_run():
    # The other process notes the monotonic clock (shared by all processes) as it signals.
    proc = run_python(
        SIGNAL_PRELUDE
        + f"""
killer = subprocess.Popen(
    [sys.executable, "-c",
     "import os, signal, time; time.sleep(0.3); t = time.monotonic(); "
     "os.kill({{}}, signal.SIGINT); print(t)".format(os.getpid())],
    stdout=subprocess.PIPE, text=True)
try:
    vm.run(HANG)
except KeyboardInterrupt as exc:
    latency = time.monotonic() - float(killer.communicate()[0])
    assert type(exc) is KeyboardInterrupt, repr(exc)
else:
    raise AssertionError("the run was not interrupted")
assert latency < 0.1 * {SLACK}, latency
still_usable()
""",
        timeout=120,
    )
    assert_clean_exit(proc)
    assert "fatal error" not in proc.stderr


def test_interval_timer_handler_that_raises_stops_the_run():
    proc = run_python(
        SIGNAL_PRELUDE
        + """
class Expired(Exception):
    pass

def expire(signum, frame):
    raise Expired("time is up")

signal.signal(signal.SIGALRM, expire)
for limits in [{}, {"steps": 2**62, "memory": 2**40, "seconds": 3600}]:
    vm.set_limits(**limits)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        vm.run(HANG)
    except Expired as exc:
        assert str(exc) == "time is up" and exc.__context__ is None
    else:
        raise AssertionError("the run was not interrupted")
    still_usable()
""",
        timeout=120,
    )
    assert_clean_exit(proc)
    assert "fatal error" not in proc.stderr


def test_a_kept_statement_over_one_subtree_doubled_40_times_runs_again_under_a_limit():
    # The tree has 41 distinct nodes but 2**41 - 1 as evaluated: a kept statement's second run
    # must still walk it (stopping at the limit), not try to list it flat.
    e = Expr.literal(1)
    for _ in range(40):
        e = Expr.binary_op(e, "+", e)
    statement = Statement.let("x", e)
    vm = Vrel()
    vm.set_limits(steps=10_000)
    for _ in range(3):
        with raises_panic(STEPS):
            vm.run([statement])
