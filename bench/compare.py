#!/usr/bin/env python3.13
"""Side-by-side benchmark of vrelpy against the evaluators a Python user would pick.

One command does everything:

    python3.13 bench/compare.py            # full run (about 5-10 minutes on 2 cores)
    python3.13 bench/compare.py --quick    # smaller budgets, fewer repetitions (< 2 minutes)

It creates bench/.venv (git-ignored), installs the peers from PyPI and vrelpy from this
repository into it (the build directory is /tmp/bench_build_<checkout>/<wheel tag>, one per
checkout and never the repository's own build/), then re-executes itself inside that venv. It
prints a table of the median time per operation of every workload on every system, with the
ratio to vrelpy, then the project's targets with met/missed, and writes the same figures as
JSON (default bench/results.json, git-ignored).

Systems: vrelpy; CPython's own exec/eval of precompiled code (the unsafe baseline); lupa
(Lua inside Python); simpleeval; asteval; cel-python (module celpy); common-expression-language
(module cel). A peer that fails to install or import is shown as "unavailable".

Every workload is written in each system's own idiom, compiled ahead where the system allows
it, and its result is checked against a plain Python computation before it is timed. A
workload that a system cannot express is shown as "n/a" with the reason.

The operations timed ("per op" in the table), W1 to W7, are described at the top of
bench/workloads.py.

Layout: this file parses the options and runs the steps; compare_env.py makes the venv and
installs the peers, workloads.py defines the workloads and each system's side of them (and
describes the operations), timing.py times them, core_store.py runs the C++ store benchmark
(W6), report.py prints the table and the targets and writes the JSON.
"""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path

from compare_env import BENCH_DIR, REPO, bootstrap, import_status, in_bench_venv
from core_store import run_w6
from report import evaluate_targets, print_report, write_json
from timing import run_all

DEFAULT_JSON = BENCH_DIR / "results.json"


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    p = argparse.ArgumentParser(
        description="Benchmark vrelpy against CPython exec/eval, lupa, simpleeval, asteval, "
                    "cel-python and common-expression-language.",
        epilog="Runs inside bench/.venv, which it creates and fills on first use.")
    p.add_argument("--quick", action="store_true",
                   help="fewer repetitions and a smaller time budget per call (< 2 minutes)")
    p.add_argument("--repeat", type=int, default=None,
                   help="timed repetitions per workload and system; the median is reported "
                        "(default 9, or 3 with --quick)")
    p.add_argument("--budget", type=float, default=None,
                   help="seconds one timed call may take before a W2 or W7 peer is given fewer "
                        "operations per call (default 1.0, or 0.25 with --quick)")
    p.add_argument("--json", type=Path, default=DEFAULT_JSON, metavar="PATH",
                   help=f"where to write the figures as JSON (default {DEFAULT_JSON.relative_to(REPO)})")
    p.add_argument("--only", action="append", metavar="TEXT",
                   help="run only the workloads whose name contains TEXT (repeatable), e.g. W2")
    p.add_argument("--no-w6", action="store_true", help="skip building and running the core benchmark")
    p.add_argument("--skip-install", action="store_true",
                   help="use bench/.venv as it is: install neither the peers nor vrelpy")
    p.add_argument("--no-venv", action="store_true",
                   help="run in the current interpreter (peers it lacks are unavailable)")
    p.add_argument("-v", "--verbose", action="store_true", help="progress on standard error")
    args = p.parse_args(argv)
    if args.repeat is None:
        args.repeat = 3 if args.quick else 9
    if args.budget is None:
        args.budget = 0.25 if args.quick else 1.0
    return args


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    if sys.version_info[:2] != (3, 13):
        print("warning: vrelpy targets CPython 3.13; running on " + sys.version.split()[0], file=sys.stderr)
    if not args.no_venv and not in_bench_venv():
        bootstrap(args, Path(__file__).resolve())  # does not return
    unavailable = import_status()
    load = os.getloadavg()[0]
    if load > 1.0:
        print(f"note: load average {load:.1f} on {os.cpu_count()} cores before the run; "
              "figures will be noisy", file=sys.stderr)
    import vrelpy  # noqa: F401 - fail early: without vrelpy there is nothing to compare
    results = run_all(args, unavailable)
    w6 = {"status": "unavailable", "reason": "skipped (--no-w6)"} if args.no_w6 else run_w6(args.verbose)
    targets = evaluate_targets(results, w6)
    print_report(results, w6, targets)
    write_json(args.json, args, results, w6, targets, unavailable)
    return 0


if __name__ == "__main__":
    sys.exit(main())
