#!/usr/bin/env python3.13
"""What the run limits cost: vrelpy's W1-W3 of compare.py with no limit set, and with all three
limits set so generously that none is reached.

    .venv/bin/python bench/limits_cost.py
    .venv/bin/python bench/limits_cost.py --baseline before=/path/to/other/venv/bin/python
    .venv/bin/python bench/limits_cost.py --instructions --baseline before=...   # valgrind

Runs in the interpreter it is started with (no venv of its own, no peers). Each configuration
is timed in child processes (one per interpreter and round: this build's two configurations
share theirs, their samples interleaved), alternated round after round, so that a change of
load on a shared machine touches every configuration alike; samples are timed
by the process's CPU time unless --clock wall is given. Each child takes the median of its
samples; the report gives, per workload and configuration, the median and the
range of the children's medians. Each --baseline NAME=PYTHON adds the configuration "no limit"
in another interpreter, whose vrelpy is a build to compare against (it need not have limits);
the first one given is the reference of the ratios.

With --instructions, each configuration is instead run once under valgrind's cachegrind, which
counts the instructions executed per operation (with a fixed hash seed): next to no noise,
at the price of minutes, but blind to what an instruction costs (a clock read, a cache miss).

The workloads are compare.py's own (workloads.vrel_w1, vrel_w2, vrel_w3, checked before they are
timed, and timed as timing.py prepares them);
the limited variant gives each machine the limits as it is created.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))

# Far beyond what any workload needs: the cost of checking them, not of reaching them.
GENEROUS = {"steps": 10**12, "memory": 1 << 40, "seconds": 3600.0}
WORKLOADS = ["W1 statements", "W2 expression", "W3 host calls"]


def cpu_sample(case: object) -> float:
    """CPU seconds per operation of one sample: on a shared machine, time spent waiting for a
    core is not the workload's."""
    fn, calls = case.fn, case.calls_per_sample  # type: ignore[attr-defined]
    t0 = time.process_time()
    for _ in range(calls):
        fn()
    return (time.process_time() - t0) / (case.ops_per_call * calls)  # type: ignore[attr-defined]


def build_cases(limited: bool, w2_rows: int | None = None) -> dict[str, object]:
    """compare.py's vrelpy cases of W1-W3, their machines limited or not."""
    import vrelpy
    import workloads

    real = vrelpy.Vrel

    def limited_machine() -> object:
        machine = real()
        machine.set_limits(**GENEROUS)
        return machine

    # The cases import Vrel when they are built, so they pick up the factory.
    vrelpy.Vrel = limited_machine if limited else real  # type: ignore[misc]
    try:
        tree = workloads.w2_tree()
        rows = workloads.w2_inputs()[:w2_rows]
        return {
            "W1 statements": workloads.vrel_w1(),
            "W2 expression": workloads.vrel_w2(tree, rows),
            "W3 host calls": workloads.vrel_w3(),
        }
    finally:
        vrelpy.Vrel = real  # type: ignore[misc]


def child(modes: list[str], repeat: int, clock: str) -> dict[str, dict[str, float]]:
    """Median seconds per operation of each workload in this process, for each mode ("none",
    "limits"), their samples interleaved."""
    import timing

    prepared = {
        (mode, name): timing.prepare_case(case, 1.0)
        for mode in modes
        for name, case in build_cases(mode == "limits").items()
    }
    sample = cpu_sample if clock == "cpu" else timing.time_sample
    samples: dict[tuple[str, str], list[float]] = {key: [] for key in prepared}
    for _ in range(repeat):
        for key, case in prepared.items():
            samples[key].append(sample(case))
    return {mode: {name: statistics.median(samples[mode, name]) for name in WORKLOADS}
            for mode in modes}


COUNT_CALLS = {"W1 statements": 20, "W2 expression": 2, "W3 host calls": 5}
COUNT_W2_ROWS = 1000


def count_child(limited: bool, workload: str) -> None:
    """Builds and checks every case, then calls `workload` COUNT_CALLS times (none for "")."""
    cases = build_cases(limited, COUNT_W2_ROWS)
    for case in cases.values():
        case.check()  # type: ignore[attr-defined]
    for _ in range(COUNT_CALLS.get(workload, 0)):
        cases[workload].fn()  # type: ignore[attr-defined]


def instructions(python: str, mode: str, workload: str) -> int:
    """Instructions that a count_child executes, as valgrind's cachegrind counts them."""
    env = dict(os.environ, PYTHONHASHSEED="0")  # the same dicts, hence the same work, every run
    proc = subprocess.run(
        ["valgrind", "--tool=cachegrind", "--cache-sim=no", "--cachegrind-out-file=/dev/null",
         python, str(Path(__file__).resolve()), "--count-child", mode, workload],
        capture_output=True, text=True, check=True, env=env)
    for line in proc.stderr.splitlines():
        if "I" in line and "refs:" in line:
            return int(line.split("refs:")[1].strip().replace(",", ""))
    raise RuntimeError("no instruction count in valgrind's output:\n" + proc.stderr[-2000:])


