"""Absurdly deep values, lists, expressions and blocks: every path either works or raises a
clean exception, and the process survives. Each scenario runs in its own interpreter, so a
crash fails one test. VRELPY_TESTS_UNDER_SANITIZER=1 sizes the depths down (the sanitizer
run sets it: instrumented code is slower and needs more stack per level).
"""

import os
import re
import textwrap

import pytest

from support import INSTRUMENTED, assert_clean_exit, run_python

SANITIZED = bool(os.environ.get("VRELPY_TESTS_UNDER_SANITIZER"))
CHAIN = 200_000 if SANITIZED else 1_000_000
LISTS = 200_000
TREE = 2000 if SANITIZED else 4000
# an if_ shares the blocks it is given, so building them costs in proportion to the depth
BLOCKS = 2000 if SANITIZED else 10_000

# Prelude of every child: `probe` runs one action and prints what became of it.
PRELUDE = """
import sys, threading
from vrelpy import Expr, Statement, Vrel

def probe(label, action):
    try:
        result = action()
    except BaseException as exc:
        text = str(exc).split(chr(10))[0][:120]
        print(f"{label}: raised {type(exc).__name__}: {text}", flush=True)
    else:
        print(f"{label}: worked {result}", flush=True)

def small_stack(action):
    # Runs action on a thread with a 256 KiB stack and hands back its result or exception.
    # The core's recursion and the conversions both measure the real stack; deep Python
    # objects themselves are not built there, since the interpreter's own deallocation of a
    # deeply nested list needs a stack of ordinary size.
    out = []
    def body():
        try:
            out.append((True, action()))
        except BaseException as exc:
            out.append((False, exc))
    threading.stack_size(256 * 1024)
    t = threading.Thread(target=body)
    t.start()
    t.join()
    threading.stack_size(0)
    ok, value = out[0]
    if not ok:
        raise value
    return value

def depth(value):
    n = 0
    while isinstance(value, list) and value:
        value, n = value[0], n + 1
    return n
"""

NESTING = "Maximum nesting depth exceeded"
CLEAN = [
    r"worked .*",
    r"raised RecursionError: .*",
    rf"raised PanicException: {NESTING}",
    # the argument of a language function could not be made into a Python object
    r"raised PanicException: called `Result::unwrap\(\)` on an `Err` value: "
    r"PyErr \{ type: <class 'RecursionError'>.*",
    # a Python function's deep result could not be converted back
    r"raised PanicException: Failed to run Python::with_gil\(\.\.\.\): PyErr \{ type: <class 'RecursionError'>.*",
]


def run_child(body, *expected):
    proc = run_python(PRELUDE + textwrap.dedent(body), timeout=900)
    assert_clean_exit(proc)
    lines = proc.stdout.splitlines()
    assert lines and lines[-1] == "done", proc.stdout[-2000:]
    outcomes = dict(line.split(": ", 1) for line in lines[:-1])
    for label, outcome in outcomes.items():
        clean = outcome in expected or any(re.fullmatch(p, outcome) for p in CLEAN)
        assert clean, f"{label}: {outcome}"
    return outcomes


