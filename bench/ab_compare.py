"""Two (or more) builds of vrelpy side by side on compare.py's vrelpy workloads.

    python3.13 bench/ab_compare.py before=/other/.venv/bin/python after=.venv/bin/python

Each round runs every build once, in a child process of its own, in alternating order (the
first build leads in odd rounds, the last in even ones), so that load changes on a shared
machine touch the builds alike. A child checks each case as compare.py does, warms it up and
reports the median CPU time (time.process_time) per operation of its samples; the table shows,
per workload, the median over the rounds and each build's ratio to the first build.

Only the workloads every build can run are timed (W1-W5 and W7; the rule sets and the text
form are newer than some builds one may want to compare against).
"""
from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent


def _cases() -> dict:
    import workloads as w

    ints, strs = w.w4_ints(w.W4_ELEMS), w.w4_strs(w.W4_ELEMS)
    return {
        "W1 1,000 bindings": lambda: w.vrel_w1(),
        "W2 200-node expr": lambda: w.vrel_w2(w.w2_tree(), w.w2_inputs()),
        "W3 Python call": lambda: w.vrel_w3(),
        "W4 read ints": lambda: w.vrel_w4_read(ints),
        "W4 read strs": lambda: w.vrel_w4_read(strs),
        "W4 pass ints": lambda: w.vrel_w4_pass(ints),
        "W5 chain": lambda: w.vrel_w5_chain(),
        "W5 leaves": lambda: w.vrel_w5_leaves(),
        "W7 rules": lambda: w.vrel_w7(w.w7_rules(), w.w7_records()),
    }


def child(samples: int, only: list[str]) -> None:
    sys.path.insert(0, str(HERE))
    results = {}
    for name, make in _cases().items():
        if only and not any(o in name for o in only):
            continue
        case = make()
        case.check()
        case.fn()
        t0 = time.process_time()
        case.fn()
        call_s = max(time.process_time() - t0, 1e-7)
        calls = max(1, min(1000, int(0.02 / call_s)))
        per_op = []
        for _ in range(samples):
            t0 = time.process_time()
            for _ in range(calls):
                case.fn()
            per_op.append((time.process_time() - t0) / (calls * case.ops_per_call))
        results[name] = statistics.median(per_op)
    print(json.dumps(results))


def fmt(s: float) -> str:
    for unit, scale in (("s", 1), ("ms", 1e-3), ("µs", 1e-6), ("ns", 1e-9)):
        if s >= scale:
            return f"{s / scale:.3g} {unit}"
    return f"{s:.3g} s"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("builds", nargs="*", help="NAME=PYTHON, the first is the baseline")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--samples", type=int, default=9)
    parser.add_argument("--only", action="append", default=[])
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.samples, args.only)
        return
    builds = [b.split("=", 1) for b in args.builds]
    if len(builds) < 2:
        parser.error("give at least two builds as NAME=PYTHON")
    figures: dict[str, dict[str, list[float]]] = {name: {} for name, _ in builds}
    for r in range(args.rounds):
        order = builds if r % 2 == 0 else builds[::-1]
        for name, python in order:
            cmd = [python, __file__, "--child", "--samples", str(args.samples)]
            for o in args.only:
                cmd += ["--only", o]
            out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
            for workload, t in json.loads(out).items():
                figures[name].setdefault(workload, []).append(t)
        print(f"round {r + 1}/{args.rounds} done", file=sys.stderr)
    base = builds[0][0]
    header = ["workload"] + [n for n, _ in builds] + [f"{n}/{base}" for n, _ in builds[1:]]
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for workload in figures[base]:
        meds = [statistics.median(figures[n][workload]) for n, _ in builds]
        ratios = [f"{m / meds[0]:.3f}" for m in meds[1:]]
        print("| " + " | ".join([workload] + [fmt(m) for m in meds] + ratios) + " |")


if __name__ == "__main__":
    main()
