"""Every success and failure path, repeated, leaves nothing behind.

Each scenario is run for a warm-up (caches, the exception type, linecache), then many more
times. Two checks:
- Python objects: the reference counts of the functions and payload objects the scenarios
  touch, and the number of objects tracked by the garbage collector, are unchanged;
- native memory: glibc's count of heap bytes in use (mallinfo2; tracemalloc cannot see the
  C++ core's allocations) grows by far less than one lost payload per round. The payloads
  are large (64 KiB of text, a 4096-item list) so that losing any of them, or any copy the
  core made of them, adds up to megabytes, far above allocator noise. Smaller native leaks
  are the business of the LeakSanitizer run (tools/run-sanitizers.sh), which skips this
  memory check (VRELPY_TESTS_UNDER_SANITIZER=1) as its allocator does not keep these counts.
"""

import ctypes
import gc
import os
import sys

import pytest

from vrelpy import Expr, Statement, Vrel

BIG_TEXT = "vrel ✓ " * 9362  # 64 KiB of UTF-8
BIG_LIST = list(range(4096))
NESTED = [BIG_LIST, [BIG_TEXT, [None, True, 1.5]]]
RESULT = [BIG_TEXT, BIG_LIST]


def returns_result(x):
    return RESULT


def echo(x):
    return x


def raises(x):
    raise ValueError(BIG_TEXT)


def returns_dict(x):
    return {"no": "value"}


def runs_failing_statement(x):
    PERSISTENT.run([Statement.let("inner", Expr.binary_op(Expr.literal(BIG_TEXT), "-", Expr.literal(x)))])


TRACKED = (BIG_TEXT, BIG_LIST, NESTED, RESULT, returns_result, echo, raises, returns_dict, runs_failing_statement)
PERSISTENT = Vrel()
BIG = Expr.literal(NESTED)


def call(name, argument):
    return Statement.let("r", Expr.call(name, argument))


def fails(action, kind=BaseException):
    try:
        action()
    except kind:
        return
    raise AssertionError(f"{action} did not fail")


def build_everything():
    e = Expr.binary_op(Expr.literal(BIG_TEXT), "+", Expr.ident("x"))
    v = Expr.vector([e, BIG, Expr.not_(Expr.equals(e, BIG)), Expr.greater_than(BIG, e), Expr.less_than(e, e)])
    s = Statement.let("x", Expr.call("f", v))
    Statement.if_(Expr.ident(0), [s, Statement.fn("f", echo)], [s])


def builder_failures():
    fails(lambda: Expr.literal([BIG_TEXT, {1: 2}]), TypeError)
    fails(lambda: Expr.literal(2**1100), TypeError)
    fails(lambda: Expr.literal(["\ud800", BIG_LIST]), TypeError)
    fails(lambda: Expr.literal(BIG_LIST + [BIG_TEXT, BIG_LIST, {1: 2}]), TypeError)
    fails(lambda: Expr.literal([BIG_LIST, [1.5] * 3000 + [BIG_TEXT, object()]]), TypeError)
    fails(lambda: Expr.vector([BIG, 3]), TypeError)
    fails(lambda: Expr.binary_op(BIG, "%", BIG), ValueError)
    fails(lambda: Statement.fn(-1, echo), TypeError)
    fails(lambda: Statement.fn("f", len), TypeError)
    fails(lambda: Statement.if_(BIG, [Statement.fn("f", echo)], [Statement.let("x", BIG), 5]), TypeError)
    fails(lambda: Expr.ident(1.5), TypeError)


def run_and_get():
    vm = Vrel()
    vm.run([Statement.let("x", BIG), Statement.fn("f", returns_result), call("f", Expr.ident("x"))])
    assert vm.get("r") == RESULT
    vm.get("x")
    repr(vm)


def rebind_persistent():
    PERSISTENT.run([Statement.fn("g", echo), Statement.let("x", BIG), call("g", Expr.ident("x"))])
    PERSISTENT.get("r")
    PERSISTENT.run([Statement.let("r", Expr.literal(0)), Statement.fn("g", returns_result)])
    PERSISTENT.run([Statement.let("big", Expr.literal(BIG_LIST)), Statement.let("big", Expr.literal(NESTED))])


def function_failures():
    vm = Vrel()
    vm.run([Statement.fn(n, f) for n, f in (("raises", raises), ("dict", returns_dict), ("echo", echo), ("nested", runs_failing_statement))])
    fails(lambda: vm.run([call("raises", BIG)]))
    fails(lambda: vm.run([call("dict", BIG)]))
    fails(lambda: vm.run([call("echo", Expr.vector([BIG, Expr.ident("echo")]))]))
    fails(lambda: vm.run([call("nested", BIG)]))
    fails(lambda: vm.run([call("missing", BIG)]))
    fails(lambda: vm.run([Statement.let("x", BIG), call("x", BIG)]))


def fatal_errors():
    vm = Vrel()
    vm.run([Statement.fn("f", echo), Statement.let("v", Expr.vector([Expr.ident("f"), BIG]))])
    fails(lambda: vm.run([Statement.let("x", Expr.binary_op(BIG, "+", BIG))]))
    fails(lambda: vm.run([Statement.let("x", Expr.equals(Expr.ident("f"), BIG))]))
    fails(lambda: vm.run([Statement.let("x", Expr.not_(BIG))]))
    fails(lambda: vm.run([Statement.if_(BIG, [Statement.let("y", BIG)], [])]))
    fails(lambda: vm.run([Statement.let("x", Expr.vector([BIG, Expr.ident("unbound")]))]))
    fails(lambda: vm.get("unbound"))
    fails(lambda: vm.get("f"), TypeError)
    fails(lambda: vm.get("v"))
    fails(lambda: vm.run([Statement.let("x", BIG), 5]), TypeError)
    fails(lambda: vm.run(BIG_TEXT), TypeError)
    fails(lambda: vm.get(-1), TypeError)


SCENARIOS = {
    f.__name__: f
    for f in (build_everything, builder_failures, run_and_get, rebind_persistent, function_failures, fatal_errors)
}


def python_state():
    gc.collect()
    return [sys.getrefcount(obj) for obj in TRACKED], len(gc.get_objects())


@pytest.fixture(autouse=True)
def quiet_stderr(capfd):
    """The fatal-error reports written to standard error are expected here."""
    yield
    capfd.readouterr()


@pytest.mark.parametrize("scenario", SCENARIOS.values(), ids=SCENARIOS.keys())
def test_python_references_stay_flat(scenario):
    for _ in range(10):
        scenario()
    refs, objects = python_state()
    for _ in range(100):
        scenario()
    refs_after, objects_after = python_state()
    assert refs_after == refs
    assert objects_after - objects < 50  # a leak per round would add at least 100


class MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")
    ]


def heap_in_use():
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


@pytest.mark.skipif(bool(os.environ.get("VRELPY_TESTS_UNDER_SANITIZER")), reason="LeakSanitizer checks instead")
@pytest.mark.skipif(not hasattr(ctypes.CDLL(None), "mallinfo2"), reason="needs glibc's mallinfo2")
@pytest.mark.parametrize("scenario", SCENARIOS.values(), ids=SCENARIOS.keys())
def test_native_memory_stays_flat(scenario):
    for _ in range(20):
        scenario()
    gc.collect()
    before = heap_in_use()
    rounds = 200
    for _ in range(rounds):
        scenario()
    gc.collect()
    grown = heap_in_use() - before
    # One lost payload per round would be >= 200 * 16 KiB (the list's item array) = 3.2 MiB.
    assert grown < 1 << 20, f"heap grew by {grown} bytes over {rounds} rounds"
