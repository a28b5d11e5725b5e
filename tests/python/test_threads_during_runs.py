"""A long run lets the host's other threads in: they get the interpreter lock at least every
switch interval while it evaluates, so they keep working and Ctrl-C reaches the main thread."""

import threading
import time

from support import assert_clean_exit, run_python
from vrelpy import Expr, Statement, Vrel

HANG = """
def hang():
    e = Expr.literal(1)
    for _ in range(40):
        e = Expr.binary_op(e, "+", e)
    return [Statement.let("x", e)]
"""
exec(HANG)


def test_another_thread_keeps_counting_during_a_two_second_run():
    stamps, stop = [], threading.Event()

    def count():
        while not stop.is_set():
            stamps.append(time.monotonic())
            time.sleep(0.001)

    counter = threading.Thread(target=count)
    counter.start()
    vm = Vrel()
    vm.set_limits(seconds=2)
    start = time.monotonic()
    try:
        vm.run(hang())  # noqa: F821 - defined by exec(HANG)
    except BaseException as exc:  # noqa: BLE001 - the fatal error is a BaseException
        assert str(exc) == "Time limit exceeded"
    end = time.monotonic()
    stop.set()
    counter.join()
    # The counter ran in most tenths of a second of the run, not only before and after it.
    tenths = {int((s - start) * 10) for s in stamps if start < s < end}
    assert end - start >= 2
    assert len(tenths) >= 10, sorted(tenths)


def test_a_run_shared_with_other_threads_on_the_same_machine():
    # While one thread's run evaluates, others read, write, limit and run on the same Vrel.
    vm = Vrel()
    vm.update({"n": 0})
    stop, errors = threading.Event(), []

    def meddle(i):
        try:
            k = 0
            while not stop.is_set():
                k += 1
                vm[f"t{i}"] = k
                assert vm[f"t{i}"] == k
                vm.set_limits(seconds=30)
                vm.run([Statement.let(f"r{i}", Expr.binary_op(Expr.ident(f"t{i}"), "+", Expr.literal(1)))])
                assert vm[f"r{i}"] == k + 1
        except BaseException as exc:  # noqa: BLE001
            errors.append(exc)

    threads = [threading.Thread(target=meddle, args=(i,)) for i in range(3)]
    for t in threads:
        t.start()
    vm.set_limits(seconds=1)
    try:
        vm.run(hang())  # noqa: F821
    except BaseException as exc:  # noqa: BLE001
        assert str(exc) == "Time limit exceeded"
    stop.set()
    for t in threads:
        t.join()
    assert errors == []
    assert all(vm[f"t{i}"] > 1 for i in range(3))


SIGINT_WHILE_A_WORKER_RUNS = HANG + """
import os, signal, threading, time
from vrelpy import Vrel
started = threading.Event()

def work():
    vm = Vrel()
    vm.set_limits(seconds=3)
    started.set()
    try:
        vm.run(hang())
    except BaseException:
        pass

worker = threading.Thread(target=work)
worker.start()
started.wait()
sent = []

def send():
    time.sleep(0.3)  # the main thread is asleep by then, the worker's run under way
    sent.append(time.monotonic())
    os.kill(os.getpid(), signal.SIGINT)

try:
    threading.Thread(target=send).start()
    time.sleep(10)
    print("no KeyboardInterrupt")
except KeyboardInterrupt:
    print(f"{time.monotonic() - sent[0]:.4f}", worker.is_alive())
worker.join()
"""


def test_sigint_reaches_the_main_thread_while_a_worker_runs():
    proc = run_python("from vrelpy import Expr, Statement\n" + SIGINT_WHILE_A_WORKER_RUNS, timeout=60)
    assert_clean_exit(proc)
    delay, alive = proc.stdout.split()[:2]
    assert alive == "True"  # the worker's run was still under way
    assert float(delay) < 0.1
