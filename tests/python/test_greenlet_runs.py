"""Runs suspended and resumed in any order on one thread (greenlets switched by host functions):
each keeps its own limits and those of the runs enclosing it, and none reads another's budget.
Each case runs in a child interpreter, so that a crash fails one test."""

import pytest

from support import assert_clean_exit, run_python

pytest.importorskip("greenlet")

REPRODUCER = """
import greenlet
from vrelpy import Expr, Statement, Vrel
hub = greenlet.getcurrent()
def io_wait(x):
    hub.switch(); return x
def request(n):
    vm = Vrel(); vm.set_limits(steps=100_000, memory=1_000_000, seconds=5)
    vm["io_wait"] = io_wait
    vm.run([Statement.let("y", Expr.call("io_wait", Expr.literal(n)))])
    return vm["y"]
gs = [greenlet.greenlet(request) for _ in range(3)]
for i, g in enumerate(gs): g.switch(i)
print([g.switch() for g in gs])
"""


def test_three_runs_suspended_inside_their_calls_finish_in_turn():
    proc = run_python(REPRODUCER, timeout=60)
    assert_clean_exit(proc)
    assert proc.stdout.split("\n")[0] == "[0, 1, 2]"


# Each request spends steps, waits (switches to the hub) and spends more, possibly in a run of
# a second machine started after the wait. Its limit is the exact cost of what it does or one
# step less, or none; the requests are resumed in every order. What each gets must not depend
# on the order: the runs of the others never count against it.
INTERLEAVED = """
import itertools, greenlet
from vrelpy import Expr, Statement, Vrel
lit, let = Expr.literal, Statement.let
hub = greenlet.getcurrent()

def doubling(depth):
    e = lit(1)
    for _ in range(depth):
        e = Expr.binary_op(e, "+", e)
    return e

def wait(_):
    if greenlet.getcurrent() is not hub:
        hub.switch()
    return 0

def outcome(run):
    try:
        run()
        return "ok"
    except BaseException as exc:
        return str(exc)

def request(before, after, nested, limit):
    inner = Vrel()
    def wait_then_run(_):
        wait(0)
        if nested:
            inner.run([let("z", doubling(nested))])
        return 0
    vm = Vrel()
    vm["wait"] = wait_then_run
    if limit:
        vm.set_limits(**limit)
    program = [let("a", doubling(before)), let("w", Expr.call("wait", lit(0))), let("b", doubling(after))]
    return outcome(lambda: vm.run(program))

def cost(before, after, nested):
    # The smallest step limit it passes, found in the main greenlet (where wait returns at once).
    n = 1
    while request(before, after, nested, {"steps": n}) != "ok":
        n += 1
    return n

SHAPES = {"A": (6, 2, 0), "B": (3, 7, 0), "C": (9, 9, 0), "D": (2, 3, 6), "E": (5, 1, 5)}
costs = {k: cost(*v) for k, v in SHAPES.items()}
LIMITS = {
    "A": ({"steps": costs["A"]}, "ok"),
    "B": ({"steps": costs["B"] - 1}, "Step limit exceeded"),
    "C": (None, "ok"),  # far more steps than any other's limit
    "D": ({"steps": costs["D"], "memory": 10**6, "seconds": 60}, "ok"),
    "E": ({"steps": costs["E"] - 1}, "Step limit exceeded"),  # struck inside the nested run
}
bad = []
for order in itertools.permutations(SHAPES):
    gs = {k: greenlet.greenlet(request) for k in SHAPES}
    for k in SHAPES:  # started in one order, each suspended in its wait
        assert gs[k].switch(*SHAPES[k], LIMITS[k][0]) == ()
    got = {k: gs[k].switch() for k in order}
    want = {k: LIMITS[k][1] for k in SHAPES}
    if got != want:
        bad.append((order, got))
print(len(bad), bad[:3])
"""


def test_interleaved_runs_keep_their_own_limits():
    proc = run_python(INTERLEAVED, timeout=120)
    assert_clean_exit(proc)
    assert proc.stdout.split("\n")[0] == "0 []"


# A greenlet started from inside a limited run's function runs its own runs outside that
# run's budget, and the run that started it still counts its own nested runs.
STARTED_INSIDE = """
import greenlet
from vrelpy import Expr, Statement, Vrel
lit, let = Expr.literal, Statement.let

def doubling(depth):
    e = lit(1)
    for _ in range(depth):
        e = Expr.binary_op(e, "+", e)
    return e

def free_run():
    free = Vrel()  # no limits: 2**13 steps, far beyond the outer run's 40
    try:
        free.run([let("x", doubling(12))])
        return "ok"
    except BaseException as exc:
        return str(exc)

seen = []

def host(_):
    seen.append(greenlet.greenlet(free_run).switch())
    Vrel().run([let("x", doubling(5))])  # 64 steps, nested in the limited run: must strike
    return 0

vm = Vrel()
vm["host"] = host
vm.set_limits(steps=40)
try:
    vm.run([let("y", Expr.call("host", lit(0)))])
    print("no error", seen)
except BaseException as exc:
    print(str(exc), seen)
"""


def test_a_greenlet_started_inside_a_run_is_not_nested_in_it():
    proc = run_python(STARTED_INSIDE, timeout=60)
    assert_clean_exit(proc)
    assert proc.stdout.split("\n")[0] == "Step limit exceeded ['ok']"
