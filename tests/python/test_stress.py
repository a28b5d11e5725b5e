"""Several Python threads on one machine while language functions give up the interpreter lock.

VRELPY_TESTS_UNDER_SANITIZER=1 shortens the loops (the sanitizer run sets it).
"""

import os
import sys
import threading
import time

import pytest

from support import assert_clean_exit, is_panic, run_python
from vrelpy import Expr, Statement, Vrel

ROUNDS = 60 if os.environ.get("VRELPY_TESTS_UNDER_SANITIZER") else 300
THREADS = 4


@pytest.fixture(autouse=True)
def frequent_switches():
    """Let the interpreter switch threads as often as it can."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def run_threads(target, count=THREADS):
    errors = []

    def guarded(k):
        try:
            target(k)
        except BaseException as exc:  # noqa: BLE001 - a fatal error is a BaseException
            errors.append(exc)

    threads = [threading.Thread(target=guarded, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=600)  # a hang guard only: a deadlock fails the test instead of the run
    assert not any(t.is_alive() for t in threads), "threads deadlocked"
    assert errors == [], errors


def test_threads_run_get_and_repr_on_one_machine_while_functions_release_the_lock():
    vm = Vrel()

    def make_step():
        def step(x):
            # x is [thread, counter]: re-enter the machine, give the lock away, count up
            k, n = x
            vm.run([Statement.let(f"seen{k}", Expr.literal(n))])
            time.sleep(0)
            if n % 7 == 0:
                time.sleep(0.0001)
            assert vm.get(f"seen{k}") == n
            return n + 1

        return step

    step, other_step = make_step(), make_step()
    base = sys.getrefcount(step), sys.getrefcount(other_step)
    vm.run([Statement.fn("step", step), Statement.let("last", Expr.literal([0, 0]))])
    rebind = [[Statement.fn("step", other_step)], [Statement.fn("step", step)]]
    fails = [Statement.let("boom", Expr.binary_op(Expr.literal(1), "/", Expr.literal(0)))]

    def worker(k):
        mine = f"t{k}"
        vm.run([Statement.let(mine, Expr.literal(0))])
        advance = [
            Statement.let(mine, Expr.call("step", Expr.vector([Expr.literal(k), Expr.ident(mine)]))),
            Statement.let("last", Expr.vector([Expr.literal(k), Expr.ident(mine)])),
        ]
        for i in range(ROUNDS):
            vm.run(advance)
            assert vm.get(mine) == i + 1  # only this thread binds it
            last = vm.get("last")
            assert len(last) == 2 and 0 <= last[0] < THREADS and 1 <= last[1] <= ROUNDS
            text = repr(vm)
            assert text.startswith("Machine { vars: {") and text.endswith("} }")
            if i % 10 == 0:
                vm.run(rebind[i // 10 % 2])  # the callee is replaced while others call it
            if i % 25 == 0:
                try:
                    vm.run(fails)
                except BaseException as exc:  # noqa: BLE001
                    assert is_panic(exc) and str(exc) == "attempt to divide by zero"
                else:
                    raise AssertionError("division by zero did not fail")

    run_threads(worker)
    assert [vm.get(f"t{k}") for k in range(THREADS)] == [ROUNDS] * THREADS
    assert [vm.get(f"seen{k}") for k in range(THREADS)] == [ROUNDS - 1] * THREADS
    del vm, rebind
    assert (sys.getrefcount(step), sys.getrefcount(other_step)) == base


def test_shared_statements_run_on_many_machines_from_many_threads():
    """Statement and Expr objects are immutable: threads may copy them all at once."""

    def double(x):
        time.sleep(0)
        return [x[0] * 2, x[1]]

    base = sys.getrefcount(double)
    program = [
        Statement.fn("double", double),
        Statement.if_(
            Expr.less_than(Expr.ident("n"), Expr.literal(1 << 20)),
            [Statement.let("v", Expr.call("double", Expr.vector([Expr.ident("n"), Expr.literal("tag")])))],
            [Statement.let("v", Expr.literal([-1, "big"]))],
        ),
    ]
    machines = [Vrel() for _ in range(THREADS)]
    results = [[] for _ in range(THREADS)]

    def worker(k):
        for i in range(ROUNDS):
            vm = machines[(k + i) % THREADS]
            local = Vrel()
            for target in (vm, local):
                target.run([Statement.let("n", Expr.literal(i))] + program)
            results[k].append(local.get("v"))

    run_threads(worker)
    for k in range(THREADS):
        assert results[k] == [[2 * i, "tag"] for i in range(ROUNDS)]
    del machines, program
    assert sys.getrefcount(double) == base


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_fork_while_another_thread_converts_large_lists():
    """A child forked in the middle of another thread's large conversions can convert too.

    Large conversions share a process-wide lock; a fork that copied it held would hang the
    child's first large conversion (the timeout turns a hang into a failure).
    """
    proc = run_python(
        """
        import os, threading, warnings
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
        from vrelpy import Expr, Statement, Vrel

        big = list(range(200_000))
        stop = threading.Event()

        def churn():
            m = Vrel()
            while not stop.is_set():
                m.run([Statement.let("v", Expr.literal(big))])

        t = threading.Thread(target=churn)
        t.start()
        try:
            for _ in range(40):
                pid = os.fork()
                if pid == 0:
                    m = Vrel()
                    m.run([Statement.let("v", Expr.literal(big))])
                    os._exit(0 if m.get("v")[-1] == 199_999 else 3)
                _, status = os.waitpid(pid, 0)
                assert os.waitstatus_to_exitcode(status) == 0, status
        finally:
            stop.set()
            t.join()
        print("ok")
        """,
        timeout=120,
    )
    assert_clean_exit(proc)
    assert proc.stdout.strip() == "ok"