def count_instructions(configs: list[tuple[str, str, str]]) -> None:
    """Instructions per operation of W1-W3 in every configuration: the count of a process that
    runs the workload, less that of one that only builds and checks the cases. Deterministic,
    so one run per configuration is enough."""
    ops = {"W1 statements": 1, "W2 expression": COUNT_W2_ROWS, "W3 host calls": 10_000}
    print(f"{'workload':<16} {'configuration':<22} {'instructions/op':>16}")
    table: dict[str, dict[str, float]] = {}
    for name, python, mode in configs:
        base = instructions(python, mode, "")
        table[name] = {w: (instructions(python, mode, w) - base) / (COUNT_CALLS[w] * ops[w])
                       for w in WORKLOADS}
        print(f"counted {name}", file=sys.stderr, flush=True)
    reference = configs[0][0]
    for w in WORKLOADS:
        for name, _, _ in configs:
            ratio = table[name][w] / table[reference][w] - 1
            shown = "-" if name == reference else f"{ratio * 100:+.2f}%"
            print(f"{w:<16} {name:<22} {table[name][w]:>16,.0f} {shown:>10}")
        print()


def fmt(s: float) -> str:
    return f"{s * 1e6:.2f} us" if s >= 1e-6 else f"{s * 1e9:.0f} ns"


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--baseline", metavar="NAME=PYTHON", action="append", default=[],
                   help="an interpreter whose vrelpy is a build to compare with (no limits); "
                        "repeatable")
    p.add_argument("--rounds", type=int, default=5, help="child processes per configuration")
    p.add_argument("--repeat", type=int, default=7, help="timed samples per workload in a child")
    p.add_argument("--clock", choices=["cpu", "wall"], default="cpu",
                   help="time samples by the process's CPU time (default) or by the wall clock")
    p.add_argument("--instructions", action="store_true",
                   help="count instructions per operation under valgrind instead of timing")
    p.add_argument("--child", nargs="+", choices=["none", "limits"], help=argparse.SUPPRESS)
    p.add_argument("--count-child", nargs=2, metavar=("MODE", "WORKLOAD"), help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.count_child:
        count_child(args.count_child[0] == "limits", args.count_child[1])
        return 0
    if args.child:
        print(json.dumps(child(args.child, args.repeat, args.clock)))
        return 0

    me = str(Path(__file__).resolve())
    configs = [("this build, no limit", sys.executable, "none"),
               ("this build, limits", sys.executable, "limits")]
    for i, spec in enumerate(args.baseline):
        name, _, python = spec.rpartition("=")
        configs.insert(i, (f"{name or 'baseline'}, no limit", python, "none"))
    if args.instructions:
        count_instructions(configs)
        return 0
    # One child per interpreter and round; this build's two modes share theirs, so that the
    # cost of the limits is not blurred by differences between processes.
    groups: dict[str, list[tuple[str, str]]] = {}
    for name, python, mode in configs:
        groups.setdefault(python, []).append((name, mode))
    medians: dict[str, list[dict[str, float]]] = {name: [] for name, _, _ in configs}
    for r in range(args.rounds):
        for python, members in groups.items():
            out = subprocess.run([python, me, "--child", *(mode for _, mode in members),
                                  "--repeat", str(args.repeat), "--clock", args.clock],
                                 capture_output=True, text=True, check=True).stdout
            result = json.loads(out.strip().splitlines()[-1])
            for name, mode in members:
                medians[name].append(result[mode])
        print(f"round {r + 1}/{args.rounds} done", file=sys.stderr, flush=True)

    reference = configs[0][0]
    unlimited = "this build, no limit"
    print(f"{'workload':<16} {'configuration':<22} {'median':>10} {'range of medians':>22} "
          f"{'vs ' + reference:>22} {'vs ' + unlimited:>26}")
    for w in WORKLOADS:
        mids = {name: statistics.median(m[w] for m in medians[name]) for name in medians}
        for name, _, _ in configs:
            values = [m[w] for m in medians[name]]
            rng = f"{fmt(min(values))} - {fmt(max(values))}"
            vs_ref = f"{(mids[name] / mids[reference] - 1) * 100:+.1f}%" if name != reference else "-"
            vs_unl = f"{(mids[name] / mids[unlimited] - 1) * 100:+.1f}%" if name.endswith("limits") else "-"
            print(f"{w:<16} {name:<22} {fmt(mids[name]):>10} {rng:>22} {vs_ref:>22} {vs_unl:>26}")
        print()
    return 0


if __name__ == "__main__":
    sys.exit(main())
