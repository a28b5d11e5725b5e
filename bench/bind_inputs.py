"""Feeding inputs to a machine: update of 8 numbers against building and running 8 lets.

    .venv/bin/python bench/bind_inputs.py [--repeat N]

Prints the median time per binding of 8 variables, over N samples of 20,000 bindings
each, for: vm.update(dict), vm[ident] = value eight times, and building 8
Statement.let(ident, Expr.literal(value)) and running them (what feeding a record cost
before update existed), plus running 8 prebuilt lets for reference.
"""

import argparse
import statistics
import time

from vrelpy import Expr, Statement, Vrel

NAMES = [f"x{i}" for i in range(8)]
LOOPS = 20_000


def sample(step):
    started = time.perf_counter()
    for i in range(LOOPS):
        step(i)
    return (time.perf_counter() - started) / LOOPS


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=15)
    repeat = parser.parse_args().repeat
    vm = Vrel()
    records = [{name: i * 8 + k + 0.5 * (k % 2) for k, name in enumerate(NAMES)} for i in range(64)]
    prebuilt = [Statement.let(name, Expr.literal(value)) for name, value in records[0].items()]

    def update(i):
        vm.update(records[i & 63])

    def setitem(i):
        for name, value in records[i & 63].items():
            vm[name] = value

    def build_and_run_lets(i):
        vm.run([Statement.let(name, Expr.literal(value)) for name, value in records[i & 63].items()])

    def run_prebuilt_lets(i):
        vm.run(prebuilt)

    cases = {
        "update(dict of 8)": update,
        "vm[ident] = value x 8": setitem,
        "build and run 8 lets": build_and_run_lets,
        "run 8 prebuilt lets": run_prebuilt_lets,
    }
    for step in cases.values():
        sample(step)  # warm-up
    times = {label: [] for label in cases}
    for _ in range(repeat):
        for label, step in cases.items():  # round-robin, so load changes touch all alike
            times[label].append(sample(step))
    base = statistics.median(times["update(dict of 8)"])
    for label, samples in times.items():
        median = statistics.median(samples)
        print(f"{label:24} {median * 1e9:8.0f} ns  ({median / base:.2f}x update)")


if __name__ == "__main__":
    main()
