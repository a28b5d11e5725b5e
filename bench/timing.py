"""Timing of bench/compare.py: checks and warms up every case, sizes its samples, times the
systems of a workload round-robin and keeps the median time per operation."""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from dataclasses import dataclass, field

from workloads import SYSTEM_MODULE, Case, NotApplicable, Row, w2_inputs, w2_tree, workload_rows


@dataclass
class Result:
    workload: str
    system: str
    status: str  # "ok", "n/a", "unavailable", "failed"
    reason: str = ""
    median_s: float | None = None  # median seconds per operation
    samples_s: list[float] = field(default_factory=list)  # seconds per operation, per repetition
    ops_per_call: int = 0
    calls_per_sample: int = 1
    reference: bool = False
    ratio: float | None = None  # this system's time / vrelpy's time (> 1: vrelpy is faster)


def prepare_case(case: Case, budget_s: float) -> Case:
    """Checks the case and warms it up. A case that can shrink (W2, W7) is first probed on a few
    operations and cut down so that one call fits in `budget_s`."""
    if case.shrink is not None and case.ops_per_call > 50:
        probe = case.shrink(20)
        probe.check()
        t0 = time.perf_counter()
        probe.fn()
        per_op = (time.perf_counter() - t0) / probe.ops_per_call
        k = max(50, int(budget_s / per_op)) if per_op > 0 else case.ops_per_call
        if k < case.ops_per_call:
            case = case.shrink(k)
    t0 = time.perf_counter()
    case.check()  # also the first warm-up
    if time.perf_counter() - t0 < 0.5:
        t0 = time.perf_counter()
        case.fn()  # one more warm-up call for the fast ones, which also sizes the samples
        call_s = time.perf_counter() - t0
        # A sample of a fast case runs it several times, for at least MIN_SAMPLE_S.
        case.calls_per_sample = max(1, min(1000, int(MIN_SAMPLE_S / max(call_s, 1e-9))))
    return case


MIN_SAMPLE_S = 0.02


def time_sample(case: Case) -> float:
    """Seconds per operation of one sample (one or more calls)."""
    fn, calls = case.fn, case.calls_per_sample
    t0 = time.perf_counter()
    for _ in range(calls):
        fn()
    return (time.perf_counter() - t0) / (case.ops_per_call * calls)


def fmt_time(s: float | None) -> str:
    if s is None:
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if s >= scale:
            return f"{s / scale:.3g} {unit}"
    return f"{s / 1e-9:.3g} ns"


def run_all(args: argparse.Namespace, unavailable: dict[str, str]) -> list[Result]:
    """Prepares (checks, warms up) every system of a workload, then times the systems
    round-robin, one call each per repetition, so that a change of machine load during the run
    touches every system alike."""
    tree = w2_tree()
    inputs = w2_inputs()
    results: list[Result] = []
    groups: dict[str, list[Row]] = {}
    for row in workload_rows(tree, inputs, args.quick):
        if not args.only or any(o.lower() in row.workload.lower() for o in args.only):
            groups.setdefault(row.workload, []).append(row)
    for workload, rows in groups.items():
        started = time.perf_counter()
        prepared: list[tuple[Result, Case]] = []
        for row in rows:
            res = Result(row.workload, row.system, "ok", reference=row.reference)
            results.append(res)
            mod = SYSTEM_MODULE.get(row.system)
            if row.na:
                res.status, res.reason = "n/a", row.na
            elif mod and mod in unavailable:
                res.status, res.reason = "unavailable", unavailable[mod]
            else:
                try:
                    case = prepare_case(row.make(), args.budget)
                    res.ops_per_call, res.reason = case.ops_per_call, case.note
                    res.calls_per_sample = case.calls_per_sample
                    prepared.append((res, case))
                except NotApplicable as e:
                    res.status, res.reason = "n/a", str(e)
                except Exception as e:  # a broken peer must not end the run
                    res.status, res.reason = "failed", f"{type(e).__name__}: {e}"[:160]
        for _ in range(args.repeat):
            for res, case in prepared:
                res.samples_s.append(time_sample(case))
        for res, _ in prepared:
            res.median_s = statistics.median(res.samples_s)
        if args.verbose:
            print(f"  {workload:<16} ({time.perf_counter() - started:.1f} s)", file=sys.stderr, flush=True)
            for res in results[-len(rows):]:
                print(f"    {res.system:<14} {res.status:<11} {fmt_time(res.median_s):>10}",
                      file=sys.stderr, flush=True)
    base = {r.workload: r.median_s for r in results if r.system == "vrelpy" and r.median_s}
    for r in results:
        if r.median_s and r.workload in base:
            r.ratio = r.median_s / base[r.workload]
    return results