def test_value_chain_a_million_deep():
    out = run_child(
        f"""
        vm = Vrel()
        vm.run([Statement.let("x", Expr.literal(None)), Statement.let("y", Expr.literal(0)),
                Statement.fn("f", lambda v: len(v))])
        wrap = [Statement.let("x", Expr.vector([Expr.ident("x")])),
                Statement.let("y", Expr.vector([Expr.ident("y")]))] * 500
        for _ in range({CHAIN} // 500):
            vm.run(wrap)
        probe("repr", lambda: len(repr(vm)))
        probe("get", lambda: depth(vm.get("x")))
        probe("equal-itself", lambda: vm.run([Statement.let("e", Expr.equals(Expr.ident("x"), Expr.ident("x")))]) or vm.get("e"))
        probe("equal-other", lambda: vm.run([Statement.let("e", Expr.equals(Expr.ident("x"), Expr.ident("y")))]) or vm.get("e"))
        probe("to-function", lambda: vm.run([Statement.let("n", Expr.call("f", Expr.ident("x")))]) or vm.get("n"))
        probe("small-stack-repr", lambda: small_stack(lambda: len(repr(vm))))
        probe("small-stack-get", lambda: small_stack(lambda: depth(vm.get("x"))))
        probe("small-stack-equal", lambda: small_stack(lambda: vm.run([Statement.let("e", Expr.equals(Expr.ident("y"), Expr.ident("x")))]) or vm.get("e")))
        probe("rebind", lambda: vm.run([Statement.let("x", Expr.literal(1))]) or vm.get("x"))
        probe("small-stack-release", lambda: small_stack(lambda: vm.run([Statement.let("y", Expr.literal(2))]) or vm.get("y")))
        vm.run([Statement.let("x", Expr.literal(None))])
        for _ in range({CHAIN} // 500):
            vm.run(wrap)
        del vm
        print("done")
        """
    )
    assert out["rebind"] == "worked 1" and out["small-stack-release"] == "worked 2"
    assert out["small-stack-get"].startswith("raised RecursionError")
    # the chains differ only at the bottom (null against 0): no comparison can stop early
    nesting = f"raised PanicException: {NESTING}"
    assert out["equal-other"] in ("worked False", nesting)
    assert out["small-stack-equal"] in ("raised PanicException: Expected other item to be Value::Number", nesting)


def test_python_lists_200000_deep():
    out = run_child(
        f"""
        deep = []
        for _ in range({LISTS}):
            deep = [deep]
        bad = {{}}
        for _ in range({LISTS}):
            bad = [bad]
        vm = Vrel()
        vm.run([Statement.fn("f", lambda v: deep), Statement.fn("g", lambda v: bad)])
        probe("literal", lambda: Expr.literal(deep) and "built")
        probe("literal-unconvertible", lambda: Expr.literal(bad))
        probe("function-result", lambda: vm.run([Statement.let("r", Expr.call("f", Expr.literal(0)))]) or depth(vm.get("r")))
        probe("function-result-unconvertible", lambda: vm.run([Statement.let("r", Expr.call("g", Expr.literal(0)))]))
        probe("machine-usable", lambda: vm.run([Statement.let("ok", Expr.literal(1))]) or vm.get("ok"))
        del deep, bad, vm
        print("done")
        """
    )
    assert out["machine-usable"] == "worked 1"
    assert out["literal-unconvertible"].startswith("raised RecursionError")


@pytest.mark.parametrize(
    "shape, outcome",
    [
        # left-deep comparisons and equalities chained through booleans
        ("e = Expr.literal(True)\nfor _ in range(N): e = Expr.equals(Expr.less_than(Expr.literal(1), Expr.literal(2)), e)",
         "worked True"),
        # right-deep calls of a Python function
        ("e = Expr.literal(0)\nfor _ in range(N): e = Expr.call('inc', e)", f"worked {TREE}"),
        # a vector nesting that ends in an unbound read: the fatal error unwinds from the bottom
        ("e = Expr.ident('unbound')\nfor _ in range(N): e = Expr.vector([Expr.literal(1), e])",
         'raised PanicException: Value cannot be found: S("unbound")'),
        # a greater-than tower whose innermost operand is a string: fatal at the bottom
        ("e = Expr.literal('s')\nfor _ in range(N): e = Expr.greater_than(Expr.literal(1), Expr.not_(Expr.not_(e)))",
         "raised PanicException: The not expression must be used on a boolean value"),
    ],
    ids=["equals", "calls", "vector-unbound", "fatal-at-bottom"],
)
def test_expressions_thousands_deep(shape, outcome):
    out = run_child(
        f"""
        N = {TREE}
        {shape.replace(chr(10), chr(10) + " " * 8)}
        program = [Statement.fn("inc", lambda v: v + 1), Statement.let("r", e)]
        vm = Vrel()
        probe("run", lambda: vm.run(program) or vm.get("r"))
        probe("run-again", lambda: vm.run(program) or vm.get("r"))  # a kept statement, run again
        probe("small-stack-run", lambda: small_stack(lambda: vm.run(program) or vm.get("r")))
        probe("wrapped", lambda: Statement.if_(Expr.literal(True), program, program) and "built")
        del e, program
        probe("machine-usable", lambda: vm.run([Statement.let("ok", Expr.literal(1))]) or vm.get("ok"))
        print("done")
        """,
        outcome,
    )
    assert out["run"] == outcome and out["run-again"] == outcome
    assert out["small-stack-run"] in (outcome, f"raised PanicException: {NESTING}")
    assert out["wrapped"] == "worked built" and out["machine-usable"] == "worked 1"


