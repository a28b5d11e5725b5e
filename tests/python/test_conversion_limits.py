"""Converting what a run built counts against the machine's limits, and long conversions in
either direction handle signals. N statements v = [v, v] cost 4N steps and 128N bytes but
describe 2^N leaves: converting v is where the work is. Each case runs in a child
interpreter with a capped address space, so that a conversion that runs away fails one test.
"""

import os
import textwrap

import pytest

from support import SANITIZED, assert_clean_exit, run_python_capped

SLACK = 20 if SANITIZED else 1

PRELUDE = f"""
import signal, sys, time
sys.path.insert(0, {os.path.dirname(__file__)!r})
from support import is_panic
from vrelpy import Expr, Statement, Vrel

def doubling(n, name="v"):
    v = Expr.ident(name)
    return [Statement.let(name, Expr.literal(1))] + [Statement.let(name, Expr.vector([v, v]))] * n

def nested_tuples(n):
    t = 1
    for _ in range(n):
        t = (t, t)
    return t

def outcome(call):
    try:
        call()
        return "converted"
    except BaseException as exc:
        return str(exc) if is_panic(exc) else type(exc).__name__
"""


def run_case(code, timeout=120):
    proc = run_python_capped(PRELUDE + textwrap.dedent(code), timeout=timeout)
    assert_clean_exit(proc)
    return proc


def test_passing_a_doubled_value_to_a_function_counts_against_the_run():
    run_case("""
        vm = Vrel()
        vm["f"] = lambda x: 0
        call = [Statement.let("r", Expr.call("f", Expr.ident("v")))]
        vm.set_limits(seconds=5, memory=10_000_000)
        assert outcome(lambda: vm.run(doubling(22) + call)) == "Memory limit exceeded"
        # Time alone stops it too (2^26 leaves would take tens of seconds and gigabytes).
        vm.set_limits(seconds=0.3)
        start = time.monotonic()
        assert outcome(lambda: vm.run(doubling(26) + call)) == "Time limit exceeded"
        assert time.monotonic() - start < 0.3 + 0.5 * %d
        # Within the limits, the same call converts as always.
        vm.set_limits(seconds=5, memory=10_000_000)
        vm["g"] = lambda x: len(x)
        vm.run(doubling(10) + [Statement.let("r", Expr.call("g", Expr.ident("v")))])
        assert vm["r"] == 2
    """ % SLACK)


def test_results_of_functions_count_against_the_run():
    run_case("""
        vm = Vrel()
        vm["f"] = lambda x: nested_tuples(22)
        vm.set_limits(memory=10_000_000)
        assert outcome(lambda: vm.run([Statement.let("r", Expr.call("f", Expr.literal(0)))])) == (
            "Memory limit exceeded")
    """)


def test_reading_back_after_a_run_counts_against_the_machines_memory_limit():
    run_case("""
        vm = Vrel()
        vm.set_limits(steps=1000, memory=100_000)
        vm.run(doubling(22) + doubling(3, "small"))   # within: 100 steps, 3 KB
        for read in (lambda: vm["v"], lambda: vm.get("v"), lambda: repr(vm)):
            assert outcome(read) == "Memory limit exceeded"
        assert vm["small"] == [[[1, 1], [1, 1]], [[1, 1], [1, 1]]]
        assert sorted(vm) == ["small", "v"] and sorted(vm.keys()) == ["small", "v"]
        # Every read gets the whole budget again, and without limits nothing is counted.
        assert vm.get("small") == vm["small"]
        vm.set_limits()
        vm.run(doubling(12, "w"))
        assert len(repr(vm)) > 2**12 and vm["w"] == vm.get("w")
    """)


SIGNAL_CASES = {
    "get": ("vm.run(doubling(26))", "vm.get('v')"),
    "item": ("vm.run(doubling(26))", "vm['v']"),
    "repr": ("vm.run(doubling(26))", "repr(vm)"),
    "argument": ("vm.run(doubling(26)); vm['f'] = lambda x: 0",
                 "vm.run([Statement.let('r', Expr.call('f', Expr.ident('v')))])"),
    "result": ("t = nested_tuples(26); vm['f'] = lambda x: t",
               "vm.run([Statement.let('r', Expr.call('f', Expr.literal(0)))])"),
    "literal": ("t = nested_tuples(26)", "Expr.literal(t)"),
    "binding": ("t = nested_tuples(26)", "vm.update(t=t)"),
    "flat-literal": ("t = [None] * 60_000_000", "Expr.literal(t)"),
}


@pytest.mark.parametrize("name", sorted(SIGNAL_CASES))
def test_a_signal_stops_a_long_conversion(name):
    # No limits set: only the signal stops these conversions, which would otherwise take
    # seconds to minutes and more memory than the child may have.
    setup, convert = SIGNAL_CASES[name]
    run_case(f"""
        class Expired(Exception):
            pass

        seen = []

        def expire(signum, frame):
            seen.append(time.monotonic())   # when the conversion looked: freeing comes after
            raise Expired()

        signal.signal(signal.SIGALRM, expire)
        vm = Vrel()
        {setup}
        fired = time.monotonic() + 0.1
        signal.setitimer(signal.ITIMER_REAL, 0.1)
        try:
            {convert}
        except Expired:
            latency = seen[0] - fired
        else:
            raise AssertionError("the conversion was not interrupted")
        assert latency < 0.1 * {SLACK}, latency
        vm.run([Statement.let("after", Expr.literal(1))])
        assert vm["after"] == 1
    """, timeout=300)
