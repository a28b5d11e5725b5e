"""What a call of a Python function from inside a program costs, per call, next to the same
function called from a Python loop.

    .venv/bin/python bench/host_calls.py [--rounds R] [--clock cpu|wall]
    .venv/bin/python bench/host_calls.py --only call --seconds 10     # a steady loop for perf

Cases (10,000 statements or iterations per operation, the figure is per statement):
  call        compare.py's W3: a program of lets acc = acc + f(i), f a Python function,
              on a fresh Vrel() per run
  no call     the same program with f(i) replaced by the literal i: everything but the call
  limited     "call" on a machine with generous limits set (the limited runs' path)
  direct      the function called from a Python loop (acc = acc + f(i))

"call" - "no call" is what the call itself costs: the callee's lookup, the binding's side
(interpreter lock check, stack budget, argument and result conversion) and the Python call.
Each round times every case once, round-robin, so that a change of load touches them alike;
the report gives the median and the best over the rounds (on a loaded machine the best is the
steadier figure).

    .venv/bin/python bench/host_calls.py --builds before=/tmp/a.so after=/tmp/b.so

compares builds of the module in one process: each extension file is imported in turn as
`vrelpy` (a copy of the module of its own) and its "call" and "no call" cases are built with
it; all are then timed round-robin with "direct", and each build's median difference per
round from the first is printed. On a shared machine, a few ns of difference between two
separate runs is noise, while paired rounds in one process resolve 2-3 ns. Copy each build's
file out of site-packages after installing it.
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import workloads  # noqa: E402

N = workloads.W3_CALLS
GENEROUS = {"steps": 10**12, "memory": 1 << 40, "seconds": 3600.0}


def no_call_case(n: int = N) -> workloads.Case:
    from vrelpy import Expr as E, Statement as S, Vrel

    program = [S.fn("f", workloads.host), S.let("acc", E.literal(0))]
    program += [
        S.let("acc", E.binary_op(E.ident("acc"), "+", E.literal(i))) for i in range(n)
    ]

    def run() -> int:
        m = Vrel()
        m.run(program)
        return m.get("acc")

    return workloads.Case(run, n, n * (n - 1) // 2)


def limited_case(n: int = N) -> workloads.Case:
    from vrelpy import Expr as E, Statement as S, Vrel

    program = [S.fn("f", workloads.host), S.let("acc", E.literal(0))]
    program += [
        S.let("acc", E.binary_op(E.ident("acc"), "+", E.call("f", E.literal(i)))) for i in range(n)
    ]

    def run() -> int:
        m = Vrel()
        m.set_limits(**GENEROUS)
        m.run(program)
        return m.get("acc")

    return workloads.Case(run, n, workloads.w3_expected(n))


CASES = {
    "call": workloads.vrel_w3,
    "no call": no_call_case,
    "limited": limited_case,
    "direct": workloads.python_direct_w3,
}


def load_build(path: str) -> None:
    """Imports the extension file `path` as `vrelpy`, in place of any other: the cases built
    next use it. Each build is a copy of the module of its own, state and types included."""
    import importlib.machinery
    import importlib.util

    # Builds since the package layout name their init function PyInit__vrelpy (the extension
    # is vrelpy._vrelpy); older ones PyInit_vrelpy.
    for name in ("vrelpy._vrelpy", "vrelpy"):
        loader = importlib.machinery.ExtensionFileLoader(name, path)
        spec = importlib.util.spec_from_file_location(name, path, loader=loader)
        assert spec is not None
        try:
            module = importlib.util.module_from_spec(spec)
        except ImportError:
            continue
        loader.exec_module(module)
        sys.modules["vrelpy"] = module
        return
    raise ImportError(f"{path}: no vrelpy module init function")


def time_round_robin(cases: dict[str, workloads.Case], rounds: int, clock) -> dict[str, list[float]]:
    """ns per statement of every case, one sample per case and round; the order of the cases
    is reversed every other round."""
    samples: dict[str, list[float]] = {name: [] for name in cases}
    names = list(cases)
    for r in range(rounds):
        for name in names if r % 2 == 0 else names[::-1]:
            case = cases[name]
            calls = 10
            t0 = clock()
            for _ in range(calls):
                case.fn()
            samples[name].append((clock() - t0) / (calls * case.ops_per_call) * 1e9)
    return samples


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--clock", choices=["cpu", "wall"], default="cpu")
    parser.add_argument("--only", choices=list(CASES), help="run one case in a loop (profiling)")
    parser.add_argument("--seconds", type=float, default=5.0, help="length of the --only loop")
    parser.add_argument("--builds", nargs="+", metavar="NAME=SO_FILE",
                        help="compare builds of the module in this process (see above)")
    args = parser.parse_args()
    clock = time.process_time if args.clock == "cpu" else time.perf_counter

    if args.only:
        case = CASES[args.only]()
        case.check()
        end = time.perf_counter() + args.seconds
        while time.perf_counter() < end:
            case.fn()
        return

    if args.builds:
        cases = {}
        for item in args.builds:
            build, _, path = item.partition("=")
            load_build(path)
            for name in ("call", "no call"):
                cases[f"{name} [{build}]"] = CASES[name]()
        cases["direct"] = CASES["direct"]()
    else:
        cases = {name: make() for name, make in CASES.items()}
    for case in cases.values():
        case.check()  # also the first warm-up
    samples = time_round_robin(cases, args.rounds, clock)
    ns = {name: statistics.median(s) for name, s in samples.items()}
    best = {name: min(s) for name, s in samples.items()}
    width = max(len(name) for name in cases)
    print(" " * width + "     median            best of the rounds")
    for name in cases:
        print(f"{name:>{width}}  {ns[name]:6.1f} ns {ns[name] / ns['direct']:5.2f}x   "
              f"{best[name]:6.1f} ns {best[name] / best['direct']:5.2f}x direct")
    if not args.builds:
        print(f"the call alone (call - no call): {ns['call'] - ns['no call']:.1f} ns median, "
              f"{best['call'] - best['no call']:.1f} ns best")
        return
    first = args.builds[0].partition("=")[0]
    for item in args.builds[1:]:
        build = item.partition("=")[0]
        for name in ("call", "no call"):
            diffs = [b - a for a, b in zip(samples[f"{name} [{first}]"], samples[f"{name} [{build}]"])]
            print(f"{name} [{build}] - [{first}]: {statistics.median(diffs):+.1f} ns "
                  "(median of the rounds' differences)")


if __name__ == "__main__":
    main()
