"""The eligibility rules of rules_from_json.py over a Parquet file, with dask.dataframe.

    python examples/dask_rules.py [RECORDS]        (1,000,000 records by default)

Writes RECORDS applicants to a Parquet file in a temporary directory, reads it back as a
dask DataFrame of 16 partitions, and applies the RuleSet to each partition with
map_partitions on a dask.distributed LocalCluster of two worker processes. The RuleSet
pickles to the workers (its rules through their data form, the in_region function by
reference: the workers import it from rules_from_json), and each partition, a pandas
DataFrame, gives back a DataFrame of the rules' results, one column per rule. The same
work is done in this one process first, and the two throughputs compared.

One record in 50,000 has a household of 0, for which the low_income rule fails: its result
is a RuleError, the record counts as undecided, and nothing is written to standard error.

Dask, distributed, pandas and pyarrow are needed only by this example and the tests, not
by vrelpy.
"""

from __future__ import annotations

import collections
import os
import pathlib
import sys
import tempfile
import time
from typing import Any

import dask.dataframe as dd
import pandas as pd  # type: ignore[import-untyped]
from dask.distributed import Client, LocalCluster

from rules_from_json import load_rules, verdict
from vrelpy import RuleSet

RECORDS = 1_000_000
WORKERS = 2
PARTITIONS = 16


def applicants(count: int) -> pd.DataFrame:
    """The records, generated rather than random, so every run sees the same."""
    i = pd.RangeIndex(count)
    return pd.DataFrame({
        "id": i,
        "age": 15 + (i * 7) % 70,
        "postcode": [("10", "11", "20")[k % 3] + f"{k % 1000:03d}" for k in range(count)],
        "income": (i * 37) % 6000,
        "household": [0 if k % 50_000 == 49_999 else 1 + k % 5 for k in range(count)],
        "grants": [1 if k % 11 == 0 else 0 for k in range(count)],
    })


def count_verdicts(results: pd.DataFrame) -> collections.Counter[str]:
    """Verdicts and rule errors of a frame of results."""
    counts: collections.Counter[str] = collections.Counter()
    for outcome in results.to_dict("records"):
        counts[verdict(outcome).partition(":")[0]] += 1
        for name, result in outcome.items():
            if not isinstance(result, bool):
                counts[f"error in {name}"] += 1
    return counts


def evaluate(partition: pd.DataFrame, rule_set: RuleSet) -> pd.DataFrame:
    """One partition's results; runs on a worker."""
    results: pd.DataFrame = rule_set.evaluate(partition)
    return results


def report(label: str, count: int, seconds: float) -> float:
    rate = count / seconds
    print(f"{label}: {count:,} records in {seconds:.2f} s ({rate:,.0f} records/s)")
    return rate


def main(count: int) -> None:
    rule_set = load_rules()
    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp) / "applicants.parquet"
        frame = applicants(count)
        frame.to_parquet(path, row_group_size=max(1, count // PARTITIONS))
        print(f"{len(rule_set.rules)} rules over {count:,} records of {path.name} "
              f"in {PARTITIONS} partitions on {WORKERS} worker processes")

        started = time.perf_counter()
        single = count_verdicts(rule_set.evaluate(pd.read_parquet(path)))
        single_rate = report("one process", count, time.perf_counter() - started)

        # Workers import rules_from_json to unpickle the rules' function: they start with
        # this directory on their path.
        here = os.path.dirname(os.path.abspath(__file__))
        os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [here, os.environ.get("PYTHONPATH")]))
        with LocalCluster(  # type: ignore[no-untyped-call]
            n_workers=WORKERS, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster, Client(cluster):  # type: ignore[no-untyped-call]
            started = time.perf_counter()
            records = dd.read_parquet(path, split_row_groups=True)
            meta: dict[Any, Any] = {str(name): "object" for name in rule_set.rules}
            results = records.map_partitions(evaluate, rule_set, meta=meta).compute()
            spread = count_verdicts(results)
            spread_rate = report("dask", count, time.perf_counter() - started)

    print(f"speed-up with {WORKERS} workers: {spread_rate / single_rate:.2f}x")
    print(f"same results: {'yes' if spread == single else 'NO'}")
    for key in sorted(single):
        print(f"  {key}: {single[key]:,}")


if __name__ == "__main__":
    # Run through the module's own name rather than as __main__: Dask then sends `evaluate`
    # to the workers by reference.
    import dask_rules

    dask_rules.main(int(sys.argv[1]) if len(sys.argv) > 1 else RECORDS)
