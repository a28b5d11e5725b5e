"""The eligibility rules of rules_from_json.py over a million records, on a Dask cluster.

    python examples/dask_rules.py [RECORDS]        (1,000,000 records by default)

Starts a dask.distributed LocalCluster of two worker processes, splits the records into
partitions and sends each worker the rules pickled: an Expr or Statement pickles through
its data form, and a fn statement's function travels by reference (the workers import it
from rules_from_json). Each worker makes the records of its partitions itself, so that
only the rules and the counts cross between processes, and evaluates them on a machine
of its own per partition. The same work is done in this one process first, and the two
throughputs compared.

The records are generated, not random: one in 50,000 has a household of 0, for which the
low_income rule fails (and writes its report to standard error); its record counts as
undecided and the other rules and records go on.

Dask and distributed are needed only by this example and the tests, not by vrelpy.
"""

from __future__ import annotations

import collections
import os
import pickle
import sys
import time
from collections.abc import Iterator

from dask.distributed import Client, LocalCluster

from rules_from_json import Rules, check, load_rules, verdict
from vrelpy import Statement, Vrel

RECORDS = 1_000_000
WORKERS = 2
PARTITIONS = 16


def records(start: int, stop: int) -> Iterator[dict[str, int | str]]:
    """Records start..stop-1, the same wherever they are made."""
    for i in range(start, stop):
        yield {
            "id": i,
            "age": 15 + (i * 7) % 70,
            "postcode": ("10", "11", "20")[i % 3] + f"{i % 1000:03d}",
            "income": (i * 37) % 6000,
            "household": 0 if i % 50_000 == 49_999 else 1 + i % 5,
            "grants": 1 if i % 11 == 0 else 0,
        }


def evaluate(program: bytes, start: int, stop: int) -> collections.Counter[str]:
    """Counts verdicts and rule errors over records start..stop-1. Runs on a worker: the
    pickled rules are loaded there, and the partition gets a machine of its own."""
    setup, rules = pickle.loads(program)
    return evaluate_rules(setup, rules, start, stop)


def evaluate_rules(setup: list[Statement], rules: Rules, start: int, stop: int) -> collections.Counter[str]:
    machine = Vrel()
    machine.run(setup)
    counts: collections.Counter[str] = collections.Counter()
    for record in records(start, stop):
        outcome = check(machine, rules, record)
        counts[verdict(outcome).partition(":")[0]] += 1
        for name, result in outcome.items():
            if isinstance(result, str):
                counts[f"error in {name}"] += 1
    return counts


def report(label: str, count: int, seconds: float) -> float:
    rate = count / seconds
    print(f"{label}: {count:,} records in {seconds:.2f} s ({rate:,.0f} records/s)")
    return rate


def main(count: int) -> None:
    setup, rules = load_rules()
    program = pickle.dumps((setup, rules))
    bounds = [count * p // PARTITIONS for p in range(PARTITIONS + 1)]
    print(f"{len(rules)} rules, pickled into {len(program):,} bytes; {count:,} records "
          f"in {PARTITIONS} partitions on {WORKERS} worker processes")

    started = time.perf_counter()
    single = evaluate_rules(setup, rules, 0, count)
    single_rate = report("one process", count, time.perf_counter() - started)

    # Workers import rules_from_json to unpickle the rules' functions: they start with
    # this directory on their path.
    here = os.path.dirname(os.path.abspath(__file__))
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [here, os.environ.get("PYTHONPATH")]))
    with LocalCluster(  # type: ignore[no-untyped-call]
        n_workers=WORKERS, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster, Client(cluster) as client:  # type: ignore[no-untyped-call]
        client.submit(len, "warm up").result()
        started = time.perf_counter()
        futures = client.map(evaluate, [program] * PARTITIONS, bounds[:-1], bounds[1:])
        spread: collections.Counter[str] = sum(client.gather(futures), collections.Counter())
        spread_rate = report("dask", count, time.perf_counter() - started)

    print(f"speed-up with {WORKERS} workers: {spread_rate / single_rate:.2f}x")
    print(f"same results: {'yes' if spread == single else 'NO'}")
    for key in sorted(single):
        print(f"  {key}: {single[key]:,}")


if __name__ == "__main__":
    # Run through the module's own name rather than as __main__: Dask then sends `evaluate`
    # to the workers by reference. Pickled by value, a function would take the vrelpy
    # classes it uses along by value too, and they cannot travel that way.
    import dask_rules

    dask_rules.main(int(sys.argv[1]) if len(sys.argv) > 1 else RECORDS)