def test_blocks_thousands_deep():
    out = run_child(
        f"""
        N = {BLOCKS}
        taken = [Statement.let("inner", Expr.literal("deep"))]
        failing = [Statement.let("before", Expr.literal(1)),
                   Statement.let("inner", Expr.binary_op(Expr.literal(1), "/", Expr.literal(0)))]
        for i in range(N):
            cond = Expr.less_than(Expr.literal(i), Expr.literal(N))
            taken = [Statement.let(i, Expr.literal(i)), Statement.if_(cond, taken, [])]
            failing = [Statement.if_(Expr.not_(cond), [], failing)]
        vm = Vrel()
        probe("taken", lambda: vm.run(taken) or (vm.get("inner"), vm.get(N - 1)))
        probe("failing", lambda: vm.run(failing))
        probe("kept", lambda: vm.get("before"))
        probe("small-stack-taken", lambda: small_stack(lambda: vm.run(taken) or vm.get("inner")))
        probe("small-stack-failing", lambda: small_stack(lambda: vm.run(failing)))
        # The last reference to the whole chain of shared blocks goes on the small stack.
        held = [taken]
        del taken
        probe("small-stack-release", lambda: small_stack(lambda: held.clear()))
        del failing
        print("done")
        """,
        "raised PanicException: attempt to divide by zero",
    )
    assert out["taken"] == f"worked ('deep', {BLOCKS - 1})"
    assert out["failing"] == "raised PanicException: attempt to divide by zero"
    assert out["kept"] == "worked 1"
    assert out["small-stack-failing"] in (out["failing"], f"raised PanicException: {NESTING}")
    assert out["small-stack-release"] == "worked None"


KEPT_LET_NEAR_THE_STACK_END = """
import threading
from vrelpy import Expr, Statement, Vrel
vm = Vrel()

def outcome(program):
    try:
        vm.run(program)
        return f"worked {vm.get('r')}"
    except BaseException as exc:
        return f"raised {type(exc).__name__}: {str(exc).splitlines()[0]}"

rows = []

def descend(level):
    # Each level takes a little more of the thread's stack (a nested exec); at each, a fresh
    # let 60 levels deep runs three times: first as a tree, then from its kept compact form.
    try:
        e = Expr.literal(1)
        for _ in range(60):
            e = Expr.binary_op(Expr.literal(1), "+", e)
        program = [Statement.let("r", e)]
    except BaseException:
        return
    rows.append((level, outcome(program), outcome(program), outcome(program)))
    if sum(r[1] != "worked 61" for r in rows) >= 4:
        return
    exec("descend(level + 1)", {"descend": descend, "level": level})

threading.stack_size(256 * 1024)
t = threading.Thread(target=lambda: descend(0))
t.start()
t.join()
print(sum(r[1] == "worked 61" for r in rows), sum(r[1] != "worked 61" for r in rows),
      [r for r in rows if not r[1] == r[2] == r[3]][:3])
"""


@pytest.mark.skipif(INSTRUMENTED, reason="the compact form's depth check is calibrated on the "
                    "evaluator's frames of ordinary builds; instrumented frames are larger")
def test_a_kept_deep_let_runs_again_as_it_ran_with_little_stack_left():
    # The compact form is used only where the stack has room for the tree walk it replaces:
    # near the end of the stack, the second and third runs fail or succeed exactly as the first.
    proc = run_python(KEPT_LET_NEAR_THE_STACK_END, timeout=300)
    assert_clean_exit(proc)
    worked, failed, inconsistent = proc.stdout.split(" ", 2)
    assert int(worked) > 0 and int(failed) > 0  # the edge of the stack was crossed
    assert inconsistent.strip() == "[]"
