#!/usr/bin/env python3.13
"""What a failing rule costs: a 20-node kept rule that fails at its last node, against the
same rule succeeding.

    .venv/bin/python bench/error_cost.py
    .venv/bin/python bench/error_cost.py --rounds 15

The rule is `r = (x + 1 + ... + 1) > limit`: 21 nodes, run once before timing so that it runs
in its compact form. `limit` is the literal 0 (succeeds) or "s" (fails at the root, the last
node evaluated: "Both left-hand and right-hand side values must be a number"). A failing run
is timed inside `try`/`except PanicException`, the succeeding one inside the same `try`.
Configurations, alternated round after round so that a change of load on a shared machine
touches all alike (timed by the process's CPU time): the succeeding run; the failing run with the report switched off
(set_error_report(False)); the failing run with the report on, standard error sent to
/dev/null. Reads the place of each failure in a fourth configuration (attributes and notes
made on first read). Prints, per configuration, the median over rounds of the best of
repeated timings, in microseconds per run, and the extra cost of failing.

A build without set_error_report (an older one) is timed with the report on only.
"""

from __future__ import annotations

import argparse
import os
import statistics
import time
import timeit

import vrelpy
from vrelpy import Expr, Statement, Vrel

PanicException = getattr(vrelpy, "PanicException", BaseException)


def rule(limit: object) -> list[Statement]:
    e = Expr.ident("x")
    for _ in range(9):
        e = Expr.binary_op(e, "+", Expr.literal(1))
    return [Statement.let("r", Expr.greater_than(e, Expr.literal(limit)))]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--number", type=int, default=20000, help="runs per timing")
    args = parser.parse_args()

    ok, bad = rule(0), rule("s")
    vm = Vrel()
    vm["x"] = 1
    switch = getattr(vrelpy, "set_error_report", None)

    def succeed() -> None:
        try:
            vm.run(ok)
        except PanicException:
            pass

    def fail() -> None:
        try:
            vm.run(bad)
        except PanicException:
            pass

    def fail_and_read() -> None:
        try:
            vm.run(bad)
        except PanicException as error:
            (error.statement, error.node, error.variable, error.__notes__)  # type: ignore[attr-defined]

    def quiet(body):  # type: ignore[no-untyped-def]
        def run() -> None:
            previous = switch(False)
            try:
                body()
            finally:
                switch(previous)
        return run

    configurations = {"succeeds": succeed, "fails, report on (to /dev/null)": fail}
    if switch is not None:
        configurations["fails, report off"] = fail
        configurations["fails, report off, place read"] = fail_and_read
    devnull = os.open(os.devnull, os.O_WRONLY)
    saved = os.dup(2)
    os.dup2(devnull, 2)
    try:
        for body in (succeed, fail, fail):  # twice: the second run makes the compact form
            body()
        results: dict[str, list[float]] = {name: [] for name in configurations}
        for _ in range(args.rounds):
            for name, body in configurations.items():
                off = switch is not None and "report off" in name
                if off:
                    switch(False)
                try:
                    best = min(timeit.repeat(body, number=args.number, repeat=3, timer=time.process_time))
                finally:
                    if off:
                        switch(True)
                results[name].append(best / args.number * 1e6)
    finally:
        os.dup2(saved, 2)
    base = statistics.median(results["succeeds"])
    print(f"vrelpy {vrelpy.__file__}")
    for name, samples in results.items():
        median = statistics.median(samples)
        extra = "" if name == "succeeds" else f"  (+{median - base:.2f} µs)"
        print(f"{name:34} {median:7.2f} µs  [{min(samples):.2f}-{max(samples):.2f}]{extra}")


if __name__ == "__main__":
    main()
